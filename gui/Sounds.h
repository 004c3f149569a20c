#pragma once
// The station's sounds, from the desktop's sound theme (libcanberra): one for
// a pass, another for a failure. Where there is no sound server, silence.

#include <memory>

namespace pello {

class CSounds {
public:
    CSounds();
    ~CSounds();
    CSounds(const CSounds&) = delete;
    CSounds& operator=(const CSounds&) = delete;
    void Pass();
    void Fail();

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};

} // namespace pello

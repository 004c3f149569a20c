#pragma once
// --trace: each port or node an exchange goes to, and every frame and reply,
// on stderr with the time they passed.

#include "core/Workflow.h"

namespace pello::cli {

class CTraceLines final : public CTraceSink {
public:
    void OnPort(const std::string& name, const std::string& node) override;
    void OnBytes(const char* dir, const uint8_t* bytes, size_t length) override;
};

} // namespace pello::cli

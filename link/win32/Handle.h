#pragma once
// Owns one Win32 handle; closes it once.

#include <windows.h>

#include <utility>

namespace pello {

class CWinHandle {
public:
    CWinHandle() = default;
    explicit CWinHandle(HANDLE h) : m_h(h == nullptr ? INVALID_HANDLE_VALUE : h) {}
    CWinHandle(const CWinHandle&) = delete;
    CWinHandle& operator=(const CWinHandle&) = delete;
    CWinHandle(CWinHandle&& other) noexcept : m_h(std::exchange(other.m_h, INVALID_HANDLE_VALUE)) {}
    CWinHandle& operator=(CWinHandle&& other) noexcept
    {
        if (this != &other) {
            Reset(std::exchange(other.m_h, INVALID_HANDLE_VALUE));
        }
        return *this;
    }
    ~CWinHandle() { Reset(); }

    HANDLE Get() const { return m_h; }
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }
    explicit operator bool() const { return Valid(); }
    void Reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        if (m_h != INVALID_HANDLE_VALUE) {
            ::CloseHandle(m_h);
        }
        m_h = h == nullptr ? INVALID_HANDLE_VALUE : h;
    }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

} // namespace pello

#include "Workflow.h"

#include "Exchange.h"
#include "ProductId.h"
#include "SnFile.h"

#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

CSnToolWorkflow::CSnToolWorkflow(CMessageSink* messages) : m_pMessages(messages)
{
    m_comLink.SetResolver(&m_portResolver);
}

void CSnToolWorkflow::Trace(const char* dir, const uint8_t* bytes, size_t length) const
{
    if (m_trace) {
        m_trace(dir, bytes, length);
    }
}

void CSnToolWorkflow::ShowBox(const std::string& text, const std::string& caption)
{
    if (m_pMessages != nullptr) {
        m_pMessages->ShowMessage(text, caption);
    }
}

bool CSnToolWorkflow::ExchangeOverCom(const Frame& frame, uint8_t* reply, bool bStrict, std::string_view prefix,
                                      size_t* len)
{
    const auto attempt = [&](uint8_t* buf, size_t capacity) {
        Trace("->", frame.bytes, frame.length);
        if (m_comLink.Write(frame.bytes, frame.length) == 0) {
            return -1;
        }
        const int n = m_comLink.Read(buf, capacity, kComReplyTimeLimitMs);
        Trace("<-", buf, n > 0 ? static_cast<size_t>(n) : std::strlen(reinterpret_cast<char*>(buf)));
        return n;
    };
    return RunExchange(attempt, reply, kReplyBufferSize, bStrict, prefix, len);
}

bool CSnToolWorkflow::ExchangeOverHid(const Frame& frame, uint8_t* reply, bool bStrict, std::string_view prefix,
                                      size_t* len)
{
    const auto attempt = [&](uint8_t* buf, size_t) {
        Trace("->", frame.bytes, frame.length);
        size_t received = 0;
        if (!m_hidLink.Transact(frame.bytes, frame.length, buf, &received)) {
            return -1;
        }
        Trace("<-", buf, received);
        return static_cast<int>(received);
    };
    return RunExchange(attempt, reply, kReplyBufferSize, bStrict, prefix, len);
}

bool CSnToolWorkflow::ComExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength)
{
    return ExchangeOverCom(frame, reply, bStrict, kAckPrefix, replyLength);
}

bool CSnToolWorkflow::ComBootExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength)
{
    return ExchangeOverCom(frame, reply, bStrict, kBootPrefix, replyLength);
}

bool CSnToolWorkflow::HidExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength)
{
    return ExchangeOverHid(frame, reply, bStrict, kAckPrefix, replyLength);
}

bool CSnToolWorkflow::HidBootExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength)
{
    return ExchangeOverHid(frame, reply, bStrict, kBootPrefix, replyLength);
}

bool CSnToolWorkflow::ProbePort(const std::string& name) const
{
    const std::string path = m_portResolver.Resolve(name).path;
    CUniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    return fd && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0;
}

void CSnToolWorkflow::SearchCom(const Frame& frame, uint8_t* reply)
{
    for (int n = 0; n < kComPortCount; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (!ProbePort(name)) {
            continue;
        }
        // Only the lowest port that can be probed is tried.
        if (m_comLink.Open(name.c_str(), kComBaud, 8, 0, 2) == 0) {
            return;
        }
        if (ComExchange(frame, reply, false)) {
            m_strDevice = name;
            m_strProductId = ExtractProductId(reinterpret_cast<const char*>(reply));
        }
        m_comLink.Close();
        return;
    }
}

void CSnToolWorkflow::SearchHid(const Frame& frame, uint8_t* reply)
{
    if (!m_hidLink.FindDevice(kDeviceVendorId, kDeviceProductId) || !HidExchange(frame, reply, false)) {
        return;
    }
    m_strDevice = "usb";
    m_strProductId = ExtractProductId(reinterpret_cast<const char*>(reply));
}

void CSnToolWorkflow::OnSearch()
{
    PullControls();
    const Frame frame = BuildQsidFrame();
    uint8_t reply[kReplyBufferSize] = {};
    m_strDevice.clear();
    BeginWire();
    if (m_nLinkType == 1) {
        SearchCom(frame, reply);
    } else {
        SearchHid(frame, reply);
    }
    EndWire();
    PushControls();
}

// One frame over the link the latest Search found: a freshly opened port, or
// a freshly found USB device.
bool CSnToolWorkflow::RunStep(const Frame& frame, bool boot)
{
    uint8_t reply[kReplyBufferSize] = {};
    if (m_strDevice.compare(0, 3, "COM") == 0) {
        if (m_comLink.m_bOpened) {
            m_comLink.Close();
        }
        if (m_comLink.Open(m_strDevice.c_str(), kComBaud, 8, 0, 2) == 0) {
            return false;
        }
        const bool ok = boot ? ComBootExchange(frame, reply, true) : ComExchange(frame, reply, true);
        m_comLink.Close();
        return ok;
    }
    if (!m_hidLink.FindDevice(kDeviceVendorId, kDeviceProductId)) {
        return false;
    }
    return boot ? HidBootExchange(frame, reply, true) : HidExchange(frame, reply, true);
}

bool CSnToolWorkflow::ReadAndCheckSnFile()
{
    if (!ReadSnFile(m_strSnFile)) {
        ShowBox("Cannot Open File", "File");
        return false;
    }
    // Frames go out whole, so a short or binary line would reach the device
    // as NUL or control bytes under a valid check value: refuse it here.
    if (const std::string problem = ValidateSnLines(); !problem.empty()) {
        ShowBox(problem, "File");
        return false;
    }
    return true;
}

void CSnToolWorkflow::OnApply()
{
    if (!ReadAndCheckSnFile()) {
        m_lastApply = ApplyOutcome::FileError;
        return;
    }
    PullControls();
    const Frame ate1 = BuildAte1Frame();
    if (m_strDevice.empty()) {
        m_lastApply = ApplyOutcome::NoDevice;
        ShowBox("No device found", "Setting");
        return;
    }
    BeginWire();
    (void)RunStep(ate1, false); // the device may not know echo control; go on regardless
    const bool ok = RunStep(BuildSidFrame(g_szSerialLine), false) &&
                    RunStep(BuildPabcFrame(g_szPabcLine), false) && RunStep(BuildQbootFrame(), true);
    EndWire();
    m_lastApply = ok ? ApplyOutcome::Success : ApplyOutcome::Failure;
    ShowBox(ok ? "Setting successful!" : "Setting failed!", "setting");
}

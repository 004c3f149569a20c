#pragma once
// Search and Apply without a window: the state and methods the main dialog
// and the command line share. The dialog derives from this class.

#include "Frames.h"
#include "HidLink.h"
#include "PortNames.h"
#include "Serial.h"

#include <cstdint>
#include <functional>
#include <string>

constexpr uint16_t kDeviceVendorId = 0x0665;
constexpr uint16_t kDeviceProductId = 0x5161;
constexpr uint32_t kComBaud = 2400;
constexpr uint32_t kComReplyTimeLimitMs = 3000;
constexpr int kComPortCount = 10; // COM0..COM9

// Where message boxes go: real boxes in the dialog, printed lines on the command line.
class CMessageSink {
public:
    virtual ~CMessageSink() = default;
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
};

// How the latest Apply ended, for callers that need more than the box.
enum class ApplyOutcome { None, FileError, NoDevice, Success, Failure };

class CSnToolWorkflow {
public:
    explicit CSnToolWorkflow(CMessageSink* messages = nullptr);
    virtual ~CSnToolWorkflow() = default;
    CSnToolWorkflow(const CSnToolWorkflow&) = delete;
    CSnToolWorkflow& operator=(const CSnToolWorkflow&) = delete;

    // The operator's two actions.
    void OnSearch();
    void OnApply();

    // The exchange rule over each link; the reply buffer holds kReplyBufferSize
    // bytes. Plain exchanges need "(ACK" when strict; boot exchanges "(1".
    bool ComExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength = nullptr);
    bool ComBootExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength = nullptr);
    bool HidExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength = nullptr);
    bool HidBootExchange(const Frame& frame, uint8_t* reply, bool bStrict, size_t* replyLength = nullptr);

    // Reads "SN.txt" into the line buffers and checks it; on a problem shows
    // its message (caption "File") and returns false.
    bool ReadAndCheckSnFile();

    // An open that succeeds and takes the exclusive lock, released at once.
    bool ProbePort(const std::string& name) const;

    // Direction of the controls' data exchange; the dialog binds real controls.
    virtual void PullControls() {}
    virtual void PushControls() {}
    // Brackets the time a command is on the wire (the dialog shows a busy cursor).
    virtual void BeginWire() {}
    virtual void EndWire() {}

    void SetMessageSink(CMessageSink* messages) { m_pMessages = messages; }
    // Every frame and reply, for --trace: dir is "->" or "<-".
    std::function<void(const char* dir, const uint8_t* bytes, size_t length)> m_trace;

    CHidLink m_hidLink;
    CComLink m_comLink;
    std::string m_strDevice;    // "COMn" or "usb" where the latest Search found the device
    std::string m_strProductId; // the Product ID field's text
    int m_nLinkType = -1;       // 0 = USB, 1 = RS232, -1 = none
    CPortResolver m_portResolver;
    std::string m_strSnFile = "SN.txt";
    ApplyOutcome m_lastApply = ApplyOutcome::None;

private:
    bool ExchangeOverCom(const Frame& frame, uint8_t* reply, bool bStrict, std::string_view prefix, size_t* len);
    bool ExchangeOverHid(const Frame& frame, uint8_t* reply, bool bStrict, std::string_view prefix, size_t* len);
    void SearchCom(const Frame& frame, uint8_t* reply);
    void SearchHid(const Frame& frame, uint8_t* reply);
    bool RunStep(const Frame& frame, bool boot);
    void Trace(const char* dir, const uint8_t* bytes, size_t length) const;
    void ShowBox(const std::string& text, const std::string& caption);

    CMessageSink* m_pMessages;
};

#pragma once
// Search and Apply without a window, shared by the main dialog and the command
// line. The typed calls Search() and Apply() return what happened; the
// dialog's handlers OnSearch and OnApply are built on them and keep the
// members and message boxes the dialog shows. The dialog derives from this class.

#include "core/Fields.h"
#include "link/HidLink.h"
#include "link/NodeIdentity.h"
#include "link/PortNames.h"
#include "link/Serial.h"
#include "protocol/Device.h"
#include "protocol/Exchange.h"
#include "protocol/Frames.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pello {

enum class Link { Usb, Rs232 };
// "usb" or "rs232", as the command line and the record name them.
const char* LinkName(Link link);

struct SearchResult {
    bool found = false;
    std::string device;    // "COMn" or "usb", the value Apply goes by
    std::string node;      // the tty or hidraw node the device answered on
    std::string field;     // the reply's text between "(" and its check bytes
    std::string productId; // the serial number as the Product ID field shows it
    // Replies were out of step with frames during the search (a late reply,
    // bytes waiting, a reply of another kind): programming will not start.
    std::string outOfStep;
};

// The four steps of a programming sequence, in order.
enum class Step { Ate1, Sid, Pabc, Qboot };
const char* StepName(Step step);

// Why a step did not succeed.
enum class StepFailure {
    None,
    PortNotOpened,  // RS232: the port could not be opened
    DeviceNotFound, // USB: the device was not found again
    WriteFailed,    // the frame could not be written
    NoReply,        // no whole reply within the deadline
    Refused,        // "(NAK"
    Unexpected,     // a reply that failed its check, or was of another kind
    OutOfStep,      // replies may belong to other frames: what the unit did is unknown
    DeviceChanged,  // the port or node Search used now leads to another device
    NotNoted,       // "SID" was not sent: the record could not note it going out
};

struct StepResult {
    Step step = Step::Ate1;
    bool ok = false;
    StepFailure failure = StepFailure::None;
    ExchangeResult exchange; // attempts == 0 when the link was not ready
    std::string why;         // what put replies out of step
};

// What went wrong in a step, in words ("PABC: refused by the device (NAK)").
std::string DescribeFailure(const StepResult& step);

enum class VerifyOutcome { NotDone, Matched, Differs, NothingRead };
const char* VerifyName(VerifyOutcome outcome); // "not done", "matched", "differs", "nothing read"

struct VerifyResult {
    VerifyOutcome outcome = VerifyOutcome::NotDone;
    SearchResult read;      // what the last search found
    std::string differing;  // 1-based positions where the fields differ, "3, 21-22"
    int searches = 0;       // searches it took to read the field
    // The field was read from the unit the sequence went to: the same node,
    // and (over RS232, where a unit has no identity of its own) a unit that
    // answered the last frame and the first search, with no pause in which
    // an operator could have put another unit in its place.
    bool sameUnit = false;
};

// What a read-back found, in words ("the unit carries the field written"); "" when none was made.
std::string DescribeReadBack(const VerifyResult& verify);

enum class ApplyOutcome {
    Success,
    NoDevice,      // no Search has found the device; nothing was sent
    InvalidFields, // the fields cannot go into frames; nothing was sent
    Failure        // "SID", "PABC" or "QBOOT" was not accepted, or replies were out of step
};

struct ApplyResult {
    ApplyOutcome outcome = ApplyOutcome::Failure;
    std::vector<StepResult> steps; // the steps that ran, in order
    // The step that ended the sequence in failure, if one did. "ATE1" ends it
    // only when replies went out of step or the device changed there.
    const StepResult* Failed() const;
    const StepResult* Find(Step step) const;
    // A "SID" frame went out: the unit may carry the field, whatever it answered.
    bool SidWentOut() const;
};

// Whether the field is read back after a sequence.
enum class ReadBack { Yes, No };

// A sequence and the field read back after it: after "QBOOT", so that success
// means the unit holds the field; after a failure once a "SID" went out, so
// that what the unit carries is known rather than taken from its answers.
struct ProgramResult {
    ApplyResult applied;
    VerifyResult verify; // NotDone when nothing was read back
    ReadBack readBack = ReadBack::Yes;
    // The outcome the operator is told: "Setting successful!" only when the
    // sequence was accepted and the field read back is the one written
    // (or reading back was declined).
    bool Succeeded() const;
};

// Where message boxes go: real boxes in the dialog.
class CMessageSink {
public:
    virtual ~CMessageSink() = default;
    virtual void ShowMessage(const std::string& text, const std::string& caption) = 0;
};

// Every frame and reply as it passes, for diagnostics.
class CTraceSink {
public:
    virtual ~CTraceSink() = default;
    // An exchange is about to run over `node` (a tty or a hidraw node), which
    // the tool knows as `name` ("COMn" or "usb").
    virtual void OnPort(const std::string& name, const std::string& node) = 0;
    // `dir` is "->" for a frame sent, "<-" for a reply received.
    virtual void OnBytes(const char* dir, const uint8_t* bytes, size_t length) = 0;
};

class CSnToolWorkflow {
public:
    explicit CSnToolWorkflow(CMessageSink* messages = nullptr);
    virtual ~CSnToolWorkflow() = default;
    CSnToolWorkflow(const CSnToolWorkflow&) = delete;
    CSnToolWorkflow& operator=(const CSnToolWorkflow&) = delete;

    // Looks for the device over `link` and reads its serial number with
    // "QSID". Sets m_strDevice to where it answered, or empties it.
    SearchResult Search(Link link);
    // Programs the device where the latest Search found it.
    ApplyResult Apply(const ProgramFields& fields);
    // Search with one "QSID" attempt: for looking whether a unit is connected,
    // again and again. A probe whose replies were out of step finds nothing.
    SearchResult Probe(Link link);
    // Reads the field back after programming: searches again until the device
    // answers (it may restart after "QBOOT"; it gets 10 s) or `giveUp` says
    // so, and compares the whole 22-character field with `written`.
    VerifyResult VerifyField(Link link, const std::string& written, const std::function<bool()>& giveUp);
    // Apply, then the field read back where Apply sent it (see ProgramResult).
    // The dialog, the command line and the station all program through here.
    ProgramResult Program(const ProgramFields& fields, ReadBack readBack, const std::function<bool()>& giveUp);
    // Whether the USB device is still present at `node` (a hidraw node).
    bool UsbDevicePresent(const std::string& node) const;
    // The hidraw nodes of every connected unit, in order.
    std::vector<std::string> UsbUnits() const;
    // Why replies went out of step since the latest Search ("" when they did not).
    const std::string& OutOfStep() const { return m_strOutOfStep; }

    // The operator's two actions: the dialog's data exchange, then Search or
    // Apply, then the Product ID field or a message box.
    void OnSearch();
    void OnApply();

    // The exchange rule over each link; the reply buffer holds kReplyBufferSize
    // bytes. Plain exchanges need "(ACK" when strict; boot exchanges "(1".
    bool ComExchange(const Frame& frame, uint8_t* reply, bool bStrict);
    bool ComBootExchange(const Frame& frame, uint8_t* reply, bool bStrict);
    bool HidExchange(const Frame& frame, uint8_t* reply, bool bStrict);
    bool HidBootExchange(const Frame& frame, uint8_t* reply, bool bStrict);

    // Where the command's parts come from.
    CPortResolver& PortResolver() { return m_portResolver; }
    // RS232 searches try this device alone, as COM0, and nothing else.
    void UsePortOnly(const std::string& path);
    // USB searches look at this hidraw node alone.
    void UseUsbNodeOnly(const std::string& path) { m_hidLink.UseNodeOnly(path); }
    // A device named for this link, as one of the two above; "" names none.
    void UseNamedDevice(Link link, const std::string& path);
    void SetSnFile(std::string path) { m_strSnFile = std::move(path); }
    void SetClock(CClock* clock)
    {
        m_comLink.SetClock(clock);
        m_pComClock = clock != nullptr ? clock : &SystemClock();
    }
    void SetHid(CHidNodeIo* io, HidLinkPaths paths);
    void SetTrace(CTraceSink* trace) { m_pTrace = trace; }
    void SetMessageSink(CMessageSink* messages) { m_pMessages = messages; }
    // Told of each frame that writes ("SID", "PABC", "QBOOT") just before it
    // goes out, so that the record can say how far a sequence got; when it
    // returns false before "SID", nothing is written.
    void SetStepListener(std::function<bool(const char* step)> listener) { m_onStep = std::move(listener); }

    // Direction of the controls' data exchange; the dialog binds real controls.
    virtual void PullControls() {}
    virtual void PushControls() {}
    // Runs `work`, which puts commands on the wire, then `then`. Here both run
    // at once; the dialog runs `work` off its window's thread.
    virtual void RunOnWire(std::function<void()> work, std::function<void()> then);

    // What the latest command on the wire came to, in the tool's own words
    // ("Setting successful!"), set before its result is shown: for when the
    // window can no longer show it.
    std::string m_strWireOutcome;

    CHidLink m_hidLink;
    CComLink m_comLink;
    std::string m_strDevice;    // "COMn" or "usb" where the latest Search found the device
    std::string m_strProductId; // the Product ID field's text
    int m_nLinkType = -1;       // 0 = USB, 1 = RS232, -1 = none

private:
    // The node Search found the device on, and which device it was: every
    // step of Apply must reach that same device.
    struct PinnedNode {
        std::string path;
        std::optional<NodeIdentity> identity;
    };
    // How an exchange treats signs that replies are out of step: a search
    // notes them and goes on; a probe and a programming step stop at once.
    enum class Watch { Note, Stop };

    ExchangeResult ExchangeOverCom(const Frame& frame, uint8_t* reply, bool bStrict, std::string_view prefix,
                                   int attempts = kExchangeAttempts, Retry retry = Retry::AfterAnyFailure);
    ExchangeResult ExchangeOverHid(const Frame& frame, uint8_t* reply, bool bStrict, std::string_view prefix,
                                   int attempts = kExchangeAttempts, Retry retry = Retry::AfterAnyFailure);
    // Judges one attempt's reply: no whole reply in time, or a reply of
    // another kind, puts replies out of step.
    void WatchReply(const Frame& frame, AnswerKind kind, const uint8_t* reply, AttemptIo* io);
    void MarkOutOfStep(const std::string& why, AttemptIo* io = nullptr);
    bool ProbePort(const std::string& name) const;
    bool SearchCom(const Frame& frame, uint8_t* reply, SearchResult* result);
    bool SearchHid(const Frame& frame, uint8_t* reply, SearchResult* result);
    StepResult RunStep(Step step, const Frame& frame);
    StepFailure OpenPinnedPort(const Frame& frame);
    StepFailure CheckPinnedUsbNode() const;
    std::optional<ProgramFields> ReadAndCheckSnFile();
    void Trace(const char* dir, const uint8_t* bytes, size_t length) const;
    void ShowBox(const std::string& text, const std::string& caption);

    // Time as each link keeps it: a read-back waits for a restarting unit on it.
    CClock& ClockOf(Link link) const { return link == Link::Rs232 ? *m_pComClock : *m_pHidClock; }

    CPortResolver m_portResolver;
    CClock* m_pComClock = &SystemClock();
    CClock* m_pHidClock = &SystemClock();
    int m_nPortsSearched = device::kComPortCount;
    bool m_bProbing = false;
    Watch m_watch = Watch::Note;
    PinnedNode m_pinned;
    std::string m_strOutOfStep;
    std::function<bool(const char*)> m_onStep;
    std::string m_strSnFile = "SN.txt";
    CMessageSink* m_pMessages;
    CTraceSink* m_pTrace = nullptr;
};

} // namespace pello

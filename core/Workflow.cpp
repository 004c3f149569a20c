#include "core/Workflow.h"

#include "core/SnFile.h"
#include "link/SerialPort.h"
#include "protocol/Device.h"
#include "protocol/ProductId.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <poll.h>

namespace pello {

namespace {

// A device may restart after "QBOOT": searches start again for this long.
constexpr auto kVerifyPatience = std::chrono::seconds(10);

// Positions (1-based) where two fields differ, as "3, 21-22".
std::string DifferingPositions(const std::string& a, const std::string& b)
{
    std::string out;
    const size_t n = std::max(a.size(), b.size());
    const auto same = [&](size_t i) { return i < a.size() && i < b.size() && a[i] == b[i]; };
    for (size_t i = 0; i < n;) {
        if (same(i)) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j + 1 < n && !same(j + 1)) ++j;
        out += (out.empty() ? "" : ", ") + std::to_string(i + 1) + (j > i ? "-" + std::to_string(j + 1) : "");
        i = j + 1;
    }
    return out;
}

StepFailure FailureOf(const ExchangeResult& x)
{
    if (x.attempts == 0) {
        return StepFailure::None;
    }
    const AttemptRecord& last = x.records[x.attempts - 1];
    if (!last.written) {
        return StepFailure::WriteFailed;
    }
    switch (last.reply) {
    case ReplyKind::None: return StepFailure::NoReply;
    case ReplyKind::Refused: return StepFailure::Refused;
    case ReplyKind::Accepted: return StepFailure::None;
    case ReplyKind::Unexpected: return StepFailure::Unexpected;
    }
    return StepFailure::Unexpected;
}

// The reply's text between "(" and its two check bytes and CR.
std::string FieldOfReply(const uint8_t* reply, size_t length)
{
    return length >= 4 ? std::string(reinterpret_cast<const char*>(reply) + 1, length - 4) : std::string();
}

} // namespace

std::string DescribeFailure(const StepResult& step)
{
    const std::string name = StepName(step.step);
    switch (step.failure) {
    case StepFailure::None: return name + " was not accepted";
    case StepFailure::PortNotOpened: return name + ": the port could not be opened";
    case StepFailure::DeviceNotFound: return name + ": the device was not found again";
    case StepFailure::WriteFailed: return name + ": the frame could not be written";
    case StepFailure::NoReply: return name + ": no reply within the deadline";
    case StepFailure::Refused: return name + ": refused by the device (NAK)";
    case StepFailure::Unexpected: return name + ": the reply was not the one expected";
    case StepFailure::OutOfStep:
        return name + ": after a late reply, replies no longer matched their frames; "
                      "what the unit stored is unknown";
    }
    return name;
}

const char* VerifyName(VerifyOutcome outcome)
{
    switch (outcome) {
    case VerifyOutcome::NotDone: return "not done";
    case VerifyOutcome::Matched: return "matched";
    case VerifyOutcome::Differs: return "differs";
    case VerifyOutcome::NothingRead: return "nothing read";
    }
    return "not done";
}

const char* LinkName(Link link) { return link == Link::Rs232 ? "rs232" : "usb"; }

const char* StepName(Step step)
{
    switch (step) {
    case Step::Ate1: return "ATE1";
    case Step::Sid: return "SID";
    case Step::Pabc: return "PABC";
    case Step::Qboot: return "QBOOT";
    }
    return "";
}

const StepResult* ApplyResult::Failed() const
{
    for (const StepResult& s : steps) {
        if (!s.ok && s.step != Step::Ate1) return &s;
    }
    return nullptr;
}

const StepResult* ApplyResult::Find(Step step) const
{
    for (const StepResult& s : steps) {
        if (s.step == step) return &s;
    }
    return nullptr;
}

CSnToolWorkflow::CSnToolWorkflow(CMessageSink* messages) : m_pMessages(messages)
{
    m_comLink.SetResolver(&m_portResolver);
}

void CSnToolWorkflow::UsePortOnly(const std::string& path)
{
    m_portResolver.SetAlias(0, path);
    m_nPortsSearched = 1;
}

void CSnToolWorkflow::SetHid(CHidNodeIo* io, HidLinkPaths paths)
{
    m_hidLink.SetIo(io);
    m_hidLink.SetPaths(std::move(paths));
}

void CSnToolWorkflow::Trace(const char* dir, const uint8_t* bytes, size_t length) const
{
    if (m_pTrace != nullptr) {
        m_pTrace->OnBytes(dir, bytes, length);
    }
}

void CSnToolWorkflow::ShowBox(const std::string& text, const std::string& caption)
{
    if (m_pMessages != nullptr) {
        m_pMessages->ShowMessage(text, caption);
    }
}

void CSnToolWorkflow::RunOnWire(std::function<void()> work, std::function<void()> then)
{
    work();
    then();
}

ExchangeResult CSnToolWorkflow::ExchangeOverCom(const Frame& frame, uint8_t* reply, bool bStrict,
                                                std::string_view prefix)
{
    if (m_pTrace != nullptr) {
        m_pTrace->OnPort(m_comLink.m_strPort, m_portResolver.Resolve(m_comLink.m_strPort).path);
    }
    const auto attempt = [&](uint8_t* buf, size_t capacity) {
        AttemptIo io;
        // Bytes waiting before a write, once a reply has been late, are a
        // reply to an earlier frame: from here on no reply can be trusted.
        if (m_bRepliesMayLag && m_comLink.QueuedInput() > 0) {
            io.outOfStep = true;
            return io;
        }
        Trace("->", frame.bytes, frame.length);
        if (m_comLink.Write(frame.bytes, frame.length) == 0) {
            return io;
        }
        io.written = true;
        const int n = m_comLink.Read(buf, capacity, m_bProbing ? device::kProbeReplyMs : device::kComReplyTimeLimitMs);
        io.complete = n > 0;
        io.length = n > 0 ? static_cast<size_t>(n) : 0;
        Trace("<-", buf, n > 0 ? io.length : std::strlen(reinterpret_cast<char*>(buf)));
        NoteTimeOut(io);
        return io;
    };
    return RunExchange(attempt, reply, device::kReplyBufferSize, bStrict, prefix, m_bProbing ? 1 : kExchangeAttempts);
}

ExchangeResult CSnToolWorkflow::ExchangeOverHid(const Frame& frame, uint8_t* reply, bool bStrict,
                                                std::string_view prefix)
{
    if (m_pTrace != nullptr) {
        m_pTrace->OnPort("usb", m_hidLink.m_strDevicePath);
    }
    // Transact's two halves, so that a frame that went out is told apart from
    // one that did not.
    const auto attempt = [&](uint8_t* buf, size_t) {
        AttemptIo io;
        Trace("->", frame.bytes, frame.length);
        if (!m_hidLink.WriteFrame(frame.bytes, frame.length)) {
            return io;
        }
        io.written = true;
        if (!m_hidLink.ReadReply(buf, &io.length)) {
            return io;
        }
        io.complete = io.length > 0 && buf[io.length - 1] == 0x0D;
        Trace("<-", buf, io.length);
        NoteTimeOut(io);
        return io;
    };
    return RunExchange(attempt, reply, device::kReplyBufferSize, bStrict, prefix, m_bProbing ? 1 : kExchangeAttempts);
}

bool CSnToolWorkflow::ComExchange(const Frame& frame, uint8_t* reply, bool bStrict)
{
    return ExchangeOverCom(frame, reply, bStrict, kAckPrefix).accepted;
}

bool CSnToolWorkflow::ComBootExchange(const Frame& frame, uint8_t* reply, bool bStrict)
{
    return ExchangeOverCom(frame, reply, bStrict, kBootPrefix).accepted;
}

bool CSnToolWorkflow::HidExchange(const Frame& frame, uint8_t* reply, bool bStrict)
{
    return ExchangeOverHid(frame, reply, bStrict, kAckPrefix).accepted;
}

bool CSnToolWorkflow::HidBootExchange(const Frame& frame, uint8_t* reply, bool bStrict)
{
    return ExchangeOverHid(frame, reply, bStrict, kBootPrefix).accepted;
}

bool CSnToolWorkflow::ProbePort(const std::string& name) const
{
    return OpenLockedPort(m_portResolver.Resolve(name).path).problem == PortProblem::None;
}

bool CSnToolWorkflow::SearchCom(const Frame& frame, uint8_t* reply, SearchResult* result)
{
    for (int n = 0; n < m_nPortsSearched; ++n) {
        const std::string name = CPortResolver::ComName(n);
        if (!ProbePort(name)) {
            continue;
        }
        // Only the lowest port that can be probed is tried.
        if (m_comLink.Open(name.c_str(), device::kBaud, device::kDataBits, device::kParity, device::kStopBits) == 0) {
            return false;
        }
        const ExchangeResult x = ExchangeOverCom(frame, reply, false, kAckPrefix);
        m_comLink.Close();
        result->device = name;
        result->node = m_portResolver.Resolve(name).path;
        result->field = FieldOfReply(reply, x.replyLength);
        return x.accepted;
    }
    return false;
}

bool CSnToolWorkflow::SearchHid(const Frame& frame, uint8_t* reply, SearchResult* result)
{
    if (!m_hidLink.FindDevice(device::kVendorId, device::kProductId)) {
        return false;
    }
    const ExchangeResult x = ExchangeOverHid(frame, reply, false, kAckPrefix);
    result->device = "usb";
    result->node = m_hidLink.m_strDevicePath;
    result->field = FieldOfReply(reply, x.replyLength);
    return x.accepted;
}

SearchResult CSnToolWorkflow::Search(Link link)
{
    const Frame frame = BuildQsidFrame();
    uint8_t reply[device::kReplyBufferSize] = {};
    m_strDevice.clear();
    SearchResult result;
    result.found = link == Link::Rs232 ? SearchCom(frame, reply, &result) : SearchHid(frame, reply, &result);
    if (!result.found) {
        result.device.clear(); // `node` still says what was tried
        result.field.clear();
        return result;
    }
    m_strDevice = result.device;
    result.productId = ExtractProductId(reinterpret_cast<const char*>(reply));
    return result;
}

SearchResult CSnToolWorkflow::Probe(Link link)
{
    m_bProbing = true;
    const SearchResult result = Search(link);
    m_bProbing = false;
    return result;
}

VerifyResult CSnToolWorkflow::VerifyField(Link link, const std::string& written, const std::function<bool()>& giveUp)
{
    const auto deadline = std::chrono::steady_clock::now() + kVerifyPatience;
    VerifyResult result;
    result.read = Search(link);
    while (!result.read.found && !giveUp() && std::chrono::steady_clock::now() < deadline) {
        ::poll(nullptr, 0, 250); // the device is restarting; look again shortly
        result.read = Search(link);
    }
    if (!result.read.found) {
        result.outcome = VerifyOutcome::NothingRead;
    } else if (result.read.field != written) {
        result.outcome = VerifyOutcome::Differs;
        result.differing = DifferingPositions(written, result.read.field);
    } else {
        result.outcome = VerifyOutcome::Matched;
    }
    return result;
}

bool CSnToolWorkflow::UsbDevicePresent(const std::string& node) const
{
    return m_hidLink.IsPresent(device::kVendorId, device::kProductId, node);
}

void CSnToolWorkflow::OnSearch()
{
    PullControls();
    const Link link = m_nLinkType == 1 ? Link::Rs232 : Link::Usb;
    auto result = std::make_shared<SearchResult>();
    RunOnWire([this, link, result] { *result = Search(link); },
              [this, result] {
                  if (result->found) {
                      m_strProductId = result->productId;
                  }
                  PushControls();
              });
}

void CSnToolWorkflow::NoteTimeOut(const AttemptIo& io)
{
    if (m_bInSequence && io.written && !io.complete) {
        m_bRepliesMayLag = true;
    }
}

// A step that succeeds last in a sequence where a reply was late: anything
// more arriving within one reply deadline means the replies were out of step.
bool CSnToolWorkflow::StrayReplyFollows(bool overCom)
{
    if (overCom) {
        return m_comLink.InputArrives(device::kComReplyTimeLimitMs);
    }
    uint8_t stray[device::kReplyBufferSize] = {};
    size_t length = 0;
    return m_hidLink.ReadReply(stray, &length) && length > 0;
}

// One frame over the link the latest Search found: a freshly opened port, or
// a freshly found USB device.
StepResult CSnToolWorkflow::RunStep(Step step, const Frame& frame, bool last)
{
    const std::string_view prefix = step == Step::Qboot ? kBootPrefix : kAckPrefix;
    const bool overCom = m_strDevice.compare(0, 3, "COM") == 0;
    uint8_t reply[device::kReplyBufferSize] = {};
    StepResult r;
    r.step = step;
    if (overCom) {
        if (m_comLink.m_bOpened) {
            m_comLink.Close();
        }
        if (m_comLink.Open(m_strDevice.c_str(), device::kBaud, device::kDataBits, device::kParity,
                           device::kStopBits) == 0) {
            r.failure = StepFailure::PortNotOpened;
            return r;
        }
    } else if (!m_hidLink.FindDevice(device::kVendorId, device::kProductId)) {
        r.failure = StepFailure::DeviceNotFound;
        return r;
    }
    // Bytes the open purged, once a reply has been late, were a late reply.
    bool outOfStep = overCom && m_bRepliesMayLag && m_comLink.PurgedOnOpen() > 0;
    if (!outOfStep) {
        r.exchange = overCom ? ExchangeOverCom(frame, reply, true, prefix) : ExchangeOverHid(frame, reply, true, prefix);
        outOfStep = r.exchange.outOfStep || (r.exchange.accepted && last && m_bRepliesMayLag && StrayReplyFollows(overCom));
    }
    if (overCom) {
        m_comLink.Close();
    }
    r.ok = r.exchange.accepted && !outOfStep;
    r.failure = outOfStep ? StepFailure::OutOfStep : FailureOf(r.exchange);
    return r;
}

ApplyResult CSnToolWorkflow::Apply(const ProgramFields& fields)
{
    ApplyResult result;
    if (!CheckFields(fields).Ok()) {
        result.outcome = ApplyOutcome::InvalidFields;
        return result;
    }
    if (m_strDevice.empty()) {
        result.outcome = ApplyOutcome::NoDevice;
        return result;
    }
    m_bInSequence = true;
    m_bRepliesMayLag = false;
    // The device may not know echo control; the sequence goes on regardless.
    result.steps.push_back(RunStep(Step::Ate1, BuildAte1Frame(), false));
    const std::pair<Step, Frame> steps[] = {{Step::Sid, BuildSidFrame(fields.serial.c_str())},
                                            {Step::Pabc, BuildPabcFrame(fields.code.c_str())},
                                            {Step::Qboot, BuildQbootFrame()}};
    for (const auto& [step, frame] : steps) {
        result.steps.push_back(RunStep(step, frame, step == Step::Qboot));
        if (!result.steps.back().ok) {
            break;
        }
    }
    m_bInSequence = false;
    result.outcome = result.Failed() == nullptr ? ApplyOutcome::Success : ApplyOutcome::Failure;
    return result;
}

std::optional<ProgramFields> CSnToolWorkflow::ReadAndCheckSnFile()
{
    const SnLinesRead read = ReadSnFile(m_strSnFile);
    if (!read.Opened()) {
        ShowBox("Cannot Open File", "File");
        return std::nullopt;
    }
    const ProgramFields fields = FieldsFromLines(g_szSerialLine, g_szPabcLine, read);
    if (const std::string problem = SnFileMessage(read, CheckFields(fields)); !problem.empty()) {
        ShowBox(problem, "File");
        return std::nullopt;
    }
    return fields;
}

void CSnToolWorkflow::OnApply()
{
    const std::optional<ProgramFields> fields = ReadAndCheckSnFile();
    if (!fields) {
        return;
    }
    PullControls();
    if (m_strDevice.empty()) {
        ShowBox("No device found", "Setting");
        return;
    }
    auto result = std::make_shared<ApplyResult>();
    RunOnWire([this, f = *fields, result] { *result = Apply(f); },
              [this, result] {
                  const bool ok = result->outcome == ApplyOutcome::Success;
                  ShowBox(ok ? "Setting successful!" : "Setting failed!", "setting");
              });
}

} // namespace pello

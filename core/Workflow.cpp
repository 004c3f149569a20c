#include "core/Workflow.h"

#include "core/SnFile.h"
#include "protocol/Device.h"
#include "protocol/ProductId.h"
#include "text/Text.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace pello {

namespace {

// A device may restart after "QBOOT": searches start again for this long,
// each a little after the last.
constexpr uint32_t kVerifyPatienceMs = 10000;
constexpr int kVerifyLookAgainMs = 250;

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

// The unit answered the last frame of the sequence with a whole reply.
bool LastReplyWhole(const ApplyResult& applied)
{
    if (applied.steps.empty() || applied.steps.back().exchange.attempts == 0) {
        return false;
    }
    const ExchangeResult& x = applied.steps.back().exchange;
    return x.records[x.attempts - 1].reply != ReplyKind::None;
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
        if (step.exchange.attempts == 0 && step.step == Step::Sid && step.why.find("Search") != std::string::npos) {
            return "nothing sent: " + step.why + "; search again";
        }
        return name + ": replies out of step with frames (" + step.why + "); what the unit stored is unknown";
    case StepFailure::DeviceChanged: return name + ": the device changed during programming";
    case StepFailure::NotNoted: return name + ": not sent: the record could not note it going out";
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

std::string DescribeReadBack(const VerifyResult& verify)
{
    switch (verify.outcome) {
    case VerifyOutcome::NotDone: return {};
    case VerifyOutcome::Matched: return "the unit carries the field written";
    case VerifyOutcome::Differs:
        return (verify.sameUnit ? "the unit carries " : "read ") + text::Show(verify.read.field) +
               (verify.sameUnit ? "" : ", perhaps from another unit put in its place");
    case VerifyOutcome::NothingRead: return "the unit did not answer the read-back";
    }
    return {};
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

namespace {

// A failure that ends a sequence even at "ATE1", whose refusal is otherwise let pass.
bool EndsSequence(const StepResult& s)
{
    return s.failure == StepFailure::OutOfStep || s.failure == StepFailure::DeviceChanged;
}

} // namespace

const StepResult* ApplyResult::Failed() const
{
    for (const StepResult& s : steps) {
        if (!s.ok && (s.step != Step::Ate1 || EndsSequence(s))) return &s;
    }
    return nullptr;
}

bool ApplyResult::SidWentOut() const
{
    const StepResult* sid = Find(Step::Sid);
    return sid != nullptr && sid->exchange.AnyWritten();
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

void CSnToolWorkflow::UseNamedDevice(Link link, const std::string& path)
{
    if (path.empty()) {
        return;
    }
    if (link == Link::Usb) {
        UseUsbNodeOnly(path);
    } else {
        UsePortOnly(path);
    }
}

void CSnToolWorkflow::SetHid(CHidNodeIo* io, HidLinkPaths paths)
{
    m_hidLink.SetIo(io);
    m_pHidClock = io != nullptr ? &io->Clock() : &SystemClock();
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

namespace {

// The kind of answer an exchange with these settings waits for.
AnswerKind KindFor(bool bStrict, std::string_view prefix)
{
    if (!bStrict) {
        return AnswerKind::ProductId;
    }
    return prefix == kBootPrefix ? AnswerKind::Boot : AnswerKind::Acknowledgement;
}

} // namespace

void CSnToolWorkflow::MarkOutOfStep(const std::string& why, AttemptIo* io)
{
    // Every sign, once each: a search goes on after the first.
    if (m_strOutOfStep.find(why) == std::string::npos) {
        m_strOutOfStep += (m_strOutOfStep.empty() ? "" : "; ") + why;
    }
    if (io != nullptr) {
        io->outOfStep = m_watch == Watch::Stop;
    }
}

void CSnToolWorkflow::WatchReply(const Frame& frame, AnswerKind kind, const uint8_t* reply, AttemptIo* io)
{
    const std::string command = frame.command;
    if (io->written && !io->complete) {
        // Its reply may still come, and be taken for a later frame's.
        MarkOutOfStep(command + " had no reply within the deadline", io);
        return;
    }
    const bool verified = ClassifyReply(reply, io->length, false, {}) != ReplyKind::Unexpected;
    if (io->complete && verified && !ReplyOfKind(reply, io->length, kind)) {
        MarkOutOfStep(command + " was answered " + text::Show(std::string(reinterpret_cast<const char*>(reply), io->length)), io);
    }
}

ExchangeResult CSnToolWorkflow::ExchangeOverCom(const Frame& frame, uint8_t* reply, bool bStrict,
                                                std::string_view prefix, int attempts, Retry retry)
{
    if (m_pTrace != nullptr) {
        m_pTrace->OnPort(m_comLink.m_strPort, m_portResolver.Resolve(m_comLink.m_strPort).path);
    }
    const auto attempt = [&](uint8_t* buf, size_t capacity) {
        AttemptIo io;
        // Bytes waiting before a write answer no frame of this exchange.
        if (const size_t waiting = m_comLink.QueuedInput(); waiting > 0) {
            MarkOutOfStep(std::to_string(waiting) + " byte(s) were waiting before " + frame.command + " was sent",
                          &io);
            if (io.outOfStep) {
                return io;
            }
        }
        Trace("->", frame.bytes, frame.length);
        if (m_comLink.Write(frame.bytes, frame.length) == 0) {
            return io;
        }
        io.written = true;
        const int n = m_comLink.Read(buf, capacity, device::kComReplyTimeLimitMs);
        io.complete = n > 0;
        io.length = n > 0 ? static_cast<size_t>(n) : 0;
        Trace("<-", buf, n > 0 ? io.length : std::strlen(reinterpret_cast<char*>(buf)));
        WatchReply(frame, KindFor(bStrict, prefix), buf, &io);
        // Nothing may follow a reply: what does answers no frame of ours.
        if (const size_t waiting = m_comLink.QueuedInput(); io.complete && waiting > 0) {
            MarkOutOfStep(std::to_string(waiting) + " byte(s) followed " + frame.command + "'s reply", &io);
        }
        return io;
    };
    return RunExchange(attempt, reply, device::kReplyBufferSize, bStrict, prefix, attempts, retry);
}

ExchangeResult CSnToolWorkflow::ExchangeOverHid(const Frame& frame, uint8_t* reply, bool bStrict,
                                                std::string_view prefix, int attempts, Retry retry)
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
        if (m_hidLink.ReadReply(buf, &io.length)) {
            io.complete = io.length > 0 && buf[io.length - 1] == 0x0D;
            Trace("<-", buf, io.length);
        }
        WatchReply(frame, KindFor(bStrict, prefix), buf, &io);
        if (m_hidLink.m_bMoreAfterReply) {
            MarkOutOfStep(std::string("another reply was waiting behind ") + frame.command + "'s", &io);
        }
        return io;
    };
    // One handle for every attempt's write and read: no reply falls between two.
    const CHidLink::CHold hold(m_hidLink);
    return RunExchange(attempt, reply, device::kReplyBufferSize, bStrict, prefix, attempts, retry);
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
    return m_comLink.Probe(name.c_str());
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
        m_pinned = {m_portResolver.Resolve(name).path, m_comLink.Identity()};
        if (const size_t purged = m_comLink.PurgedOnOpen(); purged > 0) {
            MarkOutOfStep(std::to_string(purged) + " byte(s) were waiting when the port was opened");
        }
        const ExchangeResult x =
            ExchangeOverCom(frame, reply, false, kAckPrefix, m_bProbing ? 1 : kExchangeAttempts);
        m_comLink.Close();
        result->device = name;
        result->node = m_pinned.path;
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
    m_pinned = {m_hidLink.m_strDevicePath, m_hidLink.Identify(m_hidLink.m_strDevicePath)};
    const ExchangeResult x = ExchangeOverHid(frame, reply, false, kAckPrefix, m_bProbing ? 1 : kExchangeAttempts);
    result->device = "usb";
    result->node = m_pinned.path;
    result->field = FieldOfReply(reply, x.replyLength);
    return x.accepted;
}

SearchResult CSnToolWorkflow::Search(Link link)
{
    const Frame frame = BuildQsidFrame();
    uint8_t reply[device::kReplyBufferSize] = {};
    m_strDevice.clear();
    m_strOutOfStep.clear();
    m_pinned = {};
    m_watch = m_bProbing ? Watch::Stop : Watch::Note;
    SearchResult result;
    result.found = link == Link::Rs232 ? SearchCom(frame, reply, &result) : SearchHid(frame, reply, &result);
    result.outOfStep = m_strOutOfStep;
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
    SearchResult result = Search(link);
    m_bProbing = false;
    if (result.found && !result.outOfStep.empty()) {
        result.found = false;
        m_strDevice.clear();
    }
    return result;
}

VerifyResult CSnToolWorkflow::VerifyField(Link link, const std::string& written, const std::function<bool()>& giveUp)
{
    CClock& clock = ClockOf(link);
    const uint32_t start = clock.TickCount();
    VerifyResult result;
    const auto readBack = [&] {
        ++result.searches;
        result.read = Search(link);
        // A field read out of step may be another frame's reply.
        return result.read.found && result.read.outOfStep.empty();
    };
    bool read = readBack();
    while (!read && !giveUp() && RemainingMs(clock.TickCount(), start, kVerifyPatienceMs) > 0) {
        clock.Poll(nullptr, 0, kVerifyLookAgainMs); // the device is restarting; look again shortly
        read = readBack();
    }
    if (!read) {
        result.outcome = VerifyOutcome::NothingRead;
    } else if (result.read.field != written) {
        result.outcome = VerifyOutcome::Differs;
        result.differing = DifferingPositions(written, result.read.field);
    } else {
        result.outcome = VerifyOutcome::Matched;
    }
    return result;
}

bool ProgramResult::Succeeded() const
{
    return applied.outcome == ApplyOutcome::Success &&
           (verify.outcome == VerifyOutcome::Matched || readBack == ReadBack::No);
}

ProgramResult CSnToolWorkflow::Program(const ProgramFields& fields, ReadBack readBack,
                                       const std::function<bool()>& giveUp)
{
    const Link link = m_strDevice.compare(0, 3, "COM") == 0 ? Link::Rs232 : Link::Usb;
    ProgramResult result;
    result.readBack = readBack;
    result.applied = Apply(fields);
    const bool ended = result.applied.outcome == ApplyOutcome::Success || result.applied.SidWentOut();
    if (readBack == ReadBack::Yes && ended) {
        const PinnedNode sequence = m_pinned;
        result.verify = VerifyField(link, fields.serial, giveUp);
        const bool sameNode = m_pinned.path == sequence.path && m_pinned.identity == sequence.identity;
        result.verify.sameUnit = sameNode && (link == Link::Usb || (LastReplyWhole(result.applied) &&
                                                                    result.verify.searches == 1));
    }
    return result;
}

bool CSnToolWorkflow::UsbDevicePresent(const std::string& node) const
{
    return m_hidLink.IsPresent(device::kVendorId, device::kProductId, node);
}

std::vector<std::string> CSnToolWorkflow::UsbUnits() const
{
    return m_hidLink.MatchingNodes(device::kVendorId, device::kProductId);
}

void CSnToolWorkflow::OnSearch()
{
    PullControls();
    const Link link = m_nLinkType == 1 ? Link::Rs232 : Link::Usb;
    auto result = std::make_shared<SearchResult>();
    RunOnWire(
        [this, link, result] {
            *result = Search(link);
            m_strWireOutcome = result->found ? "Product ID " + result->productId : "No device found";
        },
              [this, result] {
                  if (result->found) {
                      m_strProductId = result->productId;
                  }
                  PushControls();
              });
}

// The port Search used, opened by its name again: it must still lead to the
// same device, and nothing may have been waiting on it.
StepFailure CSnToolWorkflow::OpenPinnedPort(const Frame& frame)
{
    if (m_comLink.m_bOpened) {
        m_comLink.Close();
    }
    if (m_comLink.Open(m_strDevice.c_str(), device::kBaud, device::kDataBits, device::kParity, device::kStopBits) ==
        0) {
        return StepFailure::PortNotOpened;
    }
    if (m_comLink.Identity() != m_pinned.identity) {
        return StepFailure::DeviceChanged;
    }
    if (const size_t purged = m_comLink.PurgedOnOpen(); purged > 0) {
        MarkOutOfStep(std::to_string(purged) + " byte(s) were waiting when the port was opened for " +
                      frame.command);
        return StepFailure::OutOfStep;
    }
    return StepFailure::None;
}

// The node Search used must still be there and be the same device.
StepFailure CSnToolWorkflow::CheckPinnedUsbNode() const
{
    if (!m_hidLink.IsPresent(device::kVendorId, device::kProductId, m_pinned.path)) {
        return StepFailure::DeviceNotFound;
    }
    const std::optional<NodeIdentity> now = m_hidLink.Identify(m_pinned.path);
    return now && now == m_pinned.identity ? StepFailure::None : StepFailure::DeviceChanged;
}

// One frame to the device the latest Search found: over its port opened
// afresh, or to its hidraw node.
StepResult CSnToolWorkflow::RunStep(Step step, const Frame& frame)
{
    const std::string_view prefix = step == Step::Qboot ? kBootPrefix : kAckPrefix;
    const bool overCom = m_strDevice.compare(0, 3, "COM") == 0;
    uint8_t reply[device::kReplyBufferSize] = {};
    StepResult r;
    r.step = step;
    r.failure = overCom ? OpenPinnedPort(frame) : CheckPinnedUsbNode();
    if (r.failure == StepFailure::None) {
        m_hidLink.m_strDevicePath = m_pinned.path;
        // A frame that changes the unit is sent again only after a whole
        // reply in step (a refusal, or bad check bytes): then no answer of an
        // earlier attempt can still come and be taken for the next one's.
        // After silence, or a frame not written whole, it could.
        const Retry retry = step == Step::Ate1 ? Retry::AfterAnyFailure : Retry::AfterWholeReply;
        r.exchange = overCom ? ExchangeOverCom(frame, reply, true, prefix, kExchangeAttempts, retry)
                             : ExchangeOverHid(frame, reply, true, prefix, kExchangeAttempts, retry);
        r.ok = r.exchange.accepted && !r.exchange.outOfStep;
        r.failure = r.exchange.outOfStep ? StepFailure::OutOfStep : FailureOf(r.exchange);
    }
    if (overCom) {
        m_comLink.Close();
    }
    r.why = r.failure == StepFailure::OutOfStep ? m_strOutOfStep : std::string();
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
    result.outcome = ApplyOutcome::Failure;
    if (!m_strOutOfStep.empty()) {
        // A late reply of the search may still come: nothing is sent.
        StepResult notSent {Step::Sid, false, StepFailure::OutOfStep, {}, "replies were out of step during Search (" +
                                                                            m_strOutOfStep + ")"};
        result.steps.push_back(notSent);
        return result;
    }
    m_watch = Watch::Stop;
    const std::pair<Step, Frame> steps[] = {{Step::Ate1, BuildAte1Frame()},
                                            {Step::Sid, BuildSidFrame(fields.serial.c_str())},
                                            {Step::Pabc, BuildPabcFrame(fields.code.c_str())},
                                            {Step::Qboot, BuildQbootFrame()}};
    for (const auto& [step, frame] : steps) {
        const bool noted = step == Step::Ate1 || !m_onStep || m_onStep(StepName(step));
        if (!noted && step == Step::Sid) {
            result.steps.push_back({step, false, StepFailure::NotNoted, {}, {}});
            break;
        }
        result.steps.push_back(RunStep(step, frame));
        // The device may not know echo control: "ATE1" may fail, and the sequence goes on.
        if (result.Failed() != nullptr) {
            break;
        }
    }
    m_watch = Watch::Note;
    if (result.Failed() == nullptr) {
        result.outcome = ApplyOutcome::Success;
    }
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
    if (const std::string problem = SnFileMessage(read, CheckSnLines(read, fields)); !problem.empty()) {
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
    auto result = std::make_shared<ProgramResult>();
    RunOnWire(
        [this, f = *fields, result] {
            // Success is what the unit holds afterwards, not what it answered.
            *result = Program(f, ReadBack::Yes, [] { return false; });
            m_strWireOutcome = result->Succeeded() ? "Setting successful!" : "Setting failed!";
        },
        [this] { ShowBox(m_strWireOutcome, "setting"); });
}

} // namespace pello

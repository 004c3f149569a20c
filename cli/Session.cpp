#include "cli/Session.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Ports.h"
#include "core/SnFile.h"

#include <algorithm>
#include <chrono>
#include <poll.h>

namespace pello::cli {

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

} // namespace

CDeviceSession::CDeviceSession(const DeviceChoice& device, const CommonOptions& common) : m_device(device)
{
    if (!device.port.empty()) {
        m_flow.UsePortOnly(device.port);
    }
    if (common.trace) {
        m_flow.SetTrace(&m_trace);
    }
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

std::optional<ProgramFields> ReadFields(const std::string& path)
{
    const SnFileRead read = ReadSnFields(path);
    if (!read.lines.Opened()) {
        Say("Cannot Open File");
        Complain(EscapeDeviceText(path) + ": " + SnOpenReason(read.lines));
        return std::nullopt;
    }
    if (!read.Valid()) {
        Complain(EscapeDeviceText(path) + ": " + SnFileMessage(read.lines, read.check));
        return std::nullopt;
    }
    return read.fields;
}

int ReportNotFound(const DeviceChoice& device)
{
    Say("No device found");
    if (!device.port.empty()) {
        const std::string problem = SerialOpenProblem(device.port);
        Complain(EscapeDeviceText(device.port) + ": " + (problem.empty() ? "no device answered there" : problem));
    } else {
        Complain("'pellomatic-cli ports' shows which ports and USB devices can be used");
    }
    return kNoDevice;
}

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

int ReportApply(const ApplyResult& applied)
{
    if (applied.outcome == ApplyOutcome::Success) {
        Print("Setting successful!");
        return kOk;
    }
    Say("Setting failed!");
    if (const StepResult* failed = applied.Failed()) {
        Complain(DescribeFailure(*failed));
    }
    return kSettingFailed;
}

VerifyOutcome Verify(CDeviceSession& session, const ProgramFields& written)
{
    const auto deadline = std::chrono::steady_clock::now() + kVerifyPatience;
    SearchResult found = session.Search();
    while (!found.found && !Interrupted() && std::chrono::steady_clock::now() < deadline) {
        ::poll(nullptr, 0, 250); // the device is restarting; look again shortly
        found = session.Search();
    }
    const std::string expected = EscapeDeviceText(written.serial);
    if (!found.found) {
        Complain("Verify failed: expected " + expected + ", read nothing");
        return VerifyOutcome::NothingRead;
    }
    if (found.field != written.serial) {
        Complain("Verify failed: expected " + expected + ", read " + EscapeDeviceText(found.field) + " (positions " +
                 DifferingPositions(written.serial, found.field) + " differ)");
        return VerifyOutcome::Differs;
    }
    Print("Verified: " + EscapeDeviceText(found.productId));
    return VerifyOutcome::Matched;
}

} // namespace pello::cli

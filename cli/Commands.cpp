#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Ports.h"
#include "cli/Trace.h"
#include "core/SnFile.h"
#include "protocol/Frames.h"

#include <chrono>
#include <optional>
#include <poll.h>

#include <nlohmann/json.hpp>

namespace pello::cli {

namespace {

// A device may restart after "QBOOT": searches start again for this long.
constexpr auto kVerifyPatience = std::chrono::seconds(10);

// A workflow aimed where the options say, tracing when asked.
class CCommandFlow {
public:
    CCommandFlow(const DeviceChoice& device, const CommonOptions& common) : m_device(device)
    {
        if (!device.port.empty()) {
            m_flow.UsePortOnly(device.port);
        }
        if (common.trace) {
            m_flow.SetTrace(&m_trace);
        }
    }
    CSnToolWorkflow& Flow() { return m_flow; }
    SearchResult Search() { return m_flow.Search(m_device.link); }
    const DeviceChoice& Device() const { return m_device; }

private:
    DeviceChoice m_device;
    CTraceLines m_trace;
    CSnToolWorkflow m_flow;
};

// "No device found", and where to look for the reason.
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

// Positions (1-based) where two fields differ, as "3, 21-22".
std::string DifferingPositions(const std::string& a, const std::string& b)
{
    std::string out;
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n;) {
        if (i < a.size() && i < b.size() && a[i] == b[i]) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j + 1 < n && !(j + 1 < a.size() && j + 1 < b.size() && a[j + 1] == b[j + 1])) ++j;
        out += (out.empty() ? "" : ", ") + std::to_string(i + 1) + (j > i ? "-" + std::to_string(j + 1) : "");
        i = j + 1;
    }
    return out;
}

// Searches again on the link that found the device until it answers or the
// patience runs out, and compares the whole field read back with the one written.
int Verify(CCommandFlow& command, const ProgramFields& written)
{
    const auto deadline = std::chrono::steady_clock::now() + kVerifyPatience;
    SearchResult found = command.Search();
    while (!found.found && !Interrupted() && std::chrono::steady_clock::now() < deadline) {
        ::poll(nullptr, 0, 250); // the device is restarting; look again shortly
        found = command.Search();
    }
    const std::string expected = EscapeDeviceText(written.serial);
    if (!found.found) {
        Complain("Verify failed: expected " + expected + ", read nothing");
        return kVerifyFailed;
    }
    if (found.field != written.serial) {
        Complain("Verify failed: expected " + expected + ", read " + EscapeDeviceText(found.field) + " (positions " +
                 DifferingPositions(written.serial, found.field) + " differ)");
        return kVerifyFailed;
    }
    Print("Verified: " + EscapeDeviceText(found.productId));
    return kOk;
}

int DryRun(const ProgramFields& fields)
{
    for (const Frame& f : {BuildAte1Frame(), BuildSidFrame(fields.serial.c_str()), BuildPabcFrame(fields.code.c_str()),
                           BuildQbootFrame()}) {
        Print(ToHex(f.bytes, f.length));
    }
    return kOk;
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

std::string SearchJson(const SearchResult& r)
{
    nlohmann::json j {{"found", r.found}};
    if (r.found) {
        j["device"] = r.device;
        j["node"] = EscapeDeviceText(r.node);
        j["field"] = EscapeDeviceText(r.field);
        j["product_id"] = EscapeDeviceText(r.productId);
    }
    return j.dump();
}

} // namespace

int RunSearch(const SearchOptions& options, const CommonOptions& common)
{
    CCommandFlow command(options.device, common);
    const SearchResult found = command.Search();
    if (options.json) {
        Print(SearchJson(found));
    }
    if (!found.found) {
        return ReportNotFound(options.device);
    }
    if (!options.json) {
        Print(EscapeDeviceText(found.productId));
    }
    return kOk;
}

int RunApply(const ApplyOptions& options, const CommonOptions& common)
{
    // The file first: a missing or bad file is reported before any search.
    const std::optional<ProgramFields> fields = ReadFields(options.file);
    if (!fields) {
        return kFileProblem;
    }
    if (options.dryRun) {
        return DryRun(*fields);
    }
    CCommandFlow command(options.device, common);
    if (!command.Search().found) {
        return ReportNotFound(options.device);
    }
    if (Interrupted()) {
        return InterruptedExitCode(); // nothing has been written yet
    }
    int rc = ReportApply(command.Flow().Apply(*fields));
    if (rc == kOk && options.verify) {
        rc = Verify(command, *fields);
    }
    return Interrupted() ? InterruptedExitCode() : rc;
}

int RunFrame(const FrameOptions& options)
{
    Frame f;
    if (options.kind == "qsid") f = BuildQsidFrame();
    else if (options.kind == "ate1") f = BuildAte1Frame();
    else if (options.kind == "qboot") f = BuildQbootFrame();
    else {
        const bool serial = options.kind == "sid";
        const FieldCheck check = CheckField(options.field, serial);
        if (!check.Ok()) {
            const std::string need = serial ? "22" : "12";
            Complain("frame " + options.kind + ": " +
                     (check.position == 0 ? "the field needs exactly " + need + " characters"
                                          : "character " + std::to_string(check.position) + " is " +
                                                ByteName(check.byte) + "; only printable ASCII is allowed"));
            return kUsage;
        }
        f = serial ? BuildSidFrame(options.field.c_str()) : BuildPabcFrame(options.field.c_str());
    }
    Print(ToHex(f.bytes, f.length));
    return kOk;
}

int RunPorts(const PortsOptions& options)
{
    CPortResolver resolver;
    if (!options.port.empty()) {
        resolver.SetAlias(0, options.port);
    }
    const PortsInfo info = CollectPorts(resolver, HidLinkPaths {});
    if (options.json) {
        Print(PortsJson(info));
    } else {
        std::fputs(PortsText(info).c_str(), stdout);
    }
    return kOk;
}

} // namespace pello::cli

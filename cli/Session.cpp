#include "cli/Session.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Ports.h"
#include "core/SnFile.h"


namespace pello::cli {

CDeviceSession::CDeviceSession(const DeviceChoice& device, const CommonOptions& common) : m_device(device)
{
    m_flow.UseNamedDevice(device.link, device.port);
    if (common.trace) {
        m_flow.SetTrace(&m_trace);
    }
}

int CDeviceSession::CheckOneUnit()
{
    if (m_device.link != Link::Usb || !m_device.port.empty()) {
        return kOk;
    }
    const std::vector<std::string> units = m_flow.UsbUnits();
    if (units.size() <= 1) {
        return kOk;
    }
    std::string nodes;
    for (const std::string& node : units) nodes += (nodes.empty() ? "" : ", ") + text::Show(node);
    Complain(std::to_string(units.size()) + " units are connected over USB (" + nodes +
             "): connect one at a time, or name one with --port, " + kHidPortName);
    return kSeveralUnits;
}

std::optional<ProgramFields> ReadFields(const std::string& path)
{
    const SnFileRead read = ReadSnFields(path);
    if (!read.lines.Opened()) {
        Say("Cannot Open File");
        Complain(text::Show(path) + ": " + SnOpenReason(read.lines));
        return std::nullopt;
    }
    if (!read.Valid()) {
        Complain(text::Show(path) + ": " + SnFileMessage(read.lines, read.check));
        return std::nullopt;
    }
    return read.fields;
}

int ReportNotFound(const DeviceChoice& device)
{
    Say("No device found");
    if (!device.port.empty() && device.link == Link::Usb) {
        Complain(text::Show(device.port) + ": no unit answered there");
    } else if (!device.port.empty()) {
        const std::string problem = SerialOpenProblem(device.port);
        Complain(text::Show(device.port) + ": " + (problem.empty() ? "no device answered there" : problem));
    } else {
        Complain("'pellomatic-cli ports' shows which ports and USB devices can be used");
    }
    return kNoDevice;
}

namespace {

// Why a sequence that was accepted did not prove itself.
std::string VerifyFailure(const VerifyResult& verify, const ProgramFields& written)
{
    const std::string expected = text::Show(written.serial);
    if (verify.outcome == VerifyOutcome::NothingRead) {
        return "Verify failed: expected " + expected + ", read nothing";
    }
    return "Verify failed: expected " + expected + ", read " + text::Show(verify.read.field) + " (positions " +
           verify.differing + " differ)";
}

} // namespace

int ReportProgram(const ProgramResult& result, const ProgramFields& written)
{
    if (result.Succeeded()) {
        Print("Setting successful!");
        Print(result.readBack == ReadBack::No ? "Not verified: --no-verify, the field was not read back"
                                              : "Verified: " + text::Show(result.verify.read.productId));
        return kOk;
    }
    Say("Setting failed!");
    if (result.applied.outcome == ApplyOutcome::Success) {
        Complain(VerifyFailure(result.verify, written));
        return kVerifyFailed;
    }
    if (const StepResult* failed = result.applied.Failed()) {
        Complain(DescribeFailure(*failed));
    }
    if (const std::string readBack = DescribeReadBack(result.verify); !readBack.empty()) {
        Complain("read back: " + readBack);
    }
    return kSettingFailed;
}

} // namespace pello::cli

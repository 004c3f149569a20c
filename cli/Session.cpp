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
             "): connect one at a time, or name one with --port /dev/hidrawN");
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
    const VerifyResult r = session.Flow().VerifyField(session.Device().link, written.serial, Interrupted);
    const std::string expected = text::Show(written.serial);
    if (r.outcome == VerifyOutcome::NothingRead) {
        Complain("Verify failed: expected " + expected + ", read nothing");
    } else if (r.outcome == VerifyOutcome::Differs) {
        Complain("Verify failed: expected " + expected + ", read " + text::Show(r.read.field) + " (positions " +
                 r.differing + " differ)");
    } else {
        Print("Verified: " + text::Show(r.read.productId));
    }
    return r.outcome;
}

} // namespace pello::cli

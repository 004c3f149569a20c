#pragma once
// One command's time with the device: the workflow aimed where the options
// say, and the steps apply and the station share (reading the fields,
// reporting a search that found nothing, the outcome, the verify).

#include "cli/Options.h"
#include "cli/Trace.h"
#include "core/Workflow.h"

#include <optional>
#include <string>

namespace pello::cli {

class CDeviceSession {
public:
    CDeviceSession(const DeviceChoice& device, const CommonOptions& common);
    CSnToolWorkflow& Flow() { return m_flow; }
    SearchResult Search() { return m_flow.Search(m_device.link); }
    const DeviceChoice& Device() const { return m_device; }
    // Over USB without --port, only one unit may be connected to be programmed:
    // 0, or kSeveralUnits after saying which are there.
    int CheckOneUnit();

private:
    DeviceChoice m_device;
    CTraceLines m_trace;
    CSnToolWorkflow m_flow;
};

// Reads and checks SN.txt (or --file), saying why when it cannot be used.
std::optional<ProgramFields> ReadFields(const std::string& path);
// "No device found", and where to look for the reason.
int ReportNotFound(const DeviceChoice& device);
// The outcome, said once, after the read-back: "Setting successful!" only
// when the unit holds `written` (or reading back was declined), otherwise
// "Setting failed!" and why; the exit code.
int ReportProgram(const ProgramResult& result, const ProgramFields& written);

} // namespace pello::cli

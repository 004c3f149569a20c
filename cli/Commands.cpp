#include "cli/Commands.h"

#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cli/Ports.h"
#include "cli/Session.h"
#include "protocol/Frames.h"
#include "text/Time.h"

#include <nlohmann/json.hpp>


namespace pello::cli {

namespace {

nlohmann::json SearchJson(const SearchResult& r)
{
    nlohmann::json j {{"found", r.found}};
    if (r.found) {
        j["device"] = r.device;
        j["node"] = r.node;
        j["field"] = r.field;
        j["product_id"] = r.productId;
    }
    return j;
}

} // namespace

int RunSearch(const SearchOptions& options, const CommonOptions& common)
{
    CDeviceSession session(options.device, common);
    const SearchResult found = session.Search();
    if (const size_t units = session.Flow().UsbUnits().size(); found.found && found.device == "usb" && units > 1) {
        Complain(std::to_string(units) + " units are connected over USB; this is the one at " + found.node);
    }
    if (options.json) {
        PrintJson(SearchJson(found));
    }
    if (!found.found) {
        return ReportNotFound(options.device);
    }
    if (!options.json) {
        Print(found.productId);
    }
    return kOk;
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

std::optional<std::string> NormalizeSince(const std::string& typed) { return text::NormalizeTime(typed); }

int RunPorts(const PortsOptions& options)
{
    CPortResolver resolver;
    if (!options.port.empty()) {
        resolver.SetAlias(0, options.port);
    }
    const PortsInfo info = CollectPorts(resolver, HidLinkPaths {});
    if (options.json) {
        PrintJson(PortsJson(info));
    } else {
        for (const std::string& line : PortsText(info)) Print(line);
    }
    return kOk;
}

} // namespace pello::cli

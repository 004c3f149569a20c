// pellomatic-cli: Search and Apply from scripts, for production lines.

#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cmdline/CommandLine.h"
#include "link/Process.h"
#include "link/Serial.h"

#include <functional>

namespace pello::cli {

namespace {

constexpr const char* kFooter =
    "Exit codes: 0 success, 1 usage, 2 file problem, 3 no device, 4 setting failed,\n"
    "5 verify failed, 7 output could not be written, 128+N ended by signal N.\n"
    "PELLOMATIC_PORT sets the default for --port.";

// Device selection shared by search and apply.
struct DeviceFlags {
    std::string link;
    std::string port;
    CLI::Option* linkOption = nullptr;
    CLI::Option* portOption = nullptr;
};

void AddDeviceFlags(CLI::App* sub, DeviceFlags* flags)
{
    flags->linkOption = sub->add_option("--link", flags->link, "usb (the default) or rs232")
                            ->check(CLI::IsMember({"usb", "rs232"}));
    flags->portOption = sub->add_option("--port", flags->port,
                                        "this serial device and no other (implies --link rs232; "
                                        "default: $PELLOMATIC_PORT)");
}

// PELLOMATIC_PORT, as ESPTOOL_PORT is for its tool: the default for --port.
std::string PortFromEnvironment()
{
    const char* port = std::getenv("PELLOMATIC_PORT");
    return port != nullptr ? port : "";
}

// --port names a serial device; from the environment it yields to --link usb.
DeviceChoice Resolve(const DeviceFlags& flags)
{
    DeviceChoice choice;
    const bool usbAsked = flags.link == "usb";
    if (usbAsked && flags.portOption->count() > 0) {
        throw CLI::ValidationError("--port names a serial device; it cannot go with --link usb");
    }
    const std::string port = flags.portOption->count() > 0 ? flags.port : usbAsked ? "" : PortFromEnvironment();
    choice.link = (flags.link == "rs232" || !port.empty()) ? Link::Rs232 : Link::Usb;
    choice.port = port;
    return choice;
}

void LinkDiagnostic(const char* text) { Complain(std::string("serial link:") + text); }

int Run(int argc, char** argv)
{
    CLI::App app {"Program a device's serial number over RS232 or USB HID, and read it back.", "pellomatic-cli"};
    app.footer(kFooter);
    app.set_version_flag("-V,--version", VersionLine("pellomatic-cli"));
    app.require_subcommand(0, 1);
    app.fallthrough();
    CommonOptions common;
    app.add_flag("--trace", common.trace, "every port, frame and reply on stderr");

    SearchOptions search;
    DeviceFlags searchDevice;
    CLI::App* searchCmd = app.add_subcommand("search", "find the device and print its Product ID");
    AddDeviceFlags(searchCmd, &searchDevice);
    searchCmd->add_flag("--json", search.json, "print the result as one JSON object");

    ApplyOptions apply;
    DeviceFlags applyDevice;
    CLI::App* applyCmd = app.add_subcommand("apply", "check SN.txt, search, then program its two lines");
    AddDeviceFlags(applyCmd, &applyDevice);
    applyCmd->add_option("--file", apply.file, "read PATH instead of SN.txt")->option_text("PATH");
    CLI::Option* verify = applyCmd->add_flag("--verify", apply.verify, "search again and compare the field read back");
    applyCmd->add_flag("--dry-run", apply.dryRun, "check the file and print the four frames; send nothing")
        ->excludes(verify);

    FrameOptions frame;
    CLI::App* frameCmd = app.add_subcommand("frame", "print a frame in hex");
    frameCmd->add_option("KIND", frame.kind, "qsid, ate1, qboot, sid or pabc")
        ->required()
        ->check(CLI::IsMember({"qsid", "ate1", "qboot", "sid", "pabc"}));
    frameCmd->add_option("FIELD", frame.field, "the payload of sid (22 characters) or pabc (12)");

    PortsOptions ports;
    CLI::App* portsCmd = app.add_subcommand("ports", "what COM0..COM9 are, and the device's USB HID interfaces");
    portsCmd->add_option("--port", ports.port, "a device to report as COM0 (default: $PELLOMATIC_PORT)");
    portsCmd->add_flag("--json", ports.json, "print the report as one JSON object");

    std::function<int()> command;
    searchCmd->final_callback([&] {
        search.device = Resolve(searchDevice);
        command = [&] { return RunSearch(search, common); };
    });
    applyCmd->final_callback([&] {
        apply.device = Resolve(applyDevice);
        command = [&] { return RunApply(apply, common); };
    });
    frameCmd->final_callback([&] {
        const bool needsField = frame.kind == "sid" || frame.kind == "pabc";
        if (needsField != (frameCmd->count("FIELD") > 0)) {
            throw CLI::ValidationError(needsField ? "frame " + frame.kind + " needs its field"
                                                  : "frame " + frame.kind + " takes no field");
        }
        command = [&] { return RunFrame(frame); };
    });
    portsCmd->final_callback([&] {
        if (ports.port.empty()) {
            ports.port = PortFromEnvironment();
        }
        command = [&] { return RunPorts(ports); };
    });

    if (const std::optional<int> end = ParseCommandLine(app, argc, argv)) {
        return *end;
    }
    if (!command) {
        ReportUsageError("pellomatic-cli", "a command is needed: search, apply, frame or ports");
        return kUsage;
    }
    SetLinkDiagnostics(LinkDiagnostic);
    return command();
}

} // namespace

} // namespace pello::cli

int main(int argc, char** argv)
{
    pello::EnsureStandardDescriptors();
    pello::cli::InstallInterruptHandlers();
    return pello::cli::FinishOutput(pello::cli::Run(argc, argv));
}

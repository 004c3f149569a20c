// pellomatic-devsim: the device on a pseudo-terminal, for tests, demonstrations
// and benches without hardware.

#include "cmdline/CommandLine.h"
#include "link/Process.h"
#include "sim/DeviceModel.h"
#include "sim/Simulator.h"

#include <csignal>

namespace pello {

namespace {

// A field of `length` printable ASCII characters.
CLI::Validator FieldOf(size_t length)
{
    return CLI::Validator(
        [length](std::string& value) -> std::string {
            if (value.size() != length) return "needs exactly " + std::to_string(length) + " characters";
            for (const char c : value) {
                if (c < 0x20 || c > 0x7E) return "only printable ASCII characters are allowed";
            }
            return {};
        },
        "FIELD");
}

const CLI::Validator kFaultRule(
    [](std::string& value) -> std::string {
        CDeviceModel probe;
        return probe.AddFaults(value) ? std::string() : "is not CMD=B1,B2,...: " + value;
    },
    "CMD=B1,...");

void AddOptions(CLI::App& app, SimOptions& o)
{
    app.set_version_flag("-V,--version", VersionLine("pellomatic-devsim"));
    CLI::Option* link = app.add_option("--link", o.linkPath, "make a symbolic link PATH to the terminal")->option_text("PATH");
    CLI::Option* com = app.add_option("--com", o.comNumber, "make the per-user alias COMn (see pellomatic-cli ports)")
                           ->check(CLI::Range(0, 9))->option_text("N");
    CLI::Option* usb = app.add_flag("--usb", o.usb, "be a virtual USB HID device through /dev/uhid instead");
    usb->excludes(link)->excludes(com);
    app.add_option("--tty", o.ttyPath, "serve on this existing terminal (a serial port through a null-modem "
                                       "cable, say), set to 2400 8N2")
        ->option_text("PATH")
        ->excludes(usb)
        ->excludes(link)
        ->excludes(com);
    app.add_option("--sid", o.sid, "serial number field, 22 characters")->check(FieldOf(device::kSerialFieldLength))->option_text("FIELD");
    app.add_option("--pabc", o.pabc, "code field, 12 characters")->check(FieldOf(device::kCodeFieldLength))->option_text("FIELD");
    app.add_option("--state", o.statePath, "keep both fields in FILE across runs")->option_text("FILE");
    app.add_option("--fault", o.faults,
                   "answer the next frames of CMD (QSID, ATE1, SID, PABC, QBOOT) with normal, ack, nak, storenak "
                   "(acts on it, answers NAK), silent, badcrc, boot, reply:TEXT (check bytes and CR added), raw:TEXT (sent as is; \\xHH for any "
                   "byte) or late:MS (the normal answer MS late), one behaviour per frame")
        ->check(kFaultRule)->option_text("CMD=B1,...");
    app.add_option("--reply-delay", o.replyDelayMs, "wait MS before each reply")->check(CLI::Range(0L, 600000L))->option_text("MS");
    app.add_flag("--wire-speed", o.wireSpeed, "pace frames and replies as a 2400-baud line, 11 bits a byte")
        ->excludes(usb);
    app.add_flag("--verbose", o.verbose, "log every frame, reply and unit on stderr");
    app.add_flag("--check-line", o.checkLine, "drop what arrives while the terminal is not set to 2400 8N2 without "
                                              "flow control, as the unit would only hear noise then")
        ->excludes(usb);
    app.add_option("--units", o.units, "present K units one after another, as on a production line")
        ->check(CLI::Range(1, 9999))->option_text("K");
    app.add_option("--gap", o.gapSeconds, "seconds the line stays empty between two units (default 1)")
        ->check(CLI::Range(0.0, 3600.0))->option_text("SECONDS");
    app.add_option("--hold", o.holdSeconds, "seconds a programmed unit stays connected (default: the gap)")
        ->check(CLI::Range(0.0, 1e6))->option_text("SECONDS");
    app.add_option("--unit-sid", o.unitFields, "the initial field of the next unit (repeatable; later units get "
                                               "fields of their own)")
        ->check(FieldOf(device::kSerialFieldLength))->option_text("FIELD");
    app.add_flag("--blank-units", o.blankUnits, "every unit arrives carrying --sid, as new units do");
    app.add_option("--gap-max", o.gapMaxSeconds, "draw each gap between --gap and this many seconds")
        ->check(CLI::Range(0.0, 3600.0))->option_text("SECONDS");
    app.add_option("--chaos", o.chaosPercent, "misbehave at random on PERCENT of the frames (refuse, stay silent, "
                                              "garble, answer late or twice)")
        ->check(CLI::Range(0, 100))->option_text("PERCENT");
    app.add_option("--seed", o.seed, "seed of --gap-max and --chaos")->option_text("N");
    app.add_option("--ledger", o.ledgerPath, "append a line per unit that leaves: its number, both fields and "
                                             "whether it took QBOOT after them")
        ->option_text("FILE");
}

} // namespace

} // namespace pello

int main(int argc, char** argv)
{
    pello::EnsureStandardDescriptors();
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app {"Simulates the device on a pseudo-terminal and prints the terminal's path.", "pellomatic-devsim"};
    pello::SimOptions options;
    pello::AddOptions(app, options);
    if (const std::optional<int> end = pello::ParseCommandLine(app, argc, argv)) {
        return *end;
    }
    return pello::RunSimulator(options);
}

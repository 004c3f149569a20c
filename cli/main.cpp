// pellomatic-cli: Search and Apply from scripts, serial batches and the
// programming record, for production lines.

#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Interrupt.h"
#include "cli/Output.h"
#include "cmdline/CommandLine.h"
#include "cmdline/Device.h"
#include "link/Process.h"
#include "storage/Store.h"
#include "link/Serial.h"

#include <cstdlib>
#include <functional>

namespace pello::cli {

namespace {

constexpr const char* kFooter =
    "Exit codes: 0 success, 1 usage, 2 file problem, 3 no device, 4 setting failed, 5 verify failed,\n"
    "6 duplicate, 7 output could not be written, 8 unknown batch, 9 batch used up, 10 batch refused,\n"
    "11 database unreachable, 12 database busy, 13 database read-only, 14 database unusable,\n"
    "15 outcome not recorded (kept; a station stops), 16 resolve refused, 17 several USB units connected,\n"
    "18 label not printed, 128+N ended by signal N.\n"
    "PELLOMATIC_PORT sets the default for --port, PELLOMATIC_DB for --db; PELLOMATIC_RECORD=off\n"
    "is --no-record; PELLOMATIC_TOKEN is serve's token.";

// The parsed command line, and the command it asks for.
class CCommandLine {
public:
    CCommandLine() : m_app("Program a device's serial number over RS232 or USB HID, and read it back.",
                           "pellomatic-cli")
    {
        m_app.footer(kFooter);
        m_app.set_version_flag("-V,--version", VersionLine("pellomatic-cli"));
        m_app.require_subcommand(0, 1);
        m_app.fallthrough();
        m_app.add_flag("--trace", m_common.trace, "every port, frame and reply on stderr");
        m_app.add_option("--db", m_common.db, "the record: an SQLite file, or postgresql://... (default: "
                                              "$PELLOMATIC_DB, else ~/.local/share/pellomatic/record.db)")
            ->option_text("WHERE");
        m_app.add_option("--station", m_common.station, "this station's name in the record (default: the host name)")
            ->check(kName);
        m_app.add_option("--operator", m_common.operatorName, "who works here, kept in every row (default: "
                                                             "$PELLOMATIC_OPERATOR; station: - asks for it)")
            ->option_text("NAME")
            ->check(kName);
        m_app.add_flag("--no-record", m_common.noRecord, "keep no record (and no duplicate guard)");
        AddSearch();
        AddApply();
        AddFrame();
        AddPorts();
        AddBatch();
        AddLog();
        AddStation();
        AddStats();
        AddServe();
        AddLabel();
    }
    // An exit code when the program ends here.
    std::optional<int> Parse(int argc, char** argv)
    {
        if (const std::optional<int> end = ParseCommandLine(m_app, argc, argv)) {
            return end;
        }
        if (!m_command) {
            ReportUsageError("pellomatic-cli",
                             "a command is needed: search, apply, frame, ports, batch, log, station, stats, serve or label");
            return kUsage;
        }
        if (m_common.db.empty()) {
            m_common.db = Environment("PELLOMATIC_DB");
        }
        if (m_common.operatorName.empty()) {
            m_common.operatorName = Environment("PELLOMATIC_OPERATOR");
            if (const std::string why = text::NameProblem(m_common.operatorName); !why.empty()) {
                ReportUsageError("pellomatic-cli", "PELLOMATIC_OPERATOR: " + why);
                return kUsage;
            }
        }
        return std::nullopt;
    }
    int Run() { return m_command(); }

private:
    void AddSearch()
    {
        CLI::App* cmd = m_app.add_subcommand("search", "find the device and print its Product ID");
        AddDeviceFlags(cmd, &m_searchDevice);
        cmd->add_flag("--json", m_search.json, "print the result as one JSON object");
        cmd->final_callback([this] {
            m_search.device = ResolveDevice(m_searchDevice);
            m_command = [this] { return RunSearch(m_search, m_common); };
        });
    }
    void AddApply()
    {
        CLI::App* cmd = m_app.add_subcommand("apply", "check SN.txt, search, then program its two lines");
        AddDeviceFlags(cmd, &m_applyDevice);
        CLI::Option* file = cmd->add_option("--file", m_apply.file, "read PATH instead of SN.txt")->option_text("PATH");
        // Reading back is the default: a unit's "(ACK" does not say it stored the field.
        CLI::Option* verify = cmd->add_flag("--verify", m_apply.verify, "read the field back (the default)");
        CLI::Option* noVerify = cmd->add_flag("!--no-verify", m_apply.verify,
                                              "do not read the field back: success then rests on the unit's answers");
        CLI::Option* dry = cmd->add_flag("--dry-run", m_apply.dryRun,
                                         "check the file and print the four frames; send nothing");
        dry->excludes(verify)->excludes(noVerify);
        verify->excludes(noVerify);
        cmd->add_option("--batch", m_apply.batch, "program the next free serial number of batch NAME (always read back)")
            ->option_text("NAME")
            ->check(kNonEmpty)
            ->check(kName)
            ->excludes(file)
            ->excludes(dry)
            ->excludes(noVerify);
        cmd->add_flag("--allow-duplicate", m_apply.allowDuplicate,
                      "program a field the record shows in another unit");
        cmd->final_callback([this] {
            m_apply.device = ResolveDevice(m_applyDevice);
            if (!m_apply.batch.empty() && m_common.noRecord) {
                throw CLI::ValidationError("--batch needs the record; it cannot go with --no-record");
            }
            m_command = [this] {
                InstallInterruptHandlers();
                return RunApply(m_apply, m_common);
            };
        });
    }
    void AddFrame()
    {
        CLI::App* cmd = m_app.add_subcommand("frame", "print a frame in hex");
        cmd->add_option("KIND", m_frame.kind, "qsid, ate1, qboot, sid or pabc")
            ->required()
            ->check(CLI::IsMember({"qsid", "ate1", "qboot", "sid", "pabc"}));
        cmd->add_option("FIELD", m_frame.field, "the payload of sid (22 characters) or pabc (12)");
        cmd->final_callback([this, cmd] {
            const bool needsField = m_frame.kind == "sid" || m_frame.kind == "pabc";
            if (needsField != (cmd->count("FIELD") > 0)) {
                throw CLI::ValidationError(needsField ? "frame " + m_frame.kind + " needs its field"
                                                      : "frame " + m_frame.kind + " takes no field");
            }
            m_command = [this] { return RunFrame(m_frame); };
        });
    }
    void AddPorts()
    {
        CLI::App* cmd = m_app.add_subcommand("ports", "what COM0..COM9 are, and the device's USB HID interfaces");
        cmd->add_option("--port", m_ports.port, "a device to report as COM0 (default: $PELLOMATIC_PORT)");
        cmd->add_flag("--json", m_ports.json, "print the report as one JSON object");
        cmd->final_callback([this] {
            if (m_ports.port.empty()) {
                m_ports.port = Environment("PELLOMATIC_PORT");
            }
            m_command = [this] { return RunPorts(m_ports); };
        });
    }
    CLI::App* AddBatchAction(CLI::App* batch, const std::string& action, const std::string& what, bool named)
    {
        CLI::App* cmd = batch->add_subcommand(action, what);
        cmd->fallthrough();
        if (named) {
            cmd->add_option("NAME", m_batch.name, "the batch")->required()->check(kNonEmpty)->check(kName);
        }
        cmd->final_callback([this, action] {
            m_batch.action = action;
            m_command = [this] { return RunBatch(m_batch, m_common); };
        });
        return cmd;
    }
    void AddBatch()
    {
        CLI::App* batch = m_app.add_subcommand("batch", "serial number batches several stations draw from");
        batch->fallthrough();
        batch->require_subcommand(1, 1);
        CLI::App* create = AddBatchAction(batch, "create", "a batch of COUNT serial numbers from FIRST, with CODE", true);
        create->add_option("--first", m_batch.first, "the first serial number, as the Product ID shows it")
            ->option_text("SERIAL")->required();
        create->add_option("--count", m_batch.count, "how many serial numbers")
            ->option_text("N")
            ->required()
            ->transform(kDecimal);
        create->add_option("--blank", m_batch.blank, "what a new unit carries (default " +
                                                         std::string(storage::kFactoryField) + ")")
            ->option_text("FIELD");
        create->add_option("--code", m_batch.code, "the 12-character code written with each")->required();
        AddBatchAction(batch, "list", "every batch and its counts", false);
        AddBatchAction(batch, "show", "counts per state, the next free serial number, serials in doubt", true);
        CLI::App* exportCmd = AddBatchAction(batch, "export", "one row per serial number, its state and history", true);
        exportCmd->add_option("--format", m_batch.format, "csv (the default) or json")
            ->check(CLI::IsMember({"csv", "json"}));
        CLI::App* resolve = AddBatchAction(batch, "resolve", "a supervisor's decision on a serial number in doubt", true);
        resolve->add_option("SERIAL", m_batch.serial, "the serial number in doubt")->required();
        CLI::Option* free = resolve->add_flag("--free", m_batch.free, "the unit does not carry it: hand it out again");
        CLI::Option* spoiled = resolve->add_flag("--spoiled", m_batch.spoiled, "never hand it out again");
        free->excludes(spoiled);
        resolve->final_callback([this] {
            if (!m_batch.free && !m_batch.spoiled) {
                throw CLI::ValidationError("batch resolve needs --free or --spoiled");
            }
            m_batch.action = "resolve";
            m_command = [this] { return RunBatch(m_batch, m_common); };
        });
    }
    void AddLog()
    {
        CLI::App* cmd = m_app.add_subcommand("log", "the programming record");
        cmd->add_option("--since", m_log.since, "from this UTC time on (2026-12-07 or 2026-12-07T09:30)")
            ->option_text("TIME");
        cmd->add_option("--serial", m_log.serial, "rows of this serial number or field")->option_text("S");
        cmd->add_option("--format", m_log.format, "text (the default), csv or json")
            ->check(CLI::IsMember({"text", "csv", "json"}));
        cmd->final_callback([this] {
            if (!m_log.since.empty()) {
                const std::optional<std::string> since = NormalizeSince(m_log.since);
                if (!since) throw CLI::ValidationError("--since: " + m_log.since + " is not a date or time");
                m_log.since = *since;
            }
            m_command = [this] { return RunLog(m_log, m_common); };
        });
    }

    void AddStation()
    {
        CLI::App* cmd = m_app.add_subcommand("station", "program unit after unit from a batch, without a keystroke");
        AddDeviceFlags(cmd, &m_stationDevice);
        cmd->add_option("--batch", m_station.batch, "the batch to draw from")
            ->option_text("NAME")
            ->required()
            ->check(kNonEmpty)
            ->check(kName);
        cmd->add_option("--count", m_station.count, "stop after N units")
            ->option_text("N")
            ->transform(kDecimal)
            ->check(CLI::Range(1, 1000000));
        cmd->add_flag("--json", m_station.json, "one JSON object per event on stdout, nothing else there");
        cmd->add_option("--interval", m_station.interval, "RS232: seconds between two looks for a unit (default 1)")
            ->option_text("SECONDS")
            ->check(CLI::Range(0.05, 60.0));
        AddLabelOptions(cmd, &m_station.label, &m_station.printer, false);
        cmd->final_callback([this] {
            m_station.device = ResolveDevice(m_stationDevice);
            if (m_common.noRecord) {
                throw CLI::ValidationError("station needs the record; it cannot go with --no-record");
            }
            m_command = [this] {
                InstallInterruptHandlers();
                return RunStation(m_station, m_common);
            };
        });
    }

    void AddStats()
    {
        CLI::App* cmd = m_app.add_subcommand("stats", "the line's numbers: yield, first pass yield, retests, cycle "
                                                      "times, units per hour, failures by step");
        cmd->add_option("--batch", m_stats.batch, "this batch's rows only")
            ->option_text("NAME")
            ->check(kNonEmpty)
            ->check(kName);
        cmd->add_option("--since", m_stats.since, "from this UTC time on")->option_text("TIME");
        cmd->add_option("--until", m_stats.until, "before this UTC time")->option_text("TIME");
        cmd->add_option("--by", m_stats.by, "a group per station, batch, operator, hour or day")
            ->check(CLI::IsMember({"station", "batch", "operator", "hour", "day"}));
        cmd->add_option("--format", m_stats.format, "text (the default), csv or json")
            ->check(CLI::IsMember({"text", "csv", "json"}));
        cmd->final_callback([this] {
            for (std::string* time : {&m_stats.since, &m_stats.until}) {
                if (time->empty()) continue;
                const std::optional<std::string> normal = NormalizeSince(*time);
                if (!normal) throw CLI::ValidationError(*time + " is not a date or time");
                *time = *normal;
            }
            m_command = [this] { return RunStats(m_stats, m_common); };
        });
    }
    void AddServe()
    {
        CLI::App* cmd = m_app.add_subcommand("serve", "a read-only web page over the record, for the supervisor");
        cmd->add_option("--listen", m_serve.listen, "ADDR:PORT to listen on (default 127.0.0.1:8080; an address "
                                                    "off this machine needs a token, and TLS or --plain-http)")
            ->option_text("ADDR:PORT");
        CLI::Option* file = cmd->add_option("--token-file", m_serve.tokenFile,
                                            "the token (16 characters or more) a browser signs in with, from FILE, "
                                            "which only you may read (default: $PELLOMATIC_TOKEN)")
                                ->option_text("FILE");
        cmd->add_option("--token", m_serve.token, "the token itself: every local user can read it in the process "
                                                  "list, so prefer --token-file or PELLOMATIC_TOKEN")
            ->option_text("TOKEN")
            ->excludes(file);
        CLI::Option* cert = cmd->add_option("--tls-cert", m_serve.tlsCert, "serve HTTPS with this certificate (PEM)")
                                ->option_text("FILE");
        CLI::Option* key = cmd->add_option("--tls-key", m_serve.tlsKey, "and this private key (PEM)")->option_text("FILE");
        cert->needs(key);
        key->needs(cert);
        cmd->add_flag("--plain-http", m_serve.plainHttp,
                      "serve plain HTTP on an address off this machine: the token and the record travel in clear");
        cmd->add_option("--offline-after", m_serve.offlineAfter, "seconds a station may go unseen (default 30)")
            ->option_text("SECONDS")
            ->check(CLI::Range(1, 86400));
        cmd->final_callback([this] { m_command = [this] { return RunServe(m_serve, m_common); }; });
    }

    void AddLabel()
    {
        CLI::App* cmd = m_app.add_subcommand("label", "print a programmed serial's label again, its values from the record");
        cmd->add_option("SERIAL", m_label.serial, "the serial number")->required()->check(kNonEmpty);
        AddLabelOptions(cmd, &m_label.label, &m_label.printer, true);
        cmd->final_callback([this] { m_command = [this] { return RunLabel(m_label, m_common); }; });
    }

    CLI::App m_app;
    CommonOptions m_common;
    LabelOptions m_label;
    StatsOptions m_stats;
    ServeOptions m_serve;
    StationCliOptions m_station;
    DeviceFlags m_stationDevice;
    SearchOptions m_search;
    DeviceFlags m_searchDevice;
    ApplyOptions m_apply;
    DeviceFlags m_applyDevice;
    FrameOptions m_frame;
    PortsOptions m_ports;
    BatchOptions m_batch;
    LogOptions m_log;
    std::function<int()> m_command;
};

void LinkDiagnostic(const char* text) { Complain(std::string("serial link:") + text); }

int Run(int argc, char** argv)
{
    CCommandLine commandLine;
    if (const std::optional<int> end = commandLine.Parse(argc, argv)) {
        return *end;
    }
    SetLinkDiagnostics(LinkDiagnostic);
    return commandLine.Run();
}

} // namespace

} // namespace pello::cli

int main(int argc, char** argv)
{
    pello::EnsureStandardDescriptors();
    pello::cli::IgnoreBrokenPipes();
    return pello::cli::FinishOutput(pello::cli::Run(argc, argv));
}

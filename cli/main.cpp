// pellomatic-cli: Search and Apply from a script, for production lines.

#include "cli/Ports.h"
#include "core/SnFile.h"
#include "core/Version.h"
#include "core/Workflow.h"
#include "protocol/Device.h"
#include "protocol/Frames.h"
#include "protocol/ProductId.h"

#include <chrono>
#include <cstdio>
#include <poll.h>
#include <cstring>
#include <optional>
#include <ctime>
#include <string>
#include <vector>

namespace pello {

namespace {

enum ExitCode { kOk = 0, kUsage = 1, kFileProblem = 2, kNoDevice = 3, kSettingFailed = 4, kVerifyFailed = 5 };

// A device may restart after "QBOOT"; give it this long to answer again.
constexpr auto kVerifyPatience = std::chrono::seconds(10);

const char kUsageText[] =
    "usage: pellomatic-cli [--trace] search [--link usb|rs232] [--port DEVICE]\n"
    "       pellomatic-cli [--trace] apply [--link usb|rs232] [--port DEVICE] [--file PATH]\n"
    "                      [--verify | --dry-run]\n"
    "       pellomatic-cli ports\n"
    "       pellomatic-cli frame qsid|ate1|qboot\n"
    "       pellomatic-cli frame sid FIELD | frame pabc FIELD\n"
    "       pellomatic-cli --help | --version\n"
    "\n"
    "search  finds the device and prints its Product ID\n"
    "apply   searches, then programs the two lines of SN.txt (or --file PATH)\n"
    "frame   prints a frame in hex\n"
    "ports   reports what COM0..COM9 resolve to and the device's USB HID interfaces\n"
    "--verify  after success, search again and compare the serial number read back\n"
    "--dry-run check SN.txt and print the four frames; send nothing\n"
    "--link  usb (default) or rs232; --port DEVICE means rs232 with COM0 naming DEVICE\n"
    "--trace every frame and reply on stderr\n"
    "Exit codes: 0 success, 1 usage, 2 file problem, 3 no device, 4 setting failed,\n"
    "5 verify failed.\n";

// Frames and replies on stderr, with the time they passed.
class CTraceLines final : public CTraceSink {
public:
    void OnBytes(const char* dir, const uint8_t* bytes, size_t length) override
    {
        timespec ts {};
        ::clock_gettime(CLOCK_REALTIME, &ts);
        tm local {};
        ::localtime_r(&ts.tv_sec, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
        }
        std::fprintf(stderr, "%s.%03ld %s %s  %s\n", stamp, ts.tv_nsec / 1000000, dir,
                     length ? ToHex(bytes, length).c_str() : "(nothing)", text.c_str());
    }
};

struct Args {
    std::string command;
    std::vector<std::string> rest;
    std::string link = "usb";
    std::string port;
    std::string file;
    bool trace = false;
    bool verify = false;
    bool dryRun = false;
};

bool ParseArgs(int argc, char** argv, Args* a)
{
    for (int i = 1; i < argc; ++i) {
        const std::string s = argv[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        if (s == "--trace") {
            a->trace = true;
        } else if (s == "--verify") {
            a->verify = true;
        } else if (s == "--dry-run") {
            a->dryRun = true;
        } else if (s == "--link") {
            if (!value(&a->link) || (a->link != "usb" && a->link != "rs232")) return false;
        } else if (s == "--port") {
            if (!value(&a->port)) return false;
        } else if (s == "--file") {
            if (!value(&a->file)) return false;
        } else if (a->command.empty()) {
            a->command = s;
        } else {
            a->rest.push_back(s);
        }
    }
    return !a->command.empty();
}

int PrintFrame(const std::vector<std::string>& rest)
{
    Frame f;
    const std::string kind = rest.empty() ? "" : rest[0];
    const bool takesField = kind == "sid" || kind == "pabc";
    if (rest.size() != (takesField ? 2u : 1u)) {
        return kUsage;
    }
    if (kind == "qsid") f = BuildQsidFrame();
    else if (kind == "ate1") f = BuildAte1Frame();
    else if (kind == "qboot") f = BuildQbootFrame();
    else if (takesField) {
        const size_t need = kind == "sid" ? device::kSerialFieldLength : device::kCodeFieldLength;
        if (rest[1].size() != need) {
            std::fprintf(stderr, "pellomatic-cli: %s needs exactly %zu characters\n", kind.c_str(), need);
            return kUsage;
        }
        f = kind == "sid" ? BuildSidFrame(rest[1].c_str()) : BuildPabcFrame(rest[1].c_str());
    } else {
        return kUsage;
    }
    std::printf("%s\n", ToHex(f.bytes, f.length).c_str());
    return kOk;
}

int ApplyExit(ApplyOutcome outcome)
{
    switch (outcome) {
    case ApplyOutcome::Success: return kOk;
    case ApplyOutcome::InvalidFields: return kFileProblem;
    case ApplyOutcome::NoDevice: return kNoDevice;
    case ApplyOutcome::Failure: return kSettingFailed;
    }
    return kSettingFailed;
}

// Reads and checks the file as Apply would; prints why it cannot be used.
std::optional<ProgramFields> ReadFields(const std::string& path)
{
    const SnFileRead read = ReadSnFields(path);
    if (!read.opened) {
        std::fprintf(stderr, "Cannot Open File\n");
        return std::nullopt;
    }
    if (read.problem != FieldProblem::None) {
        std::fprintf(stderr, "%s\n", SnFileMessage(read.problem).c_str());
        return std::nullopt;
    }
    return read.fields;
}

int DryRun(const std::string& path)
{
    const std::optional<ProgramFields> fields = ReadFields(path);
    if (!fields) {
        return kFileProblem;
    }
    for (const Frame& f : {BuildAte1Frame(), BuildSidFrame(fields->serial.c_str()),
                           BuildPabcFrame(fields->code.c_str()), BuildQbootFrame()}) {
        std::printf("%s\n", ToHex(f.bytes, f.length).c_str());
    }
    return kOk;
}

// Searches again on the link that found the device until it answers or the
// patience runs out, and compares what it reads with the field just written.
int Verify(CSnToolWorkflow& flow, Link link, const ProgramFields& fields)
{
    const std::string expected = ExtractProductId(("(" + fields.serial).c_str());
    const auto deadline = std::chrono::steady_clock::now() + kVerifyPatience;
    SearchResult found;
    for (;;) {
        found = flow.Search(link);
        if (found.found || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        ::poll(nullptr, 0, 250); // the device is restarting; look again shortly
    }
    if (!found.found) {
        std::fprintf(stderr, "Verify failed: expected %s, read nothing\n", expected.c_str());
        return kVerifyFailed;
    }
    if (found.productId != expected) {
        std::fprintf(stderr, "Verify failed: expected %s, read %s\n", expected.c_str(), found.productId.c_str());
        return kVerifyFailed;
    }
    std::printf("Verified: %s\n", expected.c_str());
    return kOk;
}

int RunWorkflow(const Args& a)
{
    const std::string file = a.file.empty() ? std::string("SN.txt") : a.file;
    if (a.dryRun) {
        return DryRun(file);
    }
    CSnToolWorkflow flow;
    CTraceLines trace;
    if (a.trace) flow.SetTrace(&trace);
    const Link link = (a.link == "rs232" || !a.port.empty()) ? Link::Rs232 : Link::Usb;
    if (!a.port.empty()) flow.PortResolver().SetAlias(0, a.port);
    const SearchResult found = flow.Search(link);
    if (a.command == "search") {
        if (!found.found) {
            std::fprintf(stderr, "No device found\n");
            return kNoDevice;
        }
        std::printf("%s\n", found.productId.c_str());
        return kOk;
    }
    const std::optional<ProgramFields> fields = ReadFields(file);
    if (!fields) {
        return kFileProblem;
    }
    const ApplyResult applied = flow.Apply(*fields);
    if (applied.outcome == ApplyOutcome::NoDevice) {
        std::fprintf(stderr, "No device found\n");
    } else {
        const bool ok = applied.outcome == ApplyOutcome::Success;
        std::fprintf(ok ? stdout : stderr, "%s\n", ok ? "Setting successful!" : "Setting failed!");
    }
    if (a.verify && applied.outcome == ApplyOutcome::Success) {
        return Verify(flow, link, *fields);
    }
    return ApplyExit(applied.outcome);
}

} // namespace

} // namespace pello

int main(int argc, char** argv)
{
    using namespace pello;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsageText, stdout);
            return kOk;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("pellomatic-cli %s\n", version::kFileVersion);
            return kOk;
        }
    }
    Args a;
    if (!ParseArgs(argc, argv, &a)) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    if (a.command == "frame") {
        const int rc = PrintFrame(a.rest);
        if (rc == kUsage) std::fputs(kUsageText, stderr);
        return rc;
    }
    if (a.command == "ports" && a.rest.empty()) {
        CPortResolver resolver;
        if (!a.port.empty()) resolver.SetAlias(0, a.port);
        std::fputs(PortsReport(resolver, HidLinkPaths {}).c_str(), stdout);
        return kOk;
    }
    const bool applyOnly = !a.file.empty() || a.verify || a.dryRun;
    if ((a.command != "search" && a.command != "apply") || !a.rest.empty() || (a.command == "search" && applyOnly) ||
        (a.verify && a.dryRun)) {
        std::fputs(kUsageText, stderr);
        return kUsage;
    }
    return RunWorkflow(a);
}

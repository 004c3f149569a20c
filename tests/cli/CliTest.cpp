// The command line against the simulator program on a pseudo-terminal.

#include "link/UniqueFd.h"
#include "sim/Pty.h"
#include "tests/support/PtyDevice.h"
#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <iterator>
#include <fcntl.h>
#include <poll.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>

#include <nlohmann/json.hpp>

using namespace pello;
namespace fs = std::filesystem;

namespace {

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = MakeScratchDir("cli");
        m_port = m_dir + "/port";
        m_state = m_dir + "/state";
        std::ofstream(m_dir + "/SN.txt") << "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n";
    }
    void TearDown() override { fs::remove_all(m_dir); }
    RunResult Cli_(const std::vector<std::string>& args) { return RunProgram("pellomatic-cli", args, m_dir); }
    RunResult Shell(const std::string& script) { return RunShell(script, m_dir); }
    // The simulator's stored fields, "SID PABC".
    std::string Stored()
    {
        std::ifstream in(m_state);
        std::string sid, pabc;
        std::getline(in, sid);
        std::getline(in, pabc);
        return sid + " " + pabc;
    }
    std::string m_dir, m_port, m_state;
};

const std::string kProgrammed = "0812345678ABCDEFGHIJKL ABCDEFGH_123";

} // namespace

TEST_F(Cli, ApplySucceedsAndSearchReadsItBack)
{
    CDevsim sim({"--link", m_port});
    auto r = Cli_({"--trace", "apply", "--port", m_port});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Setting successful!\nVerified: 12345678\n");
    EXPECT_NE(r.err.find("-> 51534944bb050d"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("== COM0 on " + m_port), std::string::npos) << r.err; // where each exchange goes
    r = Cli_({"search", "--port=" + m_port});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "12345678\n");
    r = Cli_({"search", "--json", "--port", m_port});
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["field"], "0812345678ABCDEFGHIJKL");
    EXPECT_EQ(j["node"], m_port);
}

TEST_F(Cli, ExitCodesAndMessages)
{
    CDevsim sim({"--link", m_port, "--fault", "SID=nak,nak,nak"});
    auto r = Cli_({"apply", "--port", m_port});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err, "Setting failed!\npellomatic-cli: SID: refused by the device (NAK)\n"
                     "pellomatic-cli: read back: the unit carries 1400000000000000000000\n");
    // Over USB, where this machine has no such device.
    r = Cli_({"apply", "--link", "usb"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err.substr(0, 16), "No device found\n");
    EXPECT_EQ(Cli_({"search"}).exitCode, 3);
    // The file is checked before anything is searched for.
    r = Cli_({"apply", "--link", "usb", "--file", "missing.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "Cannot Open File\npellomatic-cli: missing.txt: No such file or directory\n");
    r = Cli_({"apply", "--file", m_dir});
    EXPECT_EQ(r.err, "Cannot Open File\npellomatic-cli: " + m_dir + ": not a regular file\n");
    std::ofstream(m_dir + "/short.txt") << "0812\nABCDEFGH_123\n";
    r = Cli_({"apply", "--port", m_port, "--file", "short.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "pellomatic-cli: short.txt: Invalid SN.txt: line 1 has 4 characters, needs 22\n");
    r = Cli_({"apply", "--lnik", "usb"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "pellomatic-cli: unrecognised option '--lnik'\nTry 'pellomatic-cli --help' for more information.\n");
    EXPECT_EQ(Cli_({"apply", "--link", "serial"}).exitCode, 1);
    EXPECT_EQ(Cli_({"bogus"}).err.substr(0, 40), "pellomatic-cli: unknown command 'bogus'\n");
    EXPECT_EQ(Cli_({}).exitCode, 1);
    EXPECT_EQ(Cli_({"apply", "--dry-run", "--verify"}).exitCode, 1);
}

TEST_F(Cli, FramesVersionHelp)
{
    EXPECT_EQ(Cli_({"frame", "qboot"}).out, "51424f4f540b880d\n");
    EXPECT_EQ(Cli_({"frame", "sid", "1400000000000000000071"}).out,
              "53494431343030303030303030303030303030303030303731a1000d\n");
    EXPECT_EQ(Cli_({"frame", "pabc", "--", "-0000000_000"}).exitCode, 0);
    EXPECT_EQ(Cli_({"frame", "sid", "short"}).exitCode, 1);
    const auto r = Cli_({"frame", "pabc", "0000000\r_000"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "pellomatic-cli: frame pabc: character 8 is 0x0d; only printable ASCII is allowed\n");
    EXPECT_EQ(Cli_({"--version"}).out, "pellomatic-cli 1.0.0.1\n");
    EXPECT_EQ(Cli_({"-V"}).exitCode, 0);
    EXPECT_EQ(Cli_({"apply", "--help"}).exitCode, 0);
}

TEST_F(Cli, DryRunPrintsTheFramesAndNeedsNoDevice)
{
    auto r = Cli_({"apply", "--dry-run", "--port", m_dir + "/nothing"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "415445314e6d0d\n"
              "534944303831323334353637384142434445464748494a4b4cfd590d\n"
              "5041424341424344454647485f3132331c5b0d\n"
              "51424f4f540b880d\n");
    std::ofstream(m_dir + "/bom.txt") << "\xEF\xBB\xBF" "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n";
    r = Cli_({"apply", "--dry-run", "--file", "bom.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("line 1, character 1 is 0xef"), std::string::npos) << r.err;
}

// The field is read back unless --no-verify says not to, and the outcome is
// said once, after it: never "Setting successful!" and then a failure.
TEST_F(Cli, ReadBackByDefault)
{
    {
        CDevsim sim({"--link", m_port});
        auto r = Cli_({"apply", "--port", m_port, "--verify"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "Setting successful!\nVerified: 12345678\n");
    }
    // Acknowledges "SID" but keeps its old field, whose Product ID part
    // happens to read the same.
    std::ofstream(m_dir + "/SN.txt") << "1400000000000000000071\nABCDEFGH_123\n";
    for (const bool verify : {true, false}) {
        CDevsim sim({"--link", m_port, "--fault", "SID=ack"});
        auto r = Cli_(verify ? std::vector<std::string> {"apply", "--port", m_port, "--verify"}
                             : std::vector<std::string> {"apply", "--port", m_port});
        EXPECT_EQ(r.exitCode, 5) << verify;
        EXPECT_EQ(r.out, "") << verify;
        EXPECT_EQ(r.err, "Setting failed!\npellomatic-cli: Verify failed: expected 1400000000000000000071, read "
                         "1400000000000000000000 (positions 21-22 differ)\n");
    }
    {
        CDevsim sim({"--link", m_port, "--fault", "SID=ack"});
        auto r = Cli_({"apply", "--port", m_port, "--no-verify"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "Setting successful!\nNot verified: --no-verify, the field was not read back\n");
        EXPECT_EQ(Cli_({"apply", "--no-verify", "--verify"}).exitCode, 1);
    }
    {
        // Restarting after "QBOOT": the first search after it goes unanswered.
        CDevsim sim({"--link", m_port, "--fault", "QSID=normal,nak,nak,nak"});
        auto r = Cli_({"apply", "--port", m_port, "--allow-duplicate"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
}

TEST_F(Cli, PortMeansThatDeviceOnly)
{
    // A unit answers as COM1; a mistyped --port must not fall through to it.
    CDevsim other({"--com", "1", "--state", m_state});
    ASSERT_FALSE(other.Path().empty());
    auto r = Cli_({"--trace", "apply", "--port", m_dir + "/typo"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("No device found\npellomatic-cli: " + m_dir + "/typo: not present"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("->"), std::string::npos) << r.err;
    // Held by another program: the same.
    CDevsim mine({"--link", m_port});
    CUniqueFd held(::open(m_port.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_EQ(::flock(held.Get(), LOCK_EX | LOCK_NB), 0);
    r = Cli_({"apply", "--port", m_port});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("held by another process (pello_tests"), std::string::npos) << r.err;
    EXPECT_EQ(Stored(), " "); // COM1 was never written
}

TEST_F(Cli, SignalsAndBrokenPipesNeverCutASequence)
{
    CDevsim sim({"--link", m_port, "--state", m_state, "--reply-delay", "200"});
    // The diagnostics pipe closes after 300 bytes, in the middle of the sequence.
    auto r = Shell("(pellomatic-cli --trace apply --port " + m_port + " 2>&1; echo $? >rc) | head -c 300 >/dev/null");
    EXPECT_EQ(Stored(), kProgrammed);
    EXPECT_NE(std::ifstream(m_dir + "/rc").get(), '0'); // the write error is reported in the exit code
    // Any signal that would end the program, once SID has been stored: PABC
    // and QBOOT still go out, the attempt is recorded, the port is released,
    // and the run ends with 128 + the signal.
    const int signals[] = {SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM};
    for (size_t i = 0; i < std::size(signals); ++i) {
        const std::string field = "05" + std::to_string(10000 + i) + std::string(15, '0');
        std::ofstream(m_dir + "/SN.txt") << field << "\nZZZZZZZZ_99" << i << "\n";
        // A terminal for its output: after SIGHUP nothing more may go there.
        PtyPair terminal;
        ASSERT_TRUE(OpenRawPty(&terminal));
        CChild cli("pellomatic-cli", {"apply", "--port", m_port}, m_dir, terminal.slavePath);
        for (int n = 0; n < 200 && Stored().rfind(field, 0) != 0; ++n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        cli.Signal(signals[i]);
        r = cli.Wait();
        EXPECT_EQ(r.exitCode, 128 + signals[i]) << strsignal(signals[i]);
        EXPECT_EQ(Stored(), field + " ZZZZZZZZ_99" + std::to_string(i)) << strsignal(signals[i]);
        char said[256];
        pollfd pfd {terminal.master.Get(), POLLIN, 0};
        ::poll(&pfd, 1, signals[i] == SIGHUP ? 200 : 5000); // what it wrote is on its way through the pty
        const ssize_t n = ::read(terminal.master.Get(), said, sizeof said);
        if (signals[i] == SIGHUP) {
            EXPECT_LE(n, 0) << std::string(said, n > 0 ? n : 0);
        } else {
            EXPECT_NE(std::string(said, n > 0 ? n : 0).find("Setting successful!"), std::string::npos);
        }
        const auto rows = nlohmann::json::parse(Cli_({"log", "--serial", field, "--format", "json"}).out);
        ASSERT_EQ(rows.size(), 1u) << strsignal(signals[i]);
        EXPECT_EQ(rows[0]["outcome"], "programmed");
    }
    CUniqueFd port(::open(m_port.c_str(), O_RDWR | O_NOCTTY));
    int exclusive = 1;
    ASSERT_EQ(::ioctl(port.Get(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(::flock(port.Get(), LOCK_EX | LOCK_NB), 0);
    // Output that cannot be written is an error too.
    EXPECT_EQ(Shell("pellomatic-cli frame qsid >/dev/full").exitCode, 7);
}

TEST_F(Cli, ClosedStandardDescriptorsNeverReachThePort)
{
    CPtyDevice dev;
    const auto r = Shell("pellomatic-cli --trace apply --port " + dev.Path() + " 2>&- <&-");
    EXPECT_EQ(r.exitCode, 0);
    const auto frames = dev.Frames();
    ASSERT_EQ(frames.size(), 6u); // QSID, the four, QSID: no trace text on the line
    EXPECT_EQ(frames[4].substr(0, 5), "QBOOT");
}

TEST_F(Cli, DeviceBytesAreEscaped)
{
    // A control byte and a byte that is not UTF-8 are escaped; a backslash is text and stays.
    const std::string reply = "reply:(08\\x1b[2J\\\\A\\xffCD000000000000000";
    CDevsim sim({"--link", m_port, "--fault", "QSID=" + reply + "," + reply});
    auto r = Cli_({"search", "--port", m_port});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "\\x1B[2J\\A\\xFFC\n");
    r = Cli_({"search", "--json", "--port", m_port});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["product_id"], "\\x1B[2J\\A\\xFFC");
}

TEST_F(Cli, PortsSaysWhyAPortCannotBeUsed)
{
    CDevsim sim({"--link", m_port});
    auto r = Cli_({"ports", "--port", m_port});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("COM0 -> " + m_port + " (--port) -> /dev/pts/"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("present, can be opened"), std::string::npos);
    EXPECT_NE(r.out.find("USB HID interfaces (vendor 0x0665, product 0x5161):"), std::string::npos);
    {
        CUniqueFd held(::open(m_port.c_str(), O_RDWR | O_NOCTTY));
        ASSERT_EQ(::flock(held.Get(), LOCK_EX | LOCK_NB), 0);
        r = Cli_({"ports", "--port", m_port});
        EXPECT_NE(r.out.find("cannot be used: held by another process (pello_tests, pid " + std::to_string(::getpid()) + ")"),
                  std::string::npos)
            << r.out;
    }
    std::ofstream(m_dir + "/plain") << "x";
    r = Cli_({"ports", "--port", m_dir + "/plain"});
    EXPECT_NE(r.out.find("cannot be used: not a serial port"), std::string::npos) << r.out;
    r = Cli_({"ports", "--json", "--port", m_dir + "/nothing"});
    const auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["rs232"][0]["present"], false);
    EXPECT_EQ(j["rs232"][0]["source"], "--port");
    EXPECT_TRUE(j["usb"].is_array());
}

TEST(DevsimUsb, SaysSoWhereThereIsNoUhid)
{
    if (fs::exists("/dev/uhid")) {
        GTEST_SKIP() << "this machine has /dev/uhid";
    }
    const auto r = RunProgram("pellomatic-devsim", {"--usb"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("/dev/uhid"), std::string::npos);
}

TEST(DevsimUsb, RealHidrawPathEndToEnd)
{
    if (!fs::exists("/dev/uhid")) {
        GTEST_SKIP() << "no /dev/uhid here: the kernel offers no virtual HID devices";
    }
    CDevsim sim({"--usb", "--sid", "0599999000000000000000"});
    ASSERT_EQ(sim.Path(), "/dev/uhid");
    // The kernel binds the new device and makes its hidraw node shortly after.
    RunResult r;
    for (int i = 0; i < 20; ++i) {
        r = RunProgram("pellomatic-cli", {"search", "--link", "usb"});
        if (r.exitCode == 0) break;
        ::usleep(100000);
    }
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "99999\n");
}

TEST(DevsimUsb, StationOverRealHidraw)
{
    if (!fs::exists("/dev/uhid")) {
        GTEST_SKIP() << "no /dev/uhid here: the kernel offers no virtual HID devices";
    }
    const std::string dir = MakeScratchDir("uhid-station"), db = dir + "/record.db";
    ASSERT_EQ(RunProgram("pellomatic-cli", {"--db", db, "batch", "create", "U", "--first", "U1", "--count", "2",
                                            "--code", "ABCDEFGH_123"}).exitCode, 0);
    // Each unit is a virtual device created and destroyed again.
    CDevsim line({"--usb", "--units", "2", "--gap", "1", "--hold", "1"});
    const auto r = RunProgram("pellomatic-cli", {"--db", db, "station", "--batch", "U", "--link", "usb", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"reason\":\"the batch is used up\""), std::string::npos) << r.out;
}

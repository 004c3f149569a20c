// The command line against the simulator program on a pseudo-terminal.

#include "tests/support/Spawn.h"

#include <gtest/gtest.h>

#include "link/UniqueFd.h"

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>

using namespace pello;

namespace fs = std::filesystem;

namespace {

class Cli : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("pello-cli-" + std::to_string(::getpid()));
        fs::create_directories(m_dir);
        m_port = (m_dir / "port").string();
        std::ofstream(m_dir / "SN.txt") << "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n";
    }
    void TearDown() override { fs::remove_all(m_dir); }
    RunResult Cli_(const std::vector<std::string>& args) { return RunProgram("pellomatic-cli", args, m_dir.string()); }
    fs::path m_dir;
    std::string m_port;
};

} // namespace

TEST_F(Cli, ApplySucceedsAndSearchReadsItBack)
{
    CDevsim sim({"--link", m_port});
    auto r = Cli_({"--trace", "apply", "--port", m_port});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Setting successful!\n");
    EXPECT_NE(r.err.find("-> 51534944bb050d"), std::string::npos) << r.err;
    r = Cli_({"search", "--port", m_port});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "12345678\n");
}

TEST_F(Cli, ExitCodes)
{
    CDevsim sim({"--link", m_port, "--fault", "SID=nak,nak,nak"});
    auto r = Cli_({"apply", "--port", m_port});
    EXPECT_EQ(r.exitCode, 4);
    EXPECT_EQ(r.err, "Setting failed!\n");
    // Over USB, where this machine has no such device. (An absent --port would
    // let the search go on to the machine's real serial ports.)
    r = Cli_({"apply", "--link", "usb"});
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "No device found\n");
    r = Cli_({"search"});
    EXPECT_EQ(r.exitCode, 3);
    r = Cli_({"apply", "--port", m_port, "--file", "missing.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "Cannot Open File\n");
    std::ofstream(m_dir / "short.txt") << "0812\nABCDEFGH_123\n";
    r = Cli_({"apply", "--port", m_port, "--file", "short.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "Invalid SN.txt: line 1 needs 22 characters\n");
    EXPECT_EQ(Cli_({"apply", "--link", "serial"}).exitCode, 1);
    EXPECT_EQ(Cli_({"bogus"}).exitCode, 1);
    EXPECT_EQ(Cli_({}).exitCode, 1);
}

TEST_F(Cli, FramesVersionHelp)
{
    EXPECT_EQ(Cli_({"frame", "qboot"}).out, "51424f4f540b880d\n");
    EXPECT_EQ(Cli_({"frame", "sid", "1400000000000000000071"}).out,
              "53494431343030303030303030303030303030303030303731a1000d\n");
    EXPECT_EQ(Cli_({"frame", "pabc", "00000000_000"}).out, "5041424330303030303030305f303030f7740d\n");
    EXPECT_EQ(Cli_({"frame", "sid", "short"}).exitCode, 1);
    EXPECT_EQ(Cli_({"--version"}).out, "pellomatic-cli 1.0.0.1\n");
    EXPECT_EQ(Cli_({"--help"}).exitCode, 0);
}

TEST_F(Cli, DryRunPrintsTheFramesAndNeedsNoDevice)
{
    auto r = Cli_({"apply", "--dry-run", "--link", "rs232", "--port", (m_dir / "nothing").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "415445314e6d0d\n"
              "534944303831323334353637384142434445464748494a4b4cfd590d\n"
              "5041424341424344454647485f3132331c5b0d\n"
              "51424f4f540b880d\n");
    std::ofstream(m_dir / "bom.txt") << "\xEF\xBB\xBF" "0812345678ABCDEFGHIJKL\nABCDEFGH_123\n";
    r = Cli_({"apply", "--dry-run", "--file", "bom.txt"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Invalid SN.txt: only printable ASCII characters are allowed\n");
    EXPECT_EQ(Cli_({"apply", "--dry-run", "--verify"}).exitCode, 1);
}

TEST_F(Cli, VerifyReadsTheNewSerialNumberBack)
{
    {
        CDevsim sim({"--link", m_port});
        auto r = Cli_({"apply", "--port", m_port, "--verify"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "Setting successful!\nVerified: 12345678\n");
    }
    {
        // Acknowledges "SID" but keeps its old serial number.
        CDevsim sim({"--link", m_port, "--fault", "SID=ack"});
        auto r = Cli_({"apply", "--port", m_port, "--verify"});
        EXPECT_EQ(r.exitCode, 5);
        EXPECT_EQ(r.err, "Verify failed: expected 12345678, read 00000000000000\n");
    }
    {
        // Restarting after "QBOOT": the first search after it goes unanswered.
        CDevsim sim({"--link", m_port, "--fault", "QSID=normal,nak,nak,nak"});
        auto r = Cli_({"apply", "--port", m_port, "--verify"});
        EXPECT_EQ(r.exitCode, 0) << r.err;
    }
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
    std::ofstream(m_dir / "plain") << "x";
    r = Cli_({"ports", "--port", (m_dir / "plain").string()});
    EXPECT_NE(r.out.find("cannot be used: not a serial port"), std::string::npos) << r.out;
    r = Cli_({"ports", "--port", (m_dir / "nothing").string()});
    EXPECT_NE(r.out.find("(--port): not present"), std::string::npos) << r.out;
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

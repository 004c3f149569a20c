// The command line against the simulator program on a pseudo-terminal.

#include "Spawn.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

// The simulator as a program: started on a pty with a link, talked to through
// the serial link, stopped by a signal.

#include "sim/DeviceModel.h"
#include "protocol/Frames.h"
#include "link/Serial.h"

#include <gtest/gtest.h>

#include "tests/support/Spawn.h"
#include "tests/support/TestEnv.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <cstdlib>
#include <tuple>
#include <unistd.h>

using namespace pello;
namespace fs = std::filesystem;

namespace {

std::string Exchange(CComLink& link, const Frame& f)
{
    uint8_t reply[256];
    if (link.Write(f.bytes, f.length) != 1) return "write failed";
    const int n = link.Read(reply, sizeof reply, 3000);
    return n > 0 ? std::string(reinterpret_cast<char*>(reply), static_cast<size_t>(n)) : "timeout";
}

} // namespace

TEST(Devsim, ServesFramesThroughItsLinkAndCleansUp)
{
    const fs::path dir = MakeScratchDir("devsim");
    const std::string link = (dir / "port").string();
    const std::string state = (dir / "state").string();
    {
        CDevsim sim({"--link", link, "--state", state, "--fault", "ATE1=nak"});
        ASSERT_FALSE(sim.Path().empty());
        ASSERT_TRUE(fs::is_symlink(link));
        CComLink port;
        ASSERT_EQ(port.Open(link.c_str(), 2400, 8, 0, 2), 1);
        EXPECT_EQ(Exchange(port, BuildAte1Frame()), MakeReply("(NAK"));
        EXPECT_EQ(Exchange(port, BuildAte1Frame()), MakeReply("(ACK"));
        EXPECT_EQ(Exchange(port, BuildSidFrame("0599999000000000000000")), MakeReply("(ACK"));
        EXPECT_EQ(Exchange(port, BuildQsidFrame()), MakeReply("(0599999000000000000000"));
        port.Close();
        EXPECT_EQ(sim.Stop(), 0);
        EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    }
    std::ifstream in(state);
    std::string sid;
    std::getline(in, sid);
    EXPECT_EQ(sid, "0599999000000000000000");
    {
        // The state carries over to the next run.
        CDevsim sim({"--link", link, "--state", state});
        CComLink port;
        ASSERT_EQ(port.Open(link.c_str(), 2400, 8, 0, 2), 1);
        EXPECT_EQ(Exchange(port, BuildQsidFrame()), MakeReply("(0599999000000000000000"));
    }
    fs::remove_all(dir);
}

TEST(Devsim, RejectsBadArguments)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string> {"--sid", "short"}, {"--reply-delay", ""}, {"--reply-delay", "99999999999999999999"},
          {"--reply-delay", "-5"}, {"--reply-delay", "1e3"}}) {
        CDevsim sim(args);
        EXPECT_EQ(sim.Path(), "");
        EXPECT_EQ(sim.Stop(), 1) << args[1];
    }
}

TEST(Devsim, NeverTakesAnAliasItDidNotMake)
{
    const std::string dir = MakeScratchDir("alias");
    const std::string mine = dir + "/mine";
    // A technician's own link, and another simulator's live one, stay.
    ASSERT_EQ(::symlink("/dev/ttyUSB2", mine.c_str()), 0);
    EXPECT_EQ(CDevsim({"--link", mine}).Stop(), 1);
    EXPECT_EQ(fs::read_symlink(mine), "/dev/ttyUSB2");
    CDevsim first({"--com", "0"});
    ASSERT_FALSE(first.Path().empty());
    const std::string com0 = std::string(std::getenv("XDG_RUNTIME_DIR")) + "/pellomatic/COM0";
    EXPECT_EQ(fs::read_symlink(com0), first.Path());
    CDevsim second({"--com", "0"});
    EXPECT_EQ(second.Stop(), 1);
    EXPECT_EQ(fs::read_symlink(com0), first.Path());
    // A dead simulator's link to a pty that is gone is replaced.
    EXPECT_EQ(first.Stop(), 0);
    ASSERT_EQ(::symlink("/dev/pts/999999", com0.c_str()), 0);
    CDevsim third({"--com", "0"});
    EXPECT_FALSE(third.Path().empty());
    EXPECT_EQ(fs::read_symlink(com0), third.Path());
}

// --check-line: the unit hears frames only while the terminal is at 2400 8N2
// without flow control, so a host that reaches it proves its line settings
// (the Windows build's under Wine among them).
TEST(Devsim, HearsOnlyALineAt2400EightNoneTwo)
{
    CDevsim sim({"--check-line"});
    ASSERT_FALSE(sim.Path().empty());
    for (const auto& [baud, stopBits, heard] : {std::tuple {9600u, 2, false}, std::tuple {2400u, 0, false},
                                                std::tuple {2400u, 2, true}}) {
        CComLink port;
        ASSERT_EQ(port.Open(sim.Path().c_str(), baud, 8, 0, static_cast<uint8_t>(stopBits)), 1);
        EXPECT_EQ(Exchange(port, BuildAte1Frame()), heard ? MakeReply("(ACK") : std::string("timeout"))
            << baud << " baud, stop bits code " << stopBits;
    }
}

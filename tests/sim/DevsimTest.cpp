// The simulator as a program: started on a pty with a link, talked to through
// the serial link, stopped by a signal.

#include "sim/DeviceModel.h"
#include "protocol/Frames.h"
#include "link/Serial.h"

#include <gtest/gtest.h>

#include "tests/support/Spawn.h"

#include <filesystem>
#include <fstream>
#include <string>
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
    const fs::path dir = fs::temp_directory_path() / ("pello-devsim-" + std::to_string(::getpid()));
    fs::create_directories(dir);
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
    CDevsim sim({"--sid", "short"});
    EXPECT_EQ(sim.Path(), "");
    EXPECT_EQ(sim.Stop(), 1);
}

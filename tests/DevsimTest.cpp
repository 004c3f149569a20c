// The simulator as a program: started on a pty with a link, talked to through
// the serial link, stopped by a signal.

#include "DeviceModel.h"
#include "Frames.h"
#include "Serial.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;

namespace {

class CDevsim {
public:
    explicit CDevsim(std::vector<std::string> args)
    {
        std::vector<std::string> argv = {std::string(PELLOMATIC_BIN_DIR) + "/pellomatic-devsim"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (auto& a : argv) cargv.push_back(a.data());
        cargv.push_back(nullptr);
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        posix_spawn_file_actions_addclose(&fa, out[0]);
        ::posix_spawn(&m_pid, cargv[0], &fa, nullptr, cargv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        FILE* f = ::fdopen(out[0], "r");
        char line[256] = {};
        if (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
            m_path = line;
            if (!m_path.empty() && m_path.back() == '\n') m_path.pop_back();
        }
        if (f != nullptr) std::fclose(f);
    }
    ~CDevsim() { Stop(); }
    int Stop()
    {
        if (m_pid <= 0) return m_status;
        ::kill(m_pid, SIGTERM);
        int st = 0;
        ::waitpid(m_pid, &st, 0);
        m_pid = 0;
        m_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return m_status;
    }
    const std::string& Path() const { return m_path; }

private:
    pid_t m_pid = 0;
    int m_status = -1;
    std::string m_path;
};

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

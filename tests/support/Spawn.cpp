#include "tests/support/Spawn.h"

#include "tests/support/TestEnv.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pello {

namespace {

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int ExitCodeOf(int status)
{
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

} // namespace

CChild::CChild(const std::string& program, const std::vector<std::string>& args, const std::string& dir,
               const std::string& terminal)
    : m_tmp(MakeScratchDir("run"))
{
    std::vector<std::string> argv = {program.find('/') == std::string::npos
                                         ? BinDir() + "/" + program
                                         : program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    const std::string out = terminal.empty() ? m_tmp + "/out" : terminal;
    const std::string err = terminal.empty() ? m_tmp + "/err" : terminal;
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY, 0600);
    posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
    if (::posix_spawn(&m_pid, cargv[0], &fa, nullptr, cargv.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
}

CChild::~CChild()
{
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        Wait();
    }
    std::error_code ec;
    std::filesystem::remove_all(m_tmp, ec);
}

std::string CChild::OutputSoFar() const { return Slurp(m_tmp + "/out"); }

bool CChild::WaitForOutput(const std::string& text, int seconds) const
{
    for (int i = 0; i < seconds * 50; ++i) {
        if (OutputSoFar().find(text) != std::string::npos) return true;
        ::usleep(20000);
    }
    return false;
}

bool CChild::Exited()
{
    int status = 0;
    if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_status = ExitCodeOf(status);
        m_pid = -1;
    }
    return m_pid <= 0;
}

RunResult CChild::Wait()
{
    RunResult r;
    int status = 0;
    r.exitCode = m_status;
    if (m_pid > 0 && ::waitpid(m_pid, &status, 0) == m_pid) {
        r.exitCode = ExitCodeOf(status);
    }
    m_pid = -1;
    r.out = Slurp(m_tmp + "/out");
    r.err = Slurp(m_tmp + "/err");
    return r;
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& dir)
{
    return CChild(program, args, dir).Wait();
}

RunResult RunShell(const std::string& script, const std::string& dir)
{
    const std::string path = BinDir() + ":" + std::getenv("PATH");
    return CChild("/usr/bin/env", {"PATH=" + path, "/bin/sh", "-c", script}, dir).Wait();
}

} // namespace pello

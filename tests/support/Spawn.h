#pragma once
// Runs the project's programs as child processes for tests.

#include "tests/support/TestEnv.h"

#include <csignal>
#include <fcntl.h>
#include <cstdio>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pello {

// The simulator, started with `args`; its pty path is read from its first line.
class CDevsim {
public:
    explicit CDevsim(std::vector<std::string> args)
    {
        std::vector<std::string> argv = {BinDir() + "/pellomatic-devsim"};
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


struct RunResult {
    int exitCode = -1; // 128 + N when signal N ended it
    std::string out;
    std::string err;
};

// A program of build/bin running in `dir`, stdin from /dev/null, its output
// collected in files, or written to the terminal `terminal` when one is named.
class CChild {
public:
    CChild(const std::string& program, const std::vector<std::string>& args, const std::string& dir = ".",
           const std::string& terminal = "");
    ~CChild();
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;
    void Signal(int sig) { ::kill(m_pid, sig); }
    // Whether it has ended (it is then reaped; Wait() still returns its output).
    bool Exited();
    // What it has printed on stdout so far.
    std::string OutputSoFar() const;
    // Waits until its stdout holds `text` (at most `seconds`); whether it does.
    bool WaitForOutput(const std::string& text, int seconds = 60) const;
    // Waits for the end and returns what it printed.
    RunResult Wait();

private:
    pid_t m_pid = -1;
    int m_status = -1; // when reaped by Exited()
    std::string m_tmp;
};

// Runs a program of build/bin to its end in `dir`, capturing its output.
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& dir = ".");

// Runs a shell command line in `dir` with build/bin first on PATH.
RunResult RunShell(const std::string& script, const std::string& dir = ".");

} // namespace pello

#include "tests/support/Spawn.h"

#include "tests/support/TestEnv.h"

#include <cstdlib>
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

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

} // namespace

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args, const std::string& dir)
{
    const std::string tmp = MakeScratchDir("run");
    std::string cmd = "cd " + Quote(dir) + " && " + Quote(std::string(PELLOMATIC_BIN_DIR) + "/" + program);
    for (const auto& a : args) cmd += " " + Quote(a);
    cmd += " >" + tmp + "/out 2>" + tmp + "/err </dev/null";
    const int st = std::system(cmd.c_str());
    RunResult r;
    r.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.out = Slurp(tmp + "/out");
    r.err = Slurp(tmp + "/err");
    std::system(("rm -rf " + tmp).c_str());
    return r;
}

} // namespace pello

#include "tests/support/TestEnv.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace pello {

namespace {

std::string& Root()
{
    static std::string root;
    return root;
}

// Private folders are the user's alone; others (TMPDIR) stay reachable by a
// database server that a test runs as another user.
void SetFolder(const char* variable, const std::string& path, mode_t mode = 0700)
{
    fs::create_directories(path);
    ::chmod(path.c_str(), mode);
    ::setenv(variable, path.c_str(), 1);
}

} // namespace

void IsolateEnvironment()
{
    Root() = std::string(PELLOMATIC_TEST_TMP) + "/run-" + std::to_string(::getpid());
    fs::remove_all(Root());
    fs::create_directories(Root());
    SetFolder("HOME", Root() + "/home");
    SetFolder("TMPDIR", Root() + "/tmp", 0755);
    SetFolder("XDG_RUNTIME_DIR", Root() + "/runtime");
    SetFolder("XDG_DATA_HOME", Root() + "/data");
    SetFolder("XDG_STATE_HOME", Root() + "/state");
    SetFolder("XDG_CONFIG_HOME", Root() + "/config");
}

std::string MakeScratchDir(const std::string& name)
{
    if (Root().empty()) {
        throw std::logic_error("IsolateEnvironment() has not run");
    }
    std::string tmpl = Root() + "/tmp/" + name + "-XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) {
        throw std::runtime_error("mkdtemp " + tmpl);
    }
    return tmpl;
}

void RemoveScratch()
{
    std::error_code ec;
    fs::remove_all(Root(), ec);
}

} // namespace pello

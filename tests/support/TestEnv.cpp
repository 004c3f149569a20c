#include "tests/support/TestEnv.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern char** environ;

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

// The user's settings for the tool and for libpq.
void ClearUserSettings()
{
    std::vector<std::string> names;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (name.rfind("PELLOMATIC_", 0) == 0 || name.rfind("PG", 0) == 0) {
            names.push_back(name);
        }
    }
    for (const std::string& name : names) {
        ::unsetenv(name.c_str());
    }
}

} // namespace

std::string TakeOption(int* argc, char** argv, const std::string& name)
{
    const std::string prefix = "--" + name + "=";
    for (int i = 1; i < *argc; ++i) {
        if (std::string(argv[i]).rfind(prefix, 0) == 0) {
            const std::string value = argv[i] + prefix.size();
            for (int j = i; j + 1 < *argc; ++j) argv[j] = argv[j + 1];
            --*argc;
            return value;
        }
    }
    return {};
}

const std::string& BinDir()
{
    static const std::string dir = fs::canonical("/proc/self/exe").parent_path().string();
    return dir;
}

void IsolateEnvironment()
{
    ClearUserSettings();
    // The build folder's test-tmp, beside bin/.
    Root() = fs::path(BinDir()).parent_path().string() + "/test-tmp/run-" + std::to_string(::getpid());
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

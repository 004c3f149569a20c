#pragma once
// Maps the tool's port names "COM0".."COM9" to tty devices on Linux.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pello {

// Why a name resolved to its path.
enum class PortSource {
    Alias,      // an in-process alias (the command line's --port)
    UserLink,   // a link COMn in the user's own runtime folder
    DevLink,    // an administrator's /dev/COMn link
    FixedTable, // the built-in table
    Path        // not a COM name: a device path as it stands
};

// The source in words, for reports.
std::string_view DescribePortSource(PortSource source);

struct PortResolution {
    std::string path; // device path to open
    PortSource source = PortSource::Path;
};

class CPortResolver {
public:
    // `userDir` holds per-user links COMn (see DefaultUserDir); `devDir` is
    // where an administrator's /dev/COMn links live.
    explicit CPortResolver(std::string userDir = DefaultUserDir(), std::string devDir = "/dev");

    // An in-process alias that wins over everything else (the command line's --port).
    void SetAlias(int number, std::string path);

    // "COMn" resolves to, in order: an alias, a link in the user directory (if
    // that directory is trusted), a link in devDir, the fixed table. Any other
    // name is taken as a device path as it stands.
    PortResolution Resolve(const std::string& name) const;

    // The COM number of a name "COM<digits>", if it is one.
    static std::optional<int> ComNumber(const std::string& name);
    // "COMn" for a number.
    static std::string ComName(int number);
    // The fixed table: COM0-3 ttyUSB0-3, COM4-5 ttyACM0-1, COM6-9 ttyS0-3.
    static std::optional<std::string> FixedTablePath(int number);
    // $XDG_RUNTIME_DIR/pellomatic, or /run/user/<uid>/pellomatic without it
    static std::string DefaultUserDir();
    // Whether the user directory may be trusted: a real directory owned by
    // this user and writable by nobody else.
    static bool TrustedUserDir(const std::string& dir);

    const std::string& UserDir() const { return m_userDir; }
    const std::string& DevDir() const { return m_devDir; }

private:
    std::string m_userDir;
    std::string m_devDir;
    std::map<int, std::string> m_aliases;
};

} // namespace pello

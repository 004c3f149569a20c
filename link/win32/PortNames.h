#pragma once
// Port names on Windows: "COMn" is opened as the device \\.\COMn. A bare
// "COM0" is no device name there but a file in the working folder, so a name
// is never passed on as it stands: a port name never reaches a file.

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pello {

// Why a name resolved to its path.
enum class PortSource {
    Alias,      // an in-process alias (the command line's --port)
    DeviceName, // \\.\COMn, the system's own device name
    Refused     // not a port name: it resolves to nothing
};

// The source in words, for reports.
std::string_view DescribePortSource(PortSource source);

struct PortResolution {
    std::string path; // the device name to open; "" for none
    PortSource source = PortSource::Refused;
};

class CPortResolver {
public:
    // An in-process alias that wins over the system's name (the command line's
    // --port); `name` is a port name itself ("COM12" or "\\.\COM12").
    void SetAlias(int number, std::string name);

    // "COMn" resolves to its alias, or to \\.\COMn; "\\.\NAME" stands as it
    // is; anything else resolves to nothing.
    PortResolution Resolve(const std::string& name) const;

    // The COM number of a name "COM<digits>" (any case), if it is one.
    static std::optional<int> ComNumber(const std::string& name);
    // "COMn" for a number.
    static std::string ComName(int number);
    // The device name of a port name, or "" when it is none.
    static std::string DeviceName(const std::string& name);

private:
    std::map<int, std::string> m_aliases;
};

} // namespace pello

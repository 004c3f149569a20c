#include "link/win32/PortNames.h"

namespace pello {

std::string_view DescribePortSource(PortSource source)
{
    switch (source) {
    case PortSource::Alias: return "--port";
    case PortSource::DeviceName: return "device name";
    case PortSource::Refused: return "not a port name";
    }
    return "not a port name";
}

void CPortResolver::SetAlias(int number, std::string name) { m_aliases[number] = std::move(name); }

std::optional<int> CPortResolver::ComNumber(const std::string& name)
{
    if (name.size() < 4 || name.size() > 6) {
        return std::nullopt;
    }
    for (size_t i = 0; i < 3; ++i) {
        if ((name[i] & ~0x20) != "COM"[i]) {
            return std::nullopt;
        }
    }
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return std::nullopt;
        }
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

std::string CPortResolver::ComName(int number) { return "COM" + std::to_string(number); }

std::string CPortResolver::DeviceName(const std::string& name)
{
    if (const auto n = ComNumber(name)) {
        return "\\\\.\\" + ComName(*n);
    }
    // Already a device name: the \\.\ prefix reaches devices only, never files.
    if (name.size() > 4 && name.compare(0, 4, "\\\\.\\") == 0 && name.find_first_of("\\/", 4) == std::string::npos) {
        return name;
    }
    return {};
}

PortResolution CPortResolver::Resolve(const std::string& name) const
{
    const auto number = ComNumber(name);
    if (number) {
        if (auto it = m_aliases.find(*number); it != m_aliases.end()) {
            return {DeviceName(it->second), PortSource::Alias};
        }
    }
    const std::string device = DeviceName(name);
    return {device, device.empty() ? PortSource::Refused : PortSource::DeviceName};
}

} // namespace pello

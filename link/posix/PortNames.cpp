#include "link/posix/PortNames.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace pello {

std::string_view DescribePortSource(PortSource source)
{
    switch (source) {
    case PortSource::Alias: return "--port";
    case PortSource::UserLink: return "per-user alias";
    case PortSource::DevLink: return "/dev link";
    case PortSource::FixedTable: return "fixed table";
    case PortSource::Path: return "path";
    }
    return "path";
}

CPortResolver::CPortResolver(std::string userDir, std::string devDir)
    : m_userDir(std::move(userDir)), m_devDir(std::move(devDir))
{
}

void CPortResolver::SetAlias(int number, std::string path) { m_aliases[number] = std::move(path); }

std::optional<int> CPortResolver::ComNumber(const std::string& name)
{
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "COM") != 0) {
        return std::nullopt;
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

std::optional<std::string> CPortResolver::FixedTablePath(int number)
{
    if (number >= 0 && number <= 3) {
        return "/dev/ttyUSB" + std::to_string(number);
    }
    if (number >= 4 && number <= 5) {
        return "/dev/ttyACM" + std::to_string(number - 4);
    }
    if (number >= 6 && number <= 9) {
        return "/dev/ttyS" + std::to_string(number - 6);
    }
    return std::nullopt;
}

std::string CPortResolver::DefaultUserDir()
{
    // The freedesktop runtime folder; /run/user/<uid> is where logind makes it.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/pellomatic";
    }
    return "/run/user/" + std::to_string(::geteuid()) + "/pellomatic";
}

bool CPortResolver::TrustedUserDir(const std::string& dir)
{
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        return false;
    }
    return st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

namespace {

bool IsSymlink(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

} // namespace

PortResolution CPortResolver::Resolve(const std::string& name) const
{
    const auto number = ComNumber(name);
    if (!number) {
        return {name, PortSource::Path};
    }
    if (auto it = m_aliases.find(*number); it != m_aliases.end()) {
        return {it->second, PortSource::Alias};
    }
    const std::string userLink = m_userDir + "/" + name;
    if (IsSymlink(userLink) && TrustedUserDir(m_userDir)) {
        return {userLink, PortSource::UserLink};
    }
    const std::string devLink = m_devDir + "/" + name;
    if (IsSymlink(devLink)) {
        return {devLink, PortSource::DevLink};
    }
    if (auto fixed = FixedTablePath(*number)) {
        return {*fixed, PortSource::FixedTable};
    }
    return {devLink, PortSource::DevLink};
}

} // namespace pello

#include "storage/Database.h"

#include <cstdlib>

namespace pello::storage {

std::unique_ptr<CDatabase> OpenSqlite(const std::string& path, Access access);
std::unique_ptr<CDatabase> OpenPostgres(const std::string& conninfo, Access access);

bool IsPostgres(const std::string& where)
{
    return where.rfind("postgresql://", 0) == 0 || where.rfind("postgres://", 0) == 0 ||
           where.find('=') != std::string::npos;
}

std::string DefaultDatabasePath()
{
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/') {
        return std::string(data) + "/pellomatic/record.db";
    }
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.local/share/pellomatic/record.db";
}

std::unique_ptr<CDatabase> OpenDatabase(const std::string& where, Access access)
{
    const std::string target = where.empty() ? DefaultDatabasePath() : where;
    return IsPostgres(target) ? OpenPostgres(target, access) : OpenSqlite(target, access);
}

} // namespace pello::storage

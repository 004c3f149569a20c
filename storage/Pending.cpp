#include "storage/Pending.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace pello::storage {

namespace {

using nlohmann::json;

json ToJson(const ProgrammingRecord& r)
{
    return {{"time", r.time},     {"station", r.station},   {"link", r.link},
            {"port", r.port},     {"field_before", r.fieldBefore}, {"field_written", r.fieldWritten},
            {"code_written", r.codeWritten}, {"outcome", r.outcome}, {"verify", r.verify},
            {"batch", r.batch},   {"serial", r.serial},     {"detail", r.detail}};
}

ProgrammingRecord RecordFromJson(const json& j)
{
    return {j.at("time"),         j.at("station"),      j.at("link"),    j.at("port"),
            j.at("field_before"), j.at("field_written"), j.at("code_written"), j.at("outcome"),
            j.at("verify"),       j.at("batch"),        j.at("serial"),  j.at("detail")};
}

std::string ToLine(const PendingOutcome& p)
{
    json j {{"database", p.database}, {"state", static_cast<int>(p.state)}, {"record", ToJson(p.record)},
            {"who", {{"name", p.who.name}, {"host", p.who.host}, {"pid", p.who.pid}}}};
    if (p.claim) {
        j["claim"] = {{"id", p.claim->id}, {"batch", p.claim->batch}, {"serial", p.claim->serial},
                      {"field", p.claim->field}, {"code", p.claim->code}};
    }
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

PendingOutcome FromLine(const std::string& line)
{
    const json j = json::parse(line);
    PendingOutcome p;
    p.database = j.at("database");
    p.state = static_cast<SerialState>(j.at("state").get<int>());
    p.record = RecordFromJson(j.at("record"));
    p.who = {j.at("who").at("name"), j.at("who").at("host"), j.at("who").at("pid")};
    if (j.contains("claim")) {
        const json& c = j.at("claim");
        p.claim = Claim {c.at("id"), c.at("batch"), c.at("serial"), c.at("field"), c.at("code")};
    }
    return p;
}

// The file, locked against other runs for as long as this lives.
class CLockedFile {
public:
    explicit CLockedFile(const std::string& path) : m_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (m_fd >= 0) ::flock(m_fd, LOCK_EX);
    }
    ~CLockedFile()
    {
        if (m_fd >= 0) ::close(m_fd);
    }
    CLockedFile(const CLockedFile&) = delete;
    CLockedFile& operator=(const CLockedFile&) = delete;
    bool Ok() const { return m_fd >= 0; }

private:
    int m_fd;
};

} // namespace

std::string PendingPath()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const std::string base = state != nullptr && state[0] == '/' ? state : std::string(home ? home : "") + "/.local/state";
    return base + "/pellomatic/unrecorded.jsonl";
}

bool KeepPending(const PendingOutcome& outcome)
{
    const std::string path = PendingPath();
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
    CLockedFile lock(path);
    std::ofstream out(path, std::ios::app);
    out << ToLine(outcome) << '\n';
    out.flush();
    return lock.Ok() && out.good();
}

int ReplayPending(CStore& store)
{
    const std::string path = PendingPath();
    if (::access(path.c_str(), F_OK) != 0) {
        return 0;
    }
    CLockedFile lock(path);
    std::ifstream in(path);
    std::string line, rest;
    int written = 0;
    while (std::getline(in, line)) {
        const PendingOutcome p = FromLine(line);
        if (p.database != store.Describe()) {
            rest += line + '\n';
            continue;
        }
        if (p.claim) {
            store.Settle(*p.claim, p.state, p.record, p.who);
        } else {
            store.AddRecord(p.record);
        }
        ++written;
    }
    const std::string tmp = path + ".tmp";
    std::ofstream(tmp, std::ios::trunc) << rest;
    std::rename(tmp.c_str(), path.c_str());
    return written;
}

} // namespace pello::storage

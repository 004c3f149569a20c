#include "storage/Pending.h"

#include "link/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

namespace pello::storage {

namespace {

using nlohmann::json;

json ToJson(const ProgrammingRecord& r)
{
    return {{"time", r.time},       {"station", r.station},     {"link", r.link},
            {"port", r.port},       {"field_before", r.fieldBefore}, {"field_written", r.fieldWritten},
            {"code_written", r.codeWritten}, {"outcome", r.outcome}, {"verify", r.verify},
            {"batch", r.batch},     {"serial", r.serial},       {"detail", r.detail},
            {"step", r.step},       {"operator", r.operatorName}, {"started", r.started},
            {"unit", r.unit},       {"token", r.token}};
}

ProgrammingRecord RecordFromJson(const json& j)
{
    return {j.at("time"),         j.at("station"),       j.at("link"),         j.at("port"),
            j.at("field_before"), j.at("field_written"), j.at("code_written"), j.at("outcome"),
            j.at("verify"),       j.at("batch"),         j.at("serial"),       j.at("detail"),
            j.at("step"),         j.at("operator"),      j.at("started"),      j.at("unit"),
            j.at("token")};
}

std::string ToLine(const PendingOutcome& p)
{
    json j {{"database_id", p.databaseId}, {"database", p.database}, {"state", static_cast<int>(p.state)},
            {"record", ToJson(p.record)},
            {"who", {{"name", p.who.name}, {"host", p.who.host}, {"pid", p.who.pid}, {"machine", p.who.machine},
                     {"operator", p.who.operatorName}}}};
    if (p.claim) {
        j["claim"] = {{"id", p.claim->id},       {"batch", p.claim->batch}, {"serial", p.claim->serial},
                      {"field", p.claim->field}, {"code", p.claim->code},   {"token", p.claim->token},
                      {"started", p.claim->started}};
    }
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

PendingOutcome FromLine(const std::string& line)
{
    const json j = json::parse(line);
    PendingOutcome p;
    p.databaseId = j.at("database_id");
    p.database = j.at("database");
    p.state = static_cast<SerialState>(j.at("state").get<int>());
    p.record = RecordFromJson(j.at("record"));
    const json& w = j.at("who");
    p.who = {w.at("name"), w.at("host"), w.at("pid"), w.at("machine"), w.at("operator")};
    if (j.contains("claim")) {
        const json& c = j.at("claim");
        p.claim = Claim {c.at("id"),    c.at("batch"), c.at("serial"),  c.at("field"),
                         c.at("code"),  c.at("token"), {},              c.at("started")};
    }
    return p;
}

void MakeFolders(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        ::mkdir(path.substr(0, slash).c_str(), 0700);
    }
}

// Writes all of `text` and syncs it.
bool WriteSynced(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return ::fsync(fd) == 0;
}

bool Append(const std::string& path, const std::string& text)
{
    CUniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
    return fd && WriteSynced(fd.Get(), text);
}

// The file replaced by `lines`, whole and synced before the rename; on any
// failure the old file stays as it was.
bool Rewrite(const std::string& path, const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& l : lines) text += l + '\n';
    const std::string tmp = path + ".tmp";
    CUniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd || !WriteSynced(fd.Get(), text) || std::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

// Held for as long as this lives: one run at a time reads or rewrites the file.
class CPendingLock {
public:
    explicit CPendingLock(const std::string& path) : m_fd(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (m_fd) ::flock(m_fd.Get(), LOCK_EX);
    }

private:
    CUniqueFd m_fd;
};

std::vector<std::string> ReadLines(const std::string& path)
{
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

void Write(CStore& store, const PendingOutcome& p)
{
    if (p.claim) {
        store.Settle(*p.claim, p.state, p.record, p.who);
    } else {
        store.AddRecord(p.record);
    }
}

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
    MakeFolders(path);
    CPendingLock lock(path);
    return Append(path, ToLine(outcome) + '\n');
}

ReplayReport ReplayPending(CStore& store)
{
    ReplayReport report;
    const std::string path = PendingPath();
    if (::access(path.c_str(), F_OK) != 0) {
        return report;
    }
    CPendingLock lock(path);
    std::vector<std::string> lines = ReadLines(path);
    for (size_t i = 0; i < lines.size();) {
        std::optional<PendingOutcome> p;
        try {
            p = FromLine(lines[i]);
        } catch (const json::exception&) {
            // A line cut short (a crash, a full disk) stops nothing else.
            if (!Append(path + ".bad", lines[i] + '\n')) break;
            ++report.setAside;
        }
        if (p && p->databaseId != store.DatabaseId()) {
            ++i; // another database's: never touched
            continue;
        }
        if (p) {
            Write(store, *p); // a failure leaves this line and the rest for the next run
            ++report.written;
        }
        std::vector<std::string> rest = lines;
        rest.erase(rest.begin() + static_cast<std::ptrdiff_t>(i));
        if (!Rewrite(path, rest)) {
            report.stuck = true; // written twice later changes nothing
            break;
        }
        lines = std::move(rest);
    }
    return report;
}

} // namespace pello::storage

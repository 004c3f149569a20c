#include "storage/Pending.h"

#include "link/UniqueFd.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <exception>
#include <fstream>
#include <stdexcept>
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

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

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
    return Dump(j);
}

// A text member, "" when it is missing: older versions wrote fewer. Any other
// type than text makes the line unreadable.
std::string Str(const json& j, const char* key)
{
    const auto at = j.find(key);
    return at == j.end() || at->is_null() ? std::string() : at->get<std::string>();
}

ProgrammingRecord RecordFromJson(const json& j)
{
    return {Str(j, "time"),         Str(j, "station"),       Str(j, "link"),         Str(j, "port"),
            Str(j, "field_before"), Str(j, "field_written"), Str(j, "code_written"), Str(j, "outcome"),
            Str(j, "verify"),       Str(j, "batch"),         Str(j, "serial"),       Str(j, "detail"),
            Str(j, "step"),         Str(j, "operator"),      Str(j, "started"),      Str(j, "unit"),
            Str(j, "token")};
}

// 32 hex digits that stand for `text` (two 64-bit FNV-1a sums): the token of
// a kept row written without one, the same on every replay of its line.
std::string Digest(const std::string& text)
{
    uint64_t a = 14695981039346656037ull, b = 0x84222325cbf29ce4ull;
    for (const unsigned char c : text) {
        a = (a ^ c) * 1099511628211ull;
        b = (b ^ c ^ 0x5a) * 1099511628211ull;
    }
    char hex[33];
    std::snprintf(hex, sizeof hex, "%016llx%016llx", static_cast<unsigned long long>(a), static_cast<unsigned long long>(b));
    return hex;
}

// One line of the file: an outcome, or the note of a step.
struct KeptLine {
    std::string databaseId; // "" in a line of schema 1, which names its database by description only
    std::string database;
    std::optional<PendingOutcome> outcome;
    std::string noteToken, noteStep;
};

PendingOutcome OutcomeFromJson(const json& j, const std::string& line, bool schema1)
{
    PendingOutcome p;
    const int state = j.contains("state") ? j.at("state").get<int>() : -1;
    // A state that cannot be read leaves the serial for a supervisor.
    p.state = state >= 0 && state <= static_cast<int>(SerialState::Spoiled) ? static_cast<SerialState>(state)
                                                                            : SerialState::InDoubt;
    p.record = RecordFromJson(j.at("record"));
    const json who = j.value("who", json::object());
    p.who = {Str(who, "name"), Str(who, "host"), who.value("pid", 0L), Str(who, "machine"), Str(who, "operator")};
    if (j.contains("claim")) {
        const json& c = j.at("claim");
        p.claim = Claim {c.at("id").get<int64_t>(), Str(c, "batch"), Str(c, "serial"), Str(c, "field"),
                         Str(c, "code"),            Str(c, "token"), {},               Str(c, "started")};
        if (schema1) {
            p.claim->token = Schema1ClaimToken(p.claim->id);
        }
    }
    // Schema 1 gave rows no token: one from the line itself writes it once.
    if (p.record.token.empty() && (schema1 || !p.claim)) {
        p.record.token = "kept-" + Digest(line);
    }
    return p;
}

KeptLine FromLine(const std::string& line)
{
    const json j = json::parse(line);
    if (!j.is_object()) {
        throw std::invalid_argument("not an object");
    }
    KeptLine k {Str(j, "database_id"), Str(j, "database"), std::nullopt, {}, {}};
    if (k.databaseId.empty() && k.database.empty()) {
        throw std::invalid_argument("no database");
    }
    if (j.contains("note")) {
        k.noteToken = Str(j.at("note"), "token");
        k.noteStep = Str(j.at("note"), "step");
        if (k.noteToken.empty()) throw std::invalid_argument("a note of no attempt");
        return k;
    }
    k.outcome = OutcomeFromJson(j, line, k.databaseId.empty());
    k.outcome->databaseId = k.databaseId;
    k.outcome->database = k.database;
    return k;
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

bool Belongs(const CStore& store, const KeptLine& k)
{
    return k.databaseId.empty() ? store.UpgradedFromSchema1() && k.database == store.Describe()
                                : k.databaseId == store.DatabaseId();
}

void Write(CStore& store, const KeptLine& k)
{
    if (!k.outcome) {
        store.NoteKeptStep(k.noteToken, k.noteStep);
    } else if (!k.outcome->claim) {
        store.AddRecord(k.outcome->record);
    } else if (k.databaseId.empty()) {
        store.SettleSchema1(*k.outcome->claim, k.outcome->state, k.outcome->record, k.outcome->who);
    } else {
        store.Settle(*k.outcome->claim, k.outcome->state, k.outcome->record, k.outcome->who);
    }
}

bool KeepLine(const std::string& line)
{
    const std::string path = PendingPath();
    MakeFolders(path);
    CPendingLock lock(path);
    return Append(path, line + '\n');
}

// Under the file's lock: moves the lines of `bad` still there to the .bad
// file and drops those of `done`, one each.
void Drop(const std::string& path, const std::vector<std::string>& done, const std::vector<std::string>& bad,
          ReplayReport* report)
{
    if (done.empty() && bad.empty()) {
        return;
    }
    CPendingLock lock(path);
    std::vector<std::string> lines = ReadLines(path);
    const auto take = [&](const std::string& line) {
        const auto at = std::find(lines.begin(), lines.end(), line);
        if (at == lines.end()) return false;
        lines.erase(at);
        return true;
    };
    bool changed = false;
    for (const std::string& line : done) changed = take(line) || changed;
    const std::vector<std::string> asideAlready = ReadLines(path + ".bad"); // by a run that could not rewrite
    const auto aside = [&](const std::string& line) {
        return std::find(asideAlready.begin(), asideAlready.end(), line) != asideAlready.end() ||
               Append(path + ".bad", line + '\n');
    };
    for (const std::string& line : bad) {
        // Set aside by another run meanwhile, or kept where it is when the .bad file takes nothing.
        if (std::find(lines.begin(), lines.end(), line) != lines.end() && aside(line)) {
            changed = take(line) || changed;
            ++report->setAside;
        }
    }
    report->stuck = changed && !Rewrite(path, lines);
}

} // namespace

std::string PendingPath()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const std::string base = state != nullptr && state[0] == '/' ? state : std::string(home ? home : "") + "/.local/state";
    return base + "/pellomatic/unrecorded.jsonl";
}

bool KeepPending(const PendingOutcome& outcome) { return KeepLine(ToLine(outcome)); }

StepNote NoteStepOrKeep(CStore& store, const std::string& token, const std::string& step)
{
    try {
        store.NoteStep(token, step);
        return {};
    } catch (const std::exception& e) {
        const json note {{"database_id", store.DatabaseId()}, {"database", store.Describe()}, {"time", UtcNow()},
                         {"note", {{"token", token}, {"step", step}}}};
        return {KeepLine(Dump(note)) ? Noted::KeptLocally : Noted::Nowhere, e.what()};
    }
}

std::string SayNote(const std::string& step, const StepNote& note)
{
    return "the record could not note " + step + " in time (" + note.why + "): " +
           (note.where == Noted::KeptLocally ? "kept in " + PendingPath() + " for it" : "nor could " + PendingPath());
}

ReplayReport ReplayPending(CStore& store)
{
    ReplayReport report;
    const std::string path = PendingPath();
    if (::access(path.c_str(), F_OK) != 0) {
        return report;
    }
    std::vector<std::string> lines;
    {
        CPendingLock lock(path);
        lines = ReadLines(path);
    }
    // Written outside the file's lock, so that a note kept meanwhile by a unit
    // on the wire never waits for this record. Two runs writing the same line
    // write it once: every line carries its attempt's token.
    std::vector<std::string> done, bad;
    std::exception_ptr failure;
    for (const std::string& line : lines) {
        std::optional<KeptLine> k;
        try {
            k = FromLine(line);
        } catch (const std::exception&) {
            bad.push_back(line); // a line cut short (a crash, a full disk) stops nothing else
            continue;
        }
        if (!Belongs(store, *k)) {
            continue; // another database's: never touched
        }
        try {
            Write(store, *k);
        } catch (...) {
            failure = std::current_exception(); // this line and the rest stay for the next run
            break;
        }
        ++(k->outcome ? report.written : report.notes);
        done.push_back(line);
    }
    Drop(path, done, bad, &report);
    if (failure) {
        std::rethrow_exception(failure);
    }
    return report;
}

int SetAsideCount()
{
    return static_cast<int>(ReadLines(PendingPath() + ".bad").size());
}

std::vector<std::string> SayReplayed(const ReplayReport& r)
{
    std::vector<std::string> lines;
    if (r.written > 0) {
        lines.push_back("wrote " + std::to_string(r.written) + " outcome(s) kept from an earlier run into the record");
    }
    if (r.setAside > 0) {
        lines.push_back(std::to_string(r.setAside) + " kept outcome(s) could not be read; they are set aside in " +
                        PendingPath() + ".bad");
    }
    if (r.stuck) {
        lines.push_back("could not rewrite " + PendingPath() + " (is the disk full?); its outcomes stay kept");
    }
    // Said until someone looks: a guard may pass a number the set-aside lines show in a unit.
    if (const int aside = SetAsideCount(); aside > 0) {
        lines.push_back(std::to_string(aside) + " kept outcome(s) are set aside unread in " + PendingPath() +
                        ".bad: the record may not know every unit they programmed; look at them, then remove the file");
    }
    return lines;
}

} // namespace pello::storage

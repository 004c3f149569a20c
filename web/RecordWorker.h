#pragma once
// The record behind the page: one connection, read only, on a thread of its
// own, so that a slow or lost database never holds the web server. It is
// reopened when the connection breaks (a PostgreSQL restart) or the SQLite
// file is replaced, and says why it cannot be read meanwhile.

#include "storage/Store.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

namespace pello::web {

class CRecordSource {
public:
    explicit CRecordSource(std::string where);
    // The first opening, on start: throws what opening the record throws.
    void Open();
    // The record, checked and reopened when needed; nullptr, with the
    // reason in `why`, while it cannot be read.
    storage::CStore* Get(std::string* why);
    // The connection broke: the next Get opens a new one.
    void Lost(const std::string& why);
    const std::string& Describe() const { return m_describe; }
    // Told, a line each, when the record is lost and when it is read again.
    void OnChange(std::function<void(const std::string&)> log) { m_log = std::move(log); }

private:
    std::unique_ptr<storage::CStore> Connect();
    // For an SQLite file: why the open connection no longer reads the file at
    // the path (replaced, deleted, or changed under a snapshot), else "".
    std::string Moved();

    std::string m_where;
    bool m_file;
    std::string m_describe;
    std::function<void(const std::string&)> m_log = [](const std::string&) {};
    std::unique_ptr<storage::CStore> m_store;
    std::string m_lost;    // what happened to the last connection
    std::string m_problem; // why the record cannot be read now
    std::chrono::steady_clock::time_point m_lastTry {};
    // The file opened: its identity, and for a snapshot (immutable) its size and time.
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    bool m_snapshot = false;
    off_t m_size = 0;
    struct timespec m_mtime {};
};

// A job on the record's thread; what it returns is its result.
using RecordJob = std::function<std::string(storage::CStore&)>;

struct JobResult {
    bool ok = false;
    std::string text;    // ok: the job's result; else why the record could not be read
};

class CRecordWorker {
public:
    static constexpr size_t kMostWaiting = 16;

    explicit CRecordWorker(std::unique_ptr<CRecordSource> source);
    ~CRecordWorker();
    CRecordWorker(const CRecordWorker&) = delete;
    CRecordWorker& operator=(const CRecordWorker&) = delete;

    // Runs `job` on the record's thread, waiting at most `wait` for it.
    JobResult Run(RecordJob job, std::chrono::milliseconds wait);
    // No more jobs; everyone waiting is answered. Whether the thread ended
    // within `grace`: when not, it is left to the process's end (it is in
    // the database's hands, and holds nothing of the caller's).
    bool Stop(std::chrono::milliseconds grace);

private:
    struct Pending;
    struct Shared;
    static void Work(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
};

} // namespace pello::web

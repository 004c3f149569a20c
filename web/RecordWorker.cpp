#include "web/RecordWorker.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace pello::web {

namespace {

using namespace std::chrono_literals;

// Between two tries to reach a record that cannot be read.
constexpr auto kRetryEvery = 1s;

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool SameTime(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

} // namespace

CRecordSource::CRecordSource(std::string where)
    : m_where(where.empty() ? storage::DefaultDatabasePath() : std::move(where)), m_file(!storage::IsPostgres(m_where)),
      m_describe(m_file ? "SQLite file " + m_where : "PostgreSQL")
{
}

void CRecordSource::Open()
{
    m_store = Connect();
}

std::unique_ptr<storage::CStore> CRecordSource::Connect()
{
    if (!m_file) {
        auto db = storage::OpenDatabase(m_where, storage::Access::ReadLive);
        m_describe = db->Describe();
        return std::make_unique<storage::CStore>(std::move(db), true);
    }
    struct stat st {};
    if (::stat(m_where.c_str(), &st) != 0) {
        throw storage::DbError(storage::DbProblem::CannotOpen, m_where + ": " + std::strerror(errno));
    }
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    m_size = st.st_size;
    m_mtime = st.st_mtim;
    m_snapshot = false;
    std::unique_ptr<storage::CDatabase> db;
    try {
        db = storage::OpenDatabase(m_where, storage::Access::ReadLive);
    } catch (const storage::DbError&) {
        // Reading a WAL file needs its -shm beside it: a writer makes one,
        // and so could we, given write access to the folder. With neither,
        // nothing writes the file now: it is read as it stands, and reopened
        // as soon as it changes or a writer comes.
        if (Exists(m_where + "-wal") || ::access(FolderOf(m_where).c_str(), W_OK) == 0) {
            throw;
        }
        db = storage::OpenDatabase(m_where, storage::Access::ReadMedia);
        m_snapshot = true;
    }
    m_describe = db->Describe();
    return std::make_unique<storage::CStore>(std::move(db), true);
}

std::string CRecordSource::Moved()
{
    struct stat st {};
    if (::stat(m_where.c_str(), &st) != 0) {
        return "the record file " + m_where + " is gone (deleted or moved away)";
    }
    if (st.st_dev != m_dev || st.st_ino != m_ino) {
        return "the record file " + m_where + " was replaced";
    }
    if (m_snapshot && (st.st_size != m_size || !SameTime(st.st_mtim, m_mtime) || Exists(m_where + "-wal"))) {
        return "the record file " + m_where + " changed";
    }
    return {};
}

storage::CStore* CRecordSource::Get(std::string* why)
{
    if (m_store && m_file) {
        if (const std::string moved = Moved(); !moved.empty()) {
            Lost(moved);
        }
    }
    if (m_store) {
        return m_store.get();
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastTry < kRetryEvery) {
        *why = m_problem;
        return nullptr;
    }
    m_lastTry = now;
    try {
        m_store = Connect();
        if (!m_lost.empty()) {
            m_log("reading the record again: " + m_describe);
        }
        m_problem.clear();
        m_lost.clear();
        return m_store.get();
    } catch (const std::exception& e) {
        // What happened first, then why it cannot be opened again now.
        m_problem = (m_lost.empty() ? "" : m_lost + "; ") + "cannot open it: " + e.what();
        *why = m_problem;
        return nullptr;
    }
}

void CRecordSource::Lost(const std::string& why)
{
    m_log("lost the record: " + why);
    m_store.reset();
    m_problem = m_lost = why;
    m_lastTry = {};
}

struct CRecordWorker::Pending {
    RecordJob job;
    bool done = false;
    bool abandoned = false;
    JobResult result;
};

struct CRecordWorker::Shared {
    std::unique_ptr<CRecordSource> source;
    std::mutex mutex;
    std::condition_variable work, done;
    std::deque<std::shared_ptr<Pending>> queue;
    bool stopping = false;
    bool finished = false;
};

namespace {

JobResult Execute(CRecordSource& source, const RecordJob& job)
{
    std::string why;
    storage::CStore* store = source.Get(&why);
    if (store == nullptr) {
        return {false, why};
    }
    try {
        return {true, job(*store)};
    } catch (const storage::DbError& e) {
        const std::string reason = source.Describe() + ": " + e.what();
        if (e.Problem() == storage::DbProblem::Gone || e.Problem() == storage::DbProblem::CannotOpen) {
            source.Lost(reason);
        }
        return {false, reason};
    } catch (const std::exception& e) {
        return {false, source.Describe() + ": " + e.what()};
    }
}

} // namespace

CRecordWorker::CRecordWorker(std::unique_ptr<CRecordSource> source) : m_shared(std::make_shared<Shared>())
{
    m_shared->source = std::move(source);
    m_thread = std::thread(Work, m_shared);
}

CRecordWorker::~CRecordWorker()
{
    if (m_thread.joinable()) {
        Stop(0ms);
    }
}

void CRecordWorker::Work(std::shared_ptr<Shared> shared)
{
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->work.wait(lock, [&] { return shared->stopping || !shared->queue.empty(); });
        if (shared->stopping) {
            break;
        }
        const std::shared_ptr<Pending> next = shared->queue.front();
        shared->queue.pop_front();
        if (next->abandoned) {
            continue;
        }
        lock.unlock();
        JobResult result = Execute(*shared->source, next->job);
        lock.lock();
        next->result = std::move(result);
        next->done = true;
        shared->done.notify_all();
    }
    shared->finished = true;
    shared->done.notify_all();
}

JobResult CRecordWorker::Run(RecordJob job, std::chrono::milliseconds wait)
{
    auto pending = std::make_shared<Pending>();
    pending->job = std::move(job);
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    if (m_shared->stopping) {
        return {false, "the server is stopping"};
    }
    if (m_shared->queue.size() >= kMostWaiting) {
        return {false, "the record is busy: too many requests wait for it"};
    }
    m_shared->queue.push_back(pending);
    m_shared->work.notify_one();
    m_shared->done.wait_for(lock, wait, [&] { return pending->done || m_shared->stopping; });
    if (pending->done) {
        return std::move(pending->result);
    }
    pending->abandoned = true;
    return {false, m_shared->stopping ? "the server is stopping"
                                      : "the record did not answer within " +
                                            std::to_string(std::chrono::duration_cast<std::chrono::seconds>(wait).count()) +
                                            " s"};
}

bool CRecordWorker::Stop(std::chrono::milliseconds grace)
{
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->stopping = true;
    m_shared->work.notify_all();
    m_shared->done.notify_all();
    const bool ended = m_shared->done.wait_for(lock, grace, [&] { return m_shared->finished; });
    lock.unlock();
    if (ended) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
    return ended;
}

} // namespace pello::web

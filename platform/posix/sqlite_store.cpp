#include "platform/posix/sqlite_store.h"

#include <chrono>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vplat {

namespace {

struct StoreCache {
    pid_t pid = 0;
    std::map<std::string, SqliteStore*> stores;
};

StoreCache& Cache() {
    static StoreCache* cache = new StoreCache; // never destroyed: used until exit
    return *cache;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Marks a file whose schema is made (PRAGMA user_version), so that opening it
// again is reads only: making the schema is a write, which would wait for
// another process's writer. Never 0, the mark of a new or older file.
int Fingerprint(const char* schema, const char* upgrade) {
    unsigned h = 2166136261u;
    for (const char* text : {schema, "|", upgrade ? upgrade : ""})
        for (const char* p = text; *p != '\0'; ++p)
            h = (h ^ static_cast<unsigned char>(*p)) * 16777619u;
    return static_cast<int>(h & 0x7FFFFFFFu) | 1;
}

} // namespace

// The readers of one thread; closed with the thread. A process made by fork
// abandons its parent's, as ForFile does.
struct SqliteStore::ThreadReaders {
    pid_t pid = 0;
    std::map<std::string, SqliteStore*> stores;
    ~ThreadReaders() {
        if (pid == getpid())
            for (auto& entry : stores)
                delete entry.second;
    }
};

SqliteStore* SqliteStore::ReaderFor(const std::string& path, const char* schema,
                                    const char* upgrade, int* sqliteError) {
    static thread_local ThreadReaders readers;
    pid_t self = getpid();
    if (readers.pid != self) {
        readers.stores.clear();
        readers.pid = self;
    }
    auto found = readers.stores.find(path);
    if (found != readers.stores.end())
        return found->second;
    for (auto it = readers.stores.begin(); it != readers.stores.end();) {
        if (!FileExists(it->first)) {
            delete it->second;
            it = readers.stores.erase(it);
        } else {
            ++it;
        }
    }
    SqliteStore* store = new SqliteStore;
    int rc = store->OpenReader(path, schema, upgrade);
    if (rc != SQLITE_OK) {
        delete store;
        if (sqliteError)
            *sqliteError = rc;
        return nullptr;
    }
    readers.stores[path] = store;
    return store;
}

std::recursive_mutex& SqliteStore::Lock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;
    return *lock;
}

SqliteStore* SqliteStore::ForFile(const std::string& path, const char* schema, int* sqliteError,
                                  const char* upgrade) {
    StoreCache& cache = Cache();
    pid_t self = getpid();
    if (cache.pid != self) {
        // Inherited from the parent across fork: abandoned, never closed here,
        // since closing would touch the parent's locks and WAL index.
        cache.stores.clear();
        cache.pid = self;
    }
    auto found = cache.stores.find(path);
    if (found != cache.stores.end())
        return found->second;

    for (auto it = cache.stores.begin(); it != cache.stores.end();) {
        if (!FileExists(it->first)) {
            delete it->second;
            it = cache.stores.erase(it);
        } else {
            ++it;
        }
    }

    // Opening races with other processes opening and closing the same file:
    // the switch to WAL mode wants a lock the busy handler does not wait for,
    // and a closing process may be removing the WAL file just as it is looked
    // at. Both pass; the whole open is tried again, for as long as a writer
    // would wait for a lock.
    // The time limit counts the tries themselves too: one may have waited out
    // the busy timeout already.
    const int kPauseMs = 5;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        SqliteStore* store = new SqliteStore;
        int rc = store->Open(path, schema, upgrade);
        if (rc == SQLITE_OK) {
            cache.stores[path] = store;
            return store;
        }
        delete store;
        int primary = rc & 0xff;
        bool passing =
            primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_IOERR;
        if (!passing || std::chrono::steady_clock::now() >= deadline) {
            if (sqliteError)
                *sqliteError = rc;
            return nullptr;
        }
        usleep(kPauseMs * 1000);
    }
}

SqliteStore::~SqliteStore() {
    for (auto& entry : statements_)
        sqlite3_finalize(entry.second);
    if (db_)
        sqlite3_close(db_);
}

int SqliteStore::Exec(const char* sql) {
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
}

int SqliteStore::Open(const std::string& path, const char* schema, const char* upgrade) {
    path_ = path;
    pid_ = getpid();
    int rc =
        sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // The WAL file stays when the last connection closes, so that one process
    // ending never pulls it from under another that is opening.
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    // WAL lets readers go on while one process writes; with it, NORMAL
    // synchronisation keeps the database consistent across a crash and loses
    // at most the last transactions on a power failure, which is what a
    // Windows registry hive promises too (it flushes lazily).
    rc = Exec("PRAGMA journal_mode=WAL");
    if (rc != SQLITE_OK)
        return rc;
    rc = Exec("PRAGMA synchronous=NORMAL");
    if (rc != SQLITE_OK)
        return rc;
    // A call inside a held transaction is a savepoint, whose journal is a
    // temporary file unless temporaries live in memory: thousands of them in
    // one settings save would each touch the disk.
    rc = Exec("PRAGMA temp_store=MEMORY");
    if (rc != SQLITE_OK)
        return rc;
    rc = Exec("PRAGMA foreign_keys=OFF");
    if (rc != SQLITE_OK)
        return rc;
    // Several processes may make the schema at the same moment; the write
    // transaction serialises them and IF NOT EXISTS makes it idempotent. A
    // file that has it already is left alone.
    const int fingerprint = Fingerprint(schema, upgrade);
    if (SchemaCurrent(fingerprint, &rc))
        return SQLITE_OK;
    if (rc != SQLITE_OK)
        return rc;
    rc = BeginWrite();
    if (rc != SQLITE_OK)
        return rc;
    rc = Exec(schema);
    if (rc == SQLITE_OK && upgrade != nullptr) {
        rc = Exec(upgrade);
        if (rc == SQLITE_ERROR && strstr(sqlite3_errmsg(db_), "duplicate column name") != nullptr)
            rc = SQLITE_OK; // made by this schema, or upgraded before
    }
    if (rc == SQLITE_OK) {
        std::string mark = "PRAGMA user_version = " + std::to_string(fingerprint);
        rc = Exec(mark.c_str());
    }
    if (rc != SQLITE_OK) {
        Rollback();
        return rc;
    }
    return Commit();
}

bool SqliteStore::SchemaCurrent(int fingerprint, int* rc) {
    sqlite3_stmt* st = nullptr;
    *rc = sqlite3_prepare_v2(db_, "PRAGMA user_version", -1, &st, nullptr);
    int version = 0;
    if (*rc == SQLITE_OK) {
        int step = sqlite3_step(st);
        if (step == SQLITE_ROW)
            version = sqlite3_column_int(st, 0);
        else
            *rc = step;
    }
    sqlite3_finalize(st);
    return *rc == SQLITE_OK && version == fingerprint;
}

int SqliteStore::OpenReader(const std::string& path, const char* schema, const char* upgrade) {
    path_ = path;
    pid_ = getpid();
    // No CREATE: a file that is not there is made by ForFile, with its schema.
    int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK)
        return rc;
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    int persist = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    if (SchemaCurrent(Fingerprint(schema, upgrade), &rc))
        return SQLITE_OK;
    return rc != SQLITE_OK ? rc : SQLITE_SCHEMA;
}

int SqliteStore::BeginSnapshot() {
    return Exec("BEGIN DEFERRED");
}

void SqliteStore::EndSnapshot() {
    if (!sqlite3_get_autocommit(db_))
        Exec("COMMIT");
}

sqlite3_stmt* SqliteStore::Statement(const char* sql) {
    auto found = statements_.find(sql);
    if (found != statements_.end()) {
        sqlite3_reset(found->second);
        sqlite3_clear_bindings(found->second);
        return found->second;
    }
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) {
        sqlite3_finalize(st);
        return nullptr;
    }
    statements_[sql] = st;
    return st;
}

int SqliteStore::BeginWrite() {
    sqlite3_stmt* st = Statement(held_ ? "SAVEPOINT vantry_call" : "BEGIN IMMEDIATE");
    if (!st)
        return sqlite3_errcode(db_);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return rc;
    if (held_)
        ++savepoints_;
    return SQLITE_OK;
}

int SqliteStore::Commit() {
    if (held_ && savepoints_ > 0) {
        --savepoints_;
        return Exec("RELEASE vantry_call");
    }
    sqlite3_stmt* st = Statement("COMMIT");
    if (!st)
        return sqlite3_errcode(db_);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) {
        Rollback();
        return rc;
    }
    return SQLITE_OK;
}

void SqliteStore::Rollback() {
    if (held_ && savepoints_ > 0) {
        --savepoints_;
        // Takes back this call's changes only; the transaction stays open.
        Exec("ROLLBACK TO vantry_call");
        Exec("RELEASE vantry_call");
        return;
    }
    if (!sqlite3_get_autocommit(db_))
        Exec("ROLLBACK");
}

int SqliteStore::BeginTransaction() {
    if (held_)
        return SQLITE_MISUSE;
    int rc = BeginWrite();
    if (rc == SQLITE_OK) {
        held_ = true;
        savepoints_ = 0;
    }
    return rc;
}

int SqliteStore::CommitTransaction() {
    if (!held_)
        return SQLITE_MISUSE;
    held_ = false;
    savepoints_ = 0;
    return Commit();
}

void SqliteStore::RollbackTransaction() {
    if (!held_)
        return;
    held_ = false;
    savepoints_ = 0;
    if (!sqlite3_get_autocommit(db_))
        Exec("ROLLBACK");
}

} // namespace vplat

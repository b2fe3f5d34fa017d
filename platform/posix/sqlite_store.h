// One SQLite database file of the platform root, shared by every process of
// the root: the registry and the event log each keep one. A process keeps one
// connection per file and its prepared statements, so that a burst of small
// writes (a whole settings save) costs one short transaction each and nothing
// more. WAL mode and a busy timeout let several processes work at once.
#ifndef VANTRY_PLATFORM_POSIX_SQLITE_STORE_H
#define VANTRY_PLATFORM_POSIX_SQLITE_STORE_H

#include <sqlite3.h>

#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace vplat {

class SqliteStore {
public:
    // How long a writer waits for another process's transaction to end.
    static constexpr int kBusyTimeoutMs = 10000;

    // The store of the file at path, opened (and its schema made) on first use
    // in this process. Null when the file cannot be opened; *sqliteError then
    // holds SQLite's code. The caller holds Lock() for as long as it uses the
    // store, and does not keep the pointer past it: a store whose file has
    // gone (a test's root removed) is closed when another file is opened. A
    // process made by fork opens its own connections: SQLite connections must
    // not cross a fork, so the inherited ones are left untouched.
    // upgrade, when given, is one ALTER TABLE ... ADD COLUMN that brings a
    // file made by an older schema up to date; it runs after the schema, and
    // a column that is already there counts as done.
    static SqliteStore* ForFile(const std::string& path, const char* schema, int* sqliteError,
                                const char* upgrade = nullptr);

    // A connection of the calling thread alone, for reads, opened on first
    // use and closed when the thread ends. It waits neither for Lock() nor,
    // the file being in WAL mode, for another process's writer: a read sees
    // the last commit. Null when the file is not there or its schema is not
    // (yet) this one; the caller then reads through ForFile. Never used for
    // writes, and not by a thread that holds a transaction (its reads must
    // see its own writes).
    static SqliteStore* ReaderFor(const std::string& path, const char* schema, const char* upgrade,
                                  int* sqliteError);

    // Every store of the process is used under this one lock. It is recursive:
    // a thread that holds a transaction (below) keeps it between its calls and
    // takes it again in each of them, while other threads wait.
    static std::recursive_mutex& Lock();

    // The statement for sql, prepared once and reset and unbound for reuse.
    // Null when it does not prepare. Valid until the lock is released.
    sqlite3_stmt* Statement(const char* sql);

    // One write call: BEGIN IMMEDIATE, which takes the write lock at once so
    // that the busy timeout covers the wait (a deferred transaction that later
    // upgrades fails with SQLITE_BUSY instead of waiting). Inside a held
    // transaction (below) the call is a savepoint instead, so that a call that
    // fails half-way takes back its own changes and leaves the transaction to
    // its owner. Returns SQLite's code.
    int BeginWrite();
    int Commit();
    void Rollback();

    // A transaction that spans many calls (a whole settings save): BEGIN
    // IMMEDIATE now, COMMIT or ROLLBACK when its owner says so. The caller
    // holds Lock() from begin to end, so that no other thread's calls join it.
    int BeginTransaction();
    int CommitTransaction();
    void RollbackTransaction();
    bool InTransaction() const { return held_; }

    // A read snapshot on a reader (BEGIN DEFERRED: the first read fixes what
    // every later read sees until the end). Returns SQLite's code.
    int BeginSnapshot();
    void EndSnapshot();

    sqlite3* Handle() const { return db_; }
    const std::string& Path() const { return path_; }

    SqliteStore(const SqliteStore&) = delete;
    SqliteStore& operator=(const SqliteStore&) = delete;

private:
    struct ThreadReaders;
    SqliteStore() = default;
    ~SqliteStore();
    int Open(const std::string& path, const char* schema, const char* upgrade);
    int OpenReader(const std::string& path, const char* schema, const char* upgrade);
    // Whether the file's schema is this one already (a read only).
    bool SchemaCurrent(int fingerprint, int* rc);
    int Exec(const char* sql);

    sqlite3* db_ = nullptr;
    pid_t pid_ = 0;
    std::string path_;
    std::map<std::string, sqlite3_stmt*> statements_;
    bool held_ = false;  // a transaction of BeginTransaction is open
    int savepoints_ = 0; // write calls open inside it
};

// Binds a text of n bytes (not copied: it must live until the step).
inline int BindText(sqlite3_stmt* st, int index, const std::string& text) {
    return sqlite3_bind_text(st, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
}

} // namespace vplat

#endif

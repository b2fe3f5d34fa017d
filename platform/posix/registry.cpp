// The registry on POSIX: one SQLite database (registry.db) in the platform
// root. Keys form a tree of rows; each key and value keeps the name it was
// created with and is found by its ASCII case-folded name, as on Windows.
// Value data is kept byte for byte with its type, whatever the type.
//
// An open key is a heap object naming the database file and the key's row;
// the predefined roots are their constant handles and follow the root named
// by the environment at each call. Key rows are never reused (AUTOINCREMENT),
// so a handle to a deleted key reports ERROR_KEY_DELETED even after a key of
// the same path has been made again.
#include "platform/posix/internal.h"
#include "platform/posix/sqlite_store.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vplat {
namespace {

constexpr uint32_t kKeyMagic = 0x4B474552; // "REGK"
constexpr size_t kMaxKeyNameLength = 255;  // one path element, as on Windows
constexpr size_t kMaxValueNameLength = 16383;
// Far above anything the system stores; keeps sizes within SQLite's int.
constexpr DWORD kMaxValueSize = 256u * 1024u * 1024u;

// Row ids of the predefined roots; made with the schema.
constexpr long long kClassesRootId = 1;
constexpr long long kCurrentUserId = 2;
constexpr long long kLocalMachineId = 3;
constexpr long long kUsersId = 4;

const char kSchema[] = "CREATE TABLE IF NOT EXISTS reg_keys("
                       " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " parent INTEGER NOT NULL,"
                       " name TEXT NOT NULL,"
                       " fold TEXT NOT NULL,"
                       " created INTEGER NOT NULL DEFAULT 0,"
                       " UNIQUE(parent, fold));"
                       "CREATE TABLE IF NOT EXISTS reg_values("
                       " key INTEGER NOT NULL,"
                       " name TEXT NOT NULL,"
                       " fold TEXT NOT NULL,"
                       " type INTEGER NOT NULL,"
                       " data BLOB NOT NULL,"
                       " wide INTEGER NOT NULL DEFAULT 0,"
                       " UNIQUE(key, fold));"
                       "INSERT OR IGNORE INTO reg_keys(id, parent, name, fold) VALUES"
                       " (1, 0, 'HKEY_CLASSES_ROOT', 'hkey_classes_root'),"
                       " (2, 0, 'HKEY_CURRENT_USER', 'hkey_current_user'),"
                       " (3, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'),"
                       " (4, 0, 'HKEY_USERS', 'hkey_users');";

// A file made before values kept the width of their text gets the column;
// every value in it was written through the narrow calls.
const char kUpgrade[] = "ALTER TABLE reg_values ADD COLUMN wide INTEGER NOT NULL DEFAULT 0";

SqliteStore* StoreOf(const std::string& path, int* rc) {
    return SqliteStore::ForFile(path, kSchema, rc, kUpgrade);
}

SqliteStore* ReaderOf(const std::string& path, int* rc) {
    return SqliteStore::ReaderFor(path, kSchema, kUpgrade, rc);
}

// The types whose data is text, which Windows keeps as UTF-16 and hands to a
// narrow call in the ANSI code page.
bool IsText(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

struct RegKey {
    uint32_t magic = kKeyMagic;
    std::string dbPath;
    long long id = 0;
    REGSAM access = 0; // the specific key rights the handle was opened with
};

// The rights a handle grants, as Windows grants them from the access asked
// for: generic rights stand for their key rights; MAXIMUM_ALLOWED is all.
REGSAM GrantedAccess(REGSAM asked) {
    const REGSAM kGenericRead = 0x80000000, kGenericWrite = 0x40000000,
                 kGenericExecute = 0x20000000, kGenericAll = 0x10000000,
                 kMaximumAllowed = 0x02000000;
    if (asked & (kGenericAll | kMaximumAllowed))
        return KEY_ALL_ACCESS;
    REGSAM granted = asked & KEY_ALL_ACCESS;
    if (asked & (kGenericRead | kGenericExecute))
        granted |= KEY_READ;
    if (asked & kGenericWrite)
        granted |= KEY_WRITE;
    return granted;
}

// Open keys of this process, so that a stale or foreign handle is refused
// with ERROR_INVALID_HANDLE instead of being followed. Guarded by KeysLock,
// not by the store lock, which a writer holds while it waits for another
// process.
std::set<RegKey*>& LiveKeys() {
    static std::set<RegKey*>* keys = new std::set<RegKey*>;
    return *keys;
}

std::mutex& KeysLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

// The database file of the current root. RootFile creates folders on every
// call; a settings save calls this thousands of times, so the answer is kept
// while the environment names the same root.
std::string RegistryFile() {
    static std::mutex* lock = new std::mutex; // readers call it without the store lock
    std::lock_guard<std::mutex> hold(*lock);
    static std::string* lastRoot = new std::string;
    static std::string* lastFile = new std::string;
    const char* env = std::getenv(kRootVariable);
    std::string root = env ? env : "";
    if (lastFile->empty() || root != *lastRoot) {
        *lastFile = RootFile("registry.db");
        *lastRoot = root;
    }
    return *lastFile;
}

LONG FromSqlite(int rc) {
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return ERROR_SUCCESS;
    case SQLITE_NOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case SQLITE_FULL:
        return ERROR_DISK_FULL;
    case SQLITE_CANTOPEN:
        return ERROR_CANTOPEN;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return ERROR_REGISTRY_CORRUPT;
    case SQLITE_PERM:
    case SQLITE_READONLY:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

std::string Fold(const std::string& name) {
    std::string folded(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

// Resets a cached statement when it goes out of scope, so that no statement
// keeps a read snapshot open between calls.
class StatementUse {
public:
    explicit StatementUse(sqlite3_stmt* st) : st_(st) {}
    ~StatementUse() {
        if (st_)
            sqlite3_reset(st_);
    }
    StatementUse(const StatementUse&) = delete;
    StatementUse& operator=(const StatementUse&) = delete;

private:
    sqlite3_stmt* st_;
};

long long NowMicroseconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// A key as one call sees it: the database and the key's row.
struct Target {
    std::string dbPath;
    long long id = 0;
    REGSAM access = KEY_ALL_ACCESS;
};

LONG Resolve(HKEY hKey, Target* target) {
    long long rootId = 0;
    if (hKey == HKEY_CLASSES_ROOT)
        rootId = kClassesRootId;
    else if (hKey == HKEY_CURRENT_USER)
        rootId = kCurrentUserId;
    else if (hKey == HKEY_LOCAL_MACHINE)
        rootId = kLocalMachineId;
    else if (hKey == HKEY_USERS)
        rootId = kUsersId;
    if (rootId != 0) {
        target->dbPath = RegistryFile();
        target->id = rootId;
        return ERROR_SUCCESS;
    }
    std::lock_guard<std::mutex> keys(KeysLock());
    RegKey* key = reinterpret_cast<RegKey*>(hKey);
    if (key == nullptr || LiveKeys().count(key) == 0 || key->magic != kKeyMagic)
        return ERROR_INVALID_HANDLE;
    target->dbPath = key->dbPath;
    target->id = key->id;
    target->access = key->access;
    return ERROR_SUCCESS;
}

// The transaction of the calling thread: the database it was begun on, or
// empty. The thread holds the store lock from begin to end.
thread_local std::string tHeldRegistry;
// The read snapshot of the calling thread (on its reader), or empty.
thread_local std::string tSnapshotRegistry;

// The key a handle names and the store one call works on, with the lock that
// store needs, held while this object lives. A handle without the rights the
// call needs is refused, as Windows refuses it.
class StoreAccess {
public:
    // A write: the process's store of the file, under the store lock (and so
    // after any transaction of another thread).
    LONG ForWrite(HKEY hKey, Target* target, REGSAM needed = 0) {
        LONG status = Check(hKey, target, needed);
        return status == ERROR_SUCCESS ? Shared(*target) : status;
    }
    // A read: the thread's own reader of the file, which waits for no writer
    // of this process or another and sees the last commit. A thread that
    // holds a transaction on the file reads in it instead (its reads see its
    // writes); a file without a reader yet (not made) goes the write way.
    LONG ForRead(HKEY hKey, Target* target, REGSAM needed = 0) {
        LONG status = Check(hKey, target, needed);
        if (status != ERROR_SUCCESS)
            return status;
        if (tHeldRegistry != target->dbPath) {
            int rc = SQLITE_CANTOPEN;
            store_ = ReaderOf(target->dbPath, &rc);
            if (store_ != nullptr)
                return ERROR_SUCCESS;
            // A file that is there but cannot be read is not read any other way.
            if ((rc & 0xff) != SQLITE_CANTOPEN && (rc & 0xff) != SQLITE_SCHEMA)
                return FromSqlite(rc);
        }
        return Shared(*target);
    }
    SqliteStore* store() const { return store_; }

private:
    static LONG Check(HKEY hKey, Target* target, REGSAM needed) {
        LONG status = Resolve(hKey, target);
        if (status != ERROR_SUCCESS)
            return status;
        return (target->access & needed) == needed ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
    }
    LONG Shared(const Target& target) {
        lock_ = std::unique_lock<std::recursive_mutex>(SqliteStore::Lock());
        int rc = SQLITE_CANTOPEN;
        store_ = StoreOf(target.dbPath, &rc);
        return store_ != nullptr ? ERROR_SUCCESS : FromSqlite(rc);
    }

    std::unique_lock<std::recursive_mutex> lock_;
    SqliteStore* store_ = nullptr;
};

// Hands data to a caller's buffer the Windows way: its size alone when there
// is no buffer, ERROR_MORE_DATA with the size when it is too small.
LONG HandOutData(const void* bytes, DWORD size, LPBYTE data, LPDWORD cbData) {
    if (data == nullptr) {
        if (cbData)
            *cbData = size;
        return ERROR_SUCCESS;
    }
    if (*cbData < size) {
        *cbData = size;
        return ERROR_MORE_DATA;
    }
    if (size > 0)
        std::memcpy(data, bytes, size);
    *cbData = size;
    return ERROR_SUCCESS;
}

// The stored data of a value (columns type, data, wide from column on) as the
// caller's call receives it: a text written through the other width is
// converted as Windows converts it, UTF-16 to and from the ANSI code page,
// terminators and all; anything else goes as stored.
LONG CopyData(sqlite3_stmt* st, int column, bool wideCaller, LPBYTE data, LPDWORD cbData) {
    const DWORD type = static_cast<DWORD>(sqlite3_column_int64(st, column));
    const void* blob = sqlite3_column_blob(st, column + 1);
    const DWORD size = static_cast<DWORD>(sqlite3_column_bytes(st, column + 1));
    const bool storedWide = sqlite3_column_int64(st, column + 2) != 0;
    if (!IsText(type) || storedWide == wideCaller || size == 0)
        return HandOutData(blob, size, data, cbData);
    if (storedWide) {
        // UTF-16 to ANSI; an odd last byte is no character.
        std::u16string text(size / 2, u'\0');
        std::memcpy(&text[0], blob, text.size() * 2);
        std::string narrow;
        if (!text.empty()) {
            int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
            narrow.resize(n > 0 ? static_cast<size_t>(n) : 0);
            if (n > 0)
                WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                    &narrow[0], n, nullptr, nullptr);
        }
        return HandOutData(narrow.data(), static_cast<DWORD>(narrow.size()), data, cbData);
    }
    const char* bytes = static_cast<const char*>(blob);
    int n = MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), nullptr, 0);
    std::u16string wide(n > 0 ? static_cast<size_t>(n) : 0, u'\0');
    if (n > 0)
        MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(size), &wide[0], n);
    return HandOutData(wide.data(), static_cast<DWORD>(wide.size() * 2), data, cbData);
}

// Splits "A\B\C" into its names. A leading backslash or an empty name inside
// the path is refused as Windows does; one trailing backslash is tolerated.
LONG SplitPath(const char* path, std::vector<std::string>* names) {
    names->clear();
    if (path == nullptr || *path == '\0')
        return ERROR_SUCCESS;
    if (*path == '\\')
        return ERROR_BAD_PATHNAME;
    const char* start = path;
    for (;;) {
        const char* end = std::strchr(start, '\\');
        size_t len = end ? static_cast<size_t>(end - start) : std::strlen(start);
        if (len == 0) {
            if (end == nullptr && !names->empty())
                break; // the tolerated trailing backslash
            return ERROR_BAD_PATHNAME;
        }
        if (len > kMaxKeyNameLength)
            return ERROR_INVALID_PARAMETER;
        names->emplace_back(start, len);
        if (end == nullptr)
            break;
        start = end + 1;
    }
    return ERROR_SUCCESS;
}

LONG KeyAlive(SqliteStore* store, long long id) {
    sqlite3_stmt* st = store->Statement("SELECT 1 FROM reg_keys WHERE id = ?");
    if (!st)
        return FromSqlite(sqlite3_errcode(store->Handle()));
    StatementUse use(st);
    sqlite3_bind_int64(st, 1, id);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW)
        return ERROR_SUCCESS;
    if (rc == SQLITE_DONE)
        return ERROR_KEY_DELETED;
    return FromSqlite(rc);
}

LONG FindChild(SqliteStore* store, long long parent, const std::string& fold, long long* id) {
    sqlite3_stmt* st = store->Statement("SELECT id FROM reg_keys WHERE parent = ? AND fold = ?");
    if (!st)
        return FromSqlite(sqlite3_errcode(store->Handle()));
    StatementUse use(st);
    sqlite3_bind_int64(st, 1, parent);
    BindText(st, 2, fold);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) {
        *id = sqlite3_column_int64(st, 0);
        return ERROR_SUCCESS;
    }
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    return FromSqlite(rc);
}

LONG InsertChild(SqliteStore* store, long long parent, const std::string& name,
                 const std::string& fold, long long* id) {
    sqlite3_stmt* st =
        store->Statement("INSERT INTO reg_keys(parent, name, fold, created) VALUES(?, ?, ?, ?)");
    if (!st)
        return FromSqlite(sqlite3_errcode(store->Handle()));
    StatementUse use(st);
    sqlite3_bind_int64(st, 1, parent);
    BindText(st, 2, name);
    BindText(st, 3, fold);
    sqlite3_bind_int64(st, 4, NowMicroseconds());
    int rc = sqlite3_step(st);
    if (rc != SQLITE_DONE)
        return FromSqlite(rc);
    *id = sqlite3_last_insert_rowid(store->Handle());
    return ERROR_SUCCESS;
}

// Follows names from the key at id. ERROR_FILE_NOT_FOUND when one is missing.
LONG Walk(SqliteStore* store, long long id, const std::vector<std::string>& names,
          long long* found) {
    for (const std::string& name : names) {
        LONG status = FindChild(store, id, Fold(name), &id);
        if (status != ERROR_SUCCESS)
            return status;
    }
    *found = id;
    return ERROR_SUCCESS;
}

HKEY NewHandle(const std::string& dbPath, long long id, REGSAM access) {
    RegKey* key = new RegKey;
    key->dbPath = dbPath;
    key->id = id;
    key->access = GrantedAccess(access);
    std::lock_guard<std::mutex> keys(KeysLock());
    LiveKeys().insert(key);
    return reinterpret_cast<HKEY>(key);
}

std::string ValueName(const char* name) {
    return name ? std::string(name) : std::string();
}

// Ends a write transaction: commit on success, roll back otherwise.
LONG Finish(SqliteStore* store, LONG status) {
    if (status != ERROR_SUCCESS) {
        store->Rollback();
        return status;
    }
    return FromSqlite(store->Commit());
}

LONG OpenKey(HKEY hKey, const char* subKey, REGSAM access, PHKEY result);

LONG CreateKey(HKEY hKey, const char* subKey, REGSAM access, PHKEY result, LPDWORD disposition) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> names;
    LONG status = SplitPath(subKey, &names);
    if (status != ERROR_SUCCESS)
        return status;
    // A key that is there is opened with reads alone, as Windows opens it:
    // only a missing key makes this a write, which may wait for another
    // process's writer.
    status = OpenKey(hKey, subKey, access, result);
    if (status != ERROR_FILE_NOT_FOUND) {
        if (status == ERROR_SUCCESS && disposition)
            *disposition = REG_OPENED_EXISTING_KEY;
        return status;
    }
    StoreAccess writes;
    Target target;
    status = writes.ForWrite(hKey, &target);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = writes.store();
    status = FromSqlite(store->BeginWrite());
    if (status != ERROR_SUCCESS)
        return status;
    status = KeyAlive(store, target.id);
    long long id = target.id;
    bool created = false;
    for (size_t i = 0; status == ERROR_SUCCESS && i < names.size(); ++i) {
        std::string fold = Fold(names[i]);
        status = FindChild(store, id, fold, &id);
        if (status == ERROR_FILE_NOT_FOUND) {
            status = InsertChild(store, id, names[i], fold, &id);
            created = true;
        }
    }
    status = Finish(store, status);
    if (status != ERROR_SUCCESS)
        return status;
    *result = NewHandle(target.dbPath, id, access);
    if (disposition)
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LONG OpenKey(HKEY hKey, const char* subKey, REGSAM access, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> names;
    LONG status = SplitPath(subKey, &names);
    if (status != ERROR_SUCCESS)
        return status;
    StoreAccess reads;
    Target target;
    status = reads.ForRead(hKey, &target);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = reads.store();
    status = KeyAlive(store, target.id);
    long long id = 0;
    if (status == ERROR_SUCCESS)
        status = Walk(store, target.id, names, &id);
    if (status != ERROR_SUCCESS)
        return status;
    *result = NewHandle(target.dbPath, id, access);
    return ERROR_SUCCESS;
}

LONG QueryValue(HKEY hKey, const char* valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                LPDWORD cbData, bool wideCaller) {
    if (reserved != nullptr || (data != nullptr && cbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    StoreAccess access;
    Target target;
    LONG status = access.ForRead(hKey, &target, KEY_QUERY_VALUE);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = access.store();
    sqlite3_stmt* st =
        store->Statement("SELECT type, data, wide FROM reg_values WHERE key = ? AND fold = ?");
    if (!st)
        return FromSqlite(sqlite3_errcode(store->Handle()));
    StatementUse use(st);
    std::string fold = Fold(ValueName(valueName));
    sqlite3_bind_int64(st, 1, target.id);
    BindText(st, 2, fold);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) {
        status = KeyAlive(store, target.id);
        return status == ERROR_SUCCESS ? ERROR_FILE_NOT_FOUND : status;
    }
    if (rc != SQLITE_ROW)
        return FromSqlite(rc);
    if (type)
        *type = static_cast<DWORD>(sqlite3_column_int64(st, 0));
    return CopyData(st, 0, wideCaller, data, cbData);
}

LONG SetValue(HKEY hKey, const char* valueName, DWORD type, const BYTE* data, DWORD cbData,
              bool wideCaller) {
    if (data == nullptr && cbData != 0)
        return ERROR_NOACCESS;
    if (cbData > kMaxValueSize)
        return ERROR_INVALID_PARAMETER;
    std::string name = ValueName(valueName);
    if (name.size() > kMaxValueNameLength)
        return ERROR_INVALID_PARAMETER;
    std::string fold = Fold(name);
    StoreAccess access;
    Target target;
    LONG status = access.ForWrite(hKey, &target, KEY_SET_VALUE);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = access.store();
    status = FromSqlite(store->BeginWrite());
    if (status != ERROR_SUCCESS)
        return status;
    status = KeyAlive(store, target.id);
    if (status == ERROR_SUCCESS) {
        // A value written again keeps the name (and the place in the
        // enumeration) it was created with, as on Windows.
        sqlite3_stmt* st = store->Statement(
            "INSERT INTO reg_values(key, name, fold, type, data, wide) VALUES(?, ?, ?, ?, ?, ?)"
            " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data,"
            " wide = excluded.wide");
        if (!st) {
            status = FromSqlite(sqlite3_errcode(store->Handle()));
        } else {
            StatementUse use(st);
            static const BYTE kEmpty = 0; // a null pointer would bind NULL, not zero bytes
            sqlite3_bind_int64(st, 1, target.id);
            BindText(st, 2, name);
            BindText(st, 3, fold);
            sqlite3_bind_int64(st, 4, static_cast<sqlite3_int64>(type));
            sqlite3_bind_blob(st, 5, cbData ? static_cast<const void*>(data) : &kEmpty,
                              static_cast<int>(cbData), SQLITE_STATIC);
            sqlite3_bind_int(st, 6, wideCaller && IsText(type) ? 1 : 0);
            status = FromSqlite(sqlite3_step(st));
        }
    }
    return Finish(store, status);
}

LONG DeleteValue(HKEY hKey, const char* valueName) {
    std::string fold = Fold(ValueName(valueName));
    StoreAccess access;
    Target target;
    LONG status = access.ForWrite(hKey, &target, KEY_SET_VALUE);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = access.store();
    status = FromSqlite(store->BeginWrite());
    if (status != ERROR_SUCCESS)
        return status;
    status = KeyAlive(store, target.id);
    if (status == ERROR_SUCCESS) {
        sqlite3_stmt* st = store->Statement("DELETE FROM reg_values WHERE key = ? AND fold = ?");
        if (!st) {
            status = FromSqlite(sqlite3_errcode(store->Handle()));
        } else {
            StatementUse use(st);
            sqlite3_bind_int64(st, 1, target.id);
            BindText(st, 2, fold);
            status = FromSqlite(sqlite3_step(st));
            if (status == ERROR_SUCCESS && sqlite3_changes(store->Handle()) == 0)
                status = ERROR_FILE_NOT_FOUND;
        }
    }
    return Finish(store, status);
}

LONG DeleteKey(HKEY hKey, const char* subKey) {
    if (subKey == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<std::string> names;
    LONG status = SplitPath(subKey, &names);
    if (status != ERROR_SUCCESS)
        return status;
    StoreAccess access;
    Target target;
    status = access.ForWrite(hKey, &target);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = access.store();
    status = FromSqlite(store->BeginWrite());
    if (status != ERROR_SUCCESS)
        return status;
    status = KeyAlive(store, target.id);
    long long id = 0;
    if (status == ERROR_SUCCESS)
        status = Walk(store, target.id, names, &id);
    // The roots cannot go; a key with subkeys is refused as Windows refuses
    // it, so that a whole tree is only ever removed deliberately, bottom up.
    if (status == ERROR_SUCCESS && id <= kUsersId)
        status = ERROR_ACCESS_DENIED;
    if (status == ERROR_SUCCESS) {
        sqlite3_stmt* st = store->Statement("SELECT 1 FROM reg_keys WHERE parent = ? LIMIT 1");
        if (!st) {
            status = FromSqlite(sqlite3_errcode(store->Handle()));
        } else {
            StatementUse use(st);
            sqlite3_bind_int64(st, 1, id);
            int rc = sqlite3_step(st);
            if (rc == SQLITE_ROW)
                status = ERROR_ACCESS_DENIED;
            else if (rc != SQLITE_DONE)
                status = FromSqlite(rc);
        }
    }
    const char* const deletes[] = {"DELETE FROM reg_values WHERE key = ?",
                                   "DELETE FROM reg_keys WHERE id = ?"};
    for (const char* sql : deletes) {
        if (status != ERROR_SUCCESS)
            break;
        sqlite3_stmt* st = store->Statement(sql);
        if (!st) {
            status = FromSqlite(sqlite3_errcode(store->Handle()));
            break;
        }
        StatementUse use(st);
        sqlite3_bind_int64(st, 1, id);
        status = FromSqlite(sqlite3_step(st));
    }
    return Finish(store, status);
}

// Copies name and its terminator into buffer of *cch characters.
LONG CopyName(const char* name, size_t len, LPSTR buffer, LPDWORD cch) {
    if (len + 1 > *cch)
        return ERROR_MORE_DATA;
    std::memcpy(buffer, name, len);
    buffer[len] = '\0';
    *cch = static_cast<DWORD>(len);
    return ERROR_SUCCESS;
}

LONG EnumKey(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPSTR className, LPDWORD cchClass,
             PFILETIME lastWrite) {
    if (name == nullptr || cchName == nullptr)
        return ERROR_INVALID_PARAMETER;
    StoreAccess access;
    Target target;
    LONG status = access.ForRead(hKey, &target, KEY_ENUMERATE_SUB_KEYS);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = access.store();
    // Subkeys come in the order of their folded names, as Windows lists them.
    sqlite3_stmt* st = store->Statement(
        "SELECT name, created FROM reg_keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
    if (!st)
        return FromSqlite(sqlite3_errcode(store->Handle()));
    StatementUse use(st);
    sqlite3_bind_int64(st, 1, target.id);
    sqlite3_bind_int64(st, 2, index);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) {
        status = KeyAlive(store, target.id);
        return status == ERROR_SUCCESS ? ERROR_NO_MORE_ITEMS : status;
    }
    if (rc != SQLITE_ROW)
        return FromSqlite(rc);
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    status =
        CopyName(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(st, 0)), name, cchName);
    if (status != ERROR_SUCCESS)
        return status;
    if (className && cchClass) {
        if (*cchClass > 0)
            className[0] = '\0';
        *cchClass = 0;
    }
    if (lastWrite) {
        // The time the key was made: keeping a true last-write time would
        // cost a second page write in every RegSetValueEx, tripling the time
        // of a settings save, and nothing of the system reads it.
        // FILETIME counts 100 ns steps from 1601.
        unsigned long long ft =
            static_cast<unsigned long long>(sqlite3_column_int64(st, 1)) * 10ULL +
            116444736000000000ULL;
        lastWrite->dwLowDateTime = static_cast<DWORD>(ft & 0xFFFFFFFFu);
        lastWrite->dwHighDateTime = static_cast<DWORD>(ft >> 32);
    }
    return ERROR_SUCCESS;
}

LONG EnumValue(HKEY hKey, DWORD index, LPSTR name, LPDWORD cchName, LPDWORD reserved, LPDWORD type,
               LPBYTE data, LPDWORD cbData) {
    if (name == nullptr || cchName == nullptr || reserved != nullptr ||
        (data != nullptr && cbData == nullptr))
        return ERROR_INVALID_PARAMETER;
    StoreAccess access;
    Target target;
    LONG status = access.ForRead(hKey, &target, KEY_QUERY_VALUE);
    if (status != ERROR_SUCCESS)
        return status;
    SqliteStore* store = access.store();
    // Values come in the order they were made, as Windows lists them.
    sqlite3_stmt* st = store->Statement(
        "SELECT name, type, data, wide FROM reg_values WHERE key = ? ORDER BY rowid LIMIT 1"
        " OFFSET ?");
    if (!st)
        return FromSqlite(sqlite3_errcode(store->Handle()));
    StatementUse use(st);
    sqlite3_bind_int64(st, 1, target.id);
    sqlite3_bind_int64(st, 2, index);
    int rc = sqlite3_step(st);
    if (rc == SQLITE_DONE) {
        status = KeyAlive(store, target.id);
        return status == ERROR_SUCCESS ? ERROR_NO_MORE_ITEMS : status;
    }
    if (rc != SQLITE_ROW)
        return FromSqlite(rc);
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
    status =
        CopyName(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(st, 0)), name, cchName);
    if (status != ERROR_SUCCESS)
        return status;
    if (type)
        *type = static_cast<DWORD>(sqlite3_column_int64(st, 1));
    return CopyData(st, 1, false, data, cbData);
}

LONG CloseKey(HKEY hKey) {
    if (hKey == HKEY_CLASSES_ROOT || hKey == HKEY_CURRENT_USER || hKey == HKEY_LOCAL_MACHINE ||
        hKey == HKEY_USERS)
        return ERROR_SUCCESS;
    std::lock_guard<std::mutex> keys(KeysLock());
    RegKey* key = reinterpret_cast<RegKey*>(hKey);
    if (key == nullptr || LiveKeys().erase(key) == 0)
        return ERROR_INVALID_HANDLE;
    key->magic = 0;
    delete key;
    return ERROR_SUCCESS;
}

// UTF-16 names to UTF-8 for storage. A lone surrogate is kept as its own
// three-byte sequence rather than dropped, so that no two names merge.
bool Utf8FromWide(LPCWSTR wide, std::string* out) {
    out->clear();
    if (wide == nullptr)
        return false;
    for (size_t i = 0; wide[i] != 0; ++i) {
        uint32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(wide[i + 1]) - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out->push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out->push_back(static_cast<char>(0xC0 | (c >> 6)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out->push_back(static_cast<char>(0xE0 | (c >> 12)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out->push_back(static_cast<char>(0xF0 | (c >> 18)));
            out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return true;
}

// A wide name as the narrow name the store uses; null stays null.
class NarrowName {
public:
    explicit NarrowName(LPCWSTR wide) : null_(!Utf8FromWide(wide, &text_)) {}
    const char* get() const { return null_ ? nullptr : text_.c_str(); }

private:
    std::string text_;
    bool null_;
};

LONG BeginTransaction() {
    if (!tHeldRegistry.empty() || !tSnapshotRegistry.empty())
        return ERROR_INVALID_FUNCTION; // one at a time per thread
    SqliteStore::Lock().lock();
    std::string path = RegistryFile();
    int rc = SQLITE_CANTOPEN;
    SqliteStore* store = StoreOf(path, &rc);
    if (store != nullptr)
        rc = store->BeginTransaction();
    if (rc != SQLITE_OK) {
        SqliteStore::Lock().unlock();
        return FromSqlite(rc);
    }
    tHeldRegistry = path;
    return ERROR_SUCCESS;
}

// A snapshot on the thread's reader: no lock of this process or another is
// taken, so it never waits for a writer.
LONG BeginSnapshot() {
    if (!tHeldRegistry.empty() || !tSnapshotRegistry.empty())
        return ERROR_INVALID_FUNCTION;
    std::string path = RegistryFile();
    int rc = SQLITE_CANTOPEN;
    SqliteStore* reader = ReaderOf(path, &rc);
    if (reader == nullptr) {
        // A registry not made yet: made now, then read.
        {
            std::lock_guard<std::recursive_mutex> lock(SqliteStore::Lock());
            if (StoreOf(path, &rc) == nullptr)
                return FromSqlite(rc);
        }
        reader = ReaderOf(path, &rc);
        if (reader == nullptr)
            return FromSqlite(rc);
    }
    rc = reader->BeginSnapshot();
    if (rc != SQLITE_OK)
        return FromSqlite(rc);
    tSnapshotRegistry = path;
    return ERROR_SUCCESS;
}

// Commits (commit true) or rolls back the calling thread's transaction and
// lets the other threads go on; ends a snapshot either way.
LONG EndTransaction(bool commit) {
    if (!tSnapshotRegistry.empty()) {
        int rc = SQLITE_CANTOPEN;
        SqliteStore* reader = ReaderOf(tSnapshotRegistry, &rc);
        if (reader != nullptr)
            reader->EndSnapshot();
        tSnapshotRegistry.clear();
        return ERROR_SUCCESS;
    }
    if (tHeldRegistry.empty())
        return ERROR_INVALID_FUNCTION;
    int rc = SQLITE_CANTOPEN;
    SqliteStore* store = StoreOf(tHeldRegistry, &rc);
    LONG status = FromSqlite(rc);
    if (store != nullptr) {
        if (commit) {
            status = FromSqlite(store->CommitTransaction());
        } else {
            store->RollbackTransaction();
            status = ERROR_SUCCESS;
        }
    }
    tHeldRegistry.clear();
    SqliteStore::Lock().unlock();
    return status;
}

} // namespace
} // namespace vplat

LONG WINAPI RegBeginTransactionV(void) {
    return vplat::BeginTransaction();
}

LONG WINAPI RegBeginSnapshotV(void) {
    return vplat::BeginSnapshot();
}

LONG WINAPI RegCommitTransactionV(void) {
    return vplat::EndTransaction(true);
}

LONG WINAPI RegRollbackTransactionV(void) {
    return vplat::EndTransaction(false);
}

using vplat::NarrowName;

LONG WINAPI RegCreateKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    return vplat::CreateKey(hKey, lpSubKey, samDesired, phkResult, lpdwDisposition);
}

LONG WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, LPWSTR, DWORD, REGSAM samDesired,
                            LPSECURITY_ATTRIBUTES, PHKEY phkResult, LPDWORD lpdwDisposition) {
    NarrowName subKey(lpSubKey);
    return vplat::CreateKey(hKey, subKey.get(), samDesired, phkResult, lpdwDisposition);
}

LONG WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    return vplat::OpenKey(hKey, lpSubKey, samDesired, phkResult);
}

LONG WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD, REGSAM samDesired, PHKEY phkResult) {
    NarrowName subKey(lpSubKey);
    return vplat::OpenKey(hKey, subKey.get(), samDesired, phkResult);
}

LONG WINAPI RegCloseKey(HKEY hKey) {
    return vplat::CloseKey(hKey);
}

LONG WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    return vplat::QueryValue(hKey, lpValueName, lpReserved, lpType, lpData, lpcbData, false);
}

LONG WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                             LPBYTE lpData, LPDWORD lpcbData) {
    NarrowName name(lpValueName);
    return vplat::QueryValue(hKey, name.get(), lpReserved, lpType, lpData, lpcbData, true);
}

LONG WINAPI RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
    return vplat::SetValue(hKey, lpValueName, dwType, lpData, cbData, false);
}

LONG WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD, DWORD dwType, const BYTE* lpData,
                           DWORD cbData) {
    NarrowName name(lpValueName);
    return vplat::SetValue(hKey, name.get(), dwType, lpData, cbData, true);
}

LONG WINAPI RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey) {
    return vplat::DeleteKey(hKey, lpSubKey);
}

LONG WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
    NarrowName subKey(lpSubKey);
    return vplat::DeleteKey(hKey, subKey.get());
}

LONG WINAPI RegDeleteValueA(HKEY hKey, LPCSTR lpValueName) {
    return vplat::DeleteValue(hKey, lpValueName);
}

LONG WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
    NarrowName name(lpValueName);
    return vplat::DeleteValue(hKey, name.get());
}

LONG WINAPI RegEnumKeyExA(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                          LPSTR lpClass, LPDWORD lpcchClass, PFILETIME lpftLastWriteTime) {
    return vplat::EnumKey(hKey, dwIndex, lpName, lpcchName, lpClass, lpcchClass, lpftLastWriteTime);
}

LONG WINAPI RegEnumValueA(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
    return vplat::EnumValue(hKey, dwIndex, lpValueName, lpcchValueName, lpReserved, lpType, lpData,
                            lpcbData);
}

// The event log on POSIX: every record goes to a SQLite log in the platform
// root (eventlog.db), where tests and the viewer read it back, and is mirrored
// to syslog so that an administrator sees it with the machine's other logs.
#include "platform/posix/eventlog_reader.h"
#include "platform/posix/internal.h"
#include "platform/posix/sqlite_store.h"

#include <cstring>
#include <ctime>
#include <set>
#include <strings.h>
#include <syslog.h>
#include <unistd.h>

namespace vplat {
namespace {

constexpr uint32_t kSourceMagic = 0x53545645; // "EVTS"

const char kSchema[] = "CREATE TABLE IF NOT EXISTS events("
                       " record INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " time INTEGER NOT NULL,"
                       " source TEXT NOT NULL,"
                       " type INTEGER NOT NULL,"
                       " category INTEGER NOT NULL,"
                       " event_id INTEGER NOT NULL,"
                       " pid INTEGER NOT NULL,"
                       " strings BLOB NOT NULL,"
                       " data BLOB NOT NULL);"
                       "CREATE INDEX IF NOT EXISTS events_source ON events(source COLLATE NOCASE);"
                       // The log overwrites its oldest records as needed, as
                       // Windows' logs do by default, so that a flood of
                       // events (a stranger refused in a loop) cannot fill the
                       // disk. Record numbers go on rising.
                       "CREATE TABLE IF NOT EXISTS events_limit(max_records INTEGER NOT NULL);"
                       "INSERT INTO events_limit(max_records) SELECT 100000"
                       " WHERE NOT EXISTS (SELECT 1 FROM events_limit);"
                       "CREATE TRIGGER IF NOT EXISTS events_overwrite AFTER INSERT ON events BEGIN"
                       " DELETE FROM events WHERE record <= NEW.record -"
                       " (SELECT max_records FROM events_limit LIMIT 1);"
                       " END;";

// Event sources registered in this process; a handle not in the set is
// refused rather than followed (or cast). Guarded by the store lock.
std::set<const KernelObject*>& LiveSources() {
    static std::set<const KernelObject*>* sources = new std::set<const KernelObject*>;
    return *sources;
}

class EventSource : public KernelObject {
public:
    explicit EventSource(const char* name) : name_(name) {
        std::lock_guard<std::recursive_mutex> lock(SqliteStore::Lock());
        LiveSources().insert(this);
    }
    // CloseHandle may delete it too; either way it leaves the set.
    ~EventSource() override {
        std::lock_guard<std::recursive_mutex> lock(SqliteStore::Lock());
        LiveSources().erase(this);
        magic_ = 0;
    }
    bool Valid() const { return magic_ == kSourceMagic; }
    const std::string& Name() const { return name_; }

private:
    uint32_t magic_ = kSourceMagic;
    std::string name_;
};

// The machine itself, named any of the ways Windows accepts.
bool IsLocalServer(const char* server) {
    if (server == nullptr || *server == '\0')
        return true;
    while (*server == '\\')
        ++server;
    if (std::strcmp(server, ".") == 0 || strcasecmp(server, "localhost") == 0)
        return true;
    char host[256];
    if (gethostname(host, sizeof(host)) != 0)
        return false;
    host[sizeof(host) - 1] = '\0';
    char* dot = std::strchr(host, '.');
    if (dot)
        *dot = '\0';
    return strcasecmp(server, host) == 0;
}

int SyslogPriority(WORD type) {
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
        return LOG_ERR;
    case EVENTLOG_WARNING_TYPE:
    case EVENTLOG_AUDIT_FAILURE:
        return LOG_WARNING;
    case EVENTLOG_AUDIT_SUCCESS:
        return LOG_NOTICE;
    default:
        return LOG_INFO;
    }
}

// Lock held.
void MirrorToSyslog(const std::string& source, WORD type, DWORD eventId,
                    const std::vector<std::string>& strings) {
    std::string text;
    for (size_t i = 0; i < strings.size(); ++i) {
        if (i)
            text += " | ";
        text += strings[i];
    }
    // openlog keeps the ident pointer, so it lives until closelog below.
    std::string ident = source;
    openlog(ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
    syslog(SyslogPriority(type), "event 0x%08X: %s", static_cast<unsigned>(eventId), text.c_str());
    closelog();
}

SqliteStore* EventStore() {
    int rc = 0;
    return SqliteStore::ForFile(RootFile("eventlog.db"), kSchema, &rc);
}

DWORD AppendRecord(const std::string& source, WORD type, WORD category, DWORD eventId,
                   const std::vector<std::string>& strings, const void* data, DWORD dataSize) {
    SqliteStore* store = EventStore();
    if (!store)
        return ERROR_CANTOPEN;
    // Each text keeps its terminator, so empty texts count too.
    std::string packed;
    for (const std::string& s : strings) {
        packed += s;
        packed.push_back('\0');
    }
    static const unsigned char kEmpty = 0; // a null pointer would bind NULL
    sqlite3_stmt* st = store->Statement(
        "INSERT INTO events(time, source, type, category, event_id, pid, strings, data)"
        " VALUES(?, ?, ?, ?, ?, ?, ?, ?)");
    if (!st)
        return ERROR_WRITE_FAULT;
    sqlite3_bind_int64(st, 1, static_cast<sqlite3_int64>(time(nullptr)));
    BindText(st, 2, source);
    sqlite3_bind_int(st, 3, type);
    sqlite3_bind_int(st, 4, category);
    sqlite3_bind_int64(st, 5, eventId);
    sqlite3_bind_int64(st, 6, getpid());
    sqlite3_bind_blob(st, 7, packed.empty() ? static_cast<const void*>(&kEmpty) : packed.data(),
                      static_cast<int>(packed.size()), SQLITE_STATIC);
    sqlite3_bind_blob(st, 8, dataSize ? data : static_cast<const void*>(&kEmpty),
                      static_cast<int>(dataSize), SQLITE_STATIC);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE ? ERROR_SUCCESS
                             : (rc == SQLITE_FULL ? ERROR_DISK_FULL : ERROR_WRITE_FAULT);
}

} // namespace

std::vector<EventRecord> ReadEventLog(const char* source, WORD type) {
    std::vector<EventRecord> records;
    std::lock_guard<std::recursive_mutex> lock(SqliteStore::Lock());
    SqliteStore* store = EventStore();
    if (!store)
        return records;
    sqlite3_stmt* st = store->Statement(
        "SELECT record, time, source, type, category, event_id, strings, data FROM events"
        " WHERE (?1 IS NULL OR source = ?1 COLLATE NOCASE) AND (?2 = 0 OR type = ?2)"
        " ORDER BY record");
    if (!st)
        return records;
    if (source)
        sqlite3_bind_text(st, 1, source, -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(st, 2, type);
    while (sqlite3_step(st) == SQLITE_ROW) {
        EventRecord r;
        r.record = sqlite3_column_int64(st, 0);
        r.time = sqlite3_column_int64(st, 1);
        const unsigned char* text = sqlite3_column_text(st, 2);
        r.source.assign(text ? reinterpret_cast<const char*>(text) : "",
                        static_cast<size_t>(sqlite3_column_bytes(st, 2)));
        r.type = static_cast<WORD>(sqlite3_column_int(st, 3));
        r.category = static_cast<WORD>(sqlite3_column_int(st, 4));
        r.eventId = static_cast<DWORD>(sqlite3_column_int64(st, 5));
        const char* packed = static_cast<const char*>(sqlite3_column_blob(st, 6));
        size_t size = static_cast<size_t>(sqlite3_column_bytes(st, 6));
        size_t start = 0;
        for (size_t i = 0; i < size; ++i) {
            if (packed[i] == '\0') {
                r.strings.emplace_back(packed + start, i - start);
                start = i + 1;
            }
        }
        const unsigned char* data = static_cast<const unsigned char*>(sqlite3_column_blob(st, 7));
        size = static_cast<size_t>(sqlite3_column_bytes(st, 7));
        if (data && size)
            r.data.assign(data, data + size);
        records.push_back(std::move(r));
    }
    sqlite3_reset(st);
    return records;
}

} // namespace vplat

HANDLE WINAPI RegisterEventSourceA(LPCSTR lpUNCServerName, LPCSTR lpSourceName) {
    if (lpSourceName == nullptr || *lpSourceName == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // Only the local log exists here; a remote machine cannot be reached, as
    // when its RPC server does not answer.
    if (!vplat::IsLocalServer(lpUNCServerName)) {
        SetLastError(1722); // RPC_S_SERVER_UNAVAILABLE
        return nullptr;
    }
    vplat::KernelObject* source = new vplat::EventSource(lpSourceName);
    return static_cast<HANDLE>(source);
}

BOOL WINAPI ReportEventA(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID,
                         WORD wNumStrings, DWORD dwDataSize, LPCSTR* lpStrings, LPVOID lpRawData) {
    if ((wNumStrings > 0 && lpStrings == nullptr) || (dwDataSize > 0 && lpRawData == nullptr) ||
        dwDataSize > 0x7FFFFFFFu) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> strings;
    for (WORD i = 0; i < wNumStrings; ++i) {
        if (lpStrings[i] == nullptr) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        strings.emplace_back(lpStrings[i]);
    }
    DWORD status;
    {
        std::lock_guard<std::recursive_mutex> lock(vplat::SqliteStore::Lock());
        vplat::KernelObject* object = static_cast<vplat::KernelObject*>(hEventLog);
        vplat::EventSource* source = nullptr;
        if (object != nullptr && vplat::LiveSources().count(object) != 0)
            source = static_cast<vplat::EventSource*>(object);
        if (source == nullptr || !source->Valid()) {
            status = ERROR_INVALID_HANDLE;
        } else {
            status = vplat::AppendRecord(source->Name(), wType, wCategory, dwEventID, strings,
                                         lpRawData, dwDataSize);
            vplat::MirrorToSyslog(source->Name(), wType, dwEventID, strings);
        }
    }
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    vplat::KernelObject* object = static_cast<vplat::KernelObject*>(hEventLog);
    {
        std::lock_guard<std::recursive_mutex> lock(vplat::SqliteStore::Lock());
        if (object == nullptr || vplat::LiveSources().count(object) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    delete object; // leaves the set in its destructor
    return TRUE;
}

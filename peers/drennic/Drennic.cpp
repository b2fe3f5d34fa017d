// The scanning service's control side: settings, counters, the command record
// and the pipe server with its command table.
#include "peers/drennic/Drennic.h"
#include "peers/drennic/DrennicRecord.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"
#include "platform/WindowsPath.h"
#ifdef DRENNIC_SCANS
#include "peers/drennic/Scanner.h"
#endif

#include <cstdarg>
#include <cstring>
#include <new>
#include <vector>

namespace {

typedef void (DrennicService::*CommandHandler)(HANDLE pipe, const char* command, DWORD length);

struct CommandRow {
    const char* word;
    CommandHandler handler;
};

// Searched in order; a command is the first row whose word it begins with,
// letter case aside (a word that begins with another must stand first).
const CommandRow kCommandTable[] = {
    {"GET_STATISTICS", &DrennicService::GetStatistics},
    {"RESET_STATISTICS", &DrennicService::ResetStatistics},
    {"SET_PREFERENCES", &DrennicService::SetPreferences},
    {"REJECT_INCOMING_MAIL", &DrennicService::Control},
    {"ACCEPT_INCOMING_MAIL", &DrennicService::Control},
    {"BLOCK_MAIL_WITH_ATTACHMENTS", &DrennicService::Control},
    {"UNBLOCK_MAIL_WITH_ATTACHMENTS", &DrennicService::Control},
    {"BLOCK_MAIL_WITH_NAMED_ATTACHMENTS", &DrennicService::Control},
    {"UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS", &DrennicService::Control},
    {"BLOCK_MAIL_WITH_TYPED_ATTACHMENTS", &DrennicService::Control},
    {"UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS", &DrennicService::Control},
    {"INCREASE_SCAN_SETTINGS", &DrennicService::Control},
    {"DECREASE_SCAN_SETTINGS", &DrennicService::Control},
    {"DELETE_", &DrennicService::DeleteStored},
    {"SEND_", &DrennicService::SendStored},
};

// The kind words of stored items, and whether SEND_ takes them.
struct StoredKind {
    const char* word;
    bool sendable;
};
const StoredKind kStoredKinds[] = {
    {"QFILE", true},      {"MFILE", false},      {"VFILE", false},
    {"BLOCKEDMSG", true}, {"FILTEREDMSG", true}, {"DEFERREDMSG", true},
};

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool BeginsWith(const char* text, DWORD length, const char* word) {
    DWORD i = 0;
    for (; word[i] != '\0'; ++i)
        if (i >= length || Upper(text[i]) != Upper(word[i]))
            return false;
    return true;
}

const CommandRow* FindCommand(const char* command, DWORD length) {
    for (const CommandRow& row : kCommandTable)
        if (BeginsWith(command, length, row.word))
            return &row;
    return nullptr;
}

// The text after a command's word, without its line end and zero byte.
void CommandArgument(const char* command, DWORD length, const char* word, char* out, size_t size) {
    DWORD start = static_cast<DWORD>(strlen(word));
    while (start < length && command[start] == ' ')
        ++start;
    DWORD end = length;
    while (end > start &&
           (command[end - 1] == '\0' || command[end - 1] == '\r' || command[end - 1] == '\n'))
        --end;
    size_t n = end - start < size - 1 ? end - start : size - 1;
    memcpy(out, command + start, n);
    out[n] = '\0';
}

// Creates every folder of a Windows path that ends in a backslash.
void MakeFolders(const char* path) {
    char partial[MAX_PATH * 2];
    size_t len = strlen(path);
    for (size_t i = 0; i < len && i < sizeof(partial) - 1; ++i) {
        if (path[i] == '\\' && i > 0 && path[i - 1] != ':') {
            memcpy(partial, path, i);
            partial[i] = '\0';
            CreateDirectoryA(partial, nullptr);
        }
    }
}

// Holds a mutex for its scope (none when the handle is null).
class HoldLock {
public:
    explicit HoldLock(HANDLE lock) : m_lock(lock) {
        if (m_lock != nullptr)
            WaitForSingleObject(m_lock, INFINITE);
    }
    ~HoldLock() {
        if (m_lock != nullptr)
            ReleaseMutex(m_lock);
    }
    HoldLock(const HoldLock&) = delete;
    HoldLock& operator=(const HoldLock&) = delete;

private:
    HANDLE m_lock;
};

// A stored message's notes beside it: <path>.inf and <path>.log.
void DeleteNotes(const char* path) {
    const char* const kNotes[] = {".inf", ".log"};
    for (const char* extension : kNotes) {
        char note[MAX_PATH * 2 + 8];
        if (BoundedFormat(note, sizeof(note), "%s%s", path, extension))
            DeleteFileA(note);
    }
}

void ReadText(CRegKey& key, const char* name, char* field, size_t size, char* work) {
    work[0] = '\0';
    if (key.Read(name, work) == ERROR_SUCCESS)
        BoundedCopy(field, size, work);
}

} // namespace

void DrennicLog(WORD type, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    BoundedFormatV(text, sizeof(text), format, args);
    va_end(args);
    HANDLE source = RegisterEventSourceA(nullptr, DRENNIC_EVENT_SOURCE);
    if (source == nullptr)
        return;
    LPCSTR strings[1] = {text};
    ReportEventA(source, type, 0, DRENNIC_EVENT_ID, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
}

void ReadDrennicSettings(DrennicSettings* s) {
    const char* base = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\";
    BoundedCopy(s->Install_Path, sizeof(s->Install_Path), base);
    BoundedFormat(s->Quarantine_Path, sizeof(s->Quarantine_Path), "%sQuarantine\\", base);
    BoundedFormat(s->Log_Path, sizeof(s->Log_Path), "%sLog\\", base);
    BoundedFormat(s->BLOCKED_MAIL_PATH, sizeof(s->BLOCKED_MAIL_PATH), "%sBlocked\\", base);
    BoundedFormat(s->FILTER_MAIL_PATH, sizeof(s->FILTER_MAIL_PATH), "%sFilter\\", base);
    BoundedFormat(s->Deferred_Mail_Path, sizeof(s->Deferred_Mail_Path), "%sDeferred\\", base);
    s->Read_Max_Mail_Size = 134217728;
    s->SMTP_CONTENT_FILTER_ON = 0;
    s->SMTP_CONTENT_FILTER_FLAG = 1;
    s->valueCount = 0;
    s->keyFound = false;

    // Opened, never created: whether the key exists is the administrator's
    // business (and Pellion's, which creates it with its defaults).
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, DRENNIC_SETTINGS_KEY, 0) != ERROR_SUCCESS)
        return;
    s->keyFound = true;
    std::vector<char> work(REGKEY_TEXT_BUFFER);
    ReadText(key, "Install_Path", s->Install_Path, sizeof(s->Install_Path), work.data());
    ReadText(key, "Quarantine_Path", s->Quarantine_Path, sizeof(s->Quarantine_Path), work.data());
    ReadText(key, "Log_Path", s->Log_Path, sizeof(s->Log_Path), work.data());
    ReadText(key, "BLOCKED_MAIL_PATH", s->BLOCKED_MAIL_PATH, sizeof(s->BLOCKED_MAIL_PATH),
             work.data());
    ReadText(key, "FILTER_MAIL_PATH", s->FILTER_MAIL_PATH, sizeof(s->FILTER_MAIL_PATH),
             work.data());
    ReadText(key, "Deferred_Mail_Path", s->Deferred_Mail_Path, sizeof(s->Deferred_Mail_Path),
             work.data());
    key.Read("Read_Max_Mail_Size", s->Read_Max_Mail_Size);
    key.Read("SMTP_CONTENT_FILTER_ON", s->SMTP_CONTENT_FILTER_ON);
    key.Read("SMTP_CONTENT_FILTER_FLAG", s->SMTP_CONTENT_FILTER_FLAG);
    for (DWORD index = 0;; ++index) {
        char name[512];
        DWORD cch = sizeof(name);
        if (RegEnumValueA(key.m_hKey, index, name, &cch, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        s->valueCount = index + 1;
    }
    key.Close();
}

bool DrennicRecordPath(const DrennicSettings& settings, char* path, size_t size) {
    return BoundedFormat(path, size, "%s%s\\%s", settings.Install_Path, DRENNIC_FOLDER,
                         DRENNIC_RECORD_FILE);
}

DrennicService::DrennicService()
    : m_recordPath(), m_command(nullptr), m_thread(nullptr), m_ready(nullptr), m_stop(nullptr),
      m_serving(false), m_counterLock(nullptr), m_scanner(nullptr) {
    memset(&m_settings, 0, sizeof(m_settings));
    memset(&m_counters, 0, sizeof(m_counters));
    memset(&m_controls, 0, sizeof(m_controls));
}

bool DrennicService::Start() {
    ReadDrennicSettings(&m_settings);
    LoadCounters();
    if (!DrennicRecordPath(m_settings, m_recordPath, sizeof(m_recordPath))) {
        DrennicLog(EVENTLOG_ERROR_TYPE, "The install folder %s is too long for the record",
                   m_settings.Install_Path);
        return false;
    }
    MakeFolders(m_recordPath);
    MakeMailFolders();
    m_command = new (std::nothrow) char[DRENNIC_MAX_COMMAND];
    m_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_counterLock = CreateMutexA(nullptr, FALSE, nullptr);
    if (m_command == nullptr || m_ready == nullptr || m_stop == nullptr ||
        m_counterLock == nullptr) {
        DrennicLog(EVENTLOG_ERROR_TYPE, "Out of memory at start");
        return false;
    }
    m_thread = CreateThread(nullptr, 0, PipeThread, this, 0, nullptr);
    if (m_thread == nullptr) {
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot start the pipe thread (error %lu)",
                   static_cast<unsigned long>(GetLastError()));
        return false;
    }
    WaitForSingleObject(m_ready, INFINITE);
    if (!m_serving)
        return false;
#ifdef DRENNIC_SCANS
    m_scanner = new (std::nothrow) DrennicScanner(this);
    if (m_scanner == nullptr || !m_scanner->Start())
        return false;
#endif
    DrennicLog(EVENTLOG_INFORMATION_TYPE, "Serving %s; settings from HKLM\\%s%s; record in %s",
               DRENNIC_PIPE_NAME, DRENNIC_SETTINGS_KEY,
               m_settings.keyFound ? "" : " (key absent: defaults)", m_recordPath);
    return true;
}

void DrennicService::Stop() {
#ifdef DRENNIC_SCANS
    // The message being scanned is finished first; the next is not begun.
    delete m_scanner;
#endif
    m_scanner = nullptr;
    if (m_thread != nullptr) {
        SetEvent(m_stop);
        // The pipe thread may wait in ConnectNamedPipe: a connection of our
        // own wakes it, and it sees the stop. A command being read is left
        // within one poll step.
        while (WaitForSingleObject(m_thread, 50) == WAIT_TIMEOUT) {
            HANDLE wake = CreateFileA(DRENNIC_PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            if (wake != INVALID_HANDLE_VALUE)
                CloseHandle(wake);
        }
        CloseHandle(m_thread);
        m_thread = nullptr;
    }
    if (m_ready != nullptr)
        CloseHandle(m_ready);
    if (m_stop != nullptr)
        CloseHandle(m_stop);
    m_ready = m_stop = nullptr;
    if (m_counterLock != nullptr)
        CloseHandle(m_counterLock);
    m_counterLock = nullptr;
    delete[] m_command;
    m_command = nullptr;
}

DWORD WINAPI DrennicService::PipeThread(LPVOID self) {
    static_cast<DrennicService*>(self)->ServePipe();
    return 0;
}

HANDLE DrennicService::NewInstance(bool first) {
    return CreateNamedPipeA(DRENNIC_PIPE_NAME,
                            PIPE_ACCESS_DUPLEX | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
}

void DrennicService::ServePipe() {
    HANDLE listening = NewInstance(true);
    if (listening == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot serve %s (error %lu)%s", DRENNIC_PIPE_NAME,
                   static_cast<unsigned long>(error),
                   error == ERROR_ACCESS_DENIED ? ": another process serves it" : "");
        SetEvent(m_ready);
        return;
    }
    m_serving = true;
    SetEvent(m_ready);
    while (WaitForSingleObject(m_stop, 0) != WAIT_OBJECT_0) {
        BOOL connected = ConnectNamedPipe(listening, nullptr);
        DWORD error = GetLastError();
        if (WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0)
            break;
        // A new instance listens while this one is served, so that the next
        // client never finds the pipe busy between two commands.
        HANDLE next = NewInstance(false);
        // The client may have come before ConnectNamedPipe, and may even have
        // gone again, leaving its command to be read.
        if (connected || error == ERROR_PIPE_CONNECTED || error == ERROR_NO_DATA) {
            DWORD length = ReadCommand(listening, m_command, DRENNIC_MAX_COMMAND);
            if (length > 0)
                HandleCommand(listening, m_command, length);
        } else {
            Sleep(DRENNIC_POLL_MS);
        }
        // Closing (not disconnecting) keeps a reply readable to its end.
        CloseHandle(listening);
        listening = next;
        while (listening == INVALID_HANDLE_VALUE &&
               WaitForSingleObject(m_stop, 100) == WAIT_TIMEOUT)
            listening = NewInstance(false);
    }
    if (listening != INVALID_HANDLE_VALUE)
        CloseHandle(listening);
}

DWORD DrennicService::ReadCommand(HANDLE pipe, char* buffer, DWORD size) {
    DWORD got = 0;
    const DWORD start = GetTickCount();
    while (got < size) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            break; // the client has gone and everything it wrote is read
        if (available == 0) {
            if (GetTickCount() - start >= DRENNIC_COMMAND_WAIT_MS ||
                WaitForSingleObject(m_stop, DRENNIC_POLL_MS) == WAIT_OBJECT_0)
                break;
            continue;
        }
        DWORD want = available < size - got ? available : size - got;
        DWORD n = 0;
        if (!ReadFile(pipe, buffer + got, want, &n, nullptr) || n == 0)
            break;
        const void* zero = memchr(buffer + got, '\0', n);
        if (zero != nullptr)
            return static_cast<DWORD>(static_cast<const char*>(zero) - buffer) + 1;
        got += n;
    }
    return got;
}

void DrennicService::HandleCommand(HANDLE pipe, const char* command, DWORD length) {
    // Handled first, recorded after: whoever sees a command in the record
    // sees its effect too (the counters zeroed, the settings re-read), and
    // needs no other sign that the command is done.
    const CommandRow* row = FindCommand(command, length);
    if (row == nullptr) {
        char shown[80];
        FormatRecordEntry(command, length < 60 ? length : 60, shown, sizeof(shown));
        DrennicLog(EVENTLOG_WARNING_TYPE, "Unknown command (%lu bytes): %s",
                   static_cast<unsigned long>(length), shown);
    } else {
        (this->*(row->handler))(pipe, command, length);
    }
    AppendRecord(command, length);
}

void DrennicService::AppendRecord(const char* command, DWORD length) {
    if (!AppendRecordEntry(m_recordPath, command, length))
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot write the record %s (error %lu)", m_recordPath,
                   static_cast<unsigned long>(GetLastError()));
}

void DrennicService::GetStatistics(HANDLE pipe, const char*, DWORD) {
    DrennicCounters c;
    {
        HoldLock hold(m_counterLock);
        c = m_counters;
    }
    char reply[400];
    BoundedFormat(reply, sizeof(reply),
                  "SMTP_NUMBER_SCAN='%lu' SMTP_NUMBER_DETECTED='%lu' SMTP_NUMBER_CLEANED='%lu' "
                  "SMTP_NUMBER_DELETED='%lu' SMTP_NUMBER_SENT='%lu' SMTP_NUMBER_FILTERED='%lu' "
                  "SMTP_NUMBER_DEFERRED='%lu'\r\n",
                  static_cast<unsigned long>(c.scanned), static_cast<unsigned long>(c.detected),
                  static_cast<unsigned long>(c.cleaned), static_cast<unsigned long>(c.deleted),
                  static_cast<unsigned long>(c.sent), static_cast<unsigned long>(c.filtered),
                  static_cast<unsigned long>(c.deferred));
    DWORD written = 0;
    if (!WriteFile(pipe, reply, static_cast<DWORD>(strlen(reply)), &written, nullptr))
        DrennicLog(EVENTLOG_WARNING_TYPE, "The statistics reply could not be written (error %lu)",
                   static_cast<unsigned long>(GetLastError()));
}

void DrennicService::ResetStatistics(HANDLE, const char*, DWORD) {
    {
        HoldLock hold(m_counterLock);
        memset(&m_counters, 0, sizeof(m_counters));
        SaveCounters();
    }
    DrennicLog(EVENTLOG_INFORMATION_TYPE, "Statistics reset");
}

void DrennicService::SetPreferences(HANDLE, const char*, DWORD) {
    ReadDrennicSettings(&m_settings);
#ifdef DRENNIC_SCANS
    if (m_scanner != nullptr)
        m_scanner->Reload();
#endif
    if (m_settings.keyFound)
        DrennicLog(EVENTLOG_INFORMATION_TYPE, "Settings re-read from HKLM\\%s (%lu values)",
                   DRENNIC_SETTINGS_KEY, static_cast<unsigned long>(m_settings.valueCount));
    else
        DrennicLog(EVENTLOG_WARNING_TYPE,
                   "Settings re-read: HKLM\\%s does not exist, the defaults are in force",
                   DRENNIC_SETTINGS_KEY);
}

void DrennicService::Control(HANDLE, const char* command, DWORD length) {
    const CommandRow* row = FindCommand(command, length);
    if (row == nullptr)
        return;
    const char* word = row->word;
    char argument[1024];
    CommandArgument(command, length, word, argument, sizeof(argument));
    DrennicControls& c = m_controls;
    const char* effect = "";
    if (strcmp(word, "REJECT_INCOMING_MAIL") == 0) {
        c.rejectInbound = true;
        effect = "inbound mail is refused";
    } else if (strcmp(word, "ACCEPT_INCOMING_MAIL") == 0) {
        c.rejectInbound = false;
        effect = "inbound mail is accepted";
    } else if (strcmp(word, "BLOCK_MAIL_WITH_ATTACHMENTS") == 0) {
        c.blockAttachments = true;
        effect = "mail with attachments is blocked";
    } else if (strcmp(word, "UNBLOCK_MAIL_WITH_ATTACHMENTS") == 0) {
        c.blockAttachments = false;
        effect = "mail with attachments passes";
    } else if (strcmp(word, "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS") == 0) {
        c.blockNamed = true;
        BoundedCopy(c.named, sizeof(c.named), argument);
        effect = "mail with the named attachments is blocked";
    } else if (strcmp(word, "UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS") == 0) {
        c.blockNamed = false;
        c.named[0] = '\0';
        effect = "mail with named attachments passes";
    } else if (strcmp(word, "BLOCK_MAIL_WITH_TYPED_ATTACHMENTS") == 0) {
        c.blockTyped = true;
        BoundedCopy(c.typed, sizeof(c.typed), argument);
        effect = "mail with the typed attachments is blocked";
    } else if (strcmp(word, "UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS") == 0) {
        c.blockTyped = false;
        c.typed[0] = '\0';
        effect = "mail with typed attachments passes";
    } else if (strcmp(word, "INCREASE_SCAN_SETTINGS") == 0) {
        ++c.scanLevel;
        effect = "scan settings raised";
    } else if (strcmp(word, "DECREASE_SCAN_SETTINGS") == 0) {
        --c.scanLevel;
        effect = "scan settings lowered";
    }
    DrennicLog(EVENTLOG_INFORMATION_TYPE, "%s: %s%s%s", word, effect, argument[0] ? ": " : "",
               argument);
}

// True when a folder path has a "." or ".." part between its separators.
static bool FolderClimbs(const char* folder, size_t length) {
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i == length || folder[i] == '\\' || folder[i] == '/') {
            // Windows drops a part's trailing dots and spaces, so "...",
            // ".. " and the like are "." or ".." too.
            bool dotsAndSpaces = i > start;
            for (size_t j = start; j < i; ++j)
                if (folder[j] != '.' && folder[j] != ' ')
                    dotsAndSpaces = false;
            if (dotsAndSpaces)
                return true;
            start = i + 1;
        }
    }
    return false;
}

bool ParseStoredItem(const char* item, DWORD length, bool sendable, char* path, size_t pathSize,
                     const char** name) {
    // The item ends at its zero byte, a carriage return or a line feed.
    DWORD end = 0;
    while (end < length && item[end] != '\0' && item[end] != '\r' && item[end] != '\n')
        ++end;
    const StoredKind* kind = nullptr;
    for (const StoredKind& k : kStoredKinds) {
        size_t n = strlen(k.word);
        if (end > n && item[n] == ' ' && BeginsWith(item, static_cast<DWORD>(n), k.word)) {
            kind = &k;
            break;
        }
    }
    if (kind == nullptr || (sendable && !kind->sendable))
        return false;
    const char* full = item + strlen(kind->word) + 1;
    const size_t fullLength = static_cast<size_t>(item + end - full);
    size_t cut = fullLength; // just after the last separator
    while (cut > 0 && full[cut - 1] != '\\' && full[cut - 1] != '/')
        --cut;
    if (cut == 0 || FolderClimbs(full, cut) || fullLength >= pathSize ||
        !IsBareFileName(full + cut, fullLength - cut, fullLength - cut))
        return false;
    memcpy(path, full, fullLength);
    path[fullLength] = '\0';
    *name = path + cut;
    return true;
}

void DrennicService::DeleteStored(HANDLE, const char* command, DWORD length) {
    const DWORD word = static_cast<DWORD>(strlen("DELETE_"));
    char path[MAX_PATH * 2];
    const char* name = nullptr;
    if (!ParseStoredItem(command + word, length - word, false, path, sizeof(path), &name)) {
        char shown[240];
        FormatRecordEntry(command, length < 200 ? length : 200, shown, sizeof(shown));
        DrennicLog(EVENTLOG_WARNING_TYPE, "Refused to delete: %s", shown);
        return;
    }
    if (!DeleteFileA(path)) {
        DrennicLog(EVENTLOG_WARNING_TYPE, "Cannot delete %s (error %lu)", path,
                   static_cast<unsigned long>(GetLastError()));
        return;
    }
    if (name[0] >= '0' && name[0] <= '9' && strchr(name, '.') == nullptr &&
        !BeginsWith(command + word, length - word, "MFILE") &&
        !BeginsWith(command + word, length - word, "VFILE"))
        DeleteNotes(path);
    {
        HoldLock hold(m_counterLock);
        ++m_counters.deleted;
        SaveCounters();
    }
    DrennicLog(EVENTLOG_INFORMATION_TYPE, "Deleted %s", path);
}

void DrennicService::SendStored(HANDLE, const char* command, DWORD length) {
    const DWORD word = static_cast<DWORD>(strlen("SEND_"));
    char path[MAX_PATH * 2];
    const char* name = nullptr;
    char target[MAX_PATH * 2];
    if (!ParseStoredItem(command + word, length - word, true, path, sizeof(path), &name) ||
        !BoundedFormat(target, sizeof(target), "%s%s\\%s", m_settings.Install_Path,
                       DRENNIC_OUTBOUND_FOLDER, name)) {
        char shown[240];
        FormatRecordEntry(command, length < 200 ? length : 200, shown, sizeof(shown));
        DrennicLog(EVENTLOG_WARNING_TYPE, "Refused to send: %s", shown);
        return;
    }
    // A message already waiting under that name is not overwritten.
    if (!MoveFileA(path, target)) {
        DrennicLog(EVENTLOG_WARNING_TYPE, "Cannot send %s to %s (error %lu)", path, target,
                   static_cast<unsigned long>(GetLastError()));
        return;
    }
    DeleteNotes(path);
    {
        HoldLock hold(m_counterLock);
        ++m_counters.sent;
        SaveCounters();
    }
    DrennicLog(EVENTLOG_INFORMATION_TYPE, "Sent %s", path);
}

void DrennicService::MakeMailFolders() {
    char outbound[MAX_PATH * 2];
    BoundedFormat(outbound, sizeof(outbound), "%s%s\\", m_settings.Install_Path,
                  DRENNIC_OUTBOUND_FOLDER);
    const char* const folders[] = {m_settings.Install_Path,
                                   m_settings.Quarantine_Path,
                                   m_settings.Log_Path,
                                   m_settings.BLOCKED_MAIL_PATH,
                                   m_settings.FILTER_MAIL_PATH,
                                   m_settings.Deferred_Mail_Path,
                                   outbound};
    for (const char* folder : folders) {
        MakeFolders(folder);
        // The last part too, when the path ends without its backslash.
        size_t n = strlen(folder);
        if (n > 0 && folder[n - 1] != '\\')
            CreateDirectoryA(folder, nullptr);
    }
}

void DrennicService::LoadCounters() {
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, DRENNIC_PARAMETERS_KEY, 1) != ERROR_SUCCESS)
        return;
    key.Read("Scanned", m_counters.scanned);
    key.Read("Detected", m_counters.detected);
    key.Read("Cleaned", m_counters.cleaned);
    key.Read("Deleted", m_counters.deleted);
    key.Read("Sent", m_counters.sent);
    key.Read("Filtered", m_counters.filtered);
    key.Read("Deferred", m_counters.deferred);
    key.Close();
}

void DrennicService::SaveCounters() {
    CRegKey key;
    if (key.Open(HKEY_LOCAL_MACHINE, DRENNIC_PARAMETERS_KEY, 1) != ERROR_SUCCESS) {
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot open HKLM\\%s to keep the counters",
                   DRENNIC_PARAMETERS_KEY);
        return;
    }
    key.Write("Scanned", m_counters.scanned);
    key.Write("Detected", m_counters.detected);
    key.Write("Cleaned", m_counters.cleaned);
    key.Write("Deleted", m_counters.deleted);
    key.Write("Sent", m_counters.sent);
    key.Write("Filtered", m_counters.filtered);
    key.Write("Deferred", m_counters.deferred);
    key.Close();
}

void DrennicService::AddCounts(DWORD scanned, DWORD detected, DWORD filtered, DWORD deferred) {
    HoldLock hold(m_counterLock);
    m_counters.scanned += scanned;
    m_counters.detected += detected;
    m_counters.filtered += filtered;
    m_counters.deferred += deferred;
    SaveCounters();
}

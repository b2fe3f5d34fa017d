// The mail folders and logs: listing, reading and measuring them here, and
// asking Drennic, through its control pipe, to delete or send a stored file.
#include "store/MailFolders.h"
#include "platform/bounded.h"
#include "service/ClientConnection.h"
#include "service/LogEvent.h"
#include "service/Settings.h"
#include "platform/WindowsPath.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <cstring>
#include <string>

namespace {

const MailCategoryRow kCategories[MAIL_CATEGORY_COUNT] = {
    {"Quarantine", "%s*.", true, "QFILE", 2, "get_qfile", "delete_qfile", "send_qfile"},
    {"Mail Log", "%smail*.log", false, "MFILE", 0, "get_maillog", "delete_maillog", nullptr},
    {"Virus Log", "%svirus*.log", false, "VFILE", 0, "get_viruslog", "delete_viruslog", nullptr},
    {"Blocked Message", "%s*.", true, "BLOCKEDMSG", 2, "get_blockedmsg", "delete_blockedmsg",
     "send_blockedmsg"},
    {"Filtered Message", "%s*.", true, "FILTEREDMSG", 2, "get_filteredmsg", "delete_filteredmsg",
     "send_filteredmsg"},
    {"Deferred Message", "%s*.", true, "DEFERREDMSG", 3, "get_deferredmsg", "delete_deferredmsg",
     "send_deferredmsg"},
    {"Deferred Message Log", nullptr, false, nullptr, 0, "get_deferredmsglog", nullptr, nullptr},
};

// A file's text is read as the runtime's fgets gives it: pieces of at most
// this many characters, each ending at a line feed or at that length.
const int PIECE_LENGTH = 198;

// Loads message id from the message table and formats it into text (cut at
// its size), for an event and a reply alike.
void FormatEventText(char* text, size_t size, UINT id, ...) {
    char format[MESSAGE_TEXT_SIZE];
    text[0] = '\0';
    if (LoadStringA(GetModuleHandleA(nullptr), id, format, sizeof(format)) <= 0)
        return;
    va_list args;
    va_start(args, id);
    BoundedFormatV(text, size, format, args);
    va_end(args);
}

// The reply of a request that failed: the event, then "CODE 3" with its text.
void ReportFailure(ClientConnection& connection, WORD type, UINT id, const char* first,
                   const char* second = nullptr) {
    char text[MAIL_PATH_SIZE];
    FormatEventText(text, sizeof(text), id, first, second);
    LogEvent(text, type);
    connection.SendReply("CODE 3", text);
}

// Gathers a reply into writes of a useful size, so that a list of many names
// or a long file costs a few writes rather than two per line; the bytes on
// the wire are the same. Once a write fails or its wait passes, everything
// else is dropped, and the connection is logged (message 29) and reset: a
// list or a file's content has no end mark a client could miss, so the
// reset is how it learns that what it got was cut short.
class ReplyWriter {
public:
    explicit ReplyWriter(ClientConnection& connection) : m_connection(connection) {}
    ~ReplyWriter() { Flush(); }

    void Add(const char* data, size_t length) {
        while (length > 0 && !m_failed) {
            size_t room = sizeof(m_data) - m_used;
            size_t n = length < room ? length : room;
            memcpy(m_data + m_used, data, n);
            m_used += n;
            data += n;
            length -= n;
            if (m_used == sizeof(m_data))
                Flush();
        }
    }
    void AddText(const char* text) { Add(text, strlen(text)); }

    bool Flush() {
        if (m_used > 0 && !m_failed) {
            int status = SOCKET_STATUS_DONE;
            int sent = m_connection.SendAll(m_data, static_cast<int>(m_used), MAIL_SEND_WAIT_LIMIT,
                                            status);
            if (status != SOCKET_STATUS_DONE || sent != static_cast<int>(m_used)) {
                m_failed = true;
                Abandon();
            }
        }
        m_used = 0;
        return !m_failed;
    }
    bool Failed() const { return m_failed; }

private:
    // A connection the send closed itself was logged there already.
    void Abandon() {
        if (m_connection.m_socket == INVALID_SOCKET)
            return;
        LogMessage(IDS_CLIENT_NOT_READING, EVENTLOG_WARNING_TYPE, m_connection.m_szPeerName);
        m_connection.Abort();
    }

    ClientConnection& m_connection;
    char m_data[32 * 1024];
    size_t m_used = 0;
    bool m_failed = false;
};

// Writes a number in decimal.
void AddDecimal(ReplyWriter& writer, uint64_t value) {
    char digits[24];
    size_t at = sizeof(digits);
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    writer.Add(digits + at, sizeof(digits) - at);
}

// The two pieces of a folder setting: the folder, up to its last separator
// (resolved and folded, see FoldedWindowsPath), and what follows it, which
// is glued to every name (folded to lower case). False for a setting that is
// not an absolute path (drive and root, or a share) written plainly: a part
// with a character Windows refuses in names or treats specially (":" past
// the drive, wildcards, quotation marks, "<", ">", "|", control characters),
// or with trailing dots or spaces, which Windows drops and so could read as
// another folder than the one compared.
bool SplitFolderSetting(const char* setting, std::string& folder, std::string& glued) {
    const size_t length = strlen(setting);
    size_t cut = length;
    while (cut > 0 && !IsPathSeparator(setting[cut - 1]))
        --cut;
    if (cut == 0)
        return false;
    const std::string head(setting, cut);
    const WindowsPath path = ParseWindowsPath(head.c_str());
    if (path.kind == WindowsPath::INVALID || path.rooted || path.driveRelative || path.relative)
        return false;
    const size_t first = path.kind == WindowsPath::DRIVE ? 2 : 0; // past "C:"
    size_t start = first;
    for (size_t i = first; i <= length; ++i) {
        const char c = i < length ? setting[i] : '\\';
        if (IsPathSeparator(c) || i == length) {
            const std::string part(setting + start, i - start);
            if (part != "." && part != ".." && !part.empty() &&
                (part.back() == '.' || part.back() == ' '))
                return false;
            start = i + 1;
            continue;
        }
        if (static_cast<unsigned char>(c) < 32 || strchr(":*?\"<>|", c) != nullptr)
            return false;
    }
    folder = FoldedWindowsPath(path);
    glued.assign(setting + cut, length - cut);
    for (char& c : glued)
        c = AsciiLower(c);
    return true;
}

// True when a folder may serve a mail category: it lies in the scanner's
// install folder (or is that folder), or it is one of the folders the
// scanner's settings name, as the service read them at start.
bool IsScannerFolder(const char* candidate) {
    std::string folder, glued;
    if (!SplitFolderSetting(candidate, folder, glued))
        return false;
    // The install folder is a folder, whether or not it ends with a separator.
    const WindowsPath install = ParseWindowsPath(g_Settings.Install_Path);
    if (install.kind != WindowsPath::INVALID && !install.rooted && !install.driveRelative &&
        !install.relative && FoldedPathWithin(folder, FoldedWindowsPath(install)))
        return true;
    const char* const named[] = {g_Settings.Quarantine_Path, g_Settings.Log_Path,
                                 g_Settings.BLOCKED_MAIL_PATH, g_Settings.FILTER_MAIL_PATH,
                                 g_Settings.Deferred_Mail_Path};
    for (const char* setting : named) {
        std::string namedFolder, namedGlued;
        if (SplitFolderSetting(setting, namedFolder, namedGlued) && namedFolder == folder &&
            namedGlued == glued)
            return true;
    }
    return false;
}

} // namespace

bool IsNameInFolder(const char* folder, const char* name, size_t length, size_t maxLength) {
    if (!IsBareFileName(name, length, maxLength))
        return false;
    // What the folder glues to the name is part of the name Windows opens:
    // "co" and "m1" make COM1.
    const char* glued = folder + strlen(folder);
    while (glued > folder && !IsPathSeparator(glued[-1]))
        --glued;
    std::string whole(glued);
    whole.append(name, length);
    return !IsWindowsDeviceName(whole.data(), whole.size());
}

void ReportImproperUse(ClientConnection& connection, const char* keyword) {
    ReportFailure(connection, EVENTLOG_ERROR_TYPE, IDS_COMMAND_IMPROPER,
                  keyword != nullptr ? keyword : "");
}

bool ExtractMailArgument(ClientConnection& connection, char* request, const char* keyword,
                         char*& argument, size_t& argumentLength) {
    // The line as the dispatcher read it, zero bytes included.
    const size_t lineLength = connection.m_nRequestLength >= 0
                                  ? static_cast<size_t>(connection.m_nRequestLength)
                                  : strlen(request);
    size_t cut = 0;
    while (cut < lineLength && request[cut] != '\r' && request[cut] != '\n')
        ++cut;
    request[cut] = '\0';
    size_t space = 0;
    while (space < cut && request[space] != ' ')
        ++space;
    if (space + 1 >= cut) {
        ReportImproperUse(connection, keyword);
        return false;
    }
    argument = request + space + 1;
    argumentLength = cut - space - 1;
    return true;
}

const MailCategoryRow* FindMailCategory(int category) {
    return category >= 0 && category < MAIL_CATEGORY_COUNT ? &kCategories[category] : nullptr;
}

char* MailCategoryFolder(int category) {
    switch (category) {
    case MAIL_QUARANTINE:
        return g_Settings.Quarantine_Path;
    case MAIL_MAIL_LOG:
    case MAIL_VIRUS_LOG:
        return g_Settings.Log_Path;
    case MAIL_BLOCKED:
        return g_Settings.BLOCKED_MAIL_PATH;
    case MAIL_FILTERED:
        return g_Settings.FILTER_MAIL_PATH;
    case MAIL_DEFERRED:
    case MAIL_DEFERRED_LOG:
        return g_Settings.Deferred_Mail_Path;
    default:
        return nullptr;
    }
}

void CountFolderFiles(const char* folder, uint64_t& totalBytes, DWORD& entryCount) {
    totalBytes = 0;
    entryCount = 0;
    char pattern[MAX_PATH];
    if (!BoundedFormat(pattern, sizeof(pattern), "%s*.*", folder))
        return;
    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if (data.cFileName[0] == '.')
            continue;
        ++entryCount;
        totalBytes += (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    } while (FindNextFileA(search, &data));
    FindClose(search);
}

int ClientConnection::SendFileList(char* request, int category) {
    const MailCategoryRow* row = FindMailCategory(category);
    if (row == nullptr || row->listPattern == nullptr)
        return 0;
    char pattern[MAIL_PATH_SIZE];
    const bool fits =
        BoundedFormat(pattern, sizeof(pattern), row->listPattern, MailCategoryFolder(category));
    WIN32_FIND_DATAA data;
    HANDLE search = fits ? FindFirstFileA(pattern, &data) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE) {
        if (request != nullptr)
            request[0] = '\0';
        ReportFailure(*this, EVENTLOG_ERROR_TYPE, IDS_CANT_READ_FILE, row->displayName, pattern);
        return 0;
    }
    ReplyWriter writer(*this);
    writer.AddText("CODE 1");
    writer.AddText("\r\n");
    do {
        const char first = data.cFileName[0];
        if (first == '.')
            continue;
        if (row->digitNamesOnly && !(first >= '0' && first <= '9'))
            continue;
        writer.AddText(data.cFileName);
        writer.AddText("\r\n");
    } while (!writer.Failed() && FindNextFileA(search, &data));
    writer.AddText("CODE 0");
    writer.AddText("\r\n");
    writer.Flush();
    FindClose(search);
    return 1;
}

int ClientConnection::SendFileContents(char* request, int category) {
    const MailCategoryRow* row = FindMailCategory(category);
    if (row == nullptr)
        return 0;
    char path[MAIL_PATH_SIZE];
    BoundedCopy(path, sizeof(path), MailCategoryFolder(category));
    char* name = nullptr;
    size_t nameLength = 0;
    if (!ExtractMailArgument(*this, request, row->getWord, name, nameLength))
        return 0;
    // Only a name inside the folder, and only one that fits the path whole.
    const size_t folderLength = strlen(path);
    if (!IsNameInFolder(path, name, nameLength, sizeof(path) - 1 - folderLength)) {
        ReportImproperUse(*this, row->getWord);
        return 0;
    }
    BoundedAppend(path, sizeof(path), name);

    int file = _open(path, _O_RDONLY | _O_TEXT);
    if (file < 0) {
        ReportFailure(*this, EVENTLOG_ERROR_TYPE, IDS_CANT_READ_FILE, row->displayName, path);
        return 0;
    }
    ReplyWriter writer(*this);
    writer.AddText("CODE 1");
    writer.AddText("\r\n");
    // Piece by piece as fgets cuts them: a zero byte ends what is written of
    // its piece, and the next piece begins where fgets would begin it.
    char buffer[16 * 1024];
    int pieceLength = 0;
    bool pieceEnded = false;
    int n;
    while (!writer.Failed() && (n = _read(file, buffer, sizeof(buffer))) > 0) {
        int start = 0; // the first byte still to be written
        for (int i = 0; i < n; ++i) {
            const char c = buffer[i];
            if (c == '\0' && !pieceEnded) {
                writer.Add(buffer + start, static_cast<size_t>(i - start));
                pieceEnded = true;
            }
            if (++pieceLength == PIECE_LENGTH || c == '\n') {
                if (!pieceEnded)
                    writer.Add(buffer + start, static_cast<size_t>(i + 1 - start));
                start = i + 1;
                pieceLength = 0;
                pieceEnded = false;
            } else if (pieceEnded) {
                start = i + 1;
            }
        }
        if (!pieceEnded)
            writer.Add(buffer + start, static_cast<size_t>(n - start));
    }
    _close(file);
    writer.AddText("\r\n");
    writer.Flush();
    return 1;
}

int ClientConnection::SendFolderSize(char*, int category) {
    const MailCategoryRow* row = FindMailCategory(category);
    if (row == nullptr || row->filesPerMessage == 0)
        return 0;
    uint64_t totalBytes = 0;
    DWORD entryCount = 0;
    CountFolderFiles(MailCategoryFolder(category), totalBytes, entryCount);
    ReplyWriter writer(*this);
    AddDecimal(writer, totalBytes);
    writer.AddText(" ");
    AddDecimal(writer, entryCount / row->filesPerMessage);
    writer.AddText("\r\n");
    writer.Flush();
    return 1;
}

int ClientConnection::SetCategoryFolder(char* request, int category) {
    char* folder = MailCategoryFolder(category);
    if (folder == nullptr)
        return 0;
    const char* keyword = category == MAIL_QUARANTINE ? "setpath_qfile" : "setpath";
    char* argument = nullptr;
    size_t argumentLength = 0;
    if (!ExtractMailArgument(*this, request, keyword, argument, argumentLength))
        return 0;
    // Only a folder of the scanner's (see IsScannerFolder), and whole: one that
    // does not fit the setting, or that a zero byte would cut, is refused
    // rather than shortened.
    if (argumentLength >= MAIL_PATH_SIZE || memchr(argument, '\0', argumentLength) != nullptr) {
        ReportImproperUse(*this, keyword);
        return 0;
    }
    if (!IsScannerFolder(argument)) {
        ReportImproperUse(*this, keyword);
        return 0;
    }
    BoundedCopy(folder, MAIL_PATH_SIZE, argument);
    SendReply("CODE 0", nullptr);
    return 1;
}

// The pickup folder, the decision for each message, and its filing.
#include "peers/drennic/Scanner.h"

#include "peers/drennic/MimeMessage.h"
#include "platform/bounded.h"

#include <cstring>
#include <vector>

namespace {

std::string Timestamp() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char text[32];
    BoundedFormat(text, sizeof(text), "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    return text;
}

// A text for one line of a log or a note: control characters become spaces
// and it is cut to a length a reader can take.
std::string OneLine(const std::string& text, size_t limit = 200) {
    std::string line = text.substr(0, limit);
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    if (text.size() > limit)
        line += "...";
    return line;
}

// Writes a whole new file; false (nothing left) when it cannot. CREATE_NEW
// also reserves the name.
bool WriteNewFile(const std::string& path, const std::string& text) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    CloseHandle(file);
    if (!ok)
        DeleteFileA(path.c_str());
    return ok;
}

bool ReadWholeFile(const std::string& path, unsigned long long size, std::vector<char>* bytes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes->resize(static_cast<size_t>(size));
    size_t done = 0;
    bool ok = true;
    while (done < bytes->size()) {
        DWORD got = 0;
        DWORD want = static_cast<DWORD>(bytes->size() - done < (1u << 24) ? bytes->size() - done
                                                                           : (1u << 24));
        if (!ReadFile(file, bytes->data() + done, want, &got, nullptr) || got == 0) {
            ok = false;
            break;
        }
        done += got;
    }
    CloseHandle(file);
    return ok;
}

void DeleteFilesIn(const std::string& folder) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            DeleteFileA((folder + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

std::string RuleText(const DrennicRuleSet& rules, int index) {
    CRule* rule = rules.Rule(static_cast<size_t>(index));
    return "rule Filter_Rule_" + std::to_string(rules.Slot(static_cast<size_t>(index))) + " (" +
           OneLine(rule->GetDescription(), 63) + ", phrase '" + OneLine(rule->PrimaryPhrase, 63) +
           "')";
}

} // namespace

DrennicVerdict CheckRules(const DrennicRuleSet& rules, CMessage* message, bool textPartsOnly) {
    DrennicVerdict verdict;
    for (size_t i = 0; i < rules.Count(); ++i) {
        CRule* rule = rules.Rule(i);
        if (rule->IsActive() == 0)
            continue;
        ++verdict.checked;
        if (rule->CheckMessage(message, textPartsOnly) != 1)
            continue;
        if (rule->BlockMessage() != 0) {
            verdict.matched = static_cast<int>(i);
            verdict.block = true;
            return verdict;
        }
        if (verdict.matched < 0)
            verdict.matched = static_cast<int>(i);
    }
    return verdict;
}

DrennicScanner::DrennicScanner(DrennicService* service)
    : m_service(service), m_serial(0), m_sequence(0), m_thread(nullptr), m_stop(nullptr),
      m_reload(nullptr) {
    memset(&m_settings, 0, sizeof(m_settings));
}

DrennicScanner::~DrennicScanner() {
    Stop();
    if (m_stop != nullptr)
        CloseHandle(m_stop);
    if (m_reload != nullptr)
        CloseHandle(m_reload);
}

bool DrennicScanner::Start() {
    DrennicMimeInit();
    LoadSettings();
    m_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_reload = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (m_stop == nullptr || m_reload == nullptr)
        return false;
    m_thread = CreateThread(nullptr, DRENNIC_SCAN_STACK, Thread, this, 0, nullptr);
    if (m_thread == nullptr) {
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot start the scanning thread (error %lu)",
                   static_cast<unsigned long>(GetLastError()));
        return false;
    }
    return true;
}

void DrennicScanner::Stop() {
    if (m_thread == nullptr)
        return;
    SetEvent(m_stop);
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    m_thread = nullptr;
}

void DrennicScanner::Reload() {
    if (m_reload != nullptr)
        SetEvent(m_reload);
}

DWORD WINAPI DrennicScanner::Thread(LPVOID self) {
    static_cast<DrennicScanner*>(self)->Run();
    return 0;
}

void DrennicScanner::LoadSettings() {
    ReadDrennicSettings(&m_settings);
    const std::string base = m_settings.Install_Path;
    m_pickup = base + DRENNIC_PICKUP_FOLDER "\\";
    m_temp = base + DRENNIC_FOLDER "\\" DRENNIC_TEMP_FOLDER "\\";
    m_outbound = base + DRENNIC_OUTBOUND_FOLDER "\\";
    CreateDirectoryA(m_pickup.c_str(), nullptr);
    CreateDirectoryA((base + DRENNIC_FOLDER).c_str(), nullptr);
    CreateDirectoryA(m_temp.c_str(), nullptr);
    CreateDirectoryA(m_outbound.c_str(), nullptr);
    // Whatever an earlier run left here belongs to no message any more.
    DeleteFilesIn(m_temp);
    std::vector<std::string> skipped;
    m_rules.Load(&skipped);
    for (const std::string& name : skipped)
        DrennicLog(EVENTLOG_WARNING_TYPE, "The rule %s is missing or incomplete; not in force",
                   name.c_str());
    DrennicLog(EVENTLOG_INFORMATION_TYPE,
               "Scanning %s: content filter %s, %lu of %lu rules active, at most %lu bytes",
               m_pickup.c_str(), m_settings.SMTP_CONTENT_FILTER_ON != 0 ? "on" : "off",
               static_cast<unsigned long>(m_rules.ActiveCount()),
               static_cast<unsigned long>(m_rules.Count()),
               static_cast<unsigned long>(m_settings.Read_Max_Mail_Size));
}

void DrennicScanner::Run() {
    HANDLE events[2] = {m_stop, m_reload};
    for (;;) {
        DWORD wait = WaitForMultipleObjects(2, events, FALSE, DRENNIC_PICKUP_POLL_MS);
        if (wait == WAIT_OBJECT_0)
            return;
        if (wait == WAIT_OBJECT_0 + 1)
            LoadSettings();
        Poll();
    }
}

void DrennicScanner::Poll() {
    std::map<std::string, Stamp> now;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((m_pickup + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
                found.cFileName[0] == '.')
                continue;
            Stamp stamp;
            stamp.size = (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) |
                         found.nFileSizeLow;
            stamp.time = (static_cast<unsigned long long>(found.ftLastWriteTime.dwHighDateTime)
                          << 32) |
                         found.ftLastWriteTime.dwLowDateTime;
            now[found.cFileName] = stamp;
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    for (const auto& entry : now) {
        if (WaitForSingleObject(m_stop, 0) == WAIT_OBJECT_0)
            return;
        auto seen = m_seen.find(entry.first);
        if (seen == m_seen.end() || !(seen->second == entry.second))
            continue; // new or still changing: next look
        auto stuck = m_stuck.find(entry.first);
        if (stuck != m_stuck.end() && stuck->second == entry.second)
            continue;
        m_stuck.erase(entry.first);
        ProcessFile(entry.first, entry.second.size);
        // Still there: it could be filed nowhere.
        if (GetFileAttributesA((m_pickup + entry.first).c_str()) != INVALID_FILE_ATTRIBUTES)
            m_stuck[entry.first] = entry.second;
    }
    m_seen.swap(now);
}

std::string DrennicScanner::NewName() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char name[40];
    BoundedFormat(name, sizeof(name), "%04u%02u%02u%02u%02u%02u%04lu", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond, (m_sequence++) % 10000);
    return name;
}

bool DrennicScanner::File(const std::string& pickupPath, const std::string& folder,
                          const std::string& note, const std::string* log, std::string* stored) {
    // A name is taken by creating its note (CREATE_NEW); a name in use, by an
    // earlier run in the same second, is passed over.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = NewName();
        std::string target = folder + name;
        if (GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES)
            continue;
        bool noted = true;
        if (!note.empty()) {
            noted = WriteNewFile(target + ".inf", note);
            if (!noted && GetFileAttributesA((target + ".inf").c_str()) != INVALID_FILE_ATTRIBUTES)
                continue;
            if (!noted)
                return false;
        }
        if (log != nullptr && !WriteNewFile(target + ".log", *log)) {
            DeleteFileA((target + ".inf").c_str());
            return false;
        }
        if (MoveFileA(pickupPath.c_str(), target.c_str())) {
            *stored = name;
            return true;
        }
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot move %s to %s (error %lu)", pickupPath.c_str(),
                   target.c_str(), static_cast<unsigned long>(GetLastError()));
        if (!note.empty())
            DeleteFileA((target + ".inf").c_str());
        if (log != nullptr)
            DeleteFileA((target + ".log").c_str());
        return false;
    }
    return false;
}

bool DrennicScanner::Defer(const std::string& pickupPath, const std::string& pickupName,
                           const std::string& why, const std::string& note) {
    std::string log = Timestamp() + " deferred: " + OneLine(why) + "\r\n";
    std::string stored;
    if (!File(pickupPath, m_settings.Deferred_Mail_Path, note + "Reason: " + OneLine(why) + "\r\n",
              &log, &stored)) {
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot defer %s (%s); it stays in the pickup folder",
                   pickupPath.c_str(), OneLine(why).c_str());
        return false;
    }
    MailLog("DEFERRED", stored, pickupName, why);
    m_service->AddCounts(0, 0, 0, 1);
    return true;
}

void DrennicScanner::ProcessFile(const std::string& pickupName, unsigned long long size) {
    const std::string path = m_pickup + pickupName;
    std::string note = "Received: " + Timestamp() + "\r\nPickup: " + OneLine(pickupName) + "\r\n";
    if (size > m_settings.Read_Max_Mail_Size) {
        Defer(path, pickupName,
              std::to_string(size) + " bytes, more than Read_Max_Mail_Size (" +
                  std::to_string(m_settings.Read_Max_Mail_Size) + ")",
              note);
        return;
    }
    std::vector<char> bytes;
    if (!ReadWholeFile(path, size, &bytes)) {
        DrennicLog(EVENTLOG_WARNING_TYPE, "Cannot read %s (error %lu); tried again when it changes",
                   path.c_str(), static_cast<unsigned long>(GetLastError()));
        return;
    }

    std::string why, from, subject;
    DrennicVerdict verdict;
    bool parsed = false;
    bool filterOn = m_settings.SMTP_CONTENT_FILTER_ON != 0;
    {
        std::string prefix = m_temp + std::to_string(++m_serial) + "-";
        CDrennicMessage message(prefix.c_str());
        parsed = message.Parse(bytes.data(), bytes.size(), &why) == CDrennicMessage::PARSED;
        from = OneLine(message.From());
        subject = OneLine(message.Subject());
        note += "From: " + from + "\r\nTo: " + OneLine(message.To()) + "\r\nSubject: " +
                subject + "\r\n";
        if (parsed && filterOn)
            verdict = CheckRules(m_rules, &message, m_settings.SMTP_CONTENT_FILTER_FLAG != 0);
        // The message's temporary files go here, whatever was decided.
    }
    if (!parsed) {
        Defer(path, pickupName, why, note);
        return;
    }

    std::string detail;
    if (!filterOn)
        detail = "content filter off";
    else if (verdict.matched < 0)
        detail = "no rule matched (" + std::to_string(verdict.checked) + " checked)";
    else
        detail = RuleText(m_rules, verdict.matched) + " matched" +
                 (verdict.block ? "" : ", which does not block");
    detail += "; from " + from + "; subject '" + subject + "'";

    std::string stored;
    if (verdict.block) {
        note += "Decision: filtered by " + detail + "\r\n";
        if (File(path, m_settings.FILTER_MAIL_PATH, note, nullptr, &stored)) {
            MailLog("FILTERED", stored, pickupName, detail);
            m_service->AddCounts(1, 1, 1, 0);
        } else {
            Defer(path, pickupName, "cannot be filed in the filtered folder: " + detail, note);
        }
        return;
    }
    if (File(path, m_outbound, std::string(), nullptr, &stored)) {
        MailLog("PASSED", stored, pickupName, detail);
        m_service->AddCounts(1, 0, 0, 0);
    } else {
        Defer(path, pickupName, "cannot be moved to the outbound folder", note);
    }
}

void DrennicScanner::MailLog(const char* decision, const std::string& stored,
                             const std::string& pickupName, const std::string& detail) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char name[32];
    BoundedFormat(name, sizeof(name), "mail%04u%02u%02u.log", t.wYear, t.wMonth, t.wDay);
    std::string path = std::string(m_settings.Log_Path) + name;
    std::string line = Timestamp() + " " + decision + " " + stored + " (" + OneLine(pickupName) +
                       ") " + OneLine(detail, 400) + "\r\n";
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, 0, nullptr);
    DWORD written = 0;
    if (file == INVALID_HANDLE_VALUE ||
        !WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr))
        DrennicLog(EVENTLOG_ERROR_TYPE, "Cannot write the mail log %s (error %lu)", path.c_str(),
                   static_cast<unsigned long>(GetLastError()));
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
}

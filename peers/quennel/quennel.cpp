// Quennel, the update front end, as a stand-in: Pellion's scheduler and the
// reaction plug-in start it as "quennel.exe autoupdate" from the install
// folder. It does no updating; it records every run, so that administrators
// and tests can see when it was started and with which arguments, and it can
// hold the schedule mutex for a while, as a real updater does while it works.
//
//   quennel [ARGUMENT...]             a run: recorded, nothing else
//   quennel autoupdate                a run; when the Quennel key's
//                                     Hold_Schedule_Seconds is set, it then
//                                     holds the schedule mutex that long
//   quennel hold-schedule SECONDS     a run that holds the schedule mutex
//                                     SECONDS seconds (waiting for it first)
//   quennel install-into-place [DIR]  copies this program as quennel.exe into
//                                     DIR (default: the Drennic key's
//                                     Install_Path); not recorded
//
// The record is quennel.log in the folder of the running program, one line per
// event, fields separated by tabs:
//   <YYYY-MM-DD HH:MM:SS.mmm local time> <process id> run <count> <arg>...
//   <time> <pid> hold <seconds> [abandoned]    the mutex was taken
//   <time> <pid> release                       the mutex was released
// An argument is written as received, except that a backslash, tab, carriage
// return and line feed in it are written \\, \t, \r and \n.
#include "platform/bounded.h"
#include "platform/win32.h"
#include "regkey/RegKey.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const kScheduleMutex = "/MUTEX/SCHEDULE/NOREADWRITE";
const char* const kQuennelKey = "Software\\Corvane\\Ostel\\Vantry SMTP\\Quennel";
const char* const kDrennicKey = "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic";
const char* const kDefaultInstallPath = "C:\\Program Files\\Corvane\\Ostel\\Vantry SMTP\\";
// A hold longer than a day is taken as a day: the scheduler goes on after 30
// seconds anyway, and the value only stands in for an updater's work.
const DWORD kMaxHoldSeconds = 86400;

std::string ProgramPath() {
    char path[1024] = {0};
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path) - 1);
    return n == 0 ? std::string() : std::string(path, n < sizeof(path) ? n : sizeof(path) - 1);
}

std::string RecordPath() {
    std::string program = ProgramPath();
    size_t slash = program.find_last_of("/\\");
    return (slash == std::string::npos ? std::string() : program.substr(0, slash + 1)) +
           "quennel.log";
}

std::string Escaped(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        switch (*p) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            out.push_back(*p);
            break;
        }
    }
    return out;
}

// Appends one line: the local time, the process id, then the event's fields.
void Record(const std::string& fields) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64];
    BoundedFormat(stamp, sizeof(stamp), "%04u-%02u-%02u %02u:%02u:%02u.%03u\t%lu\t", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                  static_cast<unsigned long>(GetCurrentProcessId()));
    std::string line = std::string(stamp) + fields + "\n";
    FILE* f = fopen(RecordPath().c_str(), "ab");
    if (f == nullptr)
        return;
    fwrite(line.data(), 1, line.size(), f); // one write: lines of several runs do not mix
    fclose(f);
}

void RecordRun(int argc, char** argv) {
    std::string fields = "run\t" + std::to_string(argc - 1);
    for (int i = 1; i < argc; ++i)
        fields += "\t" + Escaped(argv[i]);
    Record(fields);
}

// Takes the schedule mutex (waiting as long as it takes), keeps it, releases.
int HoldSchedule(DWORD seconds) {
    if (seconds > kMaxHoldSeconds)
        seconds = kMaxHoldSeconds;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kScheduleMutex);
    if (mutex == nullptr) {
        fprintf(stderr, "quennel: cannot open the schedule mutex (error %lu)\n",
                static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return 1;
    }
    Record("hold\t" + std::to_string(seconds) + (waited == WAIT_ABANDONED ? "\tabandoned" : ""));
    Sleep(seconds * 1000);
    ReleaseMutex(mutex);
    Record("release");
    CloseHandle(mutex);
    return 0;
}

DWORD ConfiguredHold() {
    CRegKey key;
    DWORD seconds = 0;
    if (key.Open(HKEY_LOCAL_MACHINE, kQuennelKey, 0) == ERROR_SUCCESS)
        key.Read("Hold_Schedule_Seconds", seconds);
    return seconds;
}

std::string InstallPath() {
    CRegKey key;
    std::string path = kDefaultInstallPath;
    if (key.Open(HKEY_LOCAL_MACHINE, kDrennicKey, 0) == ERROR_SUCCESS) {
        std::string text(REGKEY_TEXT_BUFFER, '\0');
        if (key.Read("Install_Path", &text[0]) == ERROR_SUCCESS)
            path = text.c_str();
    }
    return path;
}

// Creates the folder and the folders above it.
bool MakeFolder(const std::string& folder) {
    for (size_t i = 0; i <= folder.size(); ++i) {
        if (i < folder.size() && folder[i] != '\\' && folder[i] != '/')
            continue;
        std::string part = folder.substr(0, i);
        if (part.empty() || part[part.size() - 1] == ':')
            continue; // the drive, or the root of a POSIX path
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    return true;
}

int InstallIntoPlace(const char* folderArg) {
    std::string folder = folderArg != nullptr ? folderArg : InstallPath();
    if (folder.empty()) {
        fprintf(stderr, "quennel: no install folder\n");
        return 1;
    }
    std::string target = folder;
    if (target[target.size() - 1] != '\\' && target[target.size() - 1] != '/')
        target += "\\";
    target += "quennel.exe";
    std::string source = ProgramPath();
    if (!MakeFolder(folder) || !CopyFileA(source.c_str(), target.c_str(), FALSE)) {
        fprintf(stderr, "quennel: cannot install %s (error %lu)\n", target.c_str(),
                static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    printf("Installed %s\n", target.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "install-into-place") == 0)
        return InstallIntoPlace(argc >= 3 ? argv[2] : nullptr);
    RecordRun(argc, argv);
    if (argc >= 2 && strcmp(argv[1], "hold-schedule") == 0)
        return HoldSchedule(argc >= 3 ? static_cast<DWORD>(strtoul(argv[2], nullptr, 10)) : 0);
    if (argc == 2 && strcmp(argv[1], "autoupdate") == 0) {
        DWORD hold = ConfiguredHold();
        if (hold > 0)
            return HoldSchedule(hold);
    }
    return 0;
}

// A small real service for the service manager's tests. It writes what the
// tests cannot see from outside into <root>/sample_service.txt, one
// "key=value" line per fact: its pid, the threads of the dispatcher, of
// ServiceMain and of each handler call, its arguments, whether the start token
// was still in its environment, and the controls it received.
//
// Its first argument picks a behaviour:
//   (none)         start pending with check points 1..3, running, stop on request
//   --exit-now     exit with status 3 before the dispatcher
//   --no-report    ServiceMain returns without any status report
//   --slow-start   stay start pending until <root>/proceed exists
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* gMode = "";
// An auto-reset event guards the status: the seam's waits, which both targets
// have (the Windows target's runtime has no std::mutex).
HANDLE gLock = nullptr;

class Guard {
public:
    Guard() { WaitForSingleObject(gLock, INFINITE); }
    ~Guard() { SetEvent(gLock); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
};

bool Exists(const std::string& path) {
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr)
        return false;
    fclose(f);
    return true;
}
SERVICE_STATUS gStatus;
SERVICE_STATUS_HANDLE gHandle = nullptr;
HANDLE gStopEvent = nullptr;

std::string RootFile(const char* name) {
    const char* root = getenv("VANTRY_PLATFORM_ROOT");
    return std::string(root ? root : ".") + "/" + name;
}

void Note(const char* key, const char* value) {
    FILE* f = fopen(RootFile("sample_service.txt").c_str(), "a");
    if (f == nullptr)
        return;
    fprintf(f, "%s=%s\n", key, value);
    fclose(f);
}

void NoteNumber(const char* key, unsigned long value) {
    char text[32];
    snprintf(text, sizeof(text), "%lu", value);
    Note(key, text);
}

BOOL Report(DWORD state, DWORD checkPoint, DWORD waitHint) {
    Guard guard;
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    gStatus.dwCheckPoint = checkPoint;
    gStatus.dwWaitHint = waitHint;
    return SetServiceStatus(gHandle, &gStatus);
}

void WINAPI Handler(DWORD control) {
    NoteNumber("handler_thread", GetCurrentThreadId());
    NoteNumber("control", control);
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, 7, 5000);
        SetEvent(gStopEvent);
        return;
    }
    Guard guard;
    SetServiceStatus(gHandle, &gStatus);
}

void WINAPI ServiceMain(DWORD argc, LPSTR* argv) {
    NoteNumber("main_thread", GetCurrentThreadId());
    Note("token_in_main", getenv("VANTRY_SERVICE_TOKEN") != nullptr ? "1" : "0");
    Note("service_name", argc > 0 ? argv[0] : "");
    for (DWORD i = 1; i < argc; ++i)
        Note("service_arg", argv[i]);
    if (strcmp(gMode, "--no-report") == 0)
        return;
    if (RegisterServiceCtrlHandlerA("Some Other Service", Handler) == nullptr)
        NoteNumber("register_other_error", GetLastError());
    gHandle = RegisterServiceCtrlHandlerA(argv[0], Handler);
    if (gHandle == nullptr) {
        NoteNumber("register_error", GetLastError());
        return;
    }
    gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Report(SERVICE_START_PENDING, 1, 1000);
    if (strcmp(gMode, "--slow-start") == 0) {
        for (int i = 0; i < 2000 && !Exists(RootFile("proceed")); ++i)
            Sleep(10);
    }
    Sleep(20);
    Report(SERVICE_START_PENDING, 2, 1000);
    Sleep(20);
    Report(SERVICE_START_PENDING, 3, 1000);
    Report(SERVICE_RUNNING, 0, 0);
    WaitForSingleObject(gStopEvent, INFINITE);
    // Stopping takes a moment, as in a real service: the stop control's answer
    // is the stop-pending status the handler left, not this one.
    Sleep(100);
    Report(SERVICE_STOPPED, 0, 0);
    CloseHandle(gStopEvent);
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1)
        gMode = argv[1];
    if (strcmp(gMode, "--exit-now") == 0)
        return 3;
    gLock = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    NoteNumber("pid", static_cast<unsigned long>(GetCurrentProcessId()));
    NoteNumber("dispatcher_thread", GetCurrentThreadId());
    for (int i = 1; i < argc; ++i)
        Note("program_arg", argv[i]);
    char name[] = "SampleService";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        DWORD err = GetLastError();
        NoteNumber("dispatcher_error", err);
        printf("StartServiceCtrlDispatcher failed %lu\n", static_cast<unsigned long>(err));
        return 1;
    }
    Note("dispatcher_returned", "1");
    return 0;
}

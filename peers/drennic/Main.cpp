// Drennic's command line: no argument runs the service under the service
// control manager; "install" and "remove" install and remove it; "record"
// prints the record of the commands it received, one a line, with escapes.
#include "peers/drennic/Drennic.h"
#include "peers/drennic/DrennicRecord.h"
#include "platform/bounded.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

DrennicService* gService = nullptr;
SERVICE_STATUS gStatus;
SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
HANDLE gStopEvent = nullptr;
DWORD gCheckPoint = 1;

void Report(DWORD state, DWORD exitCode, DWORD waitHint) {
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    gStatus.dwWin32ExitCode = exitCode;
    gStatus.dwServiceSpecificExitCode = exitCode == ERROR_SERVICE_SPECIFIC_ERROR ? 1 : 0;
    gStatus.dwWaitHint = waitHint;
    gStatus.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    gStatus.dwCheckPoint = state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : gCheckPoint++;
    SetServiceStatus(gStatusHandle, &gStatus);
}

void WINAPI ControlHandler(DWORD control) {
    if ((control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) &&
        gStatus.dwCurrentState == SERVICE_RUNNING) {
        Report(SERVICE_STOP_PENDING, 0, 5000);
        SetEvent(gStopEvent);
        return;
    }
    SetServiceStatus(gStatusHandle, &gStatus);
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    gStatusHandle = RegisterServiceCtrlHandlerA(DRENNIC_SERVICE_NAME, ControlHandler);
    if (gStatusHandle == nullptr) {
        DrennicLog(EVENTLOG_ERROR_TYPE, "RegisterServiceCtrlHandler failed (error %lu)",
                   static_cast<unsigned long>(GetLastError()));
        return;
    }
    gStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_START_PENDING, 0, 10000);
    DrennicService service;
    gService = &service;
    if (gStopEvent == nullptr || !service.Start()) {
        service.Stop();
        gService = nullptr;
        Report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, 0);
        return;
    }
    Report(SERVICE_RUNNING, 0, 0);
    WaitForSingleObject(gStopEvent, INFINITE);
    service.Stop();
    gService = nullptr;
    DrennicLog(EVENTLOG_INFORMATION_TYPE, "Stopped");
    CloseHandle(gStopEvent);
    gStopEvent = nullptr;
    Report(SERVICE_STOPPED, 0, 0);
}

// A failed step with its Windows error, then, when the machine's state cannot
// be written at all, where and why (on POSIX, the platform root). Returns 1,
// the exit status of a failed install or remove.
int Failed(const char* step, DWORD error) {
    printf("%s failed (error %lu)\n", step, static_cast<unsigned long>(error));
    char why[512];
    if (CheckPlatformRootV(TRUE, why, sizeof(why)) != ERROR_SUCCESS)
        printf("%s\n", why);
    return 1;
}

// Installing over an installed service fails, as does every other failure: a
// script that installs learns that the service it meant to make is not its own.
int Install() {
    char path[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (n == 0 || n >= sizeof(path)) {
        printf("Cannot tell this program's path\n");
        return 1;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return Failed("OpenSCManager", GetLastError());
    SC_HANDLE service =
        CreateServiceA(manager, DRENNIC_SERVICE_NAME, DRENNIC_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                       nullptr, nullptr, "", nullptr, nullptr);
    DWORD error = GetLastError();
    CloseServiceHandle(manager);
    if (service == nullptr) {
        if (error == ERROR_SERVICE_EXISTS) {
            printf("%s is installed already.\n", DRENNIC_DISPLAY_NAME);
            return 1;
        }
        return Failed("CreateService", error);
    }
    CloseServiceHandle(service);
    printf("%s installed.\n", DRENNIC_DISPLAY_NAME);
    return 0;
}

int Remove() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return Failed("OpenSCManager", GetLastError());
    SC_HANDLE service = OpenServiceA(manager, DRENNIC_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        int rc = Failed("OpenService", GetLastError());
        CloseServiceHandle(manager);
        return rc;
    }
    SERVICE_STATUS status;
    memset(&status, 0, sizeof(status));
    int rc = 0;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        printf("Stopping %s.", DRENNIC_DISPLAY_NAME);
        fflush(stdout);
        for (int i = 0; i < 60 && QueryServiceStatus(service, &status) &&
                        status.dwCurrentState != SERVICE_STOPPED;
             ++i)
            Sleep(500);
        printf(status.dwCurrentState == SERVICE_STOPPED ? "\n%s stopped.\n"
                                                        : "\n%s failed to stop.\n",
               DRENNIC_DISPLAY_NAME);
        if (status.dwCurrentState != SERVICE_STOPPED)
            rc = 1;
    }
    if (DeleteService(service))
        printf("%s removed.\n", DRENNIC_DISPLAY_NAME);
    else
        rc = Failed("DeleteService", GetLastError());
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return rc;
}

int PrintRecord() {
    DrennicSettings settings;
    ReadDrennicSettings(&settings);
    char path[MAX_PATH * 2];
    if (!DrennicRecordPath(settings, path, sizeof(path))) {
        printf("The install folder is too long: %s\n", settings.Install_Path);
        return 1;
    }
    std::vector<std::string> entries;
    if (!ReadRecordEntries(path, &entries)) {
        printf("No record yet: %s\n", path);
        return 1;
    }
    for (const std::string& entry : entries) {
        std::vector<char> line(entry.size() * 4 + 1);
        FormatRecordEntry(entry.data(), static_cast<DWORD>(entry.size()), line.data(), line.size());
        printf("%s\n", line.data());
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        static char name[] = DRENNIC_SERVICE_NAME;
        SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherA(table)) {
            printf("%s runs as a service: drennic install, then start it with the service "
                   "manager (error %lu)\n",
                   DRENNIC_DISPLAY_NAME, static_cast<unsigned long>(GetLastError()));
            return 1;
        }
        return 0;
    }
    if (argc == 2 && (strcmp(argv[1], "install") == 0 || strcmp(argv[1], "INSTALL") == 0))
        return Install();
    if (argc == 2 && (strcmp(argv[1], "remove") == 0 || strcmp(argv[1], "REMOVE") == 0))
        return Remove();
    if (argc == 2 && strcmp(argv[1], "record") == 0)
        return PrintRecord();
    printf("usage: drennic [install | remove | record]\n");
    return 2;
}

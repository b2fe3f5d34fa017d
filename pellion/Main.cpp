// Pellion's command line: no argument runs the service under the service
// control manager; "install" and "remove" install and remove it.
#include "platform/bounded.h"
#include "service/LogEvent.h"
#include "pellion/ServiceEntry.h"
#include "service/Service.h"

#include <cstdio>
#include <cstring>

namespace {

char gErrorText[256];

// The system's text for the last error, as "text (0xcode)", or empty.
char* GetLastErrorText(char* buffer, DWORD size) {
    DWORD code = GetLastError();
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        nullptr, code, LANG_NEUTRAL, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (n == 0 || text == nullptr || n + 14 > size || n < 2) {
        buffer[0] = '\0';
    } else {
        text[n - 2] = '\0';
        BoundedFormat(buffer, size, "%s (0x%x)", text, static_cast<unsigned>(code));
    }
    if (text != nullptr)
        LocalFree(text);
    return buffer;
}

// A failed step: its line as the administrator has always seen it, then, when
// the machine's state cannot be written at all, where and why (on POSIX, the
// platform root). Returns the exit status of a failed install or remove.
int Failed(const char* step) {
    printf("%s failed - %s\n", step, GetLastErrorText(gErrorText, sizeof(gErrorText)));
    char why[512];
    if (CheckPlatformRootV(TRUE, why, sizeof(why)) != ERROR_SUCCESS)
        printf("%s\n", why);
    return 1;
}

// Every failure is printed and ends in a non-zero status: a service that
// could not be created (one of that name exists already, the service database
// cannot be written) is not installed, and a script that installs must see it.
int InstallService() {
    char path[512];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (n == 0 || n >= sizeof(path))
        return Failed("GetModuleFileName");
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return Failed("OpenSCManager");
    SC_HANDLE service =
        CreateServiceA(manager, PELLION_SERVICE_NAME, PELLION_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                       nullptr, nullptr, "", nullptr, nullptr);
    int status = 0;
    if (service != nullptr) {
        printf("%s installed.\n", PELLION_DISPLAY_NAME);
        CloseServiceHandle(service);
    } else {
        status = Failed("CreateService");
    }
    CloseServiceHandle(manager);
    return status;
}

int RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return Failed("OpenSCManager");
    SC_HANDLE service = OpenServiceA(manager, PELLION_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        int status = Failed("OpenService");
        CloseServiceHandle(manager);
        return status;
    }
    SERVICE_STATUS status;
    memset(&status, 0, sizeof(status));
    int result = 0;
    if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        printf("Stopping %s.", PELLION_DISPLAY_NAME);
        fflush(stdout);
        Sleep(1000);
        while (QueryServiceStatus(service, &status) &&
               status.dwCurrentState == SERVICE_STOP_PENDING) {
            printf(".");
            fflush(stdout);
            Sleep(1000);
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            printf("\n%s stopped.\n", PELLION_DISPLAY_NAME);
        else
            printf("\n%s failed to stop.\n", PELLION_DISPLAY_NAME);
        // Still running: whatever the deletion does, the remove is not done.
        if (status.dwCurrentState != SERVICE_STOPPED)
            result = 1;
    }
    if (DeleteService(service))
        printf("%s removed.\n", PELLION_DISPLAY_NAME);
    else
        result = Failed("DeleteService");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

} // namespace

int main(int argc, char** argv) {
    g_pRunningService = nullptr;
    if (argc == 1) {
        static char name[] = PELLION_SERVICE_NAME;
        SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
        if (!StartServiceCtrlDispatcherA(table)) {
            LogMessage(IDS_DISPATCHER_FAILED, EVENTLOG_INFORMATION_TYPE);
            return 1;
        }
        return 0;
    }
    int status = 0;
    if (argc == 2) {
        // Exactly these two spellings, over the first 7 (or 6) characters.
        if (strncmp(argv[1], "install", 7) == 0 || strncmp(argv[1], "INSTALL", 7) == 0)
            status = InstallService();
        if (strncmp(argv[1], "remove", 6) == 0 || strncmp(argv[1], "REMOVE", 6) == 0)
            status = RemoveService();
    }
    return status;
}

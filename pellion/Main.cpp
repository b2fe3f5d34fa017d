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

void InstallService() {
    char path[512];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (n == 0 || n >= sizeof(path))
        return;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("OpenSCManager failed - %s\n", GetLastErrorText(gErrorText, sizeof(gErrorText)));
        return;
    }
    SC_HANDLE service =
        CreateServiceA(manager, PELLION_SERVICE_NAME, PELLION_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path,
                       nullptr, nullptr, "", nullptr, nullptr);
    if (service != nullptr) {
        printf("%s installed.\n", PELLION_DISPLAY_NAME);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

void RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        printf("OpenSCManager failed - %s\n", GetLastErrorText(gErrorText, sizeof(gErrorText)));
        return;
    }
    SC_HANDLE service = OpenServiceA(manager, PELLION_SERVICE_NAME, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        printf("OpenService failed - %s\n", GetLastErrorText(gErrorText, sizeof(gErrorText)));
        CloseServiceHandle(manager);
        return;
    }
    SERVICE_STATUS status;
    memset(&status, 0, sizeof(status));
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
    }
    if (DeleteService(service))
        printf("%s removed.\n", PELLION_DISPLAY_NAME);
    else
        printf("DeleteService failed - %s\n", GetLastErrorText(gErrorText, sizeof(gErrorText)));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
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
    if (argc == 2) {
        // Exactly these two spellings, over the first 7 (or 6) characters.
        if (strncmp(argv[1], "install", 7) == 0 || strncmp(argv[1], "INSTALL", 7) == 0)
            InstallService();
        if (strncmp(argv[1], "remove", 6) == 0 || strncmp(argv[1], "REMOVE", 6) == 0)
            RemoveService();
    }
    return 0;
}

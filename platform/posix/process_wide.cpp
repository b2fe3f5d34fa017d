// CreateProcessW over CreateProcessA.
#include "platform/posix/internal.h"

#include <string>
#include <vector>

namespace {

// A UTF-16 text as UTF-8; null stays null (ok false when it cannot be told).
bool ToUtf8(LPCWSTR text, std::vector<char>& out) {
    out.clear();
    if (text == nullptr)
        return true;
    if (text[0] == 0) {
        out.push_back('\0');
        return true;
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return false;
    out.resize(static_cast<size_t>(size));
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr) == size;
}

char* Pointer(std::vector<char>& text) {
    return text.empty() ? nullptr : text.data();
}

} // namespace

BOOL WINAPI CreateProcessW(LPCWSTR lpApplicationName, LPWSTR lpCommandLine,
                           LPSECURITY_ATTRIBUTES lpProcessAttributes,
                           LPSECURITY_ATTRIBUTES lpThreadAttributes, BOOL bInheritHandles,
                           DWORD dwCreationFlags, LPVOID lpEnvironment, LPCWSTR lpCurrentDirectory,
                           LPSTARTUPINFOW lpStartupInfo,
                           LPPROCESS_INFORMATION lpProcessInformation) {
    if (lpStartupInfo == nullptr ||
        (lpEnvironment != nullptr && (dwCreationFlags & CREATE_UNICODE_ENVIRONMENT) != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<char> application, commandLine, directory, desktop, title;
    if (!ToUtf8(lpApplicationName, application) || !ToUtf8(lpCommandLine, commandLine) ||
        !ToUtf8(lpCurrentDirectory, directory) || !ToUtf8(lpStartupInfo->lpDesktop, desktop) ||
        !ToUtf8(lpStartupInfo->lpTitle, title)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = Pointer(desktop);
    startup.lpTitle = Pointer(title);
    startup.dwX = lpStartupInfo->dwX;
    startup.dwY = lpStartupInfo->dwY;
    startup.dwXSize = lpStartupInfo->dwXSize;
    startup.dwYSize = lpStartupInfo->dwYSize;
    startup.dwXCountChars = lpStartupInfo->dwXCountChars;
    startup.dwYCountChars = lpStartupInfo->dwYCountChars;
    startup.dwFillAttribute = lpStartupInfo->dwFillAttribute;
    startup.dwFlags = lpStartupInfo->dwFlags;
    startup.wShowWindow = lpStartupInfo->wShowWindow;
    startup.hStdInput = lpStartupInfo->hStdInput;
    startup.hStdOutput = lpStartupInfo->hStdOutput;
    startup.hStdError = lpStartupInfo->hStdError;
    return CreateProcessA(Pointer(application), Pointer(commandLine), lpProcessAttributes,
                          lpThreadAttributes, bInheritHandles, dwCreationFlags, lpEnvironment,
                          Pointer(directory), &startup, lpProcessInformation);
}

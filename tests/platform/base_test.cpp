// Events, threads, waits and message texts as a Windows service program uses them.
#include "platform/win32.h"
#include "support/Wine.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#ifndef _WIN32
#include "support/TempRoot.h"
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

DWORD WINAPI SetAfterDelay(LPVOID param) {
    Sleep(50);
    SetEvent(static_cast<HANDLE>(param));
    return 7;
}

TEST(Events, ManualResetStaysSignalledAutoResetWakesOne) {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE autoEv = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(manual, nullptr);
    ASSERT_NE(autoEv, nullptr);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    SetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);
    ResetEvent(manual);
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_TRUE(CloseHandle(autoEv));
}

TEST(Events, WaitAllNeedsEveryObjectAndWaitAnyNamesTheFirst) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[2] = {a, b};
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 30), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    HANDLE setter = CreateThread(nullptr, 0, SetAfterDelay, a, 0, nullptr);
    ASSERT_NE(setter, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(setter, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(setter, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(setter);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Events, BadHandlesFailWithInvalidHandle) {
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE none = nullptr;
    EXPECT_EQ(WaitForMultipleObjects(1, &none, TRUE, 0), WAIT_FAILED);
    // INVALID_HANDLE_VALUE is the current process's pseudo handle too:
    // closing it succeeds and does nothing.
    EXPECT_TRUE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Threads, IdIsReportedAndLastErrorIsPerThread) {
    SetLastError(1234);
    DWORD id = 0;
    HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE t = CreateThread(nullptr, 0, SetAfterDelay, ev, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    SetLastError(1234);
    EXPECT_EQ(GetLastError(), 1234u);
    CloseHandle(t);
    CloseHandle(ev);
}

TEST(MessageTexts, SystemTextsEndWithLineBreakAndAreAllocated) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ARGUMENT_ARRAY,
        nullptr, 1060, LANG_NEUTRAL, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    ASSERT_NE(text, nullptr);
    if (vtest::UnderWine()) { // Wine's own wording: "Service does not exist."
        EXPECT_NE(strstr(text, "ervice does not exist"), nullptr) << text;
    } else {
        EXPECT_STREQ(text, "The specified service does not exist as an installed service.\r\n");
    }
    EXPECT_STREQ(text + strlen(text) - 2, "\r\n");
    EXPECT_EQ(n, strlen(text));
    EXPECT_EQ(LocalFree(text), nullptr);
    char small[8];
    EXPECT_EQ(
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 1060, 0, small, sizeof(small), nullptr),
        0u);
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, 0, small, sizeof(small),
                             nullptr),
              0u);
}

#ifndef _WIN32
// On Windows the same texts are the test program's string resource
// (test_strings.rc).
const vplat::StringResource kTable[] = {{2, "first text"}, {17, "client '%s' refused"}};
#endif

TEST(StringResources, LoadStringCutsAndTerminates) {
#ifndef _WIN32
    vplat::RegisterStringTable(kTable, 2);
#endif
    char buf[200];
    EXPECT_EQ(LoadStringA(GetModuleHandleA(nullptr), 2, buf, sizeof(buf)), 10);
    EXPECT_STREQ(buf, "first text");
    char tiny[6];
    EXPECT_EQ(LoadStringA(nullptr, 17, tiny, sizeof(tiny)), 5);
    EXPECT_STREQ(tiny, "clien");
    EXPECT_EQ(LoadStringA(nullptr, 99, buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "");
}

TEST(ProgramNames, ModuleFileNameIsTheRunningProgram) {
    char path[512];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof(path));
    ASSERT_GT(n, 0u);
    EXPECT_NE(strstr(path, "test_platform"), nullptr);
    char cut[5];
    EXPECT_EQ(GetModuleFileNameA(nullptr, cut, sizeof(cut)), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    if (!vtest::UnderWine()) { // Wine cuts without the terminator, as Windows XP did
        EXPECT_EQ(cut[4], '\0');
    }
    char name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = sizeof(name);
    EXPECT_TRUE(GetComputerNameA(name, &size));
    EXPECT_EQ(size, strlen(name));
}

#ifndef _WIN32
// The platform root as CheckPlatformRootV finds it: with create a missing root
// is made, without it never; the text names the root and what is wrong.
TEST(PlatformRoot, CheckMakesOnlyWhenAskedAndSaysWhatIsWrong) {
    vtest::TempRoot scratch;
    const std::string base = scratch.path();
    ASSERT_EQ(std::system(("touch '" + base + "/file'").c_str()), 0);
    ASSERT_EQ(std::system(("mkdir -p '" + base + "/ro' && chmod 555 '" + base + "/ro'").c_str()), 0);
    struct Case {
        std::string root;
        BOOL create;
        DWORD code;
        std::string text; // after "the platform root <root>"
        bool existsAfter;
    };
    const Case cases[] = {
        {base + "/new", FALSE, ERROR_FILE_NOT_FOUND, " does not exist", false},
        {base + "/new/deeper", TRUE, ERROR_SUCCESS, "", true},
        {base + "/new", FALSE, ERROR_SUCCESS, "", true}, // made by the row before
        {base + "/file", TRUE, ERROR_PATH_NOT_FOUND, " is not a folder", true},
        {base + "/file", FALSE, ERROR_PATH_NOT_FOUND, " is not a folder", true},
        {base + "/file/root", TRUE, ERROR_PATH_NOT_FOUND, " cannot be reached: Not a directory", false},
        {base + "/ro/root", TRUE, ERROR_ACCESS_DENIED, " cannot be created: Permission denied", false},
        {base + "/ro", TRUE, ERROR_ACCESS_DENIED, " cannot be written: Permission denied", true},
        {base + "/ro", FALSE, ERROR_SUCCESS, "", true},
    };
    for (const Case& c : cases) {
        // Permissions do not hold back the superuser.
        if (geteuid() == 0 && c.root.find("/ro") != std::string::npos && c.code != ERROR_SUCCESS)
            continue;
        setenv("VANTRY_PLATFORM_ROOT", c.root.c_str(), 1);
        char text[300] = "unchanged";
        EXPECT_EQ(CheckPlatformRootV(c.create, text, sizeof(text)), c.code) << c.root;
        EXPECT_EQ(std::string(text), c.code == ERROR_SUCCESS ? "" : "the platform root " + c.root + c.text)
            << c.root;
        struct stat st;
        EXPECT_EQ(stat(c.root.c_str(), &st) == 0, c.existsAfter) << c.root;
    }
    // A text cut to its room stays terminated.
    setenv("VANTRY_PLATFORM_ROOT", (base + "/file").c_str(), 1);
    char small[12];
    EXPECT_NE(CheckPlatformRootV(FALSE, small, sizeof(small)), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(std::string(small), "the platfor");
    setenv("VANTRY_PLATFORM_ROOT", base.c_str(), 1);
    ASSERT_EQ(std::system(("chmod 755 '" + base + "/ro'").c_str()), 0);
}
#endif

} // namespace

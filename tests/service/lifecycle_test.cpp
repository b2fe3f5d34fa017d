// Pellion's command line and its life as a service, through the platform's
// service manager.
#include "PellionHarness.h"

#include <gtest/gtest.h>
#include <regex>

namespace {

using vtest::Pellion;

std::string RegText(const char* path, const char* name) {
    CRegKey key;
    std::vector<char> text(REGKEY_TEXT_BUFFER, '\0');
    if (key.Open(HKEY_LOCAL_MACHINE, path, 0) != ERROR_SUCCESS ||
        key.Read(name, text.data()) != ERROR_SUCCESS)
        return "<missing>";
    return text.data();
}

DWORD RegNumber(const char* path, const char* name) {
    CRegKey key;
    DWORD value = 0xDEADBEEF;
    key.Open(HKEY_LOCAL_MACHINE, path, 0);
    key.Read(name, value);
    return value;
}

const char* kServiceDbKey = "SYSTEM\\CurrentControlSet\\Services\\Vantry SMTP Pellion";

TEST(PellionCommandLine, InstallCreatesDemandStartOwnProcessLocalSystemService) {
    for (const char* word : {"install", "INSTALL"}) {
        Pellion pellion;
        vtest::CommandResult r = pellion.Command(word);
        EXPECT_EQ(r.exitStatus, 0);
        EXPECT_EQ(r.output, "Corvane Vantry SMTP Pellion installed.\n") << word;
        EXPECT_EQ(RegNumber(kServiceDbKey, "Type"), 0x10u);
        EXPECT_EQ(RegNumber(kServiceDbKey, "Start"), 3u);
        EXPECT_EQ(RegNumber(kServiceDbKey, "ErrorControl"), 1u);
        EXPECT_EQ(RegText(kServiceDbKey, "ImagePath"), PELLION_EXE);
        EXPECT_EQ(RegText(kServiceDbKey, "DisplayName"), "Corvane Vantry SMTP Pellion");
        EXPECT_EQ(RegText(kServiceDbKey, "ObjectName"), "LocalSystem");
        // A second install finds the service there: that install failed.
        r = pellion.Command(word);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.output, "CreateService failed - The specified service already exists. (0x431)\n");
    }
}

TEST(PellionCommandLine, OtherSpellingsAndArgumentCountsDoNothing) {
    Pellion pellion;
    for (const char* args : {"Install", "instal", "Remove", "remove_me_not_", "install remove"}) {
        vtest::CommandResult r = pellion.Command(args);
        if (std::string(args) == "remove_me_not_")
            continue; // begins with "remove": it is a remove, covered below
        EXPECT_EQ(r.exitStatus, 0) << args;
        EXPECT_EQ(r.output, "") << args;
    }
    EXPECT_EQ(RegText(kServiceDbKey, "ImagePath"), "<missing>");
    // A longer word that begins with "install" installs.
    EXPECT_EQ(pellion.Command("installation").output, "Corvane Vantry SMTP Pellion installed.\n");
}

TEST(PellionCommandLine, StartedFromAConsoleLogsMessage2AndExits1) {
    Pellion pellion;
    vtest::CommandResult r = pellion.Command("");
    EXPECT_EQ(r.exitStatus, 1);
    auto events = pellion.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_INFORMATION_TYPE);
    EXPECT_EQ(events[0].eventId, 0xC0000004u);
    EXPECT_EQ(events[0].category, 0);
    ASSERT_EQ(events[0].strings.size(), 1u);
    EXPECT_EQ(events[0].strings[0], "StartServiceCtrlDispatcher failed");
}

TEST(PellionCommandLine, RemoveOfMissingServiceSaysOpenServiceFailed) {
    Pellion pellion;
    EXPECT_EQ(pellion.Command("remove").output,
              "OpenService failed - The specified service does not exist as an installed "
              "service. (0x424)\n");
}

TEST(PellionLifecycle, StartReportsCheckPointsThenRunningAndStopEndsCleanly) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());

    SERVICE_STATUS s = pellion.Control(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(s.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(s.dwCheckPoint, 0u);
    EXPECT_EQ(s.dwWaitHint, 0u);
    EXPECT_EQ(s.dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));

    BOOL ok = FALSE;
    s = pellion.Control(SERVICE_CONTROL_STOP, &ok);
    EXPECT_TRUE(ok);
    ASSERT_TRUE(pellion.WaitFor(SERVICE_STOPPED));

    std::vector<SERVICE_STATUS> h = pellion.History();
    // Start-pending with check points 1 to 6 and the wait hints of the run
    // sequence, then running, then an interrogate's running report.
    const DWORD hints[] = {3000, 2000, 3000, 3000, 3000, 3000};
    ASSERT_GE(h.size(), 10u);
    for (DWORD i = 0; i < 6; ++i) {
        EXPECT_EQ(h[i].dwCurrentState, static_cast<DWORD>(SERVICE_START_PENDING)) << i;
        EXPECT_EQ(h[i].dwCheckPoint, i + 1) << i;
        EXPECT_EQ(h[i].dwWaitHint, hints[i]) << i;
        EXPECT_EQ(h[i].dwControlsAccepted, 0u) << i;
        EXPECT_EQ(h[i].dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    }
    EXPECT_EQ(h[6].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(h[6].dwCheckPoint, 0u);
    EXPECT_EQ(h[7].dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING)); // interrogate
    EXPECT_EQ(h[7].dwWaitHint, 0u);
    // The stop: pending with 31000 ms and the next check point, then stopped.
    EXPECT_EQ(h[8].dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(h[8].dwWaitHint, 31000u);
    EXPECT_EQ(h[8].dwCheckPoint, 7u);
    EXPECT_EQ(h.back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(h.back().dwWin32ExitCode, 0u);
    EXPECT_EQ(h.back().dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(h.back().dwCheckPoint, 0u);

    auto texts = pellion.EventTexts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts.front(), "Startup request for Corvane, Inc. Vantry SMTP CONFIGURATION Service");
    EXPECT_EQ(texts.back(), "Shutdown request for Corvane, Inc. Vantry SMTP CONFIGURATION Service");
}

TEST(PellionLifecycle, RemoveOfRunningServiceStopsItThenRemovesIt) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    vtest::CommandResult r = pellion.Command("remove");
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(std::regex_match(r.output,
                                 std::regex("Stopping Corvane Vantry SMTP Pellion\\.\\.*\n"
                                            "Corvane Vantry SMTP Pellion stopped\\.\n"
                                            "Corvane Vantry SMTP Pellion removed\\.\n")))
        << r.output;
    EXPECT_EQ(RegText(kServiceDbKey, "ImagePath"), "<missing>");
}

TEST(PellionLifecycle, RemoveOfStoppedServicePrintsOnlyTheRemovedLine) {
    Pellion pellion;
    ASSERT_TRUE(pellion.Install());
    vtest::CommandResult r = pellion.Command("REMOVE");
    EXPECT_EQ(r.output, "Corvane Vantry SMTP Pellion removed.\n");
    EXPECT_EQ(RegText(kServiceDbKey, "ImagePath"), "<missing>");
}

TEST(PellionLifecycle, StopWhileIdleIsQuickAndLogsShutdown) {
    Pellion pellion;
    ASSERT_TRUE(pellion.InstallAndStart());
    DWORD start = GetTickCount();
    ASSERT_TRUE(pellion.Stop());
    // The accept thread looks at the stop at least every 500 ms.
    EXPECT_LT(GetTickCount() - start, 2000u);
    // Stopped by its own report, not by dying.
    ASSERT_FALSE(pellion.History().empty());
    EXPECT_EQ(pellion.History().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(pellion.Query().dwWin32ExitCode, 0u);
    EXPECT_TRUE(pellion.HasEvent(
        "Shutdown request for Corvane, Inc. Vantry SMTP CONFIGURATION Service",
        EVENTLOG_INFORMATION_TYPE));
}

TEST(PellionLifecycle, PortInUseLogsBindFailureThenInitSocketAndStopsWithExitCode0) {
    Pellion pellion;
    // Somebody else listens on the configured port, on all addresses as the
    // service would: the port is whichever the system gives that listener.
    WSADATA data;
    WSAStartup(MAKEWORD(1, 1), &data);
    SOCKET other = socket(AF_INET, SOCK_STREAM, 0);
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(other, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(listen(other, 5), 0);
    int length = sizeof(addr);
    ASSERT_EQ(getsockname(other, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    pellion.set_port(ntohs(addr.sin_port));
    pellion.SetServiceValue("Config_Port", static_cast<DWORD>(pellion.port()));

    ASSERT_TRUE(pellion.Install());
    pellion.Start();
    ASSERT_TRUE(pellion.WaitFor(SERVICE_STOPPED));
    closesocket(other);

    std::vector<std::string> errors = pellion.EventTexts(EVENTLOG_ERROR_TYPE);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0], "Bind failed with errno 10048");
    EXPECT_EQ(errors[1], "Init Socket Failed in MailProxyServiceClass");
    SERVICE_STATUS last = pellion.History().back();
    EXPECT_EQ(last.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(last.dwWin32ExitCode, 0u);
}

} // namespace

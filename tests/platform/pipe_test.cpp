// Named pipes and files through the Win32 file calls: what a client of a pipe
// sees when the pipe is absent, busy, listening or closed, and what its server
// sees. Stated through the Win32 API only, so that the same checks hold
// against Windows' own named pipes.
#include "platform/win32.h"
#include "support/TempRoot.h"
#include "support/Wine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

// A name of its own for every pipe, so that tests never meet (Windows keeps
// one pipe namespace for the whole machine).
std::string PipeName(const char* what) {
    static int counter = 0;
    char name[160];
    snprintf(name, sizeof(name), "\\\\.\\pipe\\VantryTest-%lu-%d-%s",
             static_cast<unsigned long>(GetCurrentProcessId()), ++counter, what);
    return name;
}

HANDLE Serve(const std::string& name, DWORD maxInstances = 1, DWORD openMode = PIPE_ACCESS_DUPLEX) {
    return CreateNamedPipeA(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                            maxInstances, 4096, 4096, 0, nullptr);
}

HANDLE Open(const std::string& name) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool WriteAll(HANDLE h, const std::string& bytes) {
    DWORD written = 0;
    BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
}

// Reads until count bytes came or a read failed; the error of the failing
// read in *error (0 when none failed).
std::string ReadBytes(HANDLE h, size_t count, DWORD* error = nullptr) {
    std::string got;
    if (error != nullptr)
        *error = 0;
    while (got.size() < count) {
        char buf[4096];
        DWORD want =
            static_cast<DWORD>(count - got.size() < sizeof(buf) ? count - got.size() : sizeof(buf));
        DWORD n = 0;
        if (!ReadFile(h, buf, want, &n, nullptr)) {
            if (error != nullptr)
                *error = GetLastError();
            break;
        }
        got.append(buf, n);
    }
    return got;
}

// Reads until a read fails; its error in *error.
std::string ReadToEnd(HANDLE h, DWORD* error) {
    return ReadBytes(h, static_cast<size_t>(-1) / 2, error);
}

struct ConnectCall {
    HANDLE pipe;
    BOOL result;
    DWORD error;
};

DWORD WINAPI ConnectThread(LPVOID parameter) {
    ConnectCall* call = static_cast<ConnectCall*>(parameter);
    call->result = ConnectNamedPipe(call->pipe, nullptr);
    call->error = GetLastError();
    return 0;
}

// Opens the pipe, trying for up to 5 s while it is busy.
HANDLE OpenWhenListening(const std::string& name, DWORD* lastError) {
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE h = Open(name);
        *lastError = GetLastError();
        if (h != INVALID_HANDLE_VALUE || *lastError != ERROR_PIPE_BUSY ||
            GetTickCount() - start > 5000)
            return h;
        Sleep(10);
    }
}

class Pipes : public ::testing::Test {
protected:
    vtest::TempRoot root_;
};

TEST_F(Pipes, AnAbsentPipeIsNotFound) {
    HANDLE h = Open(PipeName("absent"));
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Pipes, AClientBeforeConnectNamedPipeIsConnectedAndItsBytesArriveExactly) {
    std::string name = PipeName("early");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_FALSE(ConnectNamedPipe(server, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_CONNECTED));

    const std::string command("REJECT_INCOMING_MAIL x\r\0", 24);
    EXPECT_TRUE(WriteAll(client, command));
    EXPECT_EQ(ReadBytes(server, command.size()), command);
    CloseHandle(client);
    DWORD error = 0;
    EXPECT_EQ(ReadToEnd(server, &error), "");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseHandle(server);
}

TEST_F(Pipes, AClientThatLeftBeforeConnectNamedPipeLeavesWhatItWrote) {
    std::string name = PipeName("left");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(client, std::string("SET_PREFERENCES\0", 16)));
    CloseHandle(client);
    EXPECT_FALSE(ConnectNamedPipe(server, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DATA));
    DWORD error = 0;
    EXPECT_EQ(ReadToEnd(server, &error), std::string("SET_PREFERENCES\0", 16));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseHandle(server);
}

TEST_F(Pipes, TheOnlyInstanceWithAClientIsBusyForTheNext) {
    std::string name = PipeName("busy");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE first = Open(name);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    HANDLE second = Open(name);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    CloseHandle(first);
    CloseHandle(server);
}

TEST_F(Pipes, ADisconnectedInstanceIsBusyUntilConnectNamedPipeListensAgain) {
    std::string name = PipeName("relisten");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE first = Open(name);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(DisconnectNamedPipe(server));
    CloseHandle(first);

    HANDLE meanwhile = Open(name);
    EXPECT_EQ(meanwhile, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

    ConnectCall call = {server, FALSE, 0};
    HANDLE thread = CreateThread(nullptr, 0, ConnectThread, &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    DWORD error = 0;
    HANDLE next = OpenWhenListening(name, &error);
    ASSERT_NE(next, INVALID_HANDLE_VALUE) << error;
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    EXPECT_TRUE(call.result) << call.error;
    CloseHandle(thread);

    EXPECT_TRUE(WriteAll(next, std::string("RESET_STATISTICS\0", 17)));
    EXPECT_EQ(ReadBytes(server, 17), std::string("RESET_STATISTICS\0", 17));
    CloseHandle(next);
    CloseHandle(server);
}

TEST_F(Pipes, EachInstanceTakesOneClient) {
    std::string name = PipeName("two");
    HANDLE a = Serve(name, 2);
    HANDLE b = Serve(name, 2);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    HANDLE c1 = Open(name);
    HANDLE c2 = Open(name);
    EXPECT_NE(c1, INVALID_HANDLE_VALUE);
    EXPECT_NE(c2, INVALID_HANDLE_VALUE);
    HANDLE c3 = Open(name);
    EXPECT_EQ(c3, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    // Each server end talks to its own client.
    EXPECT_TRUE(WriteAll(c1, "one"));
    EXPECT_TRUE(WriteAll(c2, "two"));
    std::string fromA = ReadBytes(a, 3), fromB = ReadBytes(b, 3);
    EXPECT_TRUE((fromA == "one" && fromB == "two") || (fromA == "two" && fromB == "one"))
        << fromA << " " << fromB;
    CloseHandle(c1);
    CloseHandle(c2);
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Pipes, InstancesBeyondTheMaximumAndASecondFirstInstanceAreRefused) {
    std::string name = PipeName("max");
    HANDLE a = Serve(name, 1);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    HANDLE b = Serve(name, 1);
    EXPECT_EQ(b, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    HANDLE c =
        Serve(name, PIPE_UNLIMITED_INSTANCES, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE);
    EXPECT_EQ(c, INVALID_HANDLE_VALUE);
    if (vtest::UnderWine()) { // Wine looks at the full instance count first
        EXPECT_TRUE(GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_PIPE_BUSY);
    } else {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    CloseHandle(a);
    // The name is free again.
    HANDLE d = Serve(name, 1, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE);
    EXPECT_NE(d, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(d);
}

TEST_F(Pipes, APipeWhoseLastInstanceClosedIsNotFound) {
    std::string name = PipeName("closed");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    CloseHandle(server);
    HANDLE h = Open(name);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(Pipes, PipeNamesIgnoreLetterCase) {
    std::string name = PipeName("CaseName");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::string other = name;
    for (char& c : other)
        c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    HANDLE client = Open(other);
    EXPECT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(client);
    CloseHandle(server);
}

struct ReplyCall {
    HANDLE pipe;
    std::string reply;
    BOOL flushed;
};

DWORD WINAPI ReplyThread(LPVOID parameter) {
    ReplyCall* call = static_cast<ReplyCall*>(parameter);
    WriteAll(call->pipe, call->reply);
    call->flushed = FlushFileBuffers(call->pipe);
    DisconnectNamedPipe(call->pipe);
    return 0;
}

TEST_F(Pipes, AReplyIsReadWholeUntilTheServerDisconnects) {
    std::string name = PipeName("reply");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(client, std::string("GET_STATISTICS\r\n\0", 17)));
    EXPECT_EQ(ReadBytes(server, 17), std::string("GET_STATISTICS\r\n\0", 17));

    // Flushing waits for the client to read, so the reply goes from a thread.
    ReplyCall call = {server, "SMTP_NUMBER_SCAN='3'\r\n", FALSE};
    HANDLE thread = CreateThread(nullptr, 0, ReplyThread, &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    std::string got;
    DWORD error = 0;
    // One byte a call, as the statistics reader reads.
    for (;;) {
        char byte;
        DWORD n = 0;
        if (!ReadFile(client, &byte, 1, &n, nullptr)) {
            error = GetLastError();
            break;
        }
        got.append(&byte, n);
    }
    EXPECT_EQ(WaitForSingleObject(thread, 5000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_TRUE(call.flushed);
    EXPECT_EQ(got, call.reply);
    // Windows says "not connected" after a disconnect, the emulation "broken".
    EXPECT_TRUE(error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_BROKEN_PIPE) << error;
    CloseHandle(client);
    CloseHandle(server);
}

TEST_F(Pipes, WritingToAPipeWhoseServerClosedFails) {
    std::string name = PipeName("gone");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    CloseHandle(server);
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(client, "x", 1, &written, nullptr));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED) << error;
    EXPECT_EQ(written, 0u);
    CloseHandle(client);
}

struct BulkRead {
    HANDLE pipe;
    size_t count;
    std::string got;
};

DWORD WINAPI BulkReadThread(LPVOID parameter) {
    BulkRead* call = static_cast<BulkRead*>(parameter);
    call->got = ReadBytes(call->pipe, call->count);
    return 0;
}

TEST_F(Pipes, OneWriteLargerThanTheBuffersArrivesWholeAndInOrder) {
    std::string name = PipeName("bulk");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    BulkRead call = {server, data.size(), std::string()};
    HANDLE thread = CreateThread(nullptr, 0, BulkReadThread, &call, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_TRUE(WriteAll(client, data));
    EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_TRUE(call.got == data);
    CloseHandle(client);
    CloseHandle(server);
}

TEST_F(Pipes, PeekShowsWhatHasArrivedWithoutTakingIt) {
    std::string name = PipeName("peek");
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD avail = 99;
    EXPECT_TRUE(PeekNamedPipe(server, nullptr, 0, nullptr, &avail, nullptr));
    EXPECT_EQ(avail, 0u);
    EXPECT_TRUE(WriteAll(client, "hello"));
    char buf[8] = {0};
    DWORD copied = 0;
    DWORD start = GetTickCount();
    do {
        EXPECT_TRUE(PeekNamedPipe(server, buf, 3, &copied, &avail, nullptr));
    } while (avail < 5 && GetTickCount() - start < 5000);
    EXPECT_EQ(avail, 5u);
    EXPECT_EQ(copied, 3u);
    EXPECT_EQ(std::string(buf, 3), "hel");
    EXPECT_EQ(ReadBytes(server, 5), "hello");
    CloseHandle(client);
    DWORD left = 0;
    start = GetTickCount();
    BOOL ok;
    while ((ok = PeekNamedPipe(server, nullptr, 0, nullptr, &left, nullptr)) &&
           GetTickCount() - start < 5000)
        Sleep(10);
    EXPECT_FALSE(ok);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
    CloseHandle(server);
}

TEST_F(Pipes, WaitNamedPipeTellsAbsentBusyAndListening) {
    std::string name = PipeName("wait");
    EXPECT_FALSE(WaitNamedPipeA(name.c_str(), 100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    HANDLE server = Serve(name);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WaitNamedPipeA(name.c_str(), 100));
    HANDLE client = Open(name);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD start = GetTickCount();
    EXPECT_FALSE(WaitNamedPipeA(name.c_str(), 200));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(GetTickCount() - start, 150u);
    CloseHandle(client);
    CloseHandle(server);
}

#ifndef _WIN32
// A server process that dies leaves no pipe behind: its socket file is stale.
TEST_F(Pipes, APipeOfAProcessThatDiedIsNotFound) {
    std::string name = PipeName("died");
    pid_t child = fork();
    if (child == 0) {
        HANDLE server = Serve(name);
        _exit(server == INVALID_HANDLE_VALUE ? 1 : 0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    HANDLE h = Open(name);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // And the name can be served again.
    HANDLE server = Serve(name, 1, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE);
    EXPECT_NE(server, INVALID_HANDLE_VALUE);
    CloseHandle(server);
}
#endif

class Files : public ::testing::Test {
protected:
    vtest::TempRoot root_;
};

TEST_F(Files, CreateWriteAppendAndReadBack) {
    ASSERT_TRUE(CreateDirectoryA("C:\\VantryFileTest", nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA("C:\\VantryFileTest", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    const char* path = "C:\\VantryFileTest\\record.bin";
    DeleteFileA(path);
    HANDLE h =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(WriteAll(h, std::string("a\0b", 3)));
    CloseHandle(h);
    h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(WriteAll(h, "cd"));
    CloseHandle(h);
    h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[16];
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof(buf), &n, nullptr));
    EXPECT_EQ(std::string(buf, n), std::string("a\0bcd", 5));
    EXPECT_TRUE(ReadFile(h, buf, sizeof(buf), &n, nullptr));
    EXPECT_EQ(n, 0u); // the end of a file is a successful read of nothing
    CloseHandle(h);
    DeleteFileA(path);
}

TEST_F(Files, MissingFileAndMissingFolderAreTold) {
    HANDLE h = CreateFileA("C:\\VantryNoSuchFolder\\x.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    ASSERT_TRUE(CreateDirectoryA("C:\\VantryFileTest2", nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
    h = CreateFileA("C:\\VantryFileTest2\\none.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                    nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

} // namespace

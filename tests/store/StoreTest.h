// What the store's unit tests share: a platform root, a connection whose
// other end the test reads, mail folders made on disk, and the events logged.
#ifndef VANTRY_TESTS_STORE_STORETEST_H
#define VANTRY_TESTS_STORE_STORETEST_H

#include "platform/posix/eventlog_reader.h"
#include "platform/win32.h"
#include "service/ClientConnection.h"
#include "service/Settings.h"
#include "support/TempRoot.h"

#include <fstream>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace vtest {

// A connection over a socket pair. The test's end is read by a thread from
// the start, so that a long reply never waits for the test.
class Wire {
public:
    Wire() {
        int fds[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0) {
            connection_.reset(new ClientConnection(static_cast<SOCKET>(fds[0])));
            peer_ = fds[1];
            reader_ = std::thread([this] {
                char buf[65536];
                ssize_t n;
                while ((n = ::read(peer_, buf, sizeof(buf))) > 0)
                    reply_.append(buf, static_cast<size_t>(n));
            });
        }
    }
    ~Wire() { Reply(); }

    ClientConnection& connection() { return *connection_; }

    // Closes the service's end and gives everything that was written.
    const std::string& Reply() {
        connection_.reset();
        if (reader_.joinable())
            reader_.join();
        if (peer_ >= 0) {
            ::close(peer_);
            peer_ = -1;
        }
        return reply_;
    }

private:
    std::unique_ptr<ClientConnection> connection_;
    int peer_ = -1;
    std::thread reader_;
    std::string reply_;
};

// A handler called as the dispatcher calls it: the request in a buffer of its
// own, the line's length as read (zero bytes included).
inline std::string Call(int (ClientConnection::*handler)(char*, int), const std::string& line,
                        int category) {
    Wire wire;
    std::vector<char> request(line.begin(), line.end());
    request.resize(line.size() + 1 + 512, '\0');
    wire.connection().m_nRequestLength = static_cast<int>(line.size());
    (wire.connection().*handler)(request.data(), category);
    return wire.Reply();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

inline bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

inline std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The insertion strings of Pellion's events of one type (0: all), oldest first.
inline std::vector<std::string> EventTexts(WORD type = 0) {
    std::vector<std::string> texts;
    for (const auto& e : vplat::ReadEventLog("Pellion", type))
        texts.push_back(e.strings.empty() ? std::string() : e.strings[0]);
    return texts;
}

// A platform root with the six mail folders under the default install path,
// and the service settings pointing at them.
class MailRoot {
public:
    MailRoot() {
        SetDefaultSettings();
        for (const char* folder : {"Quarantine", "Log", "Blocked", "Filter", "Deferred"})
            MakeAll(Folder(folder));
    }

    // The POSIX path of a folder under the install path (with its slash).
    std::string Folder(const std::string& name) const {
        return root_.path() + "/drive_c/Program Files/Corvane/Ostel/Vantry SMTP/" + name + "/";
    }
    const std::string& root() const { return root_.path(); }

private:
    static void MakeAll(const std::string& path) {
        for (size_t i = 1; i <= path.size(); ++i)
            if (i == path.size() || path[i] == '/')
                ::mkdir(path.substr(0, i).c_str(), 0755);
    }

    TempRoot root_;
};

// A test server of the scanner's pipe: takes one client, reads its command to
// the zero byte, writes the answer (bytes exact) and ends the connection.
class FakeScanner {
public:
    explicit FakeScanner(const std::string& answer) : answer_(answer) {
        pipe_ = CreateNamedPipeA("\\\\.\\pipe\\DrennicConfig", PIPE_ACCESS_DUPLEX,
                                 PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                 nullptr);
        if (pipe_ != INVALID_HANDLE_VALUE)
            thread_ = std::thread([this] {
                ConnectNamedPipe(pipe_, nullptr);
                char byte;
                DWORD n = 0;
                while (ReadFile(pipe_, &byte, 1, &n, nullptr) && n == 1) {
                    received_.push_back(byte);
                    if (byte == '\0')
                        break;
                }
                DWORD written = 0;
                if (!answer_.empty())
                    ::WriteFile(pipe_, answer_.data(), static_cast<DWORD>(answer_.size()), &written,
                                nullptr);
                FlushFileBuffers(pipe_);
                CloseHandle(pipe_);
            });
    }
    ~FakeScanner() { Join(); }
    bool serving() const { return pipe_ != INVALID_HANDLE_VALUE; }
    // The command received, its zero byte included, once the exchange is over.
    const std::string& Join() {
        if (thread_.joinable())
            thread_.join();
        return received_;
    }

private:
    std::string answer_;
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    std::thread thread_;
    std::string received_;
};

} // namespace vtest

#endif

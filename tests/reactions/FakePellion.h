// A small configuration service on a loopback port for the tests of Marrish
// and of the plug-in that need no real Pellion: it records every request as
// received (the request line and, for set_config, the setting lines up to the
// end line), answers control words with a chosen reply, answers get_config
// from three settings it holds, and applies a set_config to them.
#ifndef VANTRY_TESTS_REACTIONS_FAKEPELLION_H
#define VANTRY_TESTS_REACTIONS_FAKEPELLION_H

#include "platform/win32.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace vtest {

class FakePellion {
public:
    FakePellion() {
        WSADATA data;
        WSAStartup(MAKEWORD(1, 1), &data);
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        SOCKADDR_IN address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = 0;
        bind(listener_, reinterpret_cast<SOCKADDR*>(&address), sizeof(address));
        listen(listener_, 8);
        int length = sizeof(address);
        getsockname(listener_, reinterpret_cast<SOCKADDR*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = CreateThread(nullptr, 0, &FakePellion::Serve, this, 0, nullptr);
    }

    ~FakePellion() {
        stop_ = true;
        WaitForSingleObject(thread_, 10000);
        CloseHandle(thread_);
        closesocket(listener_);
        WSACleanup();
    }

    unsigned short port() const { return port_; }

    // The reply to every control word (and to set_config when it is not the
    // default "CODE 0\r\n"), and the first line of a get_config reply.
    void set_command_reply(const std::string& reply) {
        Locked([&] { commandReply_ = reply; });
    }
    void set_config_status(const std::string& status) {
        Locked([&] { configStatus_ = status; });
    }
    void set_save_reply(const std::string& reply) {
        Locked([&] { saveReply_ = reply; });
    }
    // Leaves the named setting out of the get_config reply.
    void omit_setting(const std::string& key) {
        Locked([&] { omitted_ = key; });
    }

    // The three settings, as the registry would hold them.
    void set_settings(long compressed, long macro, long program) {
        Locked([&] {
            compressed_ = compressed;
            macro_ = macro;
            program_ = program;
        });
    }
    long compressed() { return Get(compressed_); }
    long macro() { return Get(macro_); }
    long program() { return Get(program_); }

    // Every request received, oldest first, exactly as it came.
    std::vector<std::string> requests() {
        std::vector<std::string> copy;
        Locked([&] { copy = requests_; });
        return copy;
    }

private:
    template <typename F> void Locked(F f) {
        while (lock_.test_and_set(std::memory_order_acquire)) {
        }
        f();
        lock_.clear(std::memory_order_release);
    }
    long Get(long& field) {
        long value = 0;
        Locked([&] { value = field; });
        return value;
    }

    static DWORD WINAPI Serve(LPVOID self) {
        static_cast<FakePellion*>(self)->Loop();
        return 0;
    }

    void Loop() {
        while (!stop_) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(listener_, &set);
            timeval tv = {0, 50000};
            if (select(0, &set, nullptr, nullptr, &tv) <= 0)
                continue;
            SOCKET client = accept(listener_, nullptr, nullptr);
            if (client == INVALID_SOCKET)
                continue;
            Handle(client);
            closesocket(client);
        }
    }

    // One line, its line feed included; empty when the client closed.
    static std::string ReadLine(SOCKET s) {
        std::string line;
        char c;
        while (recv(s, &c, 1, 0) == 1) {
            line += c;
            if (c == '\n')
                break;
        }
        return line;
    }

    static void SendAll(SOCKET s, const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            int n = send(s, text.data() + done, static_cast<int>(text.size() - done), 0);
            if (n <= 0)
                return;
            done += static_cast<size_t>(n);
        }
    }

    static bool ApplyLine(const std::string& line, const char* key, long& field) {
        std::string prefix = std::string(key) + "='";
        if (line.compare(0, prefix.size(), prefix) != 0)
            return false;
        field = strtol(line.c_str() + prefix.size(), nullptr, 10);
        return true;
    }

    void Handle(SOCKET s) {
        std::string request = ReadLine(s);
        std::string all = request;
        std::string reply;
        if (request.compare(0, 10, "get_config") == 0) {
            Locked([&] {
                char line[128];
                reply = configStatus_;
                reply += "SMTP_READ_PORT='25'\nSMTP_SEND_PORT='25'\n";
                if (omitted_ != "SMTP_SCAN_COMPRESSED_FLAG") {
                    snprintf(line, sizeof(line), "SMTP_SCAN_COMPRESSED_FLAG='%ld'\n", compressed_);
                    reply += line;
                }
                // A long text line, and the reply's one empty line.
                reply += "SMTP_BLOCK_LIST='" + std::string(5000, 'x') + "'\n";
                reply += "\nSMTP_SCAN_ATTACHMENTS_AVAILABLE='*.*'\n";
                if (omitted_ != "SMTP_SCAN_MACROHEURISTICS") {
                    snprintf(line, sizeof(line), "SMTP_SCAN_MACROHEURISTICS='%ld'\n", macro_);
                    reply += line;
                }
                if (omitted_ != "SMTP_SCAN_PROGRAMHEURISTICS") {
                    snprintf(line, sizeof(line), "SMTP_SCAN_PROGRAMHEURISTICS='%ld'\n", program_);
                    reply += line;
                }
            });
        } else if (request.compare(0, 10, "set_config") == 0) {
            long compressed = 0, macro = 0, program = 0;
            Locked([&] {
                compressed = compressed_;
                macro = macro_;
                program = program_;
            });
            for (;;) {
                std::string line = ReadLine(s);
                all += line;
                if (line.size() < 5) // fewer than 4 characters before the line feed
                    break;
                if (!ApplyLine(line, "SMTP_SCAN_COMPRESSED_FLAG", compressed) &&
                    !ApplyLine(line, "SMTP_SCAN_MACROHEURISTICS", macro) &&
                    !ApplyLine(line, "SMTP_SCAN_PROGRAMHEURISTICS", program)) {
                    reply = "CODE 2 MESSAGE not recognized\r\n";
                    break;
                }
            }
            Locked([&] {
                if (reply.empty())
                    reply = saveReply_;
                if (reply == "CODE 0\r\n") {
                    compressed_ = compressed;
                    macro_ = macro;
                    program_ = program;
                }
            });
        } else {
            Locked([&] { reply = commandReply_; });
        }
        Locked([&] { requests_.push_back(all); });
        SendAll(s, reply);
    }

    SOCKET listener_;
    unsigned short port_ = 0;
    HANDLE thread_ = nullptr;
    std::atomic<bool> stop_{false};
    std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
    std::string commandReply_ = "CODE 0\r\n";
    std::string configStatus_ = "CODE 1\r\n";
    std::string saveReply_ = "CODE 0\r\n";
    std::string omitted_;
    long compressed_ = 0, macro_ = 0, program_ = 0;
    std::vector<std::string> requests_;
};

} // namespace vtest

#endif

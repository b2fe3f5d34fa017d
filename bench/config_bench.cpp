// One complete set_config (every value at its largest, 256 rules, both spam
// lists full) measured from the end line to "CODE 0" (the dispatcher's pause
// is not part of it: the handler is driven directly over a loopback pair),
// against a get_config of the same configuration in the same run, from the
// call to the reply's last byte. Goal: the save under 100 ms and within 5x
// the get_config. Counters: save_ms, get_ms, ratio.
#include "config/ScannerSettings.h"
#include "config/ConnectionPair.h"
#include "service/ClientConnection.h"
#include "support/TempRoot.h"

#include "support/TestThread.h"
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

namespace {

std::string Text(const char* key, int length, char fill) {
    return std::string(key) + "='" + std::string(static_cast<size_t>(length), fill) + "'\r\n";
}

// Every setting at its largest: the longest texts, the widest numbers, 2000
// address pairs, 300 domains of 200 characters, 256 rules with 63-character
// texts.
std::string LargestConfiguration() {
    std::string lines;
    lines += Text("SMTP_DEFAULT_DOMAIN", DEFAULT_DOMAIN_MAX, 'd');
    lines += Text("SMTP_DNS_IP", DNS_IP_MAX, 'i');
    lines += Text("SMTP_SCAN_ATTACHMENTS", SCAN_ATTACHMENTS_MAX, 'a');
    lines += Text("SMTP_MAIL_EXCLUDE_RECIPIENT", EXCLUDE_LIST_MAX, 'r');
    lines += Text("SMTP_MAIL_EXCLUDE_SENDER", EXCLUDE_LIST_MAX, 's');
    lines += Text("SMTP_ALERT_TEXT", ALERT_TEXT_MAX, 't');
    lines += Text("SMTP_VANTRY_ADMIN", VANTRY_ADMIN_MAX, 'v');
    lines += Text("SMTP_BLOCK_LIST", BLOCK_LIST_MAX, 'b');
    lines += Text("SMTP_CONTENT_FILTER_TEXT", CONTENT_FILTER_TEXT_MAX, 'c');
    lines += Text("SMTP_DOMAIN_RELAY_TEXT", DOMAIN_RELAY_TEXT_MAX, 'e');
    lines += Text("SMTP_DIRECT_SEND_INTERNAL_DOMAIN", DIRECT_SEND_DOMAIN_MAX, 'n');
    lines += Text("Quarantine_Path", QUARANTINE_PATH_MAX, 'q');
    lines += Text("FILTER_ALERT_TEXT", FILTER_ALERT_TEXT_MAX, 'f');
    const char* const numbers[] = {"SMTP_DNS_ENABLE",         "SMTP_ACTION",
                                   "SMTP_SCAN_ERROR_ACTION",  "SMTP_MAXIMUM_ATTACHMENTS",
                                   "SMTP_SCANNER_TIMEOUT",    "Read_Max_Mail_Size",
                                   "Retry_Send_Interval",     "READ_Max_Number_Threads",
                                   "WRITE_Max_Number_Threads"};
    for (const char* key : numbers)
        lines += std::string(key) + "='-2147483648'\r\n";
    lines += "SCAN_Max_Number_Threads='512'\r\n"; // its cap
    lines += "SMTP_SEND_PORT='65535'\r\nSMTP_READ_PORT='65535'\r\n";
    lines += "SMTP_SPAM_IP_LIST='";
    for (int i = 0; i < SPAM_IP_LIST_SIZE; ++i)
        lines += (i ? " " : "") + std::string("255.255.255.255 255.255.255.255");
    lines += "'\r\nSMTP_SPAM_EMAIL_DOMAIN_LIST='";
    for (int i = 0; i < SPAM_DOMAIN_LIST_SIZE; ++i)
        lines += (i ? " " : "") + std::string(SPAM_DOMAIN_MAX, static_cast<char>('a' + i % 26));
    lines += "'\r\nNo_of_Filter_Rules='256'\r\n";
    const std::string text(63, 'x');
    for (int i = 0; i < FILTER_RULE_SLOTS; ++i)
        lines += "Filter_Rule_" + std::to_string(i) + "='" + text + "#" + text + "#" + text +
                 "#65535#1#7#1#1#1'\r\n";
    return lines;
}

double Milliseconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// The save: the lines are sent and applied first; the clock runs from the
// end line to the reply.
double TimeSetConfig(const std::string& lines, char* buffer, bool* ok) {
    vtest::ConnectionPair pair;
    int saved = 0;
    vtest::TestThread service([&] { saved = pair.service().ReceiveConfig(buffer, -1); });
    pair.Send(lines);
    // Lines are read a byte at a time: wait until the service has taken
    // every byte, and a little more for the last line to be applied.
    for (;;) {
        u_long pending = 1;
        ioctlsocket(pair.service().m_socket, FIONREAD, &pending);
        if (pending == 0)
            break;
        Sleep(20);
    }
    Sleep(100);
    auto start = std::chrono::steady_clock::now();
    pair.Send("\r\n");
    std::string reply = pair.ReadUntil("\r\n");
    double ms = Milliseconds(start);
    service.join();
    *ok = saved == 1 && reply == "CODE 0\r\n";
    return ms;
}

double TimeGetConfig(char* buffer, size_t* bytes) {
    vtest::ConnectionPair pair;
    auto start = std::chrono::steady_clock::now();
    vtest::TestThread service([&] {
        pair.service().SendConfig(buffer, -1);
        pair.CloseService();
    });
    std::string reply = pair.ReadAll(5000);
    double ms = Milliseconds(start);
    service.join();
    *bytes = reply.size();
    return ms;
}

void SetConfigAgainstGetConfig(benchmark::State& state) {
    vtest::TempRoot root;
    const std::string lines = LargestConfiguration();
    std::unique_ptr<char[]> buffer(new char[REQUEST_BUFFER_SIZE]);
    double saveTotal = 0, getTotal = 0;
    size_t replyBytes = 0;
    for (auto _ : state) {
        bool ok = false;
        double save = TimeSetConfig(lines, buffer.get(), &ok);
        if (!ok) {
            state.SkipWithError("set_config was not answered CODE 0");
            return;
        }
        double get = TimeGetConfig(buffer.get(), &replyBytes);
        state.SetIterationTime(save / 1000.0);
        saveTotal += save;
        getTotal += get;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["save_ms"] = saveTotal / n;
    state.counters["get_ms"] = getTotal / n;
    state.counters["ratio"] = saveTotal / getTotal;
    state.counters["request_bytes"] = static_cast<double>(lines.size());
    state.counters["reply_bytes"] = static_cast<double>(replyBytes);
}

BENCHMARK(SetConfigAgainstGetConfig)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(10);

} // namespace

BENCHMARK_MAIN();

// Listing and measuring a quarantine of 100,000 stored files, as
// get_qfile_list and getsize_qfile do it, against the shell's own tools on the
// same folder in the same run: `ls -f | wc -l` (an unsorted listing, the
// floor for reading the names) and `du -sb` (a stat of every entry, the floor
// for the byte total).
#include "platform/win32.h"
#include "service/ClientConnection.h"
#include "service/Settings.h"
#include "store/MailFolders.h"
#include "support/TempRoot.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kStoredFiles = 100000;

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Processor time, which a machine busy with other work disturbs less than the
// clock: this process's (the handler and the thread that reads its reply), and
// that of the finished children (the shell tools of a pipeline).
double ProcessSeconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double ChildrenSeconds() {
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The folder, made once for the whole run: digit names without an extension,
// a few hundred bytes each, as Drennic stores messages.
class Quarantine {
public:
    static Quarantine& Get() {
        static Quarantine quarantine;
        return quarantine;
    }
    const std::string& folder() const { return folder_; }
    bool ready() const { return ready_; }

private:
    Quarantine() {
        folder_ = root_.path() + "/Quarantine";
        mkdir(folder_.c_str(), 0755);
        std::string content(300, 'm');
        ready_ = true;
        for (int i = 0; i < kStoredFiles && ready_; ++i) {
            std::string name = folder_ + "/" + std::to_string(1000000 + i);
            int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ready_ = fd >= 0 && write(fd, content.data(), content.size() - i % 100) > 0;
            if (fd >= 0)
                close(fd);
        }
        SetDefaultSettings();
        std::string setting = folder_ + "/";
        snprintf(g_Settings.Quarantine_Path, sizeof(g_Settings.Quarantine_Path), "%s",
                 setting.c_str());
    }

    vtest::TempRoot root_;
    std::string folder_;
    bool ready_ = false;
};

// Calls a handler over a socket pair whose other end is drained by a thread;
// the reply's byte count comes back.
size_t Serve(int (ClientConnection::*handler)(char*, int), char* request) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return 0;
    size_t received = 0;
    std::thread reader([&] {
        char buf[65536];
        ssize_t n;
        while ((n = read(fds[1], buf, sizeof(buf))) > 0)
            received += static_cast<size_t>(n);
    });
    {
        ClientConnection connection(static_cast<SOCKET>(fds[0]));
        (connection.*handler)(request, MAIL_QUARANTINE);
    }
    reader.join();
    close(fds[1]);
    return received;
}

// Runs a shell line and gives its output.
std::string Shell(const std::string& line) {
    std::string out;
    FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0)
        out.append(buf, n);
    pclose(pipe);
    return out;
}

void BM_QfileListAgainstLs(benchmark::State& state) {
    Quarantine& q = Quarantine::Get();
    if (!q.ready()) {
        state.SkipWithError("could not make the folder");
        return;
    }
    char request[] = "get_qfile_list";
    double list = 0, peer = 0, listCpu = 0, peerCpu = 0;
    size_t bytes = 0;
    long lsNames = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        double cpu = ProcessSeconds();
        bytes = Serve(&ClientConnection::SendFileList, request);
        listCpu += ProcessSeconds() - cpu;
        double seconds = Seconds(start);
        state.SetIterationTime(seconds);
        list += seconds;
        start = std::chrono::steady_clock::now();
        cpu = ChildrenSeconds();
        lsNames = std::stol("0" + Shell("ls -f '" + q.folder() + "' | wc -l"));
        peerCpu += ChildrenSeconds() - cpu;
        peer += Seconds(start);
    }
    // Every name, its line end, and the two status lines.
    const size_t expected = static_cast<size_t>(kStoredFiles) * (7 + 2) + 8 + 8;
    if (bytes != expected || lsNames != kStoredFiles + 2) {
        state.SkipWithError("the listing is not the folder's");
        return;
    }
    double n = static_cast<double>(state.iterations());
    state.counters["list_ms"] = 1000.0 * list / n;
    state.counters["ls_f_wc_ms"] = 1000.0 * peer / n;
    state.counters["ratio_vs_ls"] = peer > 0 ? list / peer : 0;
    state.counters["list_cpu_ms"] = 1000.0 * listCpu / n;
    state.counters["ls_f_wc_cpu_ms"] = 1000.0 * peerCpu / n;
    state.counters["cpu_ratio_vs_ls"] = peerCpu > 0 ? listCpu / peerCpu : 0;
}

void BM_QfileSizeAgainstDu(benchmark::State& state) {
    Quarantine& q = Quarantine::Get();
    if (!q.ready()) {
        state.SkipWithError("could not make the folder");
        return;
    }
    char request[] = "getsize_qfile";
    double size = 0, peer = 0, sizeCpu = 0, peerCpu = 0;
    size_t bytes = 0;
    std::string du;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        double cpu = ProcessSeconds();
        bytes = Serve(&ClientConnection::SendFolderSize, request);
        sizeCpu += ProcessSeconds() - cpu;
        double seconds = Seconds(start);
        state.SetIterationTime(seconds);
        size += seconds;
        start = std::chrono::steady_clock::now();
        cpu = ChildrenSeconds();
        du = Shell("du -sb '" + q.folder() + "'");
        peerCpu += ChildrenSeconds() - cpu;
        peer += Seconds(start);
    }
    if (bytes == 0 || du.empty()) {
        state.SkipWithError("no reply");
        return;
    }
    double n = static_cast<double>(state.iterations());
    state.counters["getsize_ms"] = 1000.0 * size / n;
    state.counters["du_sb_ms"] = 1000.0 * peer / n;
    state.counters["ratio_vs_du"] = peer > 0 ? size / peer : 0;
    state.counters["getsize_cpu_ms"] = 1000.0 * sizeCpu / n;
    state.counters["du_sb_cpu_ms"] = 1000.0 * peerCpu / n;
    state.counters["cpu_ratio_vs_du"] = peerCpu > 0 ? sizeCpu / peerCpu : 0;
}

BENCHMARK(BM_QfileListAgainstLs)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_QfileSizeAgainstDu)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();

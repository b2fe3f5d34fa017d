// Drennic's scan of real mail against GMime alone. The scanning corpus
// (tests/scan/corpus: 83 messages of the common MIME forms, 34 of the project's
// own and 49 public samples of MIME libraries) is repeated until
// it passes 100 MB; each benchmark goes once through all of it:
//
//   GMimeParse     the floor: GMime parses each message (no part decoded)
//   DrennicLayout  Drennic's message: parsed, laid out, text parts and TNEF
//                  parts decoded (TNEF written to its temporary file), no rule
//   Scan/N         the same and CheckRules with N active rules (1, 16, 256)
//
// The rules are the corpus's own (each message's matching and non-matching
// rule, in turn), none of them blocking, so that every rule is checked
// against every message, as for a message that nothing blocks. The counters:
// messages_per_second; over_gmime, the run's time divided by the floor's;
// kessla_share, the part of the run's time spent beyond DrennicLayout's
// (the rule checks and what they ask of the message). A table with all
// figures is printed at the end. Times are the process's processor time
// (user and system), so that other work on a shared machine does not count.
#include "filter/Kessla.h"
#include "peers/drennic/MimeMessage.h"
#include "peers/drennic/RuleSet.h"
#include "peers/drennic/Scanner.h"
#include "platform/win32.h"
#include "regkey/RegKey.h"
#include "support/TempRoot.h"

#include <gmime/gmime.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

const size_t kCorpusBytes = 100u << 20;

struct Corpus {
    std::vector<std::string> messages; // the whole corpus, once
    std::vector<std::string> rules;    // flags|primary... as cases.txt writes them
    size_t passes = 0;                 // how often the corpus is scanned per run
    size_t bytes = 0;                  // all passes
};

const Corpus& TheCorpus() {
    static Corpus corpus;
    if (!corpus.messages.empty())
        return corpus;
    std::ifstream cases(VANTRY_SCAN_CORPUS "/cases.txt");
    std::string line;
    size_t once = 0;
    while (std::getline(cases, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> f;
        std::istringstream in(line);
        for (std::string field; std::getline(in, field, '\t');)
            f.push_back(field);
        std::ifstream file(VANTRY_SCAN_CORPUS "/" + f[0], std::ios::binary);
        corpus.messages.emplace_back(std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>());
        once += corpus.messages.back().size();
        corpus.rules.push_back(f[1]);
        corpus.rules.push_back(f[2]);
    }
    corpus.passes = once == 0 ? 0 : (kCorpusBytes + once - 1) / once;
    corpus.bytes = once * corpus.passes;
    return corpus;
}

// The first n corpus rules (cycled), active and not blocking, in the scanner
// key of the benchmark's platform root, read as Drennic reads them.
void WriteRules(size_t n) {
    const Corpus& corpus = TheCorpus();
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, DRENNIC_SETTINGS_KEY, 1);
    key.Write("No_of_Filter_Rules", static_cast<DWORD>(n));
    for (size_t i = 0; i < n; ++i) {
        const std::string& ruleText = corpus.rules[i % corpus.rules.size()];
        std::vector<std::string> f;
        std::istringstream in(ruleText);
        for (std::string field; std::getline(in, field, '|');)
            f.push_back(field);
        unsigned flags = static_cast<unsigned>(std::stoul(f[0]));
        CRegKey sub;
        sub.Open(key, ("Filter_Rule_" + std::to_string(i)).c_str(), 1);
        sub.Write("Description", "bench");
        sub.Write("PrimaryPhrase", f[1].c_str());
        sub.Write("SecondaryPhrase", f.size() >= 5 ? f[2].c_str() : "");
        sub.Write("Proximity", static_cast<DWORD>(f.size() >= 5 ? std::stoul(f[3]) : 0));
        sub.Write("And", static_cast<DWORD>(f.size() >= 5 ? std::stoul(f[4]) : 0));
        sub.Write("CheckSubject", static_cast<DWORD>(flags & 1));
        sub.Write("CheckBody", static_cast<DWORD>(flags & 2));
        sub.Write("CheckAttach", static_cast<DWORD>(flags & 4));
        sub.Write("Block", DWORD(0));
        sub.Write("NotifySender", DWORD(0));
        sub.Write("Active", DWORD(1));
    }
}

struct Figures {
    double seconds = 0;
    size_t messages = 0;
};
std::map<std::string, Figures> gFigures;

class Environment {
public:
    Environment() {
        DrennicMimeInit();
        CreateDirectoryA("C:\\", nullptr);
        CreateDirectoryA("C:\\Temp", nullptr);
        // One pass unmeasured, so that the first run does not pay for the
        // allocator's and the file system's first use.
        for (const std::string& bytes : TheCorpus().messages) {
            CDrennicMessage message("C:\\Temp\\");
            message.Parse(bytes.data(), bytes.size(), nullptr);
        }
    }

private:
    vtest::TempRoot root_;
};

Environment& Env() {
    static Environment env;
    return env;
}

// One pass over all messages; work(message bytes) per message.
template <typename Work> void Run(benchmark::State& state, const std::string& label, Work work) {
    Env();
    const Corpus& corpus = TheCorpus();
    for (auto _ : state) {
        timespec begin;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &begin);
        size_t n = 0;
        for (size_t pass = 0; pass < corpus.passes; ++pass)
            for (const std::string& message : corpus.messages) {
                work(message);
                ++n;
            }
        timespec end;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &end);
        double seconds = (end.tv_sec - begin.tv_sec) + (end.tv_nsec - begin.tv_nsec) / 1e9;
        state.SetIterationTime(seconds);
        gFigures[label].seconds = seconds;
        gFigures[label].messages = n;
        state.counters["messages_per_second"] = n / seconds;
        state.counters["MB_per_second"] = corpus.bytes / seconds / (1 << 20);
        auto floor = gFigures.find("GMimeParse");
        auto layout = gFigures.find("DrennicLayout");
        if (floor != gFigures.end() && label != "GMimeParse")
            state.counters["over_gmime"] = seconds / floor->second.seconds;
        if (layout != gFigures.end() && label.compare(0, 4, "Scan") == 0)
            state.counters["kessla_share"] = (seconds - layout->second.seconds) / seconds;
    }
}

void GMimeParse(benchmark::State& state) {
    Run(state, "GMimeParse", [](const std::string& bytes) {
        GMimeStream* stream = g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size());
        GMimeParser* parser = g_mime_parser_new_with_stream(stream);
        GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
        benchmark::DoNotOptimize(message);
        if (message != nullptr)
            g_object_unref(message);
        g_object_unref(parser);
        g_object_unref(stream);
    });
}

void DrennicLayout(benchmark::State& state) {
    Run(state, "DrennicLayout", [](const std::string& bytes) {
        CDrennicMessage message("C:\\Temp\\");
        benchmark::DoNotOptimize(message.Parse(bytes.data(), bytes.size(), nullptr));
    });
}

void Scan(benchmark::State& state) {
    const size_t rules = static_cast<size_t>(state.range(0));
    Env();
    WriteRules(rules);
    DrennicRuleSet set;
    set.Load(nullptr);
    if (set.ActiveCount() != rules) {
        state.SkipWithError("the rules were not read back");
        return;
    }
    size_t matches = 0;
    Run(state, "Scan/" + std::to_string(rules), [&](const std::string& bytes) {
        CDrennicMessage message("C:\\Temp\\");
        if (message.Parse(bytes.data(), bytes.size(), nullptr) == CDrennicMessage::PARSED)
            matches += CheckRules(set, &message, true).matched >= 0 ? 1 : 0;
    });
    state.counters["messages_matched"] = static_cast<double>(matches);
}

BENCHMARK(GMimeParse)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(DrennicLayout)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(Scan)->Arg(1)->Arg(16)->Arg(256)->UseManualTime()->Iterations(1)->Unit(
    benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    const Corpus& corpus = TheCorpus();
    printf("\n%zu messages, %zu passes, %.1f MB a run\n", corpus.messages.size() * corpus.passes,
           corpus.passes, corpus.bytes / 1048576.0);
    printf("%-14s %12s %10s %12s %13s\n", "run", "messages/s", "MB/s", "over GMime", "Kessla share");
    const Figures* floor = gFigures.count("GMimeParse") ? &gFigures["GMimeParse"] : nullptr;
    const Figures* layout = gFigures.count("DrennicLayout") ? &gFigures["DrennicLayout"] : nullptr;
    for (const char* label : {"GMimeParse", "DrennicLayout", "Scan/1", "Scan/16", "Scan/256"}) {
        auto it = gFigures.find(label);
        if (it == gFigures.end())
            continue;
        const Figures& f = it->second;
        printf("%-14s %12.0f %10.1f", label, f.messages / f.seconds,
               corpus.bytes / f.seconds / 1048576.0);
        if (floor != nullptr)
            printf(" %12.2f", f.seconds / floor->seconds);
        if (layout != nullptr && std::string(label).compare(0, 4, "Scan") == 0)
            printf(" %12.0f%%", 100.0 * (f.seconds - layout->seconds) / f.seconds);
        printf("\n");
    }
    benchmark::Shutdown();
    return 0;
}

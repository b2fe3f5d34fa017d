// The body check against grep. The gateway runs the body check over every body
// of every message it receives, so Kessla's content search should be no
// slower than `grep -i -w -F` looking for the same phrase in the same bytes.
// Each iteration times one CheckMessage over a body part of more than 50 MB
// and one grep run over the same bytes written to a temporary file; the
// counter grep_over_kessla is grep's time divided by Kessla's (1 or more:
// Kessla is no slower).
#include "filter/Kessla.h"
#include "filter/TestMessage.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const size_t kBodyBytes = 56u << 20;
const char kPhrase[] = "invoice";

// Mail-like text: common words, some capitalised, punctuation, and lines of
// about seventy characters ended by CR LF, some with quoted-printable soft
// breaks. The phrase's first letter is frequent in it, as in real mail.
std::vector<char> MakeBody(bool phraseNearEnd) {
    static const char* const words[] = {
        "the",     "of",       "and",       "to",      "in",          "is",     "it",
        "you",     "that",     "he",        "was",     "for",         "on",     "are",
        "with",    "as",       "his",       "they",    "be",          "at",     "one",
        "have",    "this",     "from",      "or",      "had",         "by",     "hot",
        "word",    "but",      "what",      "some",    "we",          "can",    "out",
        "other",   "were",     "all",       "there",   "when",        "up",     "use",
        "your",    "how",      "said",      "an",      "each",        "she",    "which",
        "do",      "their",    "time",      "if",      "will",        "way",    "about",
        "many",    "then",     "them",      "write",   "would",       "like",   "so",
        "these",   "her",      "long",      "make",    "thing",       "see",    "him",
        "two",     "has",      "look",      "more",    "day",         "could",  "go",
        "come",    "did",      "number",    "sound",   "no",          "most",   "people",
        "my",      "over",     "know",      "water",   "than",        "call",   "first",
        "who",     "may",      "down",      "side",    "been",        "now",    "find",
        "voice",   "invited",  "invoke",    "inverse", "office",      "price",  "order",
        "payment", "account",  "shipping",  "meeting", "information", "in",     "involved",
        "ink",     "investor", "inventory", "service", "notice",      "choice", "device",
        "Monday",  "Friday",   "Invoices",  "regards", "thanks",      "please", "attached",
        "report",  "1024",     "2026",      "EUR",     "USD",         "i.e.",   "e-mail"};
    const size_t count = sizeof(words) / sizeof(words[0]);
    std::mt19937 rng(42);
    std::uniform_int_distribution<size_t> pick(0, count - 1);
    std::uniform_int_distribution<int> roll(0, 99);
    std::string text;
    text.reserve(kBodyBytes + 256);
    size_t lineStart = 0;
    while (text.size() < kBodyBytes) {
        std::string w = words[pick(rng)];
        if (roll(rng) < 8)
            w[0] = static_cast<char>(toupper(static_cast<unsigned char>(w[0])));
        text += w;
        int r = roll(rng);
        if (r < 6)
            text += ". ";
        else if (r < 10)
            text += ", ";
        else
            text += ' ';
        if (text.size() - lineStart > 70) {
            text += roll(rng) < 10 ? "=\r\n" : "\r\n";
            lineStart = text.size();
        }
    }
    text.resize(kBodyBytes);
    if (phraseNearEnd)
        text.replace(kBodyBytes - 200, 9, " invoice ");
    return std::vector<char>(text.begin(), text.end());
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Runs grep -q -i -w -F over the file with the C locale (byte semantics, as
// the rule engine has, and grep's fastest setting) and returns its exit code.
int RunGrep(const std::string& path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e)
        if (strncmp(*e, "LC_", 3) != 0 && strncmp(*e, "LANG", 4) != 0)
            env.emplace_back(*e);
    env.emplace_back("LC_ALL=C");
    std::vector<char*> envp;
    for (std::string& s : env)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::string phrase = kPhrase;
    char a0[] = "grep", a1[] = "-q", a2[] = "-i", a3[] = "-w", a4[] = "-F";
    char* argv[] = {a0, a1, a2, a3, a4, &phrase[0], const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, "grep", &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BodyCheckAgainstGrep(benchmark::State& state) {
    const bool nearEnd = state.range(0) != 0;
    vtest::TestMessage message;
    message.AddPart("body.txt", 104).content = MakeBody(nearEnd);
    const std::vector<char>& bytes = message.Part(0).content;

    char path[] = "/tmp/kessla-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("cannot make the temporary file");
        return;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t w = write(fd, bytes.data() + written, bytes.size() - written);
        if (w <= 0)
            break;
        written += static_cast<size_t>(w);
    }
    close(fd);
    if (written != bytes.size()) {
        unlink(path);
        state.SkipWithError("cannot write the temporary file");
        return;
    }

    CRule rule;
    char primary[] = "invoice";
    char secondary[] = "";
    rule.SetRule(primary, secondary, 0, 0, 2 /* body only */, 1, 1);

    // Both programs must see the same answer, or the comparison means nothing.
    const int expected = nearEnd ? 1 : 0;
    double kesslaTime = 0, grepTime = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int result = rule.CheckMessage(&message, false);
        auto t1 = std::chrono::steady_clock::now();
        int grepStatus = RunGrep(path);
        auto t2 = std::chrono::steady_clock::now();
        if (result != expected || grepStatus != (nearEnd ? 0 : 1)) {
            state.SkipWithError("Kessla and grep disagree with the data");
            break;
        }
        kesslaTime += Seconds(t0, t1);
        grepTime += Seconds(t1, t2);
    }
    unlink(path);
    if (kesslaTime > 0) {
        state.counters["grep_over_kessla"] = grepTime / kesslaTime;
        state.counters["kessla_MBps"] = static_cast<double>(bytes.size()) *
                                        static_cast<double>(state.iterations()) / kesslaTime / 1e6;
        state.counters["grep_MBps"] = static_cast<double>(bytes.size()) *
                                      static_cast<double>(state.iterations()) / grepTime / 1e6;
    }
}

} // namespace

BENCHMARK(BodyCheckAgainstGrep)
    ->ArgName("phrase_near_end")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(8)
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

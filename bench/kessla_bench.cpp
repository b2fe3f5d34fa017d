// The body check against grep. The gateway runs the body check over every body
// of every message it receives, so Kessla's content search should be no
// slower than `grep -i -w -F` looking for the same phrase in the same bytes,
// and much faster for most phrases.
//
// The body is more than 50 MB of English prose with CRLF line ends, written
// here from a vocabulary of about 900 common words drawn with Zipf-like
// frequencies into sentences and paragraphs. For each phrase (none of them
// occurs in the body, so both programs read every byte) each iteration times
// one CheckMessage over the body part and one grep run over the same bytes in
// a temporary file. The counter grep_over_kessla is grep's time divided by
// Kessla's (medians over the iterations); a table of all phrases, with the
// worst and the median ratio, is printed at the end.
#include "filter/Kessla.h"
#include "filter/TestMessage.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const size_t kBodyBytes = 56u << 20;

// Phrases a content-filter rule might hold, none of them in the vocabulary
// below. Those that begin like the commonest English words ("the", "and",
// "con") are the hard ones for a filter keyed on a phrase's first letters;
// those made only of common letters are the hard ones for one keyed on its
// rarest letter.
const char* const kPhrases[] = {"thermostat",   "theorist",    "the winner is",
                                "andante",      "andromeda",   "contraband",
                                "conquistador", "free viagra", "dear beneficiary"};

// Common English words, roughly from the most frequent down. Their weight in
// the text falls with their rank as in real prose (Zipf's law).
const char kVocabulary[] =
    "the of and to a in is it you that he was for on are with as I his they be at one have this "
    "from or had by not but what some we can out other were all there when up use your how said "
    "an each she which do their time if will way about many then them write would like so these "
    "her long make thing see him two has look more day could go come did number sound no most "
    "people my over know water than call first who may down side been now find any new work part "
    "take get place made live where after back little only round man year came show every good "
    "me give our under name very through just form sentence great think say help low line differ "
    "turn cause much mean before move right boy old too same tell does set three want air well "
    "also play small end put home read hand port large spell add even land here must big high "
    "such follow act why ask men change went light kind off need house picture try us again "
    "animal point mother world near build self earth father head stand own page should country "
    "found answer school grow study still learn plant cover food sun four between state keep eye "
    "never last let thought city tree cross farm hard start might story saw far sea draw left "
    "late run while press close night real life few north open seem together next white children "
    "begin got walk example ease paper group always music those both mark often letter until "
    "mile river car feet care second book carry took science eat room friend began idea fish "
    "mountain stop once base hear horse cut sure watch color face wood main enough plain girl "
    "usual young ready above ever red list though feel talk bird soon body dog family direct "
    "pose leave song measure door product black short numeral class wind question happen "
    "complete ship area half rock order fire south problem piece told knew pass since top whole "
    "king space heard best hour better true during hundred five remember step early hold west "
    "ground interest reach fast verb sing listen six table travel less morning ten simple "
    "several vowel toward war lay against pattern slow center love person money serve appear "
    "road map rain rule govern pull cold notice voice unit power town fine certain fly fall lead "
    "cry dark machine note wait plan figure star box noun field rest correct able pound done "
    "beauty drive stood contain front teach week final gave green oh quick develop ocean warm "
    "free minute strong special mind behind clear tail produce fact street inch multiply "
    "nothing course stay wheel full force blue object decide surface deep moon island foot "
    "system busy test record boat common gold possible plane stead dry wonder laugh thousand ago "
    "ran check game shape equate hot miss brought heat snow tire bring yes distant fill east "
    "paint language among grand ball yet wave drop heart am present heavy dance engine position "
    "arm wide sail material size vary settle speak weight general ice matter circle pair "
    "include divide syllable felt perhaps pick sudden count square reason length represent art "
    "subject region energy hunt probable bed brother egg ride cell believe fraction forest sit "
    "race window store summer train sleep prove lone leg exercise wall catch mount wish sky "
    "board joy winter sat written wild instrument kept glass grass cow job edge sign visit past "
    "soft fun bright gas weather month million bear finish happy hope flower clothe strange gone "
    "jump baby eight village meet root buy raise solve metal whether push seven paragraph third "
    "shall held hair describe cook floor either result burn hill safe cat century consider type "
    "law bit coast copy phrase silent tall sand soil roll temperature finger industry value "
    "fight lie beat excite natural view sense ear else quite broke case middle kill son lake "
    "moment scale loud spring observe child straight consonant nation dictionary milk speed "
    "method organ pay age section dress cloud surprise quiet stone tiny climb cool design poor "
    "lot experiment bottom key iron single stick flat twenty skin smile crease hole trade melody "
    "trip office receive row mouth exact symbol die least trouble shout except wrote seed tone "
    "join suggest clean break lady yard rise bad blow oil blood touch grew cent mix team wire "
    "cost lost brown wear garden equal sent choose fell fit flow fair bank collect save control "
    "decimal gentle woman captain practice separate difficult doctor please protect noon whose "
    "locate ring character insect caught period indicate radio spoke atom human history effect "
    "electric expect crop modern element hit student corner party supply bone rail imagine "
    "provide agree thus capital chair danger fruit rich thick soldier process operate guess "
    "necessary sharp wing create neighbor wash bat rather crowd corn compare poem string bell "
    "depend meat rub tube famous dollar stream fear sight thin triangle planet hurry chief colony "
    "clock mine tie enter major fresh search send yellow gun allow print dead spot desert suit "
    "current lift rose continue block chart hat sell success company subtract event particular "
    "deal swim term opposite wife shoe shoulder spread arrange camp invent cotton born determine "
    "quart nine truck noise level chance gather shop stretch throw shine property column "
    "molecule select wrong gray repeat require broad prepare salt nose plural anger claim "
    "continent oxygen sugar death pretty skill women season solution magnet silver thank branch "
    "match suffix especially fig afraid huge sister steel discuss forward similar guide "
    "experience score apple bought led pitch coat mass card band rope slip win dream evening "
    "condition feed tool total basic smell valley nor double seat arrive master track parent "
    "shore division sheet substance favor connect post spend chord fat glad original share "
    "station dad bread charge proper bar offer segment slave duck instant market degree "
    "populate chick dear enemy reply drink occur support speech nature range steam motion path "
    "liquid log meant quotient teeth shell neck Monday Tuesday Friday London Paris Mary John "
    "Sarah David Thomas England America meeting report account service information payment "
    "order attached regards thanks please schedule project update customer contract";

// Sentences and paragraphs of weighted words, lines of about seventy
// characters ended by CR LF, a blank line between paragraphs.
std::string MakeProse(size_t bytes) {
    std::vector<std::string> words;
    std::istringstream in(kVocabulary);
    for (std::string w; in >> w;)
        words.push_back(w);
    std::vector<double> weights;
    for (size_t rank = 0; rank < words.size(); ++rank)
        weights.push_back(1.0 / (static_cast<double>(rank) + 2.7));
    std::mt19937 rng(20261207);
    std::discrete_distribution<size_t> pickWord(weights.begin(), weights.end());
    std::uniform_int_distribution<int> roll(0, 999);
    std::uniform_int_distribution<int> sentenceLength(4, 24);
    std::uniform_int_distribution<int> paragraphLength(2, 8);

    std::string text;
    text.reserve(bytes + 4096);
    size_t lineLength = 0;
    auto put = [&](const std::string& word, const char* after) {
        if (lineLength > 0 && lineLength + word.size() > 72) {
            text += "\r\n";
            lineLength = 0;
        } else if (lineLength > 0) {
            text += ' ';
            ++lineLength;
        }
        text += word;
        text += after;
        lineLength += word.size() + strlen(after);
    };
    while (text.size() < bytes) {
        int sentences = paragraphLength(rng);
        for (int s = 0; s < sentences; ++s) {
            int n = sentenceLength(rng);
            for (int i = 0; i < n; ++i) {
                std::string w = words[pickWord(rng)];
                int r = roll(rng);
                if (i == 0 || r < 15)
                    w[0] = static_cast<char>(toupper(static_cast<unsigned char>(w[0])));
                if (r >= 15 && r < 25)
                    w = std::to_string(roll(rng) * 7 % 2030);
                else if (r >= 25 && r < 30)
                    w += "'s";
                const char* after = "";
                if (i == n - 1) {
                    int e = roll(rng);
                    after = e < 900 ? "." : e < 960 ? "?" : "!";
                } else if (roll(rng) < 70) {
                    after = ",";
                } else if (roll(rng) < 8) {
                    after = ";";
                }
                put(w, after);
            }
        }
        text += "\r\n\r\n";
        lineLength = 0;
    }
    text.resize(bytes);
    return text;
}

struct Body {
    vtest::TestMessage message;
    std::string path;
    bool ok = false;
};

// One body for all phrases: made once, kept in memory for Kessla and in a
// temporary file for grep.
Body& TheBody() {
    static Body* body = [] {
        Body* b = new Body;
        std::string prose = MakeProse(kBodyBytes);
        b->message.AddPart("body.txt", 104).content.assign(prose.begin(), prose.end());
        char path[] = "/tmp/kessla-bench-XXXXXX";
        int fd = mkstemp(path);
        if (fd < 0)
            return b;
        size_t written = 0;
        while (written < prose.size()) {
            ssize_t w = write(fd, prose.data() + written, prose.size() - written);
            if (w <= 0)
                break;
            written += static_cast<size_t>(w);
        }
        close(fd);
        b->path = path;
        b->ok = written == prose.size();
        return b;
    }();
    return *body;
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Runs grep -q -i -w -F over the file with the C locale (byte semantics, as
// the rule engine has, and grep's fastest setting) and returns its exit code.
int RunGrep(const std::string& phraseIn, const std::string& path) {
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
    std::string phrase = phraseIn;
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

double Median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Row {
    std::string phrase;
    double grepMs = 0;
    double kesslaMs = 0;
};
std::vector<Row>& Rows() {
    static std::vector<Row> rows;
    return rows;
}

void BodyCheckAgainstGrep(benchmark::State& state, const char* phraseText) {
    Body& body = TheBody();
    if (!body.ok) {
        state.SkipWithError("cannot write the temporary file");
        return;
    }
    CRule rule;
    std::vector<char> primary(phraseText, phraseText + strlen(phraseText) + 1);
    char secondary[] = "";
    rule.SetRule(primary.data(), secondary, 0, 0, 2 /* body only */, 1, 1);

    std::vector<double> kessla, grep;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        int result = rule.CheckMessage(&body.message, false);
        auto t1 = std::chrono::steady_clock::now();
        int grepStatus = RunGrep(phraseText, body.path);
        auto t2 = std::chrono::steady_clock::now();
        // Both read every byte only if neither finds the phrase.
        if (result != 0 || grepStatus != 1) {
            state.SkipWithError("the phrase occurs in the body, or grep failed");
            return;
        }
        kessla.push_back(Seconds(t0, t1));
        grep.push_back(Seconds(t1, t2));
    }
    double k = Median(kessla), g = Median(grep);
    if (k > 0) {
        state.counters["grep_ms"] = g * 1e3;
        state.counters["kessla_ms"] = k * 1e3;
        state.counters["grep_over_kessla"] = g / k;
        state.counters["kessla_MBps"] =
            static_cast<double>(body.message.Part(0).content.size()) / k / 1e6;
        Rows().push_back({phraseText, g * 1e3, k * 1e3});
    }
}

} // namespace

int main(int argc, char** argv) {
    for (const char* phrase : kPhrases) {
        std::string name = std::string("BodyCheckAgainstGrep/") + phrase;
        benchmark::RegisterBenchmark(name.c_str(), BodyCheckAgainstGrep, phrase)
            ->Iterations(7)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!TheBody().path.empty())
        unlink(TheBody().path.c_str());

    std::vector<Row>& rows = Rows();
    if (rows.empty())
        return 0;
    printf("\n%-20s %10s %10s %8s\n", "phrase", "grep ms", "kessla ms", "ratio");
    std::vector<double> ratios;
    for (const Row& r : rows) {
        double ratio = r.grepMs / r.kesslaMs;
        ratios.push_back(ratio);
        printf("%-20s %10.1f %10.1f %8.2f\n", ("\"" + r.phrase + "\"").c_str(), r.grepMs,
               r.kesslaMs, ratio);
    }
    printf("body: %zu bytes of prose; grep -i -w -F time / Kessla time: worst %.2f, median %.2f\n",
           TheBody().message.Part(0).content.size(),
           *std::min_element(ratios.begin(), ratios.end()), Median(ratios));
    return 0;
}

// vantry-events: the event log of a platform root, newest first, one line per
// event, as an administrator would read the Windows event viewer.
#if defined(_WIN32)
#include <cstdio>

// On Windows the real event log is read with the Event Viewer.
int main() {
    std::fputs("vantry-events reads the event log of the POSIX platform layer; on Windows use "
               "the Event Viewer.\n",
               stderr);
    return 1;
}
#else
#include "platform/bounded.h"
#include "platform/posix/eventlog_reader.h"
#include "platform/win32.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

namespace {

const char kUsage[] =
    "Usage: vantry-events [--source NAME] [--type error|warning|information] [--count N]\n"
    "\n"
    "Shows the event log of the platform root named by VANTRY_PLATFORM_ROOT, newest\n"
    "first: time, type, source, event ID and the insertion strings of each event.\n"
    "  --source NAME  only events of this source (names compare without regard to case)\n"
    "  --type TYPE    only events of this type: error, warning, information,\n"
    "                 audit-success or audit-failure\n"
    "  --count N      at most the N newest events (N >= 1)\n";

struct TypeName {
    const char* name;
    const char* label;
    WORD type;
};

const TypeName kTypes[] = {
    {"error", "Error", EVENTLOG_ERROR_TYPE},
    {"warning", "Warning", EVENTLOG_WARNING_TYPE},
    {"information", "Information", EVENTLOG_INFORMATION_TYPE},
    {"audit-success", "Audit Success", EVENTLOG_AUDIT_SUCCESS},
    {"audit-failure", "Audit Failure", EVENTLOG_AUDIT_FAILURE},
};

const char* TypeLabel(WORD type) {
    for (const TypeName& t : kTypes)
        if (t.type == type)
            return t.label;
    return type == EVENTLOG_SUCCESS ? "Success" : "Unknown";
}

int BadArguments(const char* message, const char* argument) {
    std::fprintf(stderr, "vantry-events: %s%s%s\n\n%s", message, argument ? ": " : "",
                 argument ? argument : "", kUsage);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const char* source = nullptr;
    WORD type = 0;
    unsigned long count = 0; // 0: all
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        bool known = std::strcmp(a, "--source") == 0 || std::strcmp(a, "--type") == 0 ||
                     std::strcmp(a, "--count") == 0;
        if (!known)
            return BadArguments("unknown argument", a);
        if (i + 1 >= argc)
            return BadArguments("missing value for", a);
        const char* value = argv[++i];
        if (std::strcmp(a, "--source") == 0) {
            if (*value == '\0')
                return BadArguments("empty source name", nullptr);
            source = value;
        } else if (std::strcmp(a, "--type") == 0) {
            type = 0;
            for (const TypeName& t : kTypes)
                if (strcasecmp(value, t.name) == 0)
                    type = t.type;
            if (type == 0)
                return BadArguments("unknown event type", value);
        } else {
            char* end = nullptr;
            errno = 0;
            count = std::strtoul(value, &end, 10);
            if (*value < '0' || *value > '9' || *end != '\0' || errno != 0 || count == 0)
                return BadArguments("--count needs a whole number of at least 1, not", value);
        }
    }

    // Reading makes nothing: a root that is not there is most likely a
    // VANTRY_PLATFORM_ROOT other than the service's.
    char why[512];
    if (CheckPlatformRootV(FALSE, why, sizeof(why)) != ERROR_SUCCESS) {
        std::fprintf(stderr, "vantry-events: %s\n", why);
        return 1;
    }
    std::vector<vplat::EventRecord> records = vplat::ReadEventLog(source, type);
    size_t shown = 0;
    for (size_t i = records.size(); i-- > 0;) {
        if (count != 0 && shown == count)
            break;
        const vplat::EventRecord& r = records[i];
        char when[32] = "";
        time_t t = static_cast<time_t>(r.time);
        struct tm local;
        if (localtime_r(&t, &local))
            strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &local);
        std::printf("%s  %-13s  %s  0x%08X", when, TypeLabel(r.type), r.source.c_str(),
                    static_cast<unsigned>(r.eventId));
        for (size_t s = 0; s < r.strings.size(); ++s) {
            // One line per event: line breaks inside a text are shown escaped.
            std::string text;
            for (char c : r.strings[s]) {
                if (c == '\n')
                    text += "\\n";
                else if (c == '\r')
                    text += "\\r";
                else
                    text.push_back(c);
            }
            std::printf("%s%s", s == 0 ? "  " : " | ", text.c_str());
        }
        std::printf("\n");
        ++shown;
    }
    if (std::fflush(stdout) != 0)
        return 1;
    return 0;
}

#endif

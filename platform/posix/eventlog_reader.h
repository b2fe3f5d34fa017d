// Reading back the event log of the platform root: what the tests check after
// a service has run, and what the vantry-events viewer shows.
#ifndef VANTRY_PLATFORM_POSIX_EVENTLOG_READER_H
#define VANTRY_PLATFORM_POSIX_EVENTLOG_READER_H

#include "platform/win32.h"

#include <string>
#include <vector>

namespace vplat {

struct EventRecord {
    long long record = 0; // record number, rising in the order of writing
    long long time = 0;   // seconds since 1970 (UTC)
    std::string source;
    WORD type = 0;
    WORD category = 0;
    DWORD eventId = 0;
    std::vector<std::string> strings;
    std::vector<unsigned char> data; // the raw data given to ReportEventA
};

// The records of one source (null: all; names compare without regard to case)
// and of one type (0: all), oldest first. Empty when there is no log yet.
std::vector<EventRecord> ReadEventLog(const char* source, WORD type);

} // namespace vplat

#endif

// The status history of a service: every status it reported with
// SetServiceStatus, oldest first, as kept in the platform root. A single query
// sees only the last report; the history shows the whole sequence (check
// points, wait hints) for tests and administrators.
#ifndef VANTRY_PLATFORM_POSIX_SERVICE_STATUS_READER_H
#define VANTRY_PLATFORM_POSIX_SERVICE_STATUS_READER_H

#include "platform/win32.h"

#include <vector>

namespace vplat {

// One line of the history.
struct ServiceStatusRecord {
    char time[32]; // UTC, "YYYY-MM-DDTHH:MM:SS.mmmZ"
    DWORD pid;     // the reporting process
    SERVICE_STATUS status;
};

// The reports of the named service (name compared without regard to case);
// empty when it has none.
std::vector<SERVICE_STATUS> ReadServiceStatusHistory(const char* serviceName);
std::vector<ServiceStatusRecord> ReadServiceStatusRecords(const char* serviceName);

} // namespace vplat

#endif

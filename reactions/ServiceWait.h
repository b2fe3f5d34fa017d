// Shutdown's wait for the scanner service to reach the state it was sent to,
// kept apart from the service calls so that its counting can be tried alone.
#ifndef VANTRY_REACTIONS_SERVICEWAIT_H
#define VANTRY_REACTIONS_SERVICEWAIT_H

#include "platform/win32.h"

// How often Shutdown asks the service's state after the first query, with
// this many milliseconds before each, before it gives up (and reports
// failure).
const int REACTION_SERVICE_WAIT_QUERIES = 60;
const DWORD REACTION_SERVICE_WAIT_PAUSE = 1000;

// Shutdown's wait: asks the state (query fills a SERVICE_STATUS, false when
// it cannot be asked), then, while it is not wanted and fewer than queries
// further queries were made, pauses and asks again. 0 when the service got
// to the state; the last error of a failed query; else
// ERROR_SERVICE_REQUEST_TIMEOUT.
template <typename Query, typename Pause>
DWORD WaitForServiceState(Query query, DWORD wanted, int queries, Pause pause) {
    SERVICE_STATUS status = {};
    if (!query(status))
        return GetLastError() != 0 ? GetLastError() : ERROR_SERVICE_REQUEST_TIMEOUT;
    for (int made = 0; status.dwCurrentState != wanted; ++made) {
        if (made >= queries)
            return ERROR_SERVICE_REQUEST_TIMEOUT;
        pause();
        if (!query(status))
            return GetLastError() != 0 ? GetLastError() : ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return 0;
}

#endif

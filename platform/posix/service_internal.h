// What the service manager's pieces share: where a service's files lie in the
// root, its status record, the request/reply exchanged over its socket, and the
// start of a service process (used by StartService and by the service tool's
// foreground mode).
//
// Files of a service, under <root>/services/, named after the service name in
// lower case (service names compare without regard to case):
//   <name>.status   the last reported status and the pid of the process that
//                   reported it, replaced whole on every change (rename), read
//                   by the tools after the process has gone;
//   <name>.history  one line per SetServiceStatus, appended;
//   <name>.log      standard output and error of the detached process;
//   <name>.lock     flock'd by whoever reads-modifies-writes <name>.status;
//   <hash>.sock     the dispatcher's socket; a 64-bit hash of the name keeps
//                   the path short (sun_path holds 108 bytes).
#ifndef VANTRY_PLATFORM_POSIX_SERVICE_INTERNAL_H
#define VANTRY_PLATFORM_POSIX_SERVICE_INTERNAL_H

#include "platform/win32.h"

#include "platform/posix/service_launch.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace vplat {

// Environment of a service process started by the manager: the token names
// the service and carries the nonce the manager wrote into the status record,
// so that only the process the manager started can connect back.
constexpr const char* kServiceTokenVariable = "VANTRY_SERVICE_TOKEN";
// The arguments of StartService for ServiceMain, separated by kServiceArgSeparator.
constexpr const char* kServiceArgsVariable = "VANTRY_SERVICE_ARGS";
constexpr char kServiceArgSeparator = '\x1f';

// The registry key of the services, below HKEY_LOCAL_MACHINE.
constexpr const char* kServicesKey = "SYSTEM\\CurrentControlSet\\Services";
// Windows' own mark of a service that is deleted once it stops.
constexpr const char* kDeleteFlagValue = "DeleteFlag";

// Seconds a control may take (its handler may be slow) and a query may take.
constexpr int kControlTimeoutMs = 35000;
constexpr int kQueryTimeoutMs = 5000;
// How long StartService waits for the first status report.
constexpr int kStartTimeoutMs = 30000;

// The status record kept in <name>.status.
struct ServiceRecord {
    long pid = 0;            // the process that reported, 0 when none runs
    char nonce[33] = {0};    // the token nonce of the start that made the process
    DWORD reported = 0;      // number of reports the process has made
    SERVICE_STATUS status{}; // the last status
};

// Request and reply over a service's socket, one exchange per connection.
enum ServiceOp : DWORD { kOpQuery = 1, kOpControl = 2 };
constexpr DWORD kServiceWireMagic = 0x56534331; // "VSC1"

struct ServiceRequest {
    DWORD magic;
    DWORD op;
    DWORD control;
};

struct ServiceReply {
    DWORD magic;
    DWORD error;    // Win32 code of the control's outcome, 0 on success
    DWORD reported; // number of status reports made so far
    SERVICE_STATUS status;
};

// The service name as it appears in file names: lower case, no path separators.
std::string ServiceFileStem(const char* serviceName);
// <root>/services/<stem>.<suffix>, folders made.
std::string ServiceFile(const char* serviceName, const char* suffix);
// The full path of the service's socket file.
std::string ServiceSocketFile(const char* serviceName);

// A Unix-domain address for the socket file; a path longer than sun_path is
// reached through /proc/self/fd/<dir fd>. Close() releases that descriptor.
class ServiceSocketAddress {
public:
    ~ServiceSocketAddress() { Close(); }
    bool Make(const char* serviceName);
    // A struct sockaddr_un, for bind and connect.
    const void* Address() const { return storage_; }
    unsigned Length() const { return length_; }
    void Close();

private:
    unsigned char storage_[128] = {0};
    unsigned length_ = 0;
    int dirFd_ = -1;
};

// Reads and replaces the status record. Locking is the caller's business.
bool ReadServiceRecord(const char* serviceName, ServiceRecord* record);
bool WriteServiceRecord(const char* serviceName, const ServiceRecord& record);

// Holds the service's lock file (flock) for its lifetime.
class ServiceRecordLock {
public:
    explicit ServiceRecordLock(const char* serviceName);
    ~ServiceRecordLock();
    ServiceRecordLock(const ServiceRecordLock&) = delete;
    ServiceRecordLock& operator=(const ServiceRecordLock&) = delete;

private:
    int fd_ = -1;
};

// Appends one report to <name>.history, in the name of process pid (0: the
// calling process, which made the report).
void AppendServiceHistory(const char* serviceName, const SERVICE_STATUS& status, long pid = 0);

// One exchange with the service's dispatcher. Returns ERROR_SUCCESS with the
// reply filled in, or: ERROR_SERVICE_NOT_ACTIVE when nothing listens (a stale
// socket file is removed), ERROR_SERVICE_REQUEST_TIMEOUT when the dispatcher
// does not answer in time.
DWORD ExchangeWithService(const char* serviceName, const ServiceRequest& request, int timeoutMs,
                          ServiceReply* reply);

// True while the process runs (a zombie counts as gone).
bool ProcessAlive(long pid);

// The current status as the manager sees it: the dispatcher's answer when it
// answers; else the recorded status of a process that still runs (it is
// starting, or busy); else SERVICE_STOPPED, and a process that died without
// reporting stopped gets ERROR_PROCESS_ABORTED, its record is updated, its
// stale socket removed and a pending deletion carried out. *reported, when
// given, receives the number of reports of the answering process (0 when none
// answered).
void QueryServiceCurrent(const char* serviceName, SERVICE_STATUS* status, DWORD* reported);

// Deletes the service's key (with subkeys) when it is marked for deletion.
// The caller knows the service is stopped.
void CompletePendingDelete(const char* serviceName);

// Opens the service's registry key for reading; ERROR_SUCCESS or a registry code.
LONG OpenServiceKey(const char* serviceName, REGSAM access, HKEY* key);
bool ReadServiceDword(HKEY key, const char* value, DWORD* out);

} // namespace vplat

#endif

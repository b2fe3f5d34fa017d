// vantry, the administrator's client: the pieces its files share. A command
// runs against each gateway on its own (a Gateway), and leaves a HostResult:
// the records it found, an exit status and a message. The front end prints
// the results as tables or JSON lines once every gateway has answered.
#ifndef VANTRY_TOOLS_VANTRY_VANTRY_H
#define VANTRY_TOOLS_VANTRY_VANTRY_H

#include "platform/win32.h"
#include "remote/RemoteRequest.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vantry {

using Json = nlohmann::ordered_json;

// Exit statuses, also each gateway's; the worst (highest) is the program's.
enum Exit {
    EXIT_DONE = 0,
    EXIT_REFUSED = 1,     // the gateway refused or failed the request (CODE 2, CODE 3)
    EXIT_USAGE = 2,       // the command line or a file given to it is wrong
    EXIT_NOT_ADMITTED = 3, // ACCESS_DENIED
    EXIT_UNREACHABLE = 4, // no connection, a name that does not resolve, a time-out
};

struct Target {
    std::string host;
    int port = 9999;
    std::string Label() const { return host + ":" + std::to_string(port); }
};

// host or host:port; false with why when it is neither.
bool ParseTarget(const std::string& text, int defaultPort, Target* target, std::string* why);

// One gateway: every request is a connection of its own.
class Gateway {
public:
    Gateway(const Target& target, DWORD wait) : m_target(target), m_wait(wait) {}
    // The whole reply (bytes as they came); outcome and error as RemoteExchange gives them.
    RemoteOutcome Ask(const std::string& line, const std::string* body, std::string* reply,
                      int* error);
    const Target& target() const { return m_target; }

private:
    Target m_target;
    DWORD m_wait;
};

struct HostResult {
    std::string host;
    int exit = EXIT_DONE;
    std::string status = "ok"; // one word or two: ok, changed, unchanged, refused, ...
    std::string message;       // the gateway's own text where it gave one
    std::vector<Json> rows;    // the command's records, each with its "type"
    std::string text;          // a file's contents (mail show, logs show)
};

// A table's column: the record field and its heading.
using Columns = std::vector<std::pair<std::string, std::string>>;

struct Command {
    std::string name; // "config set", "rules list", ...
    Columns columns;  // for the human table; none prints key: value pairs
    std::function<void(Gateway&, HostResult&)> run;
};

// Runs command against every target, at most parallel at once; results in
// the order of targets. progress draws a line on stderr while hosts are out.
std::vector<HostResult> RunFleet(const Command& command, const std::vector<Target>& targets,
                                 DWORD wait, int parallel, bool progress);

// ---- helpers for the commands (Commands.cpp) ----

// Asks line (with body, when given) and checks the transport and admission.
// False, with result filled in, when the gateway could not be asked or did
// not admit this client.
bool Ask(Gateway& gateway, const std::string& line, const std::string* body, HostResult& result,
         std::string* reply);
// The reply's lines, each CR LF or LF removed.
std::vector<std::string> Lines(const std::string& reply);
// Marks result refused (CODE 2) or failed (CODE 3) with the gateway's message.
void Refused(HostResult& result, int code, const std::string& message);

} // namespace vantry

#endif

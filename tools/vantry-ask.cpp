// vantry-ask: sends one request to Pellion and prints its reply.
//
//   vantry-ask [--host NAME] [--port N] [--timeout SECONDS] [--stdin] [--raw] REQUEST...
//
// Pellion takes one request per connection: the words of REQUEST joined by
// spaces, ended by CR LF. With --stdin, what the standard input holds follows
// the request line (for requests that carry data, such as set_config's
// lines). Without --port, the port is Pellion's Config_Port in this machine's
// registry (9999 when it is not set); a platform root that does not exist is
// an error, and is never created. The reply is printed until Pellion
// closes the connection, each CR LF as a plain line feed so that scripts can
// compare it; --raw prints the bytes as they came. Exit status: 0 when a reply
// came, 3 when the client was refused (ACCESS_DENIED), 1 on any other failure,
// 2 on bad arguments.
#include "platform/win32.h"
#include "remote/RemoteRequest.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage(const char* why) {
    fprintf(stderr,
            "vantry-ask: %s\n"
            "usage: vantry-ask [--host NAME] [--port N] [--timeout SECONDS] [--stdin] [--raw] "
            "REQUEST...\n"
            "  e.g. vantry-ask get_server_type\n",
            why);
    return 2;
}

bool ParseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || n < low || n > high)
        return false;
    *out = n;
    return true;
}

// Keeps every byte of the reply.
class ReplyBytes : public RemoteReplySink {
public:
    bool Data(const char* bytes, size_t count) override {
        text.append(bytes, count);
        return true;
    }
    std::string text;
};

// The reply with every CR LF as a line feed.
std::string PlainLines(const std::string& reply) {
    std::string out;
    out.reserve(reply.size());
    for (size_t i = 0; i < reply.size(); ++i) {
        if (reply[i] == '\r' && i + 1 < reply.size() && reply[i + 1] == '\n')
            continue;
        out += reply[i];
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "localhost";
    long port = -1;
    const char* portFrom = "given";
    bool raw = false;
    long timeout = 30;
    bool withStdin = false;
    std::string request;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        bool hasValue = i + 1 < argc;
        if (strcmp(a, "--host") == 0 && hasValue) {
            host = argv[++i];
        } else if (strcmp(a, "--port") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], 1, 65535, &port))
                return Usage("the port is a number from 1 to 65535");
        } else if (strcmp(a, "--timeout") == 0 && hasValue) {
            if (!ParseNumber(argv[++i], 1, 3600, &timeout))
                return Usage("the time-out is a number of seconds from 1 to 3600");
        } else if (strcmp(a, "--stdin") == 0) {
            withStdin = true;
        } else if (strcmp(a, "--raw") == 0) {
            raw = true;
        } else if (strncmp(a, "--", 2) == 0 && request.empty()) {
            return Usage((std::string("unknown option or missing value: ") + a).c_str());
        } else {
            if (!request.empty())
                request += ' ';
            request += a;
        }
    }
    if (request.empty())
        return Usage("no request given");
    if (request.find_first_of("\r\n") != std::string::npos)
        return Usage("a request is one line");

    if (port < 0) {
        // The port is the service's, so it comes from the service's machine
        // state. A root that is not there is not created here: it most likely
        // means a VANTRY_PLATFORM_ROOT other than the service's, and the
        // default port could reach some other program.
        char why[512];
        if (CheckPlatformRootV(FALSE, why, sizeof(why)) != ERROR_SUCCESS) {
            fprintf(stderr,
                    "vantry-ask: cannot read Pellion's Config_Port: %s\n"
                    "  set VANTRY_PLATFORM_ROOT to the service's platform root, or give --port\n",
                    why);
            return 1;
        }
        bool found = false;
        port = RemoteConfiguredPort(&found);
        portFrom = found ? "Config_Port" : "the default; no Config_Port in the registry";
    }

    std::string body;
    if (withStdin) {
        char buffer[65536];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), stdin)) > 0)
            body.append(buffer, n);
    }
    RemoteRequest ask;
    ask.host = host.c_str();
    ask.port = static_cast<int>(port);
    ask.wait = static_cast<DWORD>(timeout) * 1000;
    ask.line = request.c_str();
    ask.lineEnd = "\r\n";
    ask.body = body.data();
    ask.bodySize = body.size();
    ask.closeSending = true; // Pellion answers a request without a line end too
    ReplyBytes reply;
    int error = 0;
    RemoteOutcome outcome = RemoteExchange(ask, reply, &error);
    std::string& text = reply.text;
    switch (outcome) {
    case REMOTE_DONE:
        break;
    case REMOTE_NO_HOST:
        fprintf(stderr, "vantry-ask: unknown host '%s'\n", host.c_str());
        return 1;
    case REMOTE_NO_CONNECTION:
        fprintf(stderr,
                "vantry-ask: cannot connect to %s port %ld (%s) (error %d); is Pellion running?\n",
                host.c_str(), port, portFrom, error);
        return 1;
    case REMOTE_TIMED_OUT:
        if (!raw)
            text = PlainLines(text);
        fwrite(text.data(), 1, text.size(), stdout);
        fprintf(stderr, "vantry-ask: no reply within %ld seconds\n", timeout);
        return 1;
    default:
        fprintf(stderr, "vantry-ask: %s (error %d)\n", RemoteOutcomeText(outcome), error);
        return 1;
    }
    const bool refused = text == "ACCESS_DENIED\r\n";
    if (!raw)
        text = PlainLines(text);
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
    if (refused) {
        fprintf(stderr,
                "vantry-ask: Pellion refused this client; add its name to Allowed_Clients\n");
        return 3;
    }
    return 0;
}

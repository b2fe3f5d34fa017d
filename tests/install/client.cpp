// A client of the installed public interfaces, built against the installed
// headers and libraries alone: it links Kessla and the reaction plug-in and
// asks the running service through Marrish.
//   client PORT   prints "rule active 1", the plug-in's export, then the reply
#include "filter/Kessla.h"
#include "remote/marrish/Marrish.h"
#include "reactions/Ruvane.h"

#include <cstdio>
#include <cstdlib>

namespace {
class Printer : public RemoteReplyReader {
public:
    bool Line(const char* line) override {
        std::printf("reply %s\n", line);
        return true;
    }
};
} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    CRule rule;
    rule.SetActive(1);
    std::printf("rule active %d\n", rule.IsActive());
    ReactionDoFn stop = &Service_Reaction_StopInboundMail_Do;
    std::printf("plug-in export %s\n", stop != nullptr ? "linked" : "missing");
    RemoteAccess access("127.0.0.1", std::atoi(argv[1]), 0);
    Printer printer;
    return access.Request("get_server_type", nullptr, printer) ? 0 : 1;
}

// Fuzzes set_config: the input is what a client sends after the request line
// (any bytes, any lines), fed to ReceiveConfig through the real connection
// code over a loopback pair. Whatever the lines, the handler returns within
// its limits, a request it refuses leaves the registry exactly as it was, and
// only a list ended by its end line (a line of fewer than four characters
// before its line feed) is ever saved.
#include "config/ScannerSettings.h"
#include "service/ClientConnection.h"
#include "service/Settings.h"
#include "tests/config/ConnectionPair.h"
#include "tests/support/RegistrySnapshot.h"
#include "tests/support/TempRoot.h"

#include "tests/support/TestThread.h"
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

// One platform root for the whole run, with a configuration saved in it.
struct Setup {
    vtest::TempRoot root;
    std::unique_ptr<char[]> buffer{new char[REQUEST_BUFFER_SIZE]};
    Setup() {
        std::unique_ptr<ScannerSettings> s(new ScannerSettings);
        std::string line = "No_of_Filter_Rules='2'\n";
        s->ApplySetting(&line[0]);
        line = "Filter_Rule_1='d#p#s#1#1#7#1#1#1'\n";
        s->ApplySetting(&line[0]);
        RegBeginTransactionV();
        s->Save();
        RegCommitTransactionV();
        // Every load opens the rule keys with the create flag, so the first
        // load after a save with a gap in its rules makes the gap's empty
        // key. That is what any reader leaves (get_config too), not a save:
        // the state to compare with is the one after a load.
        std::unique_ptr<ScannerSettings> reader(new ScannerSettings);
        reader->Load();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup* setup = new Setup;
    const std::string input(reinterpret_cast<const char*>(data), size);
    // The state to compare with is the one after a load, also after an input
    // before this one saved rules with a gap (see Setup).
    {
        std::unique_ptr<ScannerSettings> reader(new ScannerSettings);
        reader->Load();
    }
    const std::string before = vtest::RegistrySnapshot(SCANNER_KEY);

    vtest::ConnectionPair pair;
    pair.service().m_lineWaitLimit = 2000;
    pair.service().m_sendProgressLimit = 2000;
    // The client sends everything and closes its side: a list without an
    // end line is cut off by the connection's end and must save nothing.
    vtest::TestThread client([&] {
        pair.Send(input);
        pair.CloseSending();
    });
    int saved = pair.service().ReceiveConfig(setup->buffer.get(), -1);
    client.join();
    pair.CloseService();
    const std::string reply = pair.ReadAll(2000);

    bool endLine = false;
    for (size_t from = 0, end; !endLine && (end = input.find('\n', from)) != std::string::npos;
         from = end + 1)
        endLine = end - from < 4;
    if (saved != 0) {
        if (reply != "CODE 0\r\n" || !endLine)
            abort();
    } else {
        if (reply.compare(0, 5, "CODE ") != 0 || vtest::RegistrySnapshot(SCANNER_KEY) != before)
            abort();
    }
    return 0;
}

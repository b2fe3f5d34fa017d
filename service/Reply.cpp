// The reply conventions: status lines, and the answers that need nothing but
// the service's own settings.
#include "platform/bounded.h"
#include "service/ClientConnection.h"
#include "service/Settings.h"

void ClientConnection::SendReply(const char* code, const char* message) {
    // A message too long for the line is cut; the line always ends in "\r\n".
    char line[200];
    const size_t tail = 2;
    BoundedCopy(line, sizeof(line) - tail, code);
    if (message != nullptr) {
        BoundedAppend(line, sizeof(line) - tail, " MESSAGE ");
        BoundedAppend(line, sizeof(line) - tail, message);
    }
    BoundedAppend(line, sizeof(line), "\r\n");
    int status = 0;
    SendText(line, WAIT_NO_LIMIT, status);
}

int ClientConnection::SendServerType(char*, int) {
    int status = 0;
    SendText(g_Settings.Server_Type, WAIT_NO_LIMIT, status);
    SendText("\r\n", WAIT_NO_LIMIT, status);
    return 1;
}

int ClientConnection::CommandNotAvailable(char*, int) {
    SendReply("CODE 3", "Command not available in this version");
    return 0;
}

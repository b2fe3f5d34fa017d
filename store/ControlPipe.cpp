// The client side of the scanner's control pipe.
#include "service/ClientConnection.h"

int ClientConnection::SendResetStatistics(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::ForwardControlCommand(char* request, int category) {
    return CommandNotAvailable(request, category);
}

void ClientConnection::SendSetPreferences() {}

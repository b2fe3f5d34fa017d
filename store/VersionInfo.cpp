// Version and statistics replies.
#include "service/ClientConnection.h"

int ClientConnection::SendVersion(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::SendDrennicVersion(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::SendEngineVersion(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::SendStatistics(char* request, int category) {
    return CommandNotAvailable(request, category);
}

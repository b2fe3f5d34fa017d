// Deleting and sending stored mail: asked of Drennic through its control pipe.
#include "service/ClientConnection.h"

int ClientConnection::RequestFileSend(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::RequestFileDelete(char* request, int category) {
    return CommandNotAvailable(request, category);
}

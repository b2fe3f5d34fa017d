// get_config and set_config.
#include "service/ClientConnection.h"

int ClientConnection::SendConfig(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::ReceiveConfig(char* request, int category) {
    return CommandNotAvailable(request, category);
}

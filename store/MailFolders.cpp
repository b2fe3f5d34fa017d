// The mail folders and logs.
#include "service/ClientConnection.h"

int ClientConnection::SendFileList(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::SendFileContents(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::RequestFileSend(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::RequestFileDelete(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::SendFolderSize(char* request, int category) {
    return CommandNotAvailable(request, category);
}

int ClientConnection::SetCategoryFolder(char* request, int category) {
    return CommandNotAvailable(request, category);
}

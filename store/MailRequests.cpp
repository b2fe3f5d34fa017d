// Deleting and sending stored mail: asked of Drennic through its control pipe,
// since the stored files are Drennic's.
#include "platform/bounded.h"
#include "service/ClientConnection.h"
#include "service/LogEvent.h"
#include "store/MailFolders.h"

#include <cstring>

namespace {

enum MailRequest { REQUEST_DELETE, REQUEST_SEND };

} // namespace

// The steps of delete_ and send_: the item (kind word, space, folder, name),
// the command built from it, one try at the pipe; a command that did not reach
// Drennic is answered "CODE 3" with the request line, then "CODE 0".
static int RequestFromDrennic(ClientConnection& connection, char* request, int category,
                              MailRequest kind) {
    const MailCategoryRow* row = FindMailCategory(category);
    const char* keyword = row == nullptr         ? nullptr
                          : kind == REQUEST_SEND ? row->sendWord
                                                 : row->deleteWord;
    if (keyword == nullptr || row->kindWord == nullptr)
        return 0;
    char item[MAIL_PATH_SIZE];
    BoundedFormat(item, sizeof(item), "%s %s", row->kindWord, MailCategoryFolder(category));
    char* name = nullptr;
    size_t nameLength = 0;
    if (!ExtractMailArgument(connection, request, keyword, name, nameLength))
        return 0;
    // Only a name inside the folder, and only a command that carries it whole.
    char command[MAIL_PATH_SIZE];
    const char* prefix = kind == REQUEST_SEND ? "SEND_" : "DELETE_";
    const size_t used = strlen(prefix) + strlen(item);
    if (used >= sizeof(command) ||
        !IsNameInFolder(MailCategoryFolder(category), name, nameLength,
                        sizeof(command) - 1 - used)) {
        ReportImproperUse(connection, keyword);
        return 0;
    }
    BoundedAppend(item, sizeof(item), name);
    BoundedFormat(command, sizeof(command), "%s%s", prefix, item);

    HANDLE pipe = connection.OpenControlPipe(1);
    const bool written = connection.WriteControlPipe(pipe, command, false, false);
    if (!written) {
        LogMessage(IDS_REQUEST_SEND_FAILED, EVENTLOG_WARNING_TYPE, connection.m_szLocalHostName);
        connection.SendReply("CODE 3", request);
    }
    if (pipe != INVALID_HANDLE_VALUE)
        CloseHandle(pipe);
    connection.SendReply("CODE 0", nullptr);
    return written ? 1 : 0;
}

int ClientConnection::RequestFileSend(char* request, int category) {
    return RequestFromDrennic(*this, request, category, REQUEST_SEND);
}

int ClientConnection::RequestFileDelete(char* request, int category) {
    return RequestFromDrennic(*this, request, category, REQUEST_DELETE);
}

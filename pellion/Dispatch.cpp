// The request dispatcher: the command table, unknown requests, the reply
// conventions, and get_server_type.
#include "platform/bounded.h"
#include "service/AsciiCase.h"
#include "service/ClientConnection.h"
#include "service/LogEvent.h"
#include "pellion/MailProxyServiceClass.h"
#include "pellion/ServiceEntry.h"
#include "service/Service.h"
#include "service/Settings.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

typedef int (ClientConnection::*Handler)(char* request, int category);

// What the dispatcher does around a handler.
enum {
    AROUND_NONE = 0,
    AROUND_READ_VERSION = 1, // read the version values first
};

struct Command {
    const char* word;
    Handler handler;
    int category; // the mail category, where the handler takes one
    int around;
};

// Searched in this order; the first word the request begins with wins, so a
// word that begins with another stands before it.
const Command kCommands[] = {
    {"get_config", &ClientConnection::SendConfig, -1, AROUND_NONE},
    {"get_server_type", &ClientConnection::SendServerType, -1, AROUND_NONE},
    {"set_config", &ClientConnection::ReceiveConfig, -1, AROUND_NONE},
    {"get_version", &ClientConnection::SendVersion, -1, AROUND_READ_VERSION},
    {"get_drennic_version", &ClientConnection::SendDrennicVersion, -1, AROUND_READ_VERSION},
    {"get_engine_version", &ClientConnection::SendEngineVersion, -1, AROUND_READ_VERSION},
    {"get_qfile_list", &ClientConnection::SendFileList, 0, AROUND_NONE},
    {"get_qfile", &ClientConnection::SendFileContents, 0, AROUND_NONE},
    {"get_maillog_list", &ClientConnection::SendFileList, 1, AROUND_NONE},
    {"get_maillog", &ClientConnection::SendFileContents, 1, AROUND_NONE},
    {"get_viruslog_list", &ClientConnection::SendFileList, 2, AROUND_NONE},
    {"get_viruslog", &ClientConnection::SendFileContents, 2, AROUND_NONE},
    {"get_deferredmsglog", &ClientConnection::SendFileContents, 6, AROUND_NONE},
    {"get_blockedmsg_list", &ClientConnection::SendFileList, 3, AROUND_NONE},
    {"get_blockedmsg", &ClientConnection::SendFileContents, 3, AROUND_NONE},
    {"get_filteredmsg_list", &ClientConnection::SendFileList, 4, AROUND_NONE},
    {"get_filteredmsg", &ClientConnection::SendFileContents, 4, AROUND_NONE},
    {"get_deferredmsg_list", &ClientConnection::SendFileList, 5, AROUND_NONE},
    {"get_deferredmsg", &ClientConnection::SendFileContents, 5, AROUND_NONE},
    {"get_statistics", &ClientConnection::SendStatistics, -1, AROUND_NONE},
    {"reset_statistics", &ClientConnection::SendResetStatistics, -1, AROUND_NONE},
    {"send_deferredmsg", &ClientConnection::RequestFileSend, 5, AROUND_NONE},
    {"send_filteredmsg", &ClientConnection::RequestFileSend, 4, AROUND_NONE},
    {"send_blockedmsg", &ClientConnection::RequestFileSend, 3, AROUND_NONE},
    {"send_qfile", &ClientConnection::RequestFileSend, 0, AROUND_NONE},
    {"delete_viruslog", &ClientConnection::RequestFileDelete, 2, AROUND_NONE},
    {"delete_maillog", &ClientConnection::RequestFileDelete, 1, AROUND_NONE},
    {"delete_deferredmsg", &ClientConnection::RequestFileDelete, 5, AROUND_NONE},
    {"delete_filteredmsg", &ClientConnection::RequestFileDelete, 4, AROUND_NONE},
    {"delete_blockedmsg", &ClientConnection::RequestFileDelete, 3, AROUND_NONE},
    {"delete_qfile", &ClientConnection::RequestFileDelete, 0, AROUND_NONE},
    {"getsize_qfile", &ClientConnection::SendFolderSize, 0, AROUND_NONE},
    {"getsize_filteredmsg", &ClientConnection::SendFolderSize, 4, AROUND_NONE},
    {"getsize_blockedmsg", &ClientConnection::SendFolderSize, 3, AROUND_NONE},
    {"getsize_deferredmsg", &ClientConnection::SendFolderSize, 5, AROUND_NONE},
    {"setpath_qfile", &ClientConnection::SetCategoryFolder, 0, AROUND_NONE},
    {"REJECT_INCOMING_MAIL", &ClientConnection::ForwardControlCommand, -1, AROUND_NONE},
    {"ACCEPT_INCOMING_MAIL", &ClientConnection::ForwardControlCommand, -1, AROUND_NONE},
    {"BLOCK_MAIL_WITH_ATTACHMENTS", &ClientConnection::ForwardControlCommand, -1, AROUND_NONE},
    {"UNBLOCK_MAIL_WITH_ATTACHMENTS", &ClientConnection::ForwardControlCommand, -1, AROUND_NONE},
    {"BLOCK_MAIL_WITH_NAMED_ATTACHMENTS", &ClientConnection::ForwardControlCommand, -1,
     AROUND_NONE},
    {"UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS", &ClientConnection::ForwardControlCommand, -1,
     AROUND_NONE},
    {"BLOCK_MAIL_WITH_TYPED_ATTACHMENTS", &ClientConnection::ForwardControlCommand, -1,
     AROUND_NONE},
    {"UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS", &ClientConnection::ForwardControlCommand, -1,
     AROUND_NONE},
    {"INCREASE_SCAN_SETTINGS", &ClientConnection::ForwardControlCommand, -1, AROUND_NONE},
    {"DECREASE_SCAN_SETTINGS", &ClientConnection::ForwardControlCommand, -1, AROUND_NONE},
};

static_assert(sizeof(kCommands) / sizeof(kCommands[0]) == 46, "the command table has 46 words");

// True when text begins with word, letter case aside.
bool BeginsWith(const char* text, const char* word) {
    for (; *word != '\0'; ++word, ++text)
        if (*text == '\0' || AsciiUpper(*text) != AsciiUpper(*word))
            return false;
    return true;
}

const Command* FindCommand(const char* request) {
    for (const Command& command : kCommands)
        if (BeginsWith(request, command.word))
            return &command;
    return nullptr;
}

} // namespace

void ClientConnection::Dispatch() {
    Sleep(1000);
    // One owner for the request buffer, whichever way this returns.
    std::unique_ptr<char[]> request(new (std::nothrow) char[REQUEST_BUFFER_SIZE]);
    if (!request)
        return;
    request[0] = '\0';
    int status = 0;
    int count = ReadLine(request.get(), REQUEST_BUFFER_SIZE, REQUEST_WAIT_LIMIT, status);
    if (status != SOCKET_STATUS_DONE)
        return;
    request[count] = '\0';
    DispatchRequest(request.get(), count);
}

void ClientConnection::DispatchRequest(char* request, int length) {
    m_nRequestLength = length;
    const Command* command = FindCommand(request);
    if (command == nullptr) {
        LogMessage(IDS_UNRECOGNIZED_COMMAND, EVENTLOG_WARNING_TYPE, m_szPeerName);
        SendReply("CODE 3", "Invalid Request");
        return;
    }
    if ((command->around & AROUND_READ_VERSION) && g_pRunningService != nullptr)
        g_pRunningService->ReadVersionInfo();
    int result = (this->*(command->handler))(request, command->category);
    // The scanner re-reads its settings only after a configuration was
    // saved whole.
    if (command->handler == &ClientConnection::ReceiveConfig && result != 0)
        SendSetPreferences();
}

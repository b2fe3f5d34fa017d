// set_config: reads key='value' lines up to a short line, applies each to a
// freshly loaded ScannerSettings, and saves the whole record in one registry
// transaction only when every line was accepted.
#include "config/ScannerSettings.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"
#include "service/ClientConnection.h"
#include "service/LogEvent.h"
#include "service/Settings.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

// A line shorter than this (before its line feed, a carriage return counted)
// ends the list.
const int END_LINE_LENGTH = 4;

// The message of a refusal by ApplySetting or CheckListCounts.
UINT RefusalMessage(int result) {
    return result == APPLY_TOO_LONG   ? IDS_PARAM_TOO_LONG
           : result == APPLY_NO_QUOTE ? IDS_PARAM_BAD_FORMAT
                                      : IDS_PARAM_UNKNOWN;
}

} // namespace

// Logs message id as an error and answers code with its text.
void ClientConnection::RefuseConfig(const char* code, UINT id, const char* argument) {
    char format[MESSAGE_TEXT_SIZE];
    if (LoadStringA(GetModuleHandleA(nullptr), id, format, sizeof(format)) <= 0)
        format[0] = '\0';
    char text[MESSAGE_FORMAT_SIZE];
    BoundedFormat(text, sizeof(text), format, argument);
    LogEvent(text, EVENTLOG_ERROR_TYPE);
    SendReply(code, text);
}

int ClientConnection::ReceiveConfig(char* buffer, int) {
    buffer[0] = '\0';
    std::unique_ptr<ScannerSettings> settings(new (std::nothrow) ScannerSettings);
    if (!settings) {
        RefuseConfig("CODE 3", IDS_CONFIG_READ_FAILED, "");
        return 0;
    }
    settings->Load();

    const DWORD start = GetTickCount();
    for (;;) {
        // Each line within the line limit, all of them within the request's.
        int wait = m_lineWaitLimit;
        DWORD spent = GetTickCount() - start;
        int left = spent >= static_cast<DWORD>(m_configTimeLimit)
                       ? 0
                       : m_configTimeLimit - static_cast<int>(spent);
        if (wait < 0 || left < wait)
            wait = left;
        int status = 0;
        // Room for the line feed appended below and the terminator.
        int n = ReadLine(buffer, REQUEST_BUFFER_SIZE - 1, wait, status);
        if (status != SOCKET_STATUS_DONE) {
            // A failed read, or a client that stopped sending in the middle of
            // its list: nothing of it is saved.
            RefuseConfig("CODE 3", IDS_CONFIG_READ_FAILED, "");
            return 0;
        }
        // A line longer than the buffer holds far more than any setting
        // takes; it is refused whole rather than read in pieces.
        if (n >= REQUEST_BUFFER_SIZE - 2) {
            RefuseConfig("CODE 2", IDS_PARAM_TOO_LONG, "");
            return 0;
        }
        // Only a line ended by its line feed counts. The end of the
        // connection, in the middle of a line or between lines, is a request
        // cut short (a client that stopped half-way), not an end line: nothing
        // is saved and the scanner is not told.
        if (buffer[n] != '\n') {
            RefuseConfig("CODE 3", IDS_CONFIG_READ_FAILED, "");
            return 0;
        }
        if (n < END_LINE_LENGTH)
            break; // the end line

        buffer[strcspn(buffer, "\r\n")] = '\0';
        BoundedAppend(buffer, REQUEST_BUFFER_SIZE, "\n");
        int result = settings->ApplySetting(buffer);
        if (result != APPLY_OK) {
            RefuseConfig("CODE 2", RefusalMessage(result), "");
            return 0;
        }
    }
    // A list count may stand before its list line, so it is weighed against
    // the entries given once every line is in.
    int result = settings->CheckListCounts();
    if (result != APPLY_OK) {
        RefuseConfig("CODE 2", RefusalMessage(result), "");
        return 0;
    }

    // All or nothing: the whole record in one transaction; any write that
    // fails takes every write of this save back.
    LONG rc = BeginRegistrySave();
    if (rc == ERROR_SUCCESS) {
        rc = settings->Save();
        if (rc == ERROR_SUCCESS)
            rc = CommitRegistrySave();
        else
            RollbackRegistrySave();
    }
    if (rc != ERROR_SUCCESS) {
        RefuseConfig("CODE 3", IDS_CONFIG_SAVE_FAILED, SCANNER_KEY);
        return 0;
    }
    int status = 0;
    SendText("CODE 0", WAIT_NO_LIMIT, status);
    SendText("\r\n", WAIT_NO_LIMIT, status);
    return 1;
}

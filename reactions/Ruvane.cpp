// The reaction exports. Most reactions send one control command to Pellion on
// this machine through Marrish; Shutdown stops and starts the scanning service
// through the service control manager; Update starts Quennel.
#include "reactions/Ruvane.h"
#include "reactions/ServiceWait.h"

#include "remote/marrish/Marrish.h"
#include "platform/bounded.h"
#include "regkey/RegKey.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

const WCHAR kPellionKey[] = WIDE("Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion");
const WCHAR kConfigPort[] = WIDE("Config_Port");
const WCHAR kDrennicKey[] = WIDE("Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic");
const WCHAR kInstallPath[] = WIDE("Install_Path");
const WCHAR kDrennicService[] = WIDE("Vantry SMTP Drennic");
const WCHAR kMachinePrefix[] = WIDE("\\\\");
const WCHAR kQuennel[] = WIDE("\\quennel.exe");
const WCHAR kAutoUpdate[] = WIDE(" autoupdate");
const WCHAR kQuote[] = WIDE("\"");
const WCHAR kUpdateName[] = WIDE("AutoUpdate");
const WCHAR kIncreaseName[] = WIDE("IncreaseScanSettings");
const char kLocalHost[] = "localhost";

// The attachment lists go to the scanner in the OEM code page of the gateway,
// 437, named outright so that every machine sends the same bytes.
const UINT kOemCodePage = 437;

// The checks every export begins with, in this order: a null context, a zero
// undo token, a null description record, a context of another format. Gives 0
// when they pass, else the result code.
DWORD CommonChecks(const ReactionContext* context, bool isUndo, REACTION_HANDLE token, bool isPreDo,
                   const ReactionInfo* info) {
    if (context == nullptr)
        return REACTION_BAD_ARGUMENT;
    if (isUndo && token == 0)
        return REACTION_BAD_ARGUMENT;
    if (isPreDo && info == nullptr)
        return REACTION_BAD_ARGUMENT;
    if (context->dwStamp != REACTION_CONTEXT_STAMP)
        return REACTION_WRONG_CONTEXT;
    return 0;
}

// Asks the host's leave for a bracketed reaction. Only a context that has
// passed the checks is asked: the store of a context of another format is
// nothing this plug-in may call.
bool HostAllows(const ReactionContext* context, const WCHAR* name, bool begin) {
    ReactionStore* store = context->pStore;
    if (store == nullptr)
        return false;
    return (begin ? store->BeginReaction(name) : store->EndReaction(name)) != 0;
}

// Pellion's configuration port from its key (created if missing).
bool ReadConfigPort(DWORD& port) {
    CRegKeyW key;
    if (key.Open(HKEY_LOCAL_MACHINE, kPellionKey, 1) != ERROR_SUCCESS)
        return false;
    return key.Read(kConfigPort, port) == ERROR_SUCCESS;
}

REACTION_RESULT SendCommand(int (RemoteCommandHandler::*command)()) {
    DWORD port = 0;
    if (!ReadConfigPort(port))
        return REACTION_FAILURE;
    RemoteAccess access(kLocalHost, static_cast<int>(port), 1);
    return (access.*command)() != 0 ? REACTION_SUCCESS : REACTION_FAILURE;
}

// The parameter text of a Block...Attachments reaction, in the OEM code page,
// into out. False when there is no text (no cell, no block, offset 0), when
// it is empty, when it does not fit whole, or when it holds a character the
// code page lacks: a cut list or a '?' in place of a character would make the
// scanner block something else than was asked.
bool ParameterText(const ReactionContext* context, char (&out)[REACTION_TEXT_SIZE]) {
    if (context->ppParameters == nullptr || *context->ppParameters == nullptr)
        return false;
    const BYTE* block = *context->ppParameters;
    DWORD offset = 0;
    memcpy(&offset, block + offsetof(ReactionParameters, dwTextOffset), sizeof(offset));
    if (offset == 0)
        return false;
    // Copied unit by unit (the text need not be aligned), never more units
    // than could fit the buffer, so that no more of the host's memory is read.
    WCHAR wide[REACTION_TEXT_SIZE + 1];
    size_t n = 0;
    for (;;) {
        WCHAR unit;
        memcpy(&unit, block + offset + n * sizeof(WCHAR), sizeof(unit));
        if (unit == 0)
            break;
        if (n == REACTION_TEXT_SIZE)
            return false;
        wide[n++] = unit;
    }
    wide[n] = 0;
    if (n == 0)
        return false;
    BOOL usedDefault = FALSE;
    int bytes = WideCharToMultiByte(kOemCodePage, WC_NO_BEST_FIT_CHARS, wide, -1, out,
                                    REACTION_TEXT_SIZE, nullptr, &usedDefault);
    return bytes > 0 && !usedDefault;
}

REACTION_RESULT SendListCommand(const ReactionContext* context,
                                int (RemoteCommandHandler::*command)(char*)) {
    char text[REACTION_TEXT_SIZE] = {};
    if (!ParameterText(context, text))
        return REACTION_FAILURE;
    DWORD port = 0;
    if (!ReadConfigPort(port))
        return REACTION_FAILURE;
    RemoteAccess access(kLocalHost, static_cast<int>(port), 1);
    return (access.*command)(text) != 0 ? REACTION_SUCCESS : REACTION_FAILURE;
}

// Starts or stops a service of a machine and, with wait, waits up to
// REACTION_SERVICE_WAIT_QUERIES seconds for it to reach the state wanted.
// Returns 0 or a system error code: a service that did not get there in
// time is ERROR_SERVICE_REQUEST_TIMEOUT, since the reaction did not happen.
DWORD ServiceControl(const WCHAR* machine, const WCHAR* service, bool start, bool wait) {
    if (machine == nullptr || *machine == 0 || service == nullptr || *service == 0)
        return ERROR_INVALID_PARAMETER;
    WCHAR machineName[MAX_COMPUTERNAME_LENGTH + MAX_PATH + 3] = {};
    BoundedCopyWide(machineName, sizeof(machineName) / sizeof(WCHAR), kMachinePrefix);
    if (!BoundedAppendWide(machineName, sizeof(machineName) / sizeof(WCHAR), machine))
        return ERROR_INVALID_PARAMETER;
    SC_HANDLE manager = OpenSCManagerW(machineName, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr)
        return GetLastError();
    SC_HANDLE handle = OpenServiceW(manager, service, SERVICE_ALL_ACCESS);
    if (handle == nullptr) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return error;
    }
    SERVICE_STATUS status = {};
    BOOL done = start ? StartServiceW(handle, 0, nullptr)
                      : ControlService(handle, SERVICE_CONTROL_STOP, &status);
    if (!done) {
        DWORD error = GetLastError();
        CloseServiceHandle(handle);
        CloseServiceHandle(manager);
        return error;
    }
    DWORD result = 0;
    if (wait) {
        const DWORD wanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
        result = WaitForServiceState(
            [handle](SERVICE_STATUS& seen) { return QueryServiceStatus(handle, &seen) != FALSE; },
            wanted, REACTION_SERVICE_WAIT_QUERIES, [] { Sleep(REACTION_SERVICE_WAIT_PAUSE); });
    }
    CloseServiceHandle(handle);
    CloseServiceHandle(manager);
    return result;
}

REACTION_RESULT ControlScanner(bool start) {
    WCHAR computer[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    if (!GetComputerNameW(computer, &size))
        return REACTION_FAILURE;
    return ServiceControl(computer, kDrennicService, start, true) == 0 ? REACTION_SUCCESS
                                                                       : REACTION_FAILURE;
}

REACTION_RESULT FillInfo(ReactionInfo* info, DWORD bracketed, DWORD category) {
    info->dwBracketed = bracketed;
    info->dwCategory = category;
    info->dwReserved = 0;
    info->dwUndoable = 1;
    return REACTION_SUCCESS;
}

REACTION_RESULT Verify(ReactionContext* context, const WCHAR* data) {
    if (DWORD refused = CommonChecks(context, false, 0, false, nullptr))
        return refused;
    if (data == nullptr || data[0] == 0)
        return REACTION_BAD_ARGUMENT;
    return REACTION_SUCCESS;
}

REACTION_RESULT PreDo(ReactionContext* context, ReactionInfo* info, DWORD bracketed,
                      DWORD category) {
    if (DWORD refused = CommonChecks(context, false, 0, true, info))
        return refused;
    return FillInfo(info, bracketed, category);
}

REACTION_RESULT CommandDo(ReactionContext* context, int (RemoteCommandHandler::*command)()) {
    if (DWORD refused = CommonChecks(context, false, 0, false, nullptr))
        return refused;
    return SendCommand(command);
}

REACTION_RESULT CommandUndo(ReactionContext* context, REACTION_HANDLE token,
                            int (RemoteCommandHandler::*command)()) {
    if (DWORD refused = CommonChecks(context, true, token, false, nullptr))
        return refused;
    return SendCommand(command);
}

REACTION_RESULT ListDo(ReactionContext* context, int (RemoteCommandHandler::*command)(char*)) {
    if (DWORD refused = CommonChecks(context, false, 0, false, nullptr))
        return refused;
    return SendListCommand(context, command);
}

} // namespace

// ---- Update -------------------------------------------------------------------

REACTION_RESULT Service_Reaction_Update_PreDo(ReactionContext* context, ReactionInfo* info) {
    return PreDo(context, info, 1, 1);
}

REACTION_RESULT Service_Reaction_Update_Do(ReactionContext* context) {
    if (DWORD refused = CommonChecks(context, false, 0, false, nullptr))
        return refused;
    if (!HostAllows(context, kUpdateName, true))
        return REACTION_BAD_ARGUMENT;

    // Install_Path may be as long as a registry text; the command line is not.
    std::unique_ptr<WCHAR[]> installPath(new (std::nothrow) WCHAR[REGKEY_TEXT_BUFFER / 2]);
    if (!installPath)
        return REACTION_FAILURE;
    installPath[0] = 0;
    {
        CRegKeyW key;
        if (key.Open(HKEY_LOCAL_MACHINE, kDrennicKey, 1) != ERROR_SUCCESS ||
            key.Read(kInstallPath, installPath.get()) != ERROR_SUCCESS)
            return REACTION_FAILURE;
    }
    // The program path is quoted, as the scheduler quotes it: unquoted, a
    // folder with a blank in its name ("C:\Program Files\...") would make
    // Windows try "C:\Program" first. A path that is empty, holds a quote or
    // leaves no room for the rest of the line starts nothing.
    if (installPath[0] == 0)
        return REACTION_FAILURE;
    for (const WCHAR* p = installPath.get(); *p != 0; ++p)
        if (*p == kQuote[0])
            return REACTION_FAILURE;
    WCHAR commandLine[REACTION_COMMAND_LINE_SIZE] = {};
    bool fit = BoundedCopyWide(commandLine, REACTION_COMMAND_LINE_SIZE, kQuote) &&
               BoundedAppendWide(commandLine, REACTION_COMMAND_LINE_SIZE, installPath.get()) &&
               BoundedAppendWide(commandLine, REACTION_COMMAND_LINE_SIZE, kQuennel) &&
               BoundedAppendWide(commandLine, REACTION_COMMAND_LINE_SIZE, kQuote) &&
               BoundedAppendWide(commandLine, REACTION_COMMAND_LINE_SIZE, kAutoUpdate);
    if (!fit)
        return REACTION_FAILURE;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process))
        return REACTION_FAILURE;
    // Quennel is not waited for.
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return REACTION_SUCCESS;
}

REACTION_RESULT Service_Reaction_Update_Undo(ReactionContext* context, REACTION_HANDLE token) {
    if (DWORD refused = CommonChecks(context, true, token, false, nullptr))
        return refused;
    if (!HostAllows(context, kUpdateName, false))
        return REACTION_BAD_ARGUMENT;
    return REACTION_SUCCESS;
}

REACTION_RESULT Wizard_Reaction_Update_DataVerify(ReactionContext* context, const WCHAR* data) {
    return Verify(context, data);
}

// ---- Shutdown -----------------------------------------------------------------

REACTION_RESULT Service_Reaction_Shutdown_PreDo(ReactionContext* context, ReactionInfo* info) {
    return PreDo(context, info, 0, 0);
}

REACTION_RESULT Service_Reaction_Shutdown_Do(ReactionContext* context) {
    if (DWORD refused = CommonChecks(context, false, 0, false, nullptr))
        return refused;
    return ControlScanner(false);
}

REACTION_RESULT Service_Reaction_Shutdown_Undo(ReactionContext* context, REACTION_HANDLE token) {
    if (DWORD refused = CommonChecks(context, true, token, false, nullptr))
        return refused;
    return ControlScanner(true);
}

REACTION_RESULT Wizard_Reaction_Shutdown_DataVerify(ReactionContext* context, const WCHAR* data) {
    return Verify(context, data);
}

// ---- BlockAllAttachments ------------------------------------------------------

REACTION_RESULT Service_Reaction_BlockAllAttachments_PreDo(ReactionContext* context,
                                                           ReactionInfo* info) {
    return PreDo(context, info, 0, 0);
}

REACTION_RESULT Service_Reaction_BlockAllAttachments_Do(ReactionContext* context) {
    return CommandDo(context, &RemoteCommandHandler::SendCommand_BlockMailWithAttachments);
}

REACTION_RESULT Service_Reaction_BlockAllAttachments_Undo(ReactionContext* context,
                                                          REACTION_HANDLE token) {
    return CommandUndo(context, token,
                       &RemoteCommandHandler::SendCommand_UnblockMailWithAttachments);
}

REACTION_RESULT Wizard_Reaction_BlockAllAttachments_DataVerify(ReactionContext* context,
                                                               const WCHAR* data) {
    return Verify(context, data);
}

// ---- BlockNamedAttachments ----------------------------------------------------

REACTION_RESULT Service_Reaction_BlockNamedAttachments_PreDo(ReactionContext* context,
                                                             ReactionInfo* info) {
    return PreDo(context, info, 0, 0);
}

REACTION_RESULT Service_Reaction_BlockNamedAttachments_Do(ReactionContext* context) {
    return ListDo(context, &RemoteCommandHandler::SendCommand_BlockMailWithNamedAttachments);
}

REACTION_RESULT Service_Reaction_BlockNamedAttachments_Undo(ReactionContext* context,
                                                            REACTION_HANDLE token) {
    return CommandUndo(context, token,
                       &RemoteCommandHandler::SendCommand_UnblockMailWithNamedAttachments);
}

REACTION_RESULT Wizard_Reaction_BlockNamedAttachments_DataVerify(ReactionContext* context,
                                                                 const WCHAR* data) {
    return Verify(context, data);
}

// ---- BlockTypedAttachments ----------------------------------------------------

REACTION_RESULT Service_Reaction_BlockTypedAttachments_PreDo(ReactionContext* context,
                                                             ReactionInfo* info) {
    return PreDo(context, info, 0, 0);
}

REACTION_RESULT Service_Reaction_BlockTypedAttachments_Do(ReactionContext* context) {
    return ListDo(context, &RemoteCommandHandler::SendCommand_BlockMailWithTypedAttachments);
}

REACTION_RESULT Service_Reaction_BlockTypedAttachments_Undo(ReactionContext* context,
                                                            REACTION_HANDLE token) {
    return CommandUndo(context, token,
                       &RemoteCommandHandler::SendCommand_UnblockMailWithTypedAttachments);
}

REACTION_RESULT Wizard_Reaction_BlockTypedAttachments_DataVerify(ReactionContext* context,
                                                                 const WCHAR* data) {
    return Verify(context, data);
}

// ---- IncreaseScanSettings -----------------------------------------------------

REACTION_RESULT Service_Reaction_IncreaseScanSettings_PreDo(ReactionContext* context,
                                                            ReactionInfo* info) {
    return PreDo(context, info, 1, 12);
}

// Raises the three scan settings to 1 and keeps their earlier values in an
// undo record, whose handle is the result. A record that cannot be written,
// or settings that cannot be written back, end the reaction with 0, and the
// record is discarded: the host is never handed a token for a change that was
// not made.
REACTION_RESULT Service_Reaction_IncreaseScanSettings_Do(ReactionContext* context) {
    if (DWORD refused = CommonChecks(context, false, 0, false, nullptr))
        return refused;
    if (!HostAllows(context, kIncreaseName, true))
        return REACTION_BAD_ARGUMENT;
    ReactionStore* store = context->pStore;

    DWORD port = 0;
    if (!ReadConfigPort(port))
        return REACTION_FAILURE;
    std::unique_ptr<RemotePreferences> preferences(
        new (std::nothrow) RemotePreferences(kLocalHost, static_cast<int>(port)));
    if (!preferences || !preferences->Load())
        return REACTION_FAILURE;
    GPS* gps = preferences->GetGPS();
    IncreaseScanSettingsRecord earlier;
    earlier.dwMacroHeuristics = gps->dwScanMacroHeuristics;
    earlier.dwProgramHeuristics = gps->dwScanProgramHeuristics;
    earlier.dwScanCompressed = gps->dwScanCompressed;

    REACTION_HANDLE record = store->CreateRecord(0, sizeof(IncreaseScanSettingsRecord));
    if (record == 0)
        return REACTION_FAILURE;
    void* bytes = store->LockRecord(record);
    if (bytes == nullptr) {
        store->DeleteRecord(record);
        return REACTION_FAILURE;
    }
    memcpy(bytes, &earlier, sizeof(earlier));
    store->UnlockRecord(record);

    gps->dwScanMacroHeuristics = 1;
    gps->dwScanProgramHeuristics = 1;
    gps->dwScanCompressed = 1;
    if (!preferences->Save()) {
        store->DeleteRecord(record);
        return REACTION_FAILURE;
    }
    RemoteAccess access(kLocalHost, static_cast<int>(port), 1);
    if (access.SendCommand_IncreaseScanSettings() == 0) {
        // The scanner was not told: the reaction did not happen. The earlier
        // values go back (as far as Pellion takes them) and no token is given,
        // so that nothing is left raised that no undo would lower.
        gps->dwScanMacroHeuristics = earlier.dwMacroHeuristics;
        gps->dwScanProgramHeuristics = earlier.dwProgramHeuristics;
        gps->dwScanCompressed = earlier.dwScanCompressed;
        preferences->Save();
        store->DeleteRecord(record);
        return REACTION_FAILURE;
    }
    return record;
}

// Puts the three settings back from the undo record and tells the scanner.
// The record is discarded once the settings are written back and the scanner
// was told; while either failed, it is kept, so that the undo can be tried
// again.
REACTION_RESULT Service_Reaction_IncreaseScanSettings_Undo(ReactionContext* context,
                                                           REACTION_HANDLE token) {
    if (DWORD refused = CommonChecks(context, true, token, false, nullptr))
        return refused;
    if (!HostAllows(context, kIncreaseName, false))
        return REACTION_BAD_ARGUMENT;
    ReactionStore* store = context->pStore;

    DWORD port = 0;
    if (!ReadConfigPort(port))
        return REACTION_FAILURE;
    std::unique_ptr<RemotePreferences> preferences(
        new (std::nothrow) RemotePreferences(kLocalHost, static_cast<int>(port)));
    if (!preferences || !preferences->Load())
        return REACTION_FAILURE;
    void* bytes = store->LockRecord(token);
    if (bytes == nullptr)
        return REACTION_FAILURE;
    IncreaseScanSettingsRecord earlier;
    memcpy(&earlier, bytes, sizeof(earlier));
    store->UnlockRecord(token);

    GPS* gps = preferences->GetGPS();
    gps->dwScanMacroHeuristics = earlier.dwMacroHeuristics;
    gps->dwScanProgramHeuristics = earlier.dwProgramHeuristics;
    gps->dwScanCompressed = earlier.dwScanCompressed;
    const bool saved = preferences->Save();
    RemoteAccess access(kLocalHost, static_cast<int>(port), 1);
    const bool told = access.SendCommand_DecreaseScanSettings() != 0;
    if (!saved || !told)
        return REACTION_FAILURE;
    store->DeleteRecord(token);
    return REACTION_SUCCESS;
}

REACTION_RESULT Wizard_Reaction_IncreaseScanSettings_DataVerify(ReactionContext* context,
                                                                const WCHAR* data) {
    return Verify(context, data);
}

// ---- StopInboundMail ----------------------------------------------------------

REACTION_RESULT Service_Reaction_StopInboundMail_PreDo(ReactionContext* context,
                                                       ReactionInfo* info) {
    return PreDo(context, info, 0, 0);
}

REACTION_RESULT Service_Reaction_StopInboundMail_Do(ReactionContext* context) {
    return CommandDo(context, &RemoteCommandHandler::SendCommand_RejectIncomingMail);
}

REACTION_RESULT Service_Reaction_StopInboundMail_Undo(ReactionContext* context,
                                                      REACTION_HANDLE token) {
    return CommandUndo(context, token, &RemoteCommandHandler::SendCommand_AcceptIncomingMail);
}

REACTION_RESULT Wizard_Reaction_StopInboundMail_DataVerify(ReactionContext* context,
                                                           const WCHAR* data) {
    return Verify(context, data);
}

// The reaction plug-in, loaded as a host loads it, against a small
// configuration service in the test and a store of records in memory.
#include "reactions/Ruvane.h"
#include "reactions/ServiceWait.h"

#include "FakePellion.h"
#include "regkey/RegKey.h"
#include "support/TempRoot.h"
#include "support/WaitUntil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

const char* const kReactions[] = {"Update",
                                  "Shutdown",
                                  "BlockAllAttachments",
                                  "BlockNamedAttachments",
                                  "BlockTypedAttachments",
                                  "IncreaseScanSettings",
                                  "StopInboundMail"};

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; text && *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

// The host's store, in memory, with a log of every call.
class MemoryStore : public ReactionStore {
public:
    REACTION_HANDLE CreateRecord(int kind, int size) override {
        log.push_back("CreateRecord " + std::to_string(kind) + " " + std::to_string(size));
        if (refuseCreate)
            return 0;
        REACTION_HANDLE h = next++;
        records[h] = std::vector<BYTE>(static_cast<size_t>(size), 0);
        return h;
    }
    void DeleteRecord(REACTION_HANDLE record) override {
        log.push_back("DeleteRecord " + std::to_string(record));
        records.erase(record);
    }
    void HostSlot2() override { log.push_back("slot 2"); }
    void* LockRecord(REACTION_HANDLE record) override {
        log.push_back("LockRecord " + std::to_string(record));
        auto it = records.find(record);
        if (refuseLock || it == records.end())
            return nullptr;
        return it->second.data();
    }
    void HostSlot4() override { log.push_back("slot 4"); }
    void HostSlot5() override { log.push_back("slot 5"); }
    void UnlockRecord(REACTION_HANDLE record) override {
        log.push_back("UnlockRecord " + std::to_string(record));
    }
    int BeginReaction(const WCHAR* name) override {
        log.push_back("BeginReaction " + Narrow(name));
        return refuseBegin ? 0 : 1;
    }
    int EndReaction(const WCHAR* name) override {
        log.push_back("EndReaction " + Narrow(name));
        return refuseEnd ? 0 : 1;
    }

    std::map<REACTION_HANDLE, std::vector<BYTE>> records;
    std::vector<std::string> log;
    REACTION_HANDLE next = 5;
    bool refuseBegin = false, refuseEnd = false, refuseCreate = false, refuseLock = false;
};

// A parameter block with its text at a chosen offset.
class Parameters {
public:
    explicit Parameters(const std::u16string& text, DWORD offset = 44)
        : bytes_(sizeof(ReactionParameters) + offset + (text.size() + 1) * 2, 0) {
        memcpy(&bytes_[40], &offset, 4);
        if (offset != 0)
            memcpy(&bytes_[offset], text.c_str(), (text.size() + 1) * 2);
        address_ = bytes_.data();
    }
    BYTE** cell() { return &address_; }
    void clear_address() { address_ = nullptr; }

private:
    std::vector<BYTE> bytes_;
    BYTE* address_;
};

class Plugin : public ::testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryA(RUVANE_LIBRARY);
        ASSERT_NE(module_, nullptr);
        context_.dwStamp = REACTION_CONTEXT_STAMP;
        context_.pStore = &store_;
        SetPort(pellion_.port());
    }
    void TearDown() override {
        if (module_ != nullptr)
            FreeLibrary(module_);
    }

    void SetPort(DWORD port) {
        CRegKey key;
        key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion", 1);
        key.Write("Config_Port", port);
    }

    FARPROC Find(const std::string& name) { return GetProcAddress(module_, name.c_str()); }
    template <typename F> F As(const std::string& name) {
        FARPROC f = Find(name);
        EXPECT_NE(f, nullptr) << name;
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(f));
    }
    REACTION_RESULT Do(const std::string& x, ReactionContext* c) {
        return As<ReactionDoFn>("Service_Reaction_" + x + "_Do")(c);
    }
    REACTION_RESULT Undo(const std::string& x, ReactionContext* c, REACTION_HANDLE token) {
        return As<ReactionUndoFn>("Service_Reaction_" + x + "_Undo")(c, token);
    }
    REACTION_RESULT PreDo(const std::string& x, ReactionContext* c, ReactionInfo* info) {
        return As<ReactionPreDoFn>("Service_Reaction_" + x + "_PreDo")(c, info);
    }
    REACTION_RESULT Verify(const std::string& x, ReactionContext* c, const WCHAR* data) {
        return As<ReactionVerifyFn>("Wizard_Reaction_" + x + "_DataVerify")(c, data);
    }

    vtest::TempRoot root_;
    vtest::FakePellion pellion_;
    MemoryStore store_;
    ReactionContext context_ = {};
    HMODULE module_ = nullptr;
};

const WCHAR kSomeText[] = {'x', 0};
const WCHAR kEmptyText[] = {0};

} // namespace

TEST_F(Plugin, ExportsTheTwentyEightReactionFunctionsAndNothingElse) {
    for (const char* x : kReactions) {
        std::string r = x;
        EXPECT_NE(Find("Service_Reaction_" + r + "_PreDo"), nullptr) << r;
        EXPECT_NE(Find("Service_Reaction_" + r + "_Do"), nullptr) << r;
        EXPECT_NE(Find("Service_Reaction_" + r + "_Undo"), nullptr) << r;
        EXPECT_NE(Find("Wizard_Reaction_" + r + "_DataVerify"), nullptr) << r;
    }
    SetLastError(0);
    EXPECT_EQ(Find("WideCharToMultiByte"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(Find("RegOpenKeyExW"), nullptr);
    EXPECT_EQ(Find("Service_Reaction_Update"), nullptr);
}

TEST(PluginLoading, MissingLibraryIsNotFound) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("no-such-plugin-library.so"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST_F(Plugin, NullContextIsABadArgumentForEveryExport) {
    ReactionInfo info = {};
    for (const char* x : kReactions) {
        EXPECT_EQ(PreDo(x, nullptr, &info), REACTION_BAD_ARGUMENT) << x;
        EXPECT_EQ(Do(x, nullptr), REACTION_BAD_ARGUMENT) << x;
        EXPECT_EQ(Undo(x, nullptr, 1), REACTION_BAD_ARGUMENT) << x;
        EXPECT_EQ(Verify(x, nullptr, kSomeText), REACTION_BAD_ARGUMENT) << x;
    }
    EXPECT_TRUE(store_.log.empty());
    EXPECT_TRUE(pellion_.requests().empty());
}

TEST_F(Plugin, ContextOfAnotherFormatIsRefusedAndNothingIsTouched) {
    Parameters parameters(u"*.exe");
    for (DWORD stamp : {0x02030150u, 0x02030152u, 0u}) {
        ReactionContext other = context_;
        other.dwStamp = stamp;
        other.ppParameters = parameters.cell();
        ReactionInfo info = {};
        for (const char* x : kReactions) {
            EXPECT_EQ(PreDo(x, &other, &info), REACTION_WRONG_CONTEXT) << x;
            EXPECT_EQ(Do(x, &other), REACTION_WRONG_CONTEXT) << x;
            EXPECT_EQ(Undo(x, &other, 5), REACTION_WRONG_CONTEXT) << x;
            EXPECT_EQ(Verify(x, &other, kSomeText), REACTION_WRONG_CONTEXT) << x;
        }
        EXPECT_EQ(info.dwUndoable, 0u);
    }
    // The store of a foreign context is never called, not even BeginReaction.
    EXPECT_TRUE(store_.log.empty());
    EXPECT_TRUE(pellion_.requests().empty());
}

TEST_F(Plugin, ZeroTokenIsABadArgumentForEveryUndo) {
    for (const char* x : kReactions)
        EXPECT_EQ(Undo(x, &context_, 0), REACTION_BAD_ARGUMENT) << x;
    EXPECT_TRUE(store_.log.empty());
    EXPECT_TRUE(pellion_.requests().empty());
}

TEST_F(Plugin, DataVerifyWantsSomeText) {
    for (const char* x : kReactions) {
        EXPECT_EQ(Verify(x, &context_, nullptr), REACTION_BAD_ARGUMENT) << x;
        EXPECT_EQ(Verify(x, &context_, kEmptyText), REACTION_BAD_ARGUMENT) << x;
        EXPECT_EQ(Verify(x, &context_, kSomeText), REACTION_SUCCESS) << x;
    }
    EXPECT_TRUE(store_.log.empty());
}

TEST_F(Plugin, PreDoFillsFourFieldsAndLeavesTheRest) {
    struct Case {
        const char* reaction;
        DWORD values[4];
    } cases[] = {{"Update", {1, 1, 0, 1}},
                 {"IncreaseScanSettings", {1, 12, 0, 1}},
                 {"Shutdown", {0, 0, 0, 1}},
                 {"BlockAllAttachments", {0, 0, 0, 1}},
                 {"BlockNamedAttachments", {0, 0, 0, 1}},
                 {"BlockTypedAttachments", {0, 0, 0, 1}},
                 {"StopInboundMail", {0, 0, 0, 1}}};
    for (const Case& c : cases) {
        BYTE raw[32];
        memset(raw, 0xAB, sizeof(raw));
        ReactionInfo* info = reinterpret_cast<ReactionInfo*>(raw);
        EXPECT_EQ(PreDo(c.reaction, &context_, info), REACTION_SUCCESS) << c.reaction;
        DWORD fields[4];
        memcpy(fields, raw + 8, sizeof(fields));
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(fields[i], c.values[i]) << c.reaction << " offset " << 8 + 4 * i;
        for (int i : {0, 1, 2, 3, 4, 5, 6, 7, 24, 25, 26, 27, 28, 29, 30, 31})
            EXPECT_EQ(raw[i], 0xAB) << c.reaction << " byte " << i;
        EXPECT_EQ(PreDo(c.reaction, &context_, nullptr), REACTION_BAD_ARGUMENT) << c.reaction;
    }
}

TEST_F(Plugin, CommandReactionsSendTheirWord) {
    struct Case {
        const char* reaction;
        const char* doWord;
        const char* undoWord;
    } cases[] = {
        {"BlockAllAttachments", "BLOCK_MAIL_WITH_ATTACHMENTS", "UNBLOCK_MAIL_WITH_ATTACHMENTS"},
        {"StopInboundMail", "REJECT_INCOMING_MAIL", "ACCEPT_INCOMING_MAIL"},
        {"BlockNamedAttachments", nullptr, "UNBLOCK_MAIL_WITH_NAMED_ATTACHMENTS"},
        {"BlockTypedAttachments", nullptr, "UNBLOCK_MAIL_WITH_TYPED_ATTACHMENTS"},
    };
    for (const Case& c : cases) {
        size_t before = pellion_.requests().size();
        if (c.doWord != nullptr) {
            EXPECT_EQ(Do(c.reaction, &context_), REACTION_SUCCESS) << c.reaction;
            ASSERT_EQ(pellion_.requests().size(), before + 1);
            EXPECT_EQ(pellion_.requests().back(), std::string(c.doWord) + "\n");
        }
        // The token of a command reaction is only checked for zero.
        EXPECT_EQ(Undo(c.reaction, &context_, 12345), REACTION_SUCCESS) << c.reaction;
        EXPECT_EQ(pellion_.requests().back(), std::string(c.undoWord) + "\n");
    }
    EXPECT_TRUE(store_.log.empty());
}

TEST_F(Plugin, CommandNotAnsweredCode0IsFailure) {
    pellion_.set_command_reply("CODE 3 MESSAGE not delivered\r\n");
    EXPECT_EQ(Do("StopInboundMail", &context_), REACTION_FAILURE);
    EXPECT_EQ(Undo("StopInboundMail", &context_, 1), REACTION_FAILURE);
    EXPECT_EQ(Do("BlockAllAttachments", &context_), REACTION_FAILURE);
    Parameters parameters(u"*.exe");
    context_.ppParameters = parameters.cell();
    EXPECT_EQ(Do("BlockNamedAttachments", &context_), REACTION_FAILURE);
    EXPECT_EQ(pellion_.requests().size(), 4u);
}

TEST_F(Plugin, NamedAndTypedListsGoInTheOemPage) {
    Parameters names(u"*.exe *.scr");
    context_.ppParameters = names.cell();
    EXPECT_EQ(Do("BlockNamedAttachments", &context_), REACTION_SUCCESS);
    Parameters types(u"r\u00e9sum\u00e9.doc", 45); // at an odd offset, with e acute
    context_.ppParameters = types.cell();
    EXPECT_EQ(Do("BlockTypedAttachments", &context_), REACTION_SUCCESS);
    auto requests = pellion_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS *.exe *.scr\n");
    EXPECT_EQ(requests[1], "BLOCK_MAIL_WITH_TYPED_ATTACHMENTS r\x82sum\x82.doc\n");
}

TEST_F(Plugin, ListDoWithoutUsableTextSendsNothing) {
    for (const char* x : {"BlockNamedAttachments", "BlockTypedAttachments"}) {
        context_.ppParameters = nullptr; // no cell
        EXPECT_EQ(Do(x, &context_), REACTION_FAILURE) << x;
        Parameters noAddress(u"*.exe");
        noAddress.clear_address(); // a cell holding null
        context_.ppParameters = noAddress.cell();
        EXPECT_EQ(Do(x, &context_), REACTION_FAILURE) << x;
        Parameters offsetZero(u"*.exe", 0);
        context_.ppParameters = offsetZero.cell();
        EXPECT_EQ(Do(x, &context_), REACTION_FAILURE) << x;
        Parameters empty(u"");
        context_.ppParameters = empty.cell();
        EXPECT_EQ(Do(x, &context_), REACTION_FAILURE) << x;
        // A character the OEM page lacks would reach the scanner as '?'.
        Parameters cyrillic(u"*.\u0436");
        context_.ppParameters = cyrillic.cell();
        EXPECT_EQ(Do(x, &context_), REACTION_FAILURE) << x;
    }
    EXPECT_TRUE(pellion_.requests().empty());
}

TEST_F(Plugin, ListMustFitTheTextBufferWhole) {
    // 259 characters and the terminator fill the 260 bytes: sent.
    Parameters fits(std::u16string(REACTION_TEXT_SIZE - 1, u'a'));
    context_.ppParameters = fits.cell();
    EXPECT_EQ(Do("BlockNamedAttachments", &context_), REACTION_SUCCESS);
    ASSERT_EQ(pellion_.requests().size(), 1u);
    EXPECT_EQ(pellion_.requests()[0], "BLOCK_MAIL_WITH_NAMED_ATTACHMENTS " +
                                          std::string(REACTION_TEXT_SIZE - 1, 'a') + "\n");
    // One more does not fit and is not cut: nothing is sent.
    Parameters tooLong(std::u16string(REACTION_TEXT_SIZE, u'a'));
    context_.ppParameters = tooLong.cell();
    EXPECT_EQ(Do("BlockNamedAttachments", &context_), REACTION_FAILURE);
    EXPECT_EQ(pellion_.requests().size(), 1u);
}

TEST_F(Plugin, MissingConfigPortSendsNothingAndCreatesThePellionKey) {
    CRegKey key;
    ASSERT_EQ(key.Delete("Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion"), ERROR_SUCCESS);
    ASSERT_NE(key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion", 0),
              ERROR_SUCCESS);
    Parameters names(u"*.exe");
    context_.ppParameters = names.cell();
    for (const char* x : {"BlockAllAttachments", "BlockNamedAttachments", "BlockTypedAttachments",
                          "StopInboundMail", "IncreaseScanSettings"}) {
        EXPECT_EQ(Do(x, &context_), REACTION_FAILURE) << x;
        EXPECT_EQ(Undo(x, &context_, 5), REACTION_FAILURE) << x;
    }
    EXPECT_TRUE(pellion_.requests().empty());
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Pellion", 0),
              ERROR_SUCCESS);
    key.Close();
}

TEST_F(Plugin, IncreaseThenUndoRestoresTheSettingsExactly) {
    pellion_.set_settings(0, 5, -1);
    REACTION_RESULT token = Do("IncreaseScanSettings", &context_);
    ASSERT_EQ(token, 5u); // the store's first handle
    EXPECT_EQ(pellion_.compressed(), 1);
    EXPECT_EQ(pellion_.macro(), 1);
    EXPECT_EQ(pellion_.program(), 1);
    ASSERT_EQ(store_.records.count(5), 1u);
    IncreaseScanSettingsRecord saved;
    memcpy(&saved, store_.records[5].data(), sizeof(saved));
    EXPECT_EQ(saved.dwMacroHeuristics, 5u);
    EXPECT_EQ(saved.dwProgramHeuristics, 0xFFFFFFFFu);
    EXPECT_EQ(saved.dwScanCompressed, 0u);
    std::vector<std::string> doLog = {"BeginReaction IncreaseScanSettings", "CreateRecord 0 12",
                                      "LockRecord 5", "UnlockRecord 5"};
    EXPECT_EQ(store_.log, doLog);

    store_.log.clear();
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, token), REACTION_SUCCESS);
    EXPECT_EQ(pellion_.compressed(), 0);
    EXPECT_EQ(pellion_.macro(), 5);
    EXPECT_EQ(pellion_.program(), -1);
    EXPECT_EQ(store_.records.count(5), 0u);
    std::vector<std::string> undoLog = {"EndReaction IncreaseScanSettings", "LockRecord 5",
                                        "UnlockRecord 5", "DeleteRecord 5"};
    EXPECT_EQ(store_.log, undoLog);

    auto requests = pellion_.requests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0], "get_config\n");
    EXPECT_EQ(requests[1].substr(0, 11), "set_config\n");
    EXPECT_EQ(requests[2], "INCREASE_SCAN_SETTINGS\n");
    EXPECT_EQ(requests[3], "get_config\n");
    EXPECT_EQ(requests[4], "set_config\n"
                           "SMTP_SCAN_COMPRESSED_FLAG='0'\n"
                           "SMTP_SCAN_MACROHEURISTICS='5'\n"
                           "SMTP_SCAN_PROGRAMHEURISTICS='-1'\n\n");
    EXPECT_EQ(requests[5], "DECREASE_SCAN_SETTINGS\n");
}

TEST_F(Plugin, BracketRefusalsStopTheReaction) {
    store_.refuseBegin = true;
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), REACTION_BAD_ARGUMENT);
    EXPECT_EQ(Do("Update", &context_), REACTION_BAD_ARGUMENT);
    store_.refuseEnd = true;
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, 5), REACTION_BAD_ARGUMENT);
    EXPECT_EQ(Undo("Update", &context_, 5), REACTION_BAD_ARGUMENT);
    std::vector<std::string> log = {"BeginReaction IncreaseScanSettings",
                                    "BeginReaction AutoUpdate", "EndReaction IncreaseScanSettings",
                                    "EndReaction AutoUpdate"};
    EXPECT_EQ(store_.log, log);
    EXPECT_TRUE(pellion_.requests().empty());
}

TEST_F(Plugin, BracketedReactionWithoutStoreIsABadArgument) {
    context_.pStore = nullptr;
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), REACTION_BAD_ARGUMENT);
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, 5), REACTION_BAD_ARGUMENT);
    EXPECT_EQ(Do("Update", &context_), REACTION_BAD_ARGUMENT);
    EXPECT_EQ(Undo("Update", &context_, 5), REACTION_BAD_ARGUMENT);
    EXPECT_TRUE(pellion_.requests().empty());
}

TEST_F(Plugin, UpdateUndoOnlyEndsTheReaction) {
    EXPECT_EQ(Undo("Update", &context_, 77), REACTION_SUCCESS);
    std::vector<std::string> log = {"EndReaction AutoUpdate"};
    EXPECT_EQ(store_.log, log);
    EXPECT_TRUE(pellion_.requests().empty());
}

TEST_F(Plugin, IncreaseWithoutARecordChangesNothing) {
    pellion_.set_settings(0, 0, 0);
    store_.refuseCreate = true;
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), REACTION_FAILURE);
    // A record that cannot be written is discarded, and no token is given.
    store_.refuseCreate = false;
    store_.refuseLock = true;
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), REACTION_FAILURE);
    EXPECT_TRUE(store_.records.empty());
    EXPECT_EQ(pellion_.compressed() + pellion_.macro() + pellion_.program(), 0);
    auto requests = pellion_.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "get_config\n");
    EXPECT_EQ(requests[1], "get_config\n");
}

TEST_F(Plugin, IncreaseWhoseSettingsCannotBeWrittenGivesNoToken) {
    pellion_.set_settings(0, 0, 0);
    pellion_.set_save_reply("CODE 2 MESSAGE refused\r\n");
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), REACTION_FAILURE);
    EXPECT_TRUE(store_.records.empty());
    auto requests = pellion_.requests();
    ASSERT_EQ(requests.size(), 2u); // no INCREASE_SCAN_SETTINGS
    EXPECT_EQ(requests[1].substr(0, 11), "set_config\n");
}

TEST_F(Plugin, IncreaseWhosePreferencesCannotBeLoadedChangesNothing) {
    pellion_.set_config_status("ACCESS_DENIED\r\n");
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), REACTION_FAILURE);
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, 5), REACTION_FAILURE);
    EXPECT_EQ(pellion_.requests().size(), 2u); // the two get_config only
    std::vector<std::string> log = {"BeginReaction IncreaseScanSettings",
                                    "EndReaction IncreaseScanSettings"};
    EXPECT_EQ(store_.log, log);
}

TEST_F(Plugin, UndoWithAnUnknownTokenChangesNothing) {
    pellion_.set_settings(1, 1, 1);
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, 99), REACTION_FAILURE);
    EXPECT_EQ(pellion_.compressed() + pellion_.macro() + pellion_.program(), 3);
    auto requests = pellion_.requests();
    ASSERT_EQ(requests.size(), 1u); // get_config; no set_config, no DECREASE
    EXPECT_EQ(requests[0], "get_config\n");
}

TEST_F(Plugin, UndoWhoseSettingsCannotBeWrittenKeepsTheRecord) {
    pellion_.set_settings(0, 0, 0);
    REACTION_RESULT token = Do("IncreaseScanSettings", &context_);
    ASSERT_EQ(token, 5u);
    pellion_.set_save_reply("CODE 2 MESSAGE refused\r\n");
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, token), REACTION_FAILURE);
    EXPECT_EQ(store_.records.count(5), 1u);
    EXPECT_EQ(pellion_.requests().back(), "DECREASE_SCAN_SETTINGS\n");
    // Tried again once Pellion takes it, the undo completes.
    pellion_.set_save_reply("CODE 0\r\n");
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, token), REACTION_SUCCESS);
    EXPECT_EQ(store_.records.count(5), 0u);
    EXPECT_EQ(pellion_.compressed() + pellion_.macro() + pellion_.program(), 0);
}

TEST_F(Plugin, IncreaseTheScannerWasNotToldOfIsUndoneAndFails) {
    pellion_.set_settings(0, 1, 0);
    pellion_.set_command_reply("CODE 3 MESSAGE not delivered\r\n");
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), REACTION_FAILURE);
    // The earlier values are back and no token or record is left.
    EXPECT_TRUE(store_.records.empty());
    EXPECT_EQ(pellion_.compressed(), 0);
    EXPECT_EQ(pellion_.macro(), 1);
    EXPECT_EQ(pellion_.program(), 0);
    auto requests = pellion_.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[2], "INCREASE_SCAN_SETTINGS\n");
    EXPECT_EQ(requests[3].substr(0, 11), "set_config\n");
    // Told, the same reaction gives its token.
    pellion_.set_command_reply("CODE 0\r\n");
    EXPECT_EQ(Do("IncreaseScanSettings", &context_), 6u);
}

TEST_F(Plugin, UndoTheScannerWasNotToldOfFailsAndKeepsTheRecord) {
    pellion_.set_settings(0, 0, 0);
    REACTION_RESULT token = Do("IncreaseScanSettings", &context_);
    ASSERT_EQ(token, 5u);
    pellion_.set_command_reply("CODE 3 MESSAGE not delivered\r\n");
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, token), REACTION_FAILURE);
    EXPECT_EQ(store_.records.count(5), 1u);
    EXPECT_EQ(pellion_.requests().back(), "DECREASE_SCAN_SETTINGS\n");
    pellion_.set_command_reply("CODE 0\r\n");
    EXPECT_EQ(Undo("IncreaseScanSettings", &context_, token), REACTION_SUCCESS);
    EXPECT_EQ(store_.records.count(5), 0u);
    EXPECT_EQ(pellion_.compressed() + pellion_.macro() + pellion_.program(), 0);
}

TEST(ShutdownWait, ReachingTheStateInTimeIsSuccessAndNotReachingItFailure) {
    struct Case {
        std::vector<DWORD> states; // one per query; 0: the query fails
        int queries;               // the limit of further queries
        DWORD result;
        size_t asked;
    } cases[] = {
        {{SERVICE_STOPPED}, 0, 0, 1},
        {{SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}, 2, 0, 3},
        {{SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED}, 2,
         ERROR_SERVICE_REQUEST_TIMEOUT, 3},
        {{SERVICE_STOP_PENDING}, 0, ERROR_SERVICE_REQUEST_TIMEOUT, 1},
        {{0}, 5, ERROR_INVALID_HANDLE, 1},
        {{SERVICE_STOP_PENDING, 0}, 5, ERROR_INVALID_HANDLE, 2},
    };
    for (const Case& c : cases) {
        size_t asked = 0, paused = 0;
        DWORD result = WaitForServiceState(
            [&](SERVICE_STATUS& status) {
                const DWORD state = c.states[asked < c.states.size() ? asked : c.states.size() - 1];
                ++asked;
                if (state == 0) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return false;
                }
                status.dwCurrentState = state;
                return true;
            },
            SERVICE_STOPPED, c.queries, [&] { ++paused; });
        EXPECT_EQ(result, c.result) << c.queries << " " << c.states.size();
        EXPECT_EQ(asked, c.asked) << c.queries << " " << c.states.size();
        EXPECT_EQ(paused, asked - 1);
    }
    EXPECT_EQ(REACTION_SERVICE_WAIT_QUERIES, 60);
    EXPECT_EQ(REACTION_SERVICE_WAIT_PAUSE, 1000u);
}

TEST_F(Plugin, UpdateWithoutInstallPathStartsNothing) {
    EXPECT_EQ(Do("Update", &context_), REACTION_FAILURE);
    std::vector<std::string> log = {"BeginReaction AutoUpdate"};
    EXPECT_EQ(store_.log, log);
}

#ifndef _WIN32
namespace {

std::string Posix(const vtest::TempRoot& root, const std::string& windowsFolder) {
    std::string path = root.path() + "/drive_c" + windowsFolder.substr(2);
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

// quennel.exe in a folder of drive C: ("C:\\Gateway").
void InstallQuennel(const vtest::TempRoot& root, const std::string& windowsFolder,
                    const std::string& name = "quennel.exe") {
    std::string folder = Posix(root, windowsFolder);
    std::string command =
        "mkdir -p '" + folder + "' && cp '" + QUENNEL_EXE + "' '" + folder + "/" + name + "'";
    ASSERT_EQ(system(command.c_str()), 0);
}

// Quennel's record of its runs in that folder, once there is one.
std::string QuennelRuns(const vtest::TempRoot& root, const std::string& windowsFolder) {
    std::string path = Posix(root, windowsFolder) + "/quennel.log";
    std::string all;
    vtest::WaitUntil([&] {
        all.clear();
        FILE* f = fopen(path.c_str(), "rb");
        if (f == nullptr)
            return false;
        char buf[1024];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
            all.append(buf, n);
        fclose(f);
        return !all.empty() && all.back() == '\n';
    });
    return !all.empty() && all.back() == '\n' ? all : std::string();
}

// Written as the plug-in reads it, through the wide registry calls.
void SetInstallPath(const std::string& path) {
    CRegKeyW key;
    key.Open(HKEY_LOCAL_MACHINE, WIDE("Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic"), 1);
    std::u16string wide(path.begin(), path.end());
    key.Write(WIDE("Install_Path"), wide.c_str());
}

// Written as the scanner's installer and Pellion write it, through the narrow
// calls: the plug-in reads the same text through the wide ones.
void SetInstallPathNarrow(const std::string& path) {
    CRegKey key;
    key.Open(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic", 1);
    key.Write("Install_Path", path.c_str());
}

} // namespace

TEST_F(Plugin, UpdateStartsQuennelWithAutoupdate) {
    InstallQuennel(root_, "C:\\Gateway");
    SetInstallPath("C:\\Gateway");
    EXPECT_EQ(Do("Update", &context_), REACTION_SUCCESS);
    std::string runs = QuennelRuns(root_, "C:\\Gateway");
    EXPECT_NE(runs.find("\trun\t1\tautoupdate\n"), std::string::npos) << runs;
    std::vector<std::string> log = {"BeginReaction AutoUpdate"};
    EXPECT_EQ(store_.log, log);
    EXPECT_TRUE(pellion_.requests().empty());
}

// Unquoted, "C:\\Program Files\\Gateway\\quennel.exe autoupdate" would start
// C:\\Program with the rest as its arguments.
TEST_F(Plugin, UpdateQuotesAProgramPathWithABlank) {
    InstallQuennel(root_, "C:\\Program Files\\Gateway");
    InstallQuennel(root_, "C:\\", "Program");
    SetInstallPathNarrow("C:\\Program Files\\Gateway");
    EXPECT_EQ(Do("Update", &context_), REACTION_SUCCESS);
    std::string runs = QuennelRuns(root_, "C:\\Program Files\\Gateway");
    EXPECT_NE(runs.find("\trun\t1\tautoupdate\n"), std::string::npos) << runs;
    Sleep(300);
    FILE* wrong = fopen((root_.path() + "/drive_c/quennel.log").c_str(), "rb");
    EXPECT_EQ(wrong, nullptr);
    if (wrong != nullptr)
        fclose(wrong);
}

TEST_F(Plugin, UpdateInstallPathMustLeaveRoomForTheCommandLine) {
    // The quotes, "\\quennel.exe" and " autoupdate" take 25 of the 259 units.
    std::string fits = "C:\\" + std::string(REACTION_COMMAND_LINE_SIZE - 1 - 25 - 3, 'f');
    std::string tooLong = "C:\\" + std::string(REACTION_COMMAND_LINE_SIZE - 1 - 25 - 2, 'g');
    ASSERT_EQ(fits.size(), 234u);
    InstallQuennel(root_, fits);
    InstallQuennel(root_, tooLong);
    SetInstallPath(tooLong);
    EXPECT_EQ(Do("Update", &context_), REACTION_FAILURE);
    SetInstallPath(fits);
    EXPECT_EQ(Do("Update", &context_), REACTION_SUCCESS);
    EXPECT_NE(QuennelRuns(root_, fits).find("\tautoupdate\n"), std::string::npos);
    FILE* none = fopen((Posix(root_, tooLong) + "/quennel.log").c_str(), "rb");
    EXPECT_EQ(none, nullptr);
    if (none != nullptr)
        fclose(none);
}

TEST_F(Plugin, UpdateRefusesAnEmptyOrQuotedInstallPath) {
    InstallQuennel(root_, "C:\\Gateway");
    SetInstallPath("");
    EXPECT_EQ(Do("Update", &context_), REACTION_FAILURE);
    SetInstallPath("C:\\Gateway\" autoupdate \"C:\\Gateway");
    EXPECT_EQ(Do("Update", &context_), REACTION_FAILURE);
    SetInstallPath("C:\\Nowhere");
    EXPECT_EQ(Do("Update", &context_), REACTION_FAILURE);
    Sleep(300);
    FILE* none = fopen((Posix(root_, "C:\\Gateway") + "/quennel.log").c_str(), "rb");
    EXPECT_EQ(none, nullptr);
    if (none != nullptr)
        fclose(none);
}
#endif

TEST_F(Plugin, ShutdownWithoutTheScannerServiceFails) {
    EXPECT_EQ(Do("Shutdown", &context_), REACTION_FAILURE);
    EXPECT_EQ(Undo("Shutdown", &context_, 1), REACTION_FAILURE);
    EXPECT_TRUE(pellion_.requests().empty());
}

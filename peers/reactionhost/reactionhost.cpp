// reactionhost: loads the reaction plug-in as a monitoring system's reaction
// manager does, gives it a reaction context and a store of undo records, and
// calls one export named on the command line. The records live in a file, so
// that a Do and its Undo may run in different processes.
//
//   reactionhost [options] EXPORT [ARGUMENT]
//
// ARGUMENT is the token of an Undo (decimal, or hexadecimal after 0x) and the
// text of a DataVerify (UTF-8). Prints what the plug-in asked of the store,
// then "result 0x........", and for a PreDo the four description fields.
#include "platform/win32.h"
#include "reactions/Ruvane.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: reactionhost [options] EXPORT [ARGUMENT]\n"
    "  EXPORT              an export of the plug-in, e.g. Service_Reaction_StopInboundMail_Do\n"
    "  ARGUMENT            Undo: the token Do printed; DataVerify: the text to check\n"
    "options:\n"
    "  --library PATH      the plug-in (default: the one beside this program)\n"
    "  --store FILE        the file of undo records (default: reactionhost.store)\n"
    "  --text TEXT         the parameter text (attachment names or types)\n"
    "  --text-offset-zero  a parameter block without text (offset 0)\n"
    "  --no-parameters     no parameter block (a null cell)\n"
    "  --null-context      call with a null context\n"
    "  --stamp N           the context's format stamp (default 0x02030151)\n"
    "  --null-info         PreDo: a null description record\n"
    "  --null-data         DataVerify: a null text\n"
    "  --refuse-begin      BeginReaction answers 0\n"
    "  --refuse-end        EndReaction answers 0\n";

std::string Narrow(const WCHAR* text) {
    std::string out;
    if (text == nullptr)
        return out;
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return out;
    std::vector<char> buffer(static_cast<size_t>(size));
    WideCharToMultiByte(CP_UTF8, 0, text, -1, buffer.data(), size, nullptr, nullptr);
    return std::string(buffer.data());
}

std::vector<WCHAR> Widen(const char* text) {
    int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::vector<WCHAR> out(size > 0 ? static_cast<size_t>(size) : 1, 0);
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), size);
    return out;
}

// One undo record: the reaction whose Do made it, and its bytes.
struct Record {
    std::string owner;
    std::vector<BYTE> bytes;
};

// The store of undo records, kept in a text file: a first line
// "reactionhost-store 1 <next handle>", then one line per record,
// "<handle> <owner> <size> <bytes in hexadecimal>". Handles are never reused,
// so a stale token never finds a newer record. A record belongs to the
// reaction whose Do made it: another reaction's call can neither lock nor
// delete it, as a reaction manager keeps each reaction's records apart.
class FileStore : public ReactionStore {
public:
    FileStore(const std::string& path, const std::string& reaction, bool refuseBegin,
              bool refuseEnd)
        : m_path(path), m_reaction(reaction), m_refuseBegin(refuseBegin), m_refuseEnd(refuseEnd) {}

    bool Load() {
        m_records.clear();
        m_next = 1;
        FILE* f = fopen(m_path.c_str(), "rb");
        if (f == nullptr)
            return true; // no file yet: no records
        char magic[32] = {};
        unsigned long long next = 0;
        bool ok = fscanf(f, "%31s 1 %llu", magic, &next) == 2 &&
                  strcmp(magic, "reactionhost-store") == 0 && next > 0;
        if (ok)
            m_next = static_cast<REACTION_HANDLE>(next);
        while (ok) {
            unsigned long long handle = 0;
            char owner[128] = {};
            unsigned long size = 0;
            int n = fscanf(f, "%llu %127s %lu", &handle, owner, &size);
            if (n == EOF)
                break;
            if (n != 3 || size > 1024 * 1024) {
                ok = false;
                break;
            }
            Record record;
            record.owner = owner;
            record.bytes.resize(size);
            for (unsigned long i = 0; i < size && ok; ++i) {
                unsigned int b = 0;
                ok = fscanf(f, "%2x", &b) == 1;
                record.bytes[i] = static_cast<BYTE>(b);
            }
            m_records[static_cast<REACTION_HANDLE>(handle)] = record;
        }
        fclose(f);
        if (!ok)
            fprintf(stderr, "reactionhost: %s is not a record file\n", m_path.c_str());
        return ok;
    }

    // Written to a new file that then replaces the old one.
    bool Save() {
        std::string temporary = m_path + ".new";
        FILE* f = fopen(temporary.c_str(), "wb");
        if (f == nullptr)
            return false;
        fprintf(f, "reactionhost-store 1 %llu\n", static_cast<unsigned long long>(m_next));
        for (const auto& entry : m_records) {
            fprintf(f, "%llu %s %lu ", static_cast<unsigned long long>(entry.first),
                    entry.second.owner.c_str(),
                    static_cast<unsigned long>(entry.second.bytes.size()));
            for (BYTE b : entry.second.bytes)
                fprintf(f, "%02x", b);
            fprintf(f, "\n");
        }
        bool ok = fflush(f) == 0;
        ok = fclose(f) == 0 && ok;
        std::error_code error;
        std::filesystem::rename(temporary, m_path, error);
        return ok && !error;
    }

    REACTION_HANDLE CreateRecord(int kind, int size) override {
        REACTION_HANDLE handle = 0;
        if (size >= 0 && size <= 1024 * 1024) {
            handle = m_next++;
            m_records[handle] = Record{m_reaction, std::vector<BYTE>(static_cast<size_t>(size), 0)};
            if (!Save()) {
                m_records.erase(handle);
                handle = 0;
            }
        }
        printf("store: CreateRecord(%d, %d) = %llu\n", kind, size,
               static_cast<unsigned long long>(handle));
        return handle;
    }

    void DeleteRecord(REACTION_HANDLE record) override {
        Record* found = Find(record);
        printf("store: DeleteRecord(%llu)%s\n", static_cast<unsigned long long>(record),
               found ? "" : " refused");
        if (found != nullptr) {
            m_records.erase(record);
            m_locked.erase(record);
            Save();
        }
    }

    void HostSlot2() override {}

    void* LockRecord(REACTION_HANDLE record) override {
        Record* found = Find(record);
        void* bytes = nullptr;
        if (found != nullptr) {
            // The plug-in writes into a copy; UnlockRecord keeps it.
            std::vector<BYTE>& copy = m_locked[record];
            copy = found->bytes;
            copy.resize(found->bytes.size() > 0 ? found->bytes.size() : 1);
            bytes = copy.data();
        }
        printf("store: LockRecord(%llu) = %s\n", static_cast<unsigned long long>(record),
               bytes ? "bytes" : "null");
        return bytes;
    }

    void HostSlot4() override {}
    void HostSlot5() override {}

    void UnlockRecord(REACTION_HANDLE record) override {
        printf("store: UnlockRecord(%llu)\n", static_cast<unsigned long long>(record));
        auto locked = m_locked.find(record);
        Record* found = Find(record);
        if (locked == m_locked.end() || found == nullptr)
            return;
        locked->second.resize(found->bytes.size());
        found->bytes = locked->second;
        m_locked.erase(locked);
        Save();
    }

    int BeginReaction(const WCHAR* name) override {
        int answer = m_refuseBegin ? 0 : 1;
        printf("store: BeginReaction(%s) = %d\n", Narrow(name).c_str(), answer);
        return answer;
    }

    int EndReaction(const WCHAR* name) override {
        int answer = m_refuseEnd ? 0 : 1;
        printf("store: EndReaction(%s) = %d\n", Narrow(name).c_str(), answer);
        return answer;
    }

private:
    Record* Find(REACTION_HANDLE record) {
        auto it = m_records.find(record);
        if (it == m_records.end() || it->second.owner != m_reaction)
            return nullptr;
        return &it->second;
    }

    std::string m_path;
    std::string m_reaction;
    bool m_refuseBegin;
    bool m_refuseEnd;
    REACTION_HANDLE m_next = 1;
    std::map<REACTION_HANDLE, Record> m_records;
    std::map<REACTION_HANDLE, std::vector<BYTE>> m_locked;
};

// "Service_Reaction_<X>_<Op>" or "Wizard_Reaction_<X>_DataVerify": X and Op.
bool SplitExport(const std::string& name, std::string& reaction, std::string& operation) {
    std::string rest;
    if (name.rfind("Service_Reaction_", 0) == 0)
        rest = name.substr(17);
    else if (name.rfind("Wizard_Reaction_", 0) == 0)
        rest = name.substr(16);
    else
        return false;
    size_t last = rest.rfind('_');
    if (last == std::string::npos || last == 0)
        return false;
    reaction = rest.substr(0, last);
    operation = rest.substr(last + 1);
    return operation == "PreDo" || operation == "Do" || operation == "Undo" ||
           operation == "DataVerify";
}

std::string DefaultLibrary() {
#ifdef _WIN32
    const char* name = "ruvane.dll";
#else
    const char* name = "libruvane.so";
#endif
    char self[1024] = {};
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof(self));
    std::string path(self, n < sizeof(self) ? n : 0);
    size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return name;
    return path.substr(0, slash + 1) + name;
}

// An export as the function it is (by way of the generic function type, which
// the compilers accept between any two).
template <typename Function> Function As(FARPROC function) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(function));
}

int Usage(const char* problem) {
    if (problem != nullptr)
        fprintf(stderr, "reactionhost: %s\n", problem);
    fputs(kUsage, stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string library = DefaultLibrary();
    std::string storePath = "reactionhost.store";
    const char* text = nullptr;
    bool textOffsetZero = false, noParameters = false, nullContext = false, nullInfo = false,
         nullData = false, refuseBegin = false, refuseEnd = false;
    DWORD stamp = REACTION_CONTEXT_STAMP;
    std::vector<const char*> positional;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--library" && hasValue)
            library = argv[++i];
        else if (a == "--store" && hasValue)
            storePath = argv[++i];
        else if (a == "--text" && hasValue)
            text = argv[++i];
        else if (a == "--stamp" && hasValue)
            stamp = static_cast<DWORD>(strtoul(argv[++i], nullptr, 0));
        else if (a == "--text-offset-zero")
            textOffsetZero = true;
        else if (a == "--no-parameters")
            noParameters = true;
        else if (a == "--null-context")
            nullContext = true;
        else if (a == "--null-info")
            nullInfo = true;
        else if (a == "--null-data")
            nullData = true;
        else if (a == "--refuse-begin")
            refuseBegin = true;
        else if (a == "--refuse-end")
            refuseEnd = true;
        else if (a.rfind("--", 0) == 0)
            return Usage(("unknown option " + a).c_str());
        else
            positional.push_back(argv[i]);
    }
    if (positional.empty() || positional.size() > 2)
        return Usage(nullptr);
    std::string exportName = positional[0];
    std::string reaction, operation;
    if (!SplitExport(exportName, reaction, operation))
        return Usage(("not an export of the plug-in: " + exportName).c_str());

    HMODULE module = LoadLibraryA(library.c_str());
    if (module == nullptr) {
        fprintf(stderr, "reactionhost: cannot load %s (error %lu)\n", library.c_str(),
                static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    FARPROC function = GetProcAddress(module, exportName.c_str());
    if (function == nullptr) {
        fprintf(stderr, "reactionhost: %s exports no %s\n", library.c_str(), exportName.c_str());
        FreeLibrary(module);
        return 2;
    }

    FileStore store(storePath, reaction, refuseBegin, refuseEnd);
    if (!store.Load()) {
        FreeLibrary(module);
        return 2;
    }

    // The parameter block: the text follows the block's fixed part.
    std::vector<WCHAR> wideText = Widen(text ? text : "");
    std::vector<BYTE> block(sizeof(ReactionParameters) + wideText.size() * sizeof(WCHAR), 0);
    DWORD offset = (text != nullptr && !textOffsetZero) ? sizeof(ReactionParameters) : 0;
    memcpy(block.data() + offsetof(ReactionParameters, dwTextOffset), &offset, sizeof(offset));
    memcpy(block.data() + sizeof(ReactionParameters), wideText.data(),
           wideText.size() * sizeof(WCHAR));
    BYTE* blockAddress = block.data();

    ReactionContext context = {};
    context.dwStamp = stamp;
    context.pStore = &store;
    context.ppParameters = noParameters ? nullptr : &blockAddress;
    ReactionContext* contextArgument = nullContext ? nullptr : &context;

    REACTION_RESULT result = 0;
    if (operation == "PreDo") {
        ReactionInfo info = {};
        result = As<ReactionPreDoFn>(function)(contextArgument, nullInfo ? nullptr : &info);
        printf("result 0x%08llx\n", static_cast<unsigned long long>(result));
        printf("info %lu %lu %lu %lu\n", static_cast<unsigned long>(info.dwBracketed),
               static_cast<unsigned long>(info.dwCategory),
               static_cast<unsigned long>(info.dwReserved),
               static_cast<unsigned long>(info.dwUndoable));
    } else if (operation == "Do") {
        result = As<ReactionDoFn>(function)(contextArgument);
        printf("result 0x%08llx\n", static_cast<unsigned long long>(result));
    } else if (operation == "Undo") {
        if (positional.size() != 2) {
            FreeLibrary(module);
            return Usage("an Undo needs the token its Do returned");
        }
        REACTION_HANDLE token = static_cast<REACTION_HANDLE>(strtoull(positional[1], nullptr, 0));
        result = As<ReactionUndoFn>(function)(contextArgument, token);
        printf("result 0x%08llx\n", static_cast<unsigned long long>(result));
    } else {
        std::vector<WCHAR> data = Widen(positional.size() == 2 ? positional[1] : "");
        result = As<ReactionVerifyFn>(function)(contextArgument, nullData ? nullptr : data.data());
        printf("result 0x%08llx\n", static_cast<unsigned long long>(result));
    }
    fflush(stdout);
    FreeLibrary(module);
    return 0;
}

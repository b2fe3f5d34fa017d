#include "regkey/RegKey.h"
#include "platform/bounded.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

size_t WideLength(const WCHAR* s) {
    size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Paths that do not fit the path field are refused rather than cut: a cut
// path would name a different key.
template <typename Char> bool StorePath(Char* field, const Char* a, const Char* b) {
    size_t la = 0, lb = 0;
    if (a != nullptr)
        while (a[la] != 0)
            ++la;
    if (b != nullptr)
        while (b[lb] != 0)
            ++lb;
    size_t total = la + (b != nullptr ? 1 + lb : 0);
    if (total >= static_cast<size_t>(REGKEY_PATH_SIZE))
        return false;
    size_t k = 0;
    for (size_t i = 0; i < la; ++i)
        field[k++] = a[i];
    if (b != nullptr) {
        field[k++] = static_cast<Char>('\\');
        for (size_t i = 0; i < lb; ++i)
            field[k++] = b[i];
    }
    field[k] = 0;
    return true;
}

// ---------------------------------------------------------------------------
// A save's own record of its changes, where the registry keeps no
// transaction: on Windows each write stands alone, so a save that fails
// half-way would leave the configuration a mixture of old and new. Between
// BeginRegistrySave and its end, every value the narrow CRegKey writes or
// deletes has what it held before recorded (or that it was not there), and
// every key it makes is recorded; a rollback puts it all back, newest first.
// On POSIX the platform's transaction does this, and nothing is recorded.
#ifdef _WIN32
struct UndoStep {
    HKEY root;
    std::string path;
    std::string name; // the value; empty for a key that was made
    bool keyMade;
    bool existed;
    DWORD type;
    std::vector<BYTE> data;
};
thread_local std::vector<UndoStep>* tUndo = nullptr; // the saving thread's record

void NoteKeyCreated(HKEY root, const char* path) {
    if (tUndo == nullptr)
        return;
    UndoStep step;
    step.root = root;
    step.path = path;
    step.keyMade = true;
    step.existed = false;
    step.type = 0;
    tUndo->push_back(step);
}

// Records what the value holds before it is changed.
void NoteValue(HKEY root, const char* path, HKEY key, const char* name) {
    if (tUndo == nullptr)
        return;
    UndoStep step;
    step.root = root;
    step.path = path;
    step.name = name != nullptr ? name : "";
    step.keyMade = false;
    step.type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, &step.type, nullptr, &size);
    step.existed = rc == ERROR_SUCCESS;
    if (step.existed && size > 0) {
        step.data.resize(size);
        rc = RegQueryValueExA(key, name, nullptr, &step.type, step.data.data(), &size);
        step.existed = rc == ERROR_SUCCESS;
        step.data.resize(size);
    }
    tUndo->push_back(step);
}
#else
void NoteKeyCreated(HKEY, const char*) {}
void NoteValue(HKEY, const char*, HKEY, const char*) {}
#endif

// The registry calls of each character width, so that what both classes do
// alike is written once.
template <typename Char> struct Api;

template <> struct Api<char> {
    static LONG Create(HKEY root, const char* path, HKEY* key) {
        DWORD disposition = 0;
        LONG rc = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                  nullptr, key, &disposition);
        if (rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY)
            NoteKeyCreated(root, path);
        return rc;
    }
    static LONG Open(HKEY root, const char* path, HKEY* key) {
        return RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, key);
    }
    static LONG Query(HKEY key, const char* name, BYTE* data, DWORD* size) {
        DWORD type = 0;
        return RegQueryValueExA(key, name, nullptr, &type, data, size);
    }
    static LONG Set(HKEY key, const char* name, DWORD type, const void* data, DWORD size) {
        return RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    }
};

template <> struct Api<WCHAR> {
    static LONG Create(HKEY root, const WCHAR* path, HKEY* key) {
        DWORD disposition = 0;
        return RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, key, &disposition);
    }
    static LONG Open(HKEY root, const WCHAR* path, HKEY* key) {
        return RegOpenKeyExW(root, path, 0, KEY_ALL_ACCESS, key);
    }
    static LONG Query(HKEY key, const WCHAR* name, BYTE* data, DWORD* size) {
        DWORD type = 0;
        return RegQueryValueExW(key, name, nullptr, &type, data, size);
    }
    static LONG Set(HKEY key, const WCHAR* name, DWORD type, const void* data, DWORD size) {
        return RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
    }
};

// Opens (or, with create, makes) root\path into the object's fields.
template <typename Char>
LONG OpenInto(HKEY root, const Char* path, int create, HKEY* rootField, HKEY* keyField,
              Char* pathField) {
    if (path == nullptr || !StorePath<Char>(pathField, path, nullptr))
        return ERROR_FILENAME_EXCED_RANGE;
    *rootField = root;
    HKEY key = nullptr;
    LONG rc = create != 0 ? Api<Char>::Create(root, pathField, &key)
                          : Api<Char>::Open(root, pathField, &key);
    if (rc == ERROR_SUCCESS)
        *keyField = key;
    return rc;
}

// A DWORD read that leaves the caller's number alone when it fails (larger
// data included).
template <typename Char> LONG ReadNumber(HKEY key, const Char* name, DWORD& value) {
    DWORD number = 0;
    DWORD size = sizeof(number);
    LONG rc = Api<Char>::Query(key, name, reinterpret_cast<BYTE*>(&number), &size);
    if (rc == ERROR_SUCCESS)
        value = number;
    return rc;
}

void CloseKey(HKEY* key) {
    if (*key != nullptr) {
        RegCloseKey(*key);
        *key = nullptr;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// CRegKey

CRegKey::CRegKey() : m_hRoot(nullptr), m_hKey(nullptr) {
    m_szPath[0] = '\0';
}

CRegKey::CRegKey(const CRegKey& other) : m_hRoot(other.m_hRoot), m_hKey(other.m_hKey) {
    memcpy(m_szPath, other.m_szPath, sizeof(m_szPath));
}

CRegKey& CRegKey::operator=(const CRegKey& other) {
    m_hRoot = other.m_hRoot;
    m_hKey = other.m_hKey;
    memmove(m_szPath, other.m_szPath, sizeof(m_szPath));
    return *this;
}

CRegKey::~CRegKey() {
    Close();
}

LONG CRegKey::Open(HKEY root, const char* path, int create) {
    return OpenInto<char>(root, path, create, &m_hRoot, &m_hKey, m_szPath);
}

LONG CRegKey::Open(const CRegKey& parent, const char* subkey, int create) {
    char path[REGKEY_PATH_SIZE];
    if (subkey == nullptr || !StorePath<char>(path, parent.m_szPath, subkey))
        return ERROR_FILENAME_EXCED_RANGE;
    return Open(parent.m_hRoot, path, create);
}

void CRegKey::Close() {
    CloseKey(&m_hKey);
}

LONG CRegKey::Write(const char* name, DWORD value) {
    NoteValue(m_hRoot, m_szPath, m_hKey, name);
    return Api<char>::Set(m_hKey, name, REG_DWORD, &value, sizeof(value));
}

LONG CRegKey::Write(const char* name, const char* text) {
    if (text == nullptr)
        text = "";
    NoteValue(m_hRoot, m_szPath, m_hKey, name);
    return RegSetValueExA(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>(strlen(text) + 1));
}

LONG CRegKey::Write(const char* name, const BYTE* data, DWORD size) {
    NoteValue(m_hRoot, m_szPath, m_hKey, name);
    return RegSetValueExA(m_hKey, name, 0, REG_BINARY, data, size);
}

LONG CRegKey::Read(const char* name, DWORD& value) {
    return ReadNumber<char>(m_hKey, name, value);
}

LONG CRegKey::Read(const char* name, BYTE* data, DWORD& size) {
    return Api<char>::Query(m_hKey, name, data, &size);
}

LONG CRegKey::Read(const char* name, char* text) {
    std::vector<char> buffer(REGKEY_TEXT_LIMIT);
    DWORD size = REGKEY_TEXT_LIMIT;
    DWORD type = 0;
    LONG rc = RegQueryValueExA(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                               &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (text == nullptr)
        return ERROR_INVALID_PARAMETER;
    // The text up to its first zero byte or the end of the data; the data may
    // lack its terminator, the caller's buffer has room for one more byte.
    size_t n = strnlen(buffer.data(), size);
    memcpy(text, buffer.data(), n);
    text[n] = '\0';
    return rc;
}

LONG CRegKey::Delete(const char* path) {
    return RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

LONG CRegKey::DeleteValue(const char* name) {
    NoteValue(m_hRoot, m_szPath, m_hKey, name);
    return RegDeleteValueA(m_hKey, name);
}

// ---------------------------------------------------------------------------
// Saves

LONG BeginRegistrySave() {
    LONG rc = RegBeginTransactionV();
#ifdef _WIN32
    if (rc == ERROR_SUCCESS) {
        delete tUndo;
        tUndo = new (std::nothrow) std::vector<UndoStep>;
        if (tUndo == nullptr) {
            RegRollbackTransactionV();
            rc = ERROR_NOT_ENOUGH_MEMORY;
        }
    }
#endif
    return rc;
}

LONG CommitRegistrySave() {
    LONG rc = RegCommitTransactionV();
#ifdef _WIN32
    delete tUndo;
    tUndo = nullptr;
#endif
    return rc;
}

LONG RollbackRegistrySave() {
    LONG rc = RegRollbackTransactionV();
#ifdef _WIN32
    std::vector<UndoStep>* steps = tUndo;
    tUndo = nullptr; // the steps back are not recorded
    if (steps == nullptr)
        return rc;
    rc = ERROR_SUCCESS;
    for (auto step = steps->rbegin(); step != steps->rend(); ++step) {
        LONG done;
        if (step->keyMade) {
            done = RegDeleteKeyA(step->root, step->path.c_str());
        } else {
            HKEY key = nullptr;
            done = RegOpenKeyExA(step->root, step->path.c_str(), 0, KEY_SET_VALUE, &key);
            if (done == ERROR_SUCCESS) {
                const char* name = step->name.c_str();
                done = step->existed
                           ? RegSetValueExA(key, name, 0, step->type, step->data.data(),
                                            static_cast<DWORD>(step->data.size()))
                           : RegDeleteValueA(key, name);
                if (!step->existed && done == ERROR_FILE_NOT_FOUND)
                    done = ERROR_SUCCESS; // its write never happened
                RegCloseKey(key);
            }
        }
        if (done != ERROR_SUCCESS && rc == ERROR_SUCCESS)
            rc = done; // the first failure is reported; the rest still goes back
    }
    delete steps;
#endif
    return rc;
}

// ---------------------------------------------------------------------------
// CRegKeyW

CRegKeyW::CRegKeyW() : m_hRoot(nullptr), m_hKey(nullptr) {
    m_szPath[0] = 0;
}

CRegKeyW::CRegKeyW(const CRegKeyW& other) : m_hRoot(other.m_hRoot), m_hKey(other.m_hKey) {
    memcpy(m_szPath, other.m_szPath, sizeof(m_szPath));
}

CRegKeyW& CRegKeyW::operator=(const CRegKeyW& other) {
    m_hRoot = other.m_hRoot;
    m_hKey = other.m_hKey;
    memmove(m_szPath, other.m_szPath, sizeof(m_szPath));
    return *this;
}

CRegKeyW::~CRegKeyW() {
    Close();
}

LONG CRegKeyW::Open(HKEY root, const WCHAR* path, int create) {
    return OpenInto<WCHAR>(root, path, create, &m_hRoot, &m_hKey, m_szPath);
}

LONG CRegKeyW::Open(const CRegKeyW& parent, const WCHAR* subkey, int create) {
    WCHAR path[REGKEY_PATH_SIZE];
    if (subkey == nullptr || !StorePath<WCHAR>(path, parent.m_szPath, subkey))
        return ERROR_FILENAME_EXCED_RANGE;
    return Open(parent.m_hRoot, path, create);
}

void CRegKeyW::Close() {
    CloseKey(&m_hKey);
}

LONG CRegKeyW::Write(const WCHAR* name, DWORD value) {
    return Api<WCHAR>::Set(m_hKey, name, REG_DWORD, &value, sizeof(value));
}

LONG CRegKeyW::Write(const WCHAR* name, const WCHAR* text) {
    static const WCHAR empty[1] = {0};
    if (text == nullptr)
        text = empty;
    return RegSetValueExW(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                          static_cast<DWORD>((WideLength(text) + 1) * sizeof(WCHAR)));
}

LONG CRegKeyW::Write(const WCHAR* name, const BYTE* data, DWORD size) {
    return RegSetValueExW(m_hKey, name, 0, REG_BINARY, data, size);
}

LONG CRegKeyW::Read(const WCHAR* name, DWORD& value) {
    return ReadNumber<WCHAR>(m_hKey, name, value);
}

LONG CRegKeyW::Read(const WCHAR* name, BYTE* data, DWORD& size) {
    return Api<WCHAR>::Query(m_hKey, name, data, &size);
}

LONG CRegKeyW::Read(const WCHAR* name, WCHAR* text) {
    std::vector<WCHAR> buffer(REGKEY_TEXT_LIMIT / sizeof(WCHAR) + 1);
    DWORD size = REGKEY_TEXT_LIMIT;
    DWORD type = 0;
    LONG rc = RegQueryValueExW(m_hKey, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                               &size);
    if (rc != ERROR_SUCCESS)
        return rc;
    if (text == nullptr)
        return ERROR_INVALID_PARAMETER;
    size_t units = size / sizeof(WCHAR);
    size_t n = 0;
    while (n < units && buffer[n] != 0)
        ++n;
    memcpy(text, buffer.data(), n * sizeof(WCHAR));
    text[n] = 0;
    return rc;
}

LONG CRegKeyW::Delete(const WCHAR* path) {
    return RegDeleteKeyW(HKEY_LOCAL_MACHINE, path);
}

LONG CRegKeyW::DeleteValue(const WCHAR* name) {
    return RegDeleteValueW(m_hKey, name);
}

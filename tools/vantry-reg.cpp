// vantry-reg: the registry of a platform root from the command line, in the
// manner of Windows `reg`. Export and import use REGEDIT4 text, so that the
// settings of one machine can be carried to another; an import of an export
// gives back every value byte for byte with its type.
#include "platform/bounded.h"
#include "platform/win32.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <vector>

namespace {

const char kUsage[] =
    "Usage:\n"
    "  vantry-reg query  KEY [/v NAME | /ve] [/s]\n"
    "  vantry-reg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
    "  vantry-reg delete KEY [/v NAME | /ve | /va] [/f]\n"
    "  vantry-reg export KEY FILE [/y]\n"
    "  vantry-reg import FILE\n"
    "\n"
    "KEY      ROOT\\path, ROOT one of HKLM, HKCU, HKU, HKCR or their long names\n"
    "         (HKEY_LOCAL_MACHINE, ...).\n"
    "/v NAME  the value NAME; /ve the default (unnamed) value; /va every value.\n"
    "/s       query: list all subkeys too. add: the REG_MULTI_SZ separator (default \\0).\n"
    "/t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD,\n"
    "         REG_BINARY, REG_NONE. REG_DWORD/REG_QWORD take decimal or 0x hex;\n"
    "         REG_BINARY/REG_NONE take hex digits (\"0a1bff\").\n"
    "/d DATA  the data to store (default empty).\n"
    "/f       add: overwrite a value that exists.\n"
    "/y       export: overwrite FILE if it exists.\n"
    "\n"
    "The registry is the one of the platform root named by VANTRY_PLATFORM_ROOT.\n"
    "Exit status 0 on success, 1 on any failure.\n";

struct RootName {
    const char* shortName;
    const char* longName;
    HKEY key;
};

const RootName kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
};

struct TypeName {
    const char* name;
    DWORD type;
};

const TypeName kTypes[] = {
    {"REG_NONE", REG_NONE},           {"REG_SZ", REG_SZ},
    {"REG_EXPAND_SZ", REG_EXPAND_SZ}, {"REG_BINARY", REG_BINARY},
    {"REG_DWORD", REG_DWORD},         {"REG_DWORD_BIG_ENDIAN", REG_DWORD_BIG_ENDIAN},
    {"REG_LINK", REG_LINK},           {"REG_MULTI_SZ", REG_MULTI_SZ},
    {"REG_QWORD", REG_QWORD},
};

// A key as named on the command line or in a .reg file.
struct KeyPath {
    HKEY root = nullptr;
    std::string rootName; // the long name, as the output shows it
    std::string path;     // under the root, without surrounding backslashes
    std::string Full() const { return path.empty() ? rootName : rootName + "\\" + path; }
};

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<unsigned char> data;
};

void Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Fail(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    BoundedFormatV(text, sizeof(text), format, args);
    va_end(args);
    std::fprintf(stderr, "ERROR: %s\n", text);
}

// The text of a registry status, for messages.
std::string BareStatusText(LONG status) {
    switch (status) {
    case ERROR_FILE_NOT_FOUND:
        return "the system was unable to find the specified registry key or value";
    case ERROR_ACCESS_DENIED:
        return "access is denied";
    case ERROR_KEY_DELETED:
        return "the key has been deleted meanwhile";
    case ERROR_BAD_PATHNAME:
        return "the key path is not valid";
    case ERROR_INVALID_PARAMETER:
        return "a name is not valid (too long?)";
    default: {
        char text[64];
        BoundedFormat(text, sizeof(text), "registry error %ld", static_cast<long>(status));
        return text;
    }
    }
}

// The text of a registry status, and, when the platform root (where the
// registry database lives) cannot be written, where and why.
std::string StatusText(LONG status) {
    std::string text = BareStatusText(status);
    char why[512];
    if (status != ERROR_FILE_NOT_FOUND && status != ERROR_BAD_PATHNAME &&
        status != ERROR_INVALID_PARAMETER && CheckPlatformRootV(TRUE, why, sizeof(why)) != ERROR_SUCCESS)
        text = text + " (" + why + ")";
    return text;
}

bool ParseKey(const char* text, KeyPath* key) {
    if (text[0] == '\\' && text[1] == '\\') {
        Fail("remote registries are not supported: %s", text);
        return false;
    }
    const char* slash = std::strchr(text, '\\');
    std::string root = slash ? std::string(text, static_cast<size_t>(slash - text)) : text;
    for (const RootName& r : kRoots) {
        if (strcasecmp(root.c_str(), r.shortName) == 0 ||
            strcasecmp(root.c_str(), r.longName) == 0) {
            key->root = r.key;
            key->rootName = r.longName;
            key->path = slash ? slash + 1 : "";
            while (!key->path.empty() && key->path.back() == '\\')
                key->path.pop_back();
            if (!key->path.empty() && key->path[0] == '\\') {
                Fail("invalid key path: %s", text);
                return false;
            }
            return true;
        }
    }
    Fail("invalid key name: %s (the root must be HKLM, HKCU, HKU or HKCR)", text);
    return false;
}

std::string TypeText(DWORD type) {
    for (const TypeName& t : kTypes)
        if (t.type == type)
            return t.name;
    char text[32];
    BoundedFormat(text, sizeof(text), "REG_0x%X", static_cast<unsigned>(type));
    return text;
}

bool ParseType(const char* text, DWORD* type) {
    for (const TypeName& t : kTypes) {
        if (strcasecmp(text, t.name) == 0) {
            *type = t.type;
            return true;
        }
    }
    return false;
}

std::string HexBytes(const std::vector<unsigned char>& data) {
    std::string out;
    char pair[4];
    for (unsigned char b : data) {
        BoundedFormat(pair, sizeof(pair), "%02X", b);
        out += pair;
    }
    return out;
}

unsigned long long LittleEndian(const std::vector<unsigned char>& data) {
    unsigned long long v = 0;
    for (size_t i = data.size(); i-- > 0;)
        v = (v << 8) | data[i];
    return v;
}

// The data as `reg query` shows it.
std::string DataText(const Value& value) {
    const std::vector<unsigned char>& d = value.data;
    char number[32];
    switch (value.type) {
    case REG_SZ:
    case REG_EXPAND_SZ: {
        if (d.empty())
            return std::string();
        const char* s = reinterpret_cast<const char*>(d.data());
        return std::string(s, strnlen(s, d.size()));
    }
    case REG_MULTI_SZ: {
        std::string out;
        size_t start = 0;
        for (size_t i = 0; i < d.size(); ++i) {
            if (d[i] != 0)
                continue;
            if (i == start)
                break; // the closing empty string
            if (!out.empty())
                out += "\\0";
            out.append(reinterpret_cast<const char*>(d.data()) + start, i - start);
            start = i + 1;
        }
        return out;
    }
    case REG_DWORD:
        if (d.size() != 4)
            break;
        BoundedFormat(number, sizeof(number), "0x%llx", LittleEndian(d));
        return number;
    case REG_QWORD:
        if (d.size() != 8)
            break;
        BoundedFormat(number, sizeof(number), "0x%llx", LittleEndian(d));
        return number;
    default:
        break;
    }
    return HexBytes(d);
}

// Reads the value name of key with its data, growing the buffer as needed.
LONG ReadValue(HKEY key, const std::string& name, Value* value) {
    value->name = name;
    DWORD size = 0;
    LONG status = RegQueryValueExA(key, name.c_str(), nullptr, &value->type, nullptr, &size);
    while (status == ERROR_SUCCESS) {
        value->data.resize(size);
        DWORD got = size;
        status = RegQueryValueExA(key, name.c_str(), nullptr, &value->type,
                                  size ? value->data.data() : nullptr, &got);
        if (status == ERROR_MORE_DATA) { // grew meanwhile
            size = got;
            status = ERROR_SUCCESS;
            continue;
        }
        if (status == ERROR_SUCCESS)
            value->data.resize(got);
        break;
    }
    return status;
}

LONG ReadAllValues(HKEY key, std::vector<Value>* values) {
    values->clear();
    std::vector<char> name(16384);
    for (DWORD index = 0;; ++index) {
        DWORD cch = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = 0;
        LONG status = RegEnumValueA(key, index, name.data(), &cch, nullptr, &type, nullptr, &size);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS)
            return status;
        Value value;
        status = ReadValue(key, std::string(name.data(), cch), &value);
        if (status != ERROR_SUCCESS)
            return status;
        values->push_back(std::move(value));
    }
}

LONG ReadSubkeys(HKEY key, std::vector<std::string>* names) {
    names->clear();
    char name[256];
    for (DWORD index = 0;; ++index) {
        DWORD cch = sizeof(name);
        LONG status = RegEnumKeyExA(key, index, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS)
            return status;
        names->emplace_back(name, cch);
    }
}

std::string Join(const std::string& path, const std::string& name) {
    return path.empty() ? name : path + "\\" + name;
}

// ---- query ----

void PrintValue(const Value& value) {
    std::printf("    %s    %s    %s\n", value.name.empty() ? "(Default)" : value.name.c_str(),
                TypeText(value.type).c_str(), DataText(value).c_str());
}

bool QueryTree(const KeyPath& key, bool recursive) {
    HKEY h = nullptr;
    LONG status = RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_READ, &h);
    if (status != ERROR_SUCCESS) {
        Fail("%s: %s", key.Full().c_str(), StatusText(status).c_str());
        return false;
    }
    std::vector<Value> values;
    std::vector<std::string> subkeys;
    status = ReadAllValues(h, &values);
    if (status == ERROR_SUCCESS)
        status = ReadSubkeys(h, &subkeys);
    RegCloseKey(h);
    if (status != ERROR_SUCCESS) {
        Fail("%s: %s", key.Full().c_str(), StatusText(status).c_str());
        return false;
    }
    std::printf("\n%s\n", key.Full().c_str());
    for (const Value& v : values)
        PrintValue(v);
    if (!values.empty())
        std::printf("\n");
    for (const std::string& name : subkeys) {
        KeyPath child = key;
        child.path = Join(key.path, name);
        if (recursive) {
            if (!QueryTree(child, true))
                return false;
        } else {
            std::printf("%s\n", child.Full().c_str());
        }
    }
    return true;
}

// ---- add ----

bool ParseNumber(const char* text, unsigned long long max, unsigned long long* out) {
    if (*text == '\0' || *text == '-' || *text == '+')
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes a command line's /d gives for type; false with a message when the
// text does not suit the type.
bool EncodeData(DWORD type, const char* text, const char* separator,
                std::vector<unsigned char>* data) {
    data->clear();
    unsigned long long number = 0;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_LINK:
        data->assign(text, text + std::strlen(text) + 1);
        return true;
    case REG_MULTI_SZ: {
        size_t sepLen = std::strlen(separator);
        const char* p = text;
        while (*p) {
            const char* end = std::strstr(p, separator);
            size_t len = end ? static_cast<size_t>(end - p) : std::strlen(p);
            if (len == 0) {
                Fail("REG_MULTI_SZ data holds an empty string");
                return false;
            }
            data->insert(data->end(), p, p + len);
            data->push_back(0);
            p += len;
            if (end)
                p += sepLen;
        }
        data->push_back(0);
        return true;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
        if (!ParseNumber(text, 0xFFFFFFFFull, &number)) {
            Fail("invalid REG_DWORD data: '%s' (a number 0..4294967295 or 0x hex)", text);
            return false;
        }
        for (int i = 0; i < 4; ++i) {
            int shift = type == REG_DWORD ? 8 * i : 8 * (3 - i);
            data->push_back(static_cast<unsigned char>(number >> shift));
        }
        return true;
    case REG_QWORD:
        if (!ParseNumber(text, ~0ull, &number)) {
            Fail("invalid REG_QWORD data: '%s'", text);
            return false;
        }
        for (int i = 0; i < 8; ++i)
            data->push_back(static_cast<unsigned char>(number >> (8 * i)));
        return true;
    default: {
        size_t len = std::strlen(text);
        if (len % 2 != 0) {
            Fail("invalid binary data: '%s' (an even number of hex digits)", text);
            return false;
        }
        for (size_t i = 0; i < len; i += 2) {
            int hi = HexDigit(text[i]);
            int lo = HexDigit(text[i + 1]);
            if (hi < 0 || lo < 0) {
                Fail("invalid binary data: '%s' (hex digits only)", text);
                return false;
            }
            data->push_back(static_cast<unsigned char>(hi * 16 + lo));
        }
        return true;
    }
    }
}

// ---- delete ----

// Removes key and everything below it, bottom up, as the registry only lets
// a key without subkeys go.
LONG DeleteTree(HKEY root, const std::string& path) {
    HKEY h = nullptr;
    LONG status = RegOpenKeyExA(root, path.c_str(), 0, KEY_ALL_ACCESS, &h);
    if (status != ERROR_SUCCESS)
        return status;
    std::vector<std::string> subkeys;
    status = ReadSubkeys(h, &subkeys);
    RegCloseKey(h);
    for (size_t i = 0; status == ERROR_SUCCESS && i < subkeys.size(); ++i)
        status = DeleteTree(root, Join(path, subkeys[i]));
    if (status == ERROR_SUCCESS)
        status = RegDeleteKeyA(root, path.c_str());
    return status;
}

// ---- export ----

bool WritableText(const std::string& s) {
    for (char c : s)
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    return true;
}

std::string Quote(const char* s, size_t len) {
    std::string out = "\"";
    for (size_t i = 0; i < len; ++i) {
        if (s[i] == '\\' || s[i] == '"')
            out.push_back('\\');
        out.push_back(s[i]);
    }
    out.push_back('"');
    return out;
}

// A REG_SZ that the quoted form gives back exactly: one terminating zero and
// no control characters inside.
bool PlainString(const Value& v) {
    if (v.type != REG_SZ || v.data.empty() || v.data.back() != 0)
        return false;
    for (size_t i = 0; i + 1 < v.data.size(); ++i)
        if (v.data[i] < 0x20)
            return false;
    return true;
}

void WriteValue(std::string* out, const Value& v) {
    std::string line = v.name.empty() ? "@" : Quote(v.name.data(), v.name.size());
    line += "=";
    char text[32];
    if (PlainString(v)) {
        line += Quote(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1);
        *out += line + "\r\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        BoundedFormat(text, sizeof(text), "dword:%08llx", LittleEndian(v.data));
        *out += line + text + "\r\n";
        return;
    }
    if (v.type == REG_BINARY)
        line += "hex:";
    else {
        BoundedFormat(text, sizeof(text), "hex(%x):", static_cast<unsigned>(v.type));
        line += text;
    }
    // Long data wraps as regedit wraps it: a trailing backslash, then an
    // indented continuation line.
    for (size_t i = 0; i < v.data.size(); ++i) {
        BoundedFormat(text, sizeof(text), "%02x", v.data[i]);
        line += text;
        if (i + 1 < v.data.size()) {
            line += ",";
            if (line.size() >= 76) {
                *out += line + "\\\r\n";
                line = "  ";
            }
        }
    }
    *out += line + "\r\n";
}

bool ExportTree(HKEY root, const std::string& rootName, const std::string& path, std::string* out) {
    std::string full = path.empty() ? rootName : rootName + "\\" + path;
    HKEY h = nullptr;
    LONG status = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &h);
    std::vector<Value> values;
    std::vector<std::string> subkeys;
    if (status == ERROR_SUCCESS) {
        status = ReadAllValues(h, &values);
        if (status == ERROR_SUCCESS)
            status = ReadSubkeys(h, &subkeys);
        RegCloseKey(h);
    }
    if (status != ERROR_SUCCESS) {
        Fail("%s: %s", full.c_str(), StatusText(status).c_str());
        return false;
    }
    if (!WritableText(full)) {
        Fail("%s: the key name holds a line break and cannot be exported", full.c_str());
        return false;
    }
    *out += "[" + full + "]\r\n";
    for (const Value& v : values) {
        if (!WritableText(v.name)) {
            Fail("%s: a value name holds a line break and cannot be exported", full.c_str());
            return false;
        }
        WriteValue(out, v);
    }
    *out += "\r\n";
    for (const std::string& name : subkeys)
        if (!ExportTree(root, rootName, Join(path, name), out))
            return false;
    return true;
}

bool WriteFileAtomically(const char* file, const std::string& text) {
    std::string temp = std::string(file) + ".tmp";
    FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        Fail("cannot write %s: %s", temp.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), file) != 0) {
        Fail("cannot write %s: %s", file, std::strerror(errno));
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

// ---- import ----

struct ImportKey {
    KeyPath key;
    bool remove = false;              // [-KEY]
    std::vector<Value> values;        // to set
    std::vector<std::string> removes; // "name"=-
};

void SkipSpace(const std::string& s, size_t* i) {
    while (*i < s.size() && (s[*i] == ' ' || s[*i] == '\t'))
        ++*i;
}

// A quoted text at s[*i] with \\ and \" escapes.
bool ParseQuoted(const std::string& s, size_t* i, std::string* out) {
    out->clear();
    if (*i >= s.size() || s[*i] != '"')
        return false;
    for (++*i; *i < s.size(); ++*i) {
        char c = s[*i];
        if (c == '"') {
            ++*i;
            return true;
        }
        if (c == '\\') {
            if (*i + 1 >= s.size())
                return false;
            c = s[++*i];
        }
        out->push_back(c);
    }
    return false;
}

bool ParseHexList(const std::string& s, size_t i, std::vector<unsigned char>* data) {
    data->clear();
    for (;;) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i >= s.size())
            return true;
        if (i + 1 >= s.size() || HexDigit(s[i]) < 0 || HexDigit(s[i + 1]) < 0)
            return false;
        data->push_back(static_cast<unsigned char>(HexDigit(s[i]) * 16 + HexDigit(s[i + 1])));
        i += 2;
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        if (i >= s.size())
            return true;
        if (s[i] != ',')
            return false;
        ++i;
    }
}

// One value line; an error text on failure.
bool ParseValueLine(const std::string& line, ImportKey* key, std::string* error) {
    size_t i = 0;
    Value v;
    if (line[0] == '@') {
        i = 1;
    } else if (!ParseQuoted(line, &i, &v.name)) {
        *error = "a value line must start with \"name\" or @";
        return false;
    }
    SkipSpace(line, &i);
    if (i >= line.size() || line[i] != '=') {
        *error = "'=' expected after the value name";
        return false;
    }
    ++i;
    SkipSpace(line, &i);
    std::string rest = line.substr(i);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t'))
        rest.pop_back();
    if (rest == "-") {
        key->removes.push_back(v.name);
        return true;
    }
    if (!rest.empty() && rest[0] == '"') {
        size_t j = 0;
        std::string text;
        if (!ParseQuoted(rest, &j, &text) || j != rest.size()) {
            *error = "badly quoted string data";
            return false;
        }
        v.type = REG_SZ;
        v.data.assign(text.begin(), text.end());
        v.data.push_back(0);
    } else if (strncasecmp(rest.c_str(), "dword:", 6) == 0) {
        std::string digits = rest.substr(6);
        if (digits.empty() || digits.size() > 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            *error = "dword data must be 1 to 8 hex digits";
            return false;
        }
        unsigned long n = std::strtoul(digits.c_str(), nullptr, 16);
        v.type = REG_DWORD;
        for (int b = 0; b < 4; ++b)
            v.data.push_back(static_cast<unsigned char>(n >> (8 * b)));
    } else if (strncasecmp(rest.c_str(), "hex", 3) == 0) {
        size_t j = 3;
        v.type = REG_BINARY;
        if (j < rest.size() && rest[j] == '(') {
            size_t close = rest.find(')', j);
            std::string digits =
                close == std::string::npos ? "" : rest.substr(j + 1, close - j - 1);
            if (digits.empty() || digits.size() > 8 ||
                digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                *error = "hex(N) needs a hex type number N";
                return false;
            }
            v.type = static_cast<DWORD>(std::strtoul(digits.c_str(), nullptr, 16));
            j = close + 1;
        }
        if (j >= rest.size() || rest[j] != ':' || !ParseHexList(rest, j + 1, &v.data)) {
            *error = "hex data must be comma-separated pairs of hex digits";
            return false;
        }
    } else {
        *error = "unknown data form (expected \"text\", dword:, hex: or hex(N):)";
        return false;
    }
    key->values.push_back(std::move(v));
    return true;
}

bool ReadWholeFile(const char* file, std::string* text) {
    FILE* f = std::fopen(file, "rb");
    if (!f) {
        Fail("cannot open %s: %s", file, std::strerror(errno));
        return false;
    }
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof(buf), f)) > 0)
        text->append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    if (!ok)
        Fail("cannot read %s", file);
    return ok;
}

bool ParseRegFile(const char* file, std::vector<ImportKey>* keys) {
    std::string text;
    if (!ReadWholeFile(file, &text))
        return false;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? end : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    bool header = false;
    for (size_t n = 0; n < lines.size(); ++n) {
        unsigned long lineNo = static_cast<unsigned long>(n + 1);
        std::string line = lines[n];
        size_t lead = 0;
        SkipSpace(line, &lead);
        line.erase(0, lead);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty() || line[0] == ';')
            continue;
        if (!header) {
            if (line != "REGEDIT4") {
                Fail("%s:%lu: not a REGEDIT4 file (the first line must be REGEDIT4)", file, lineNo);
                return false;
            }
            header = true;
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']') {
                Fail("%s:%lu: a key line must end with ]", file, lineNo);
                return false;
            }
            ImportKey key;
            std::string name = line.substr(1, line.size() - 2);
            if (!name.empty() && name[0] == '-') {
                key.remove = true;
                name.erase(0, 1);
            }
            if (!ParseKey(name.c_str(), &key.key)) {
                Fail("%s:%lu: bad key", file, lineNo);
                return false;
            }
            keys->push_back(std::move(key));
            continue;
        }
        // A backslash at the end continues the line (long hex data).
        while (!line.empty() && line.back() == '\\' && n + 1 < lines.size()) {
            line.pop_back();
            std::string next = lines[++n];
            if (!next.empty() && next.back() == '\r')
                next.pop_back();
            size_t skip = 0;
            SkipSpace(next, &skip);
            line += next.substr(skip);
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
                line.pop_back();
        }
        if (keys->empty() || keys->back().remove) {
            Fail("%s:%lu: a value line outside a key section", file, lineNo);
            return false;
        }
        std::string error;
        if (!ParseValueLine(line, &keys->back(), &error)) {
            Fail("%s:%lu: %s", file, lineNo, error.c_str());
            return false;
        }
    }
    if (!header) {
        Fail("%s: not a REGEDIT4 file (empty)", file);
        return false;
    }
    return true;
}

bool ApplyImport(const std::vector<ImportKey>& keys) {
    for (const ImportKey& k : keys) {
        if (k.remove) {
            if (k.key.path.empty()) {
                Fail("[-%s]: a root cannot be deleted", k.key.Full().c_str());
                return false;
            }
            LONG status = DeleteTree(k.key.root, k.key.path);
            if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
                Fail("%s: %s", k.key.Full().c_str(), StatusText(status).c_str());
                return false;
            }
            continue;
        }
        HKEY h = nullptr;
        LONG status =
            RegCreateKeyExA(k.key.root, k.key.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &h, nullptr);
        for (size_t i = 0; status == ERROR_SUCCESS && i < k.values.size(); ++i) {
            const Value& v = k.values[i];
            status = RegSetValueExA(h, v.name.c_str(), 0, v.type, v.data.data(),
                                    static_cast<DWORD>(v.data.size()));
        }
        for (size_t i = 0; status == ERROR_SUCCESS && i < k.removes.size(); ++i) {
            status = RegDeleteValueA(h, k.removes[i].c_str());
            if (status == ERROR_FILE_NOT_FOUND)
                status = ERROR_SUCCESS;
        }
        if (h)
            RegCloseKey(h);
        if (status != ERROR_SUCCESS) {
            Fail("%s: %s", k.key.Full().c_str(), StatusText(status).c_str());
            return false;
        }
    }
    return true;
}

// ---- command line ----

struct Options {
    const char* valueName = nullptr; // /v
    bool defaultValue = false;       // /ve
    bool allValues = false;          // /va
    bool subkeys = false;            // /s (query)
    const char* separator = nullptr; // /s (add)
    const char* type = nullptr;      // /t
    const char* data = nullptr;      // /d
    bool force = false;              // /f
    bool overwrite = false;          // /y
    std::vector<const char*> positional;
};

bool IsOption(const char* arg, const char* name) {
    return (arg[0] == '/' || arg[0] == '-') && strcasecmp(arg + 1, name) == 0;
}

// allowed: the options the command takes, e.g. "v ve t s d f".
bool ParseOptions(const char* command, int argc, char** argv, const char* allowed, Options* o) {
    std::string allow = std::string(" ") + allowed + " ";
    for (int i = 2; i < argc; ++i) {
        const char* a = argv[i];
        // Options are short (/v, /ve, -f); a longer argument that starts with
        // a slash is a POSIX path.
        bool option = a[0] == '-' || (a[0] == '/' && std::strlen(a) <= 3);
        if (a[0] == '-' && a[1] == '\0')
            option = false;
        if (!option) {
            o->positional.push_back(a);
            continue;
        }
        std::string name = std::string(" ") + (a + 1) + " ";
        for (char& c : name)
            c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        if (allow.find(name) == std::string::npos) {
            Fail("invalid option for %s: %s (see vantry-reg /?)", command, a);
            return false;
        }
        bool takesArgument = IsOption(a, "v") || IsOption(a, "t") || IsOption(a, "d") ||
                             (IsOption(a, "s") && std::strcmp(command, "add") == 0);
        const char* arg = nullptr;
        if (takesArgument) {
            if (i + 1 >= argc) {
                Fail("option %s needs an argument", a);
                return false;
            }
            arg = argv[++i];
        }
        if (IsOption(a, "v"))
            o->valueName = arg;
        else if (IsOption(a, "ve"))
            o->defaultValue = true;
        else if (IsOption(a, "va"))
            o->allValues = true;
        else if (IsOption(a, "s") && arg)
            o->separator = arg;
        else if (IsOption(a, "s"))
            o->subkeys = true;
        else if (IsOption(a, "t"))
            o->type = arg;
        else if (IsOption(a, "d"))
            o->data = arg;
        else if (IsOption(a, "f"))
            o->force = true;
        else if (IsOption(a, "y"))
            o->overwrite = true;
    }
    if ((o->valueName != nullptr) + o->defaultValue + o->allValues > 1) {
        Fail("/v, /ve and /va exclude each other");
        return false;
    }
    return true;
}

bool ExpectPositional(const char* command, const Options& o, size_t count, const char* what) {
    if (o.positional.size() != count) {
        Fail("%s needs %s (see vantry-reg /?)", command, what);
        return false;
    }
    return true;
}

int Query(int argc, char** argv) {
    Options o;
    KeyPath key;
    if (!ParseOptions("query", argc, argv, "v ve s", &o) ||
        !ExpectPositional("query", o, 1, "KEY") || !ParseKey(o.positional[0], &key))
        return 1;
    if (!o.valueName && !o.defaultValue)
        return QueryTree(key, o.subkeys) ? 0 : 1;
    HKEY h = nullptr;
    LONG status = RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_READ, &h);
    Value value;
    if (status == ERROR_SUCCESS) {
        status = ReadValue(h, o.valueName ? o.valueName : "", &value);
        // Shown with the name it was made with, as the key lists it.
        std::vector<Value> all;
        if (status == ERROR_SUCCESS && ReadAllValues(h, &all) == ERROR_SUCCESS)
            for (const Value& v : all)
                if (strcasecmp(v.name.c_str(), value.name.c_str()) == 0)
                    value.name = v.name;
        RegCloseKey(h);
    }
    if (status != ERROR_SUCCESS) {
        Fail("%s%s%s: %s", key.Full().c_str(), o.valueName ? " /v " : " /ve",
             o.valueName ? o.valueName : "", StatusText(status).c_str());
        return 1;
    }
    std::printf("\n%s\n", key.Full().c_str());
    PrintValue(value);
    std::printf("\n");
    return 0;
}

int Add(int argc, char** argv) {
    Options o;
    KeyPath key;
    if (!ParseOptions("add", argc, argv, "v ve t s d f", &o) ||
        !ExpectPositional("add", o, 1, "KEY") || !ParseKey(o.positional[0], &key))
        return 1;
    if (key.path.empty()) {
        Fail("add needs a key below the root, not %s itself", key.rootName.c_str());
        return 1;
    }
    DWORD type = REG_SZ;
    if (o.type && !ParseType(o.type, &type)) {
        Fail("unknown type %s (see vantry-reg /?)", o.type);
        return 1;
    }
    if (o.separator && type != REG_MULTI_SZ) {
        Fail("/s SEPARATOR is for REG_MULTI_SZ only");
        return 1;
    }
    if (o.separator && *o.separator == '\0') {
        Fail("the /s separator must not be empty");
        return 1;
    }
    bool setsValue = o.valueName || o.defaultValue || o.type || o.data;
    std::vector<unsigned char> data;
    if (setsValue &&
        !EncodeData(type, o.data ? o.data : "", o.separator ? o.separator : "\\0", &data))
        return 1;
    HKEY h = nullptr;
    LONG status = RegCreateKeyExA(key.root, key.path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (status == ERROR_SUCCESS && setsValue) {
        const char* name = o.valueName ? o.valueName : "";
        // Without /f an existing value stays: overwriting settings by accident
        // is what `reg` asks about, and a tool run from scripts cannot ask.
        if (!o.force &&
            RegQueryValueExA(h, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            RegCloseKey(h);
            Fail("the value %s of %s exists; use /f to overwrite it", *name ? name : "(Default)",
                 key.Full().c_str());
            return 1;
        }
        status = RegSetValueExA(h, name, 0, type, data.data(), static_cast<DWORD>(data.size()));
    }
    if (h)
        RegCloseKey(h);
    if (status != ERROR_SUCCESS) {
        Fail("%s: %s", key.Full().c_str(), StatusText(status).c_str());
        return 1;
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Delete(int argc, char** argv) {
    Options o;
    KeyPath key;
    if (!ParseOptions("delete", argc, argv, "v ve va f", &o) ||
        !ExpectPositional("delete", o, 1, "KEY") || !ParseKey(o.positional[0], &key))
        return 1;
    LONG status;
    if (o.valueName || o.defaultValue || o.allValues) {
        HKEY h = nullptr;
        status = RegOpenKeyExA(key.root, key.path.c_str(), 0, KEY_ALL_ACCESS, &h);
        if (status == ERROR_SUCCESS) {
            if (o.allValues) {
                std::vector<Value> values;
                status = ReadAllValues(h, &values);
                for (size_t i = 0; status == ERROR_SUCCESS && i < values.size(); ++i)
                    status = RegDeleteValueA(h, values[i].name.c_str());
            } else {
                status = RegDeleteValueA(h, o.valueName ? o.valueName : "");
            }
            RegCloseKey(h);
        }
    } else {
        if (key.path.empty()) {
            Fail("a root cannot be deleted: %s", key.rootName.c_str());
            return 1;
        }
        status = DeleteTree(key.root, key.path);
    }
    if (status != ERROR_SUCCESS) {
        Fail("%s: %s", key.Full().c_str(), StatusText(status).c_str());
        return 1;
    }
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Export(int argc, char** argv) {
    Options o;
    KeyPath key;
    if (!ParseOptions("export", argc, argv, "y", &o) ||
        !ExpectPositional("export", o, 2, "KEY and FILE") || !ParseKey(o.positional[0], &key))
        return 1;
    const char* file = o.positional[1];
    struct stat st;
    if (!o.overwrite && stat(file, &st) == 0) {
        Fail("%s exists; use /y to overwrite it", file);
        return 1;
    }
    std::string text = "REGEDIT4\r\n\r\n";
    if (!ExportTree(key.root, key.rootName, key.path, &text))
        return 1;
    if (!WriteFileAtomically(file, text))
        return 1;
    std::printf("The operation completed successfully.\n");
    return 0;
}

int Import(int argc, char** argv) {
    Options o;
    if (!ParseOptions("import", argc, argv, "", &o) || !ExpectPositional("import", o, 1, "FILE"))
        return 1;
    // The whole file is read and checked first, so that a mistake in it
    // leaves the registry untouched.
    std::vector<ImportKey> keys;
    if (!ParseRegFile(o.positional[0], &keys) || !ApplyImport(keys))
        return 1;
    std::printf("The operation completed successfully.\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "/?") == 0 || std::strcmp(command, "-h") == 0 ||
        std::strcmp(command, "--help") == 0 || strcasecmp(command, "help") == 0) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (strcasecmp(command, "query") == 0)
        return Query(argc, argv);
    if (strcasecmp(command, "add") == 0)
        return Add(argc, argv);
    if (strcasecmp(command, "delete") == 0)
        return Delete(argc, argv);
    if (strcasecmp(command, "export") == 0)
        return Export(argc, argv);
    if (strcasecmp(command, "import") == 0)
        return Import(argc, argv);
    Fail("unknown command '%s'", command);
    std::fputs(kUsage, stderr);
    return 1;
}

// Command lines read the Windows way (see command_line.h).
#include "platform/posix/command_line.h"
#include "platform/posix/internal.h"

#include <sys/stat.h>

namespace vplat {

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

bool IsRegularFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// True when the last component of a path has a dot: Windows then appends
// nothing.
bool HasExtension(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    size_t dot = path.rfind('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

} // namespace

std::string ResolveProgram(const std::string& windowsPath, bool* found) {
    std::string mapped = MapWindowsPath(windowsPath.c_str());
    *found = IsRegularFile(mapped);
    if (*found)
        return mapped;
    if (!HasExtension(mapped) && IsRegularFile(mapped + ".exe")) {
        *found = true;
        return mapped + ".exe";
    }
    if (mapped.size() > 4) {
        std::string ext = mapped.substr(mapped.size() - 4);
        for (char& c : ext)
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (ext == ".exe" && IsRegularFile(mapped.substr(0, mapped.size() - 4))) {
            *found = true;
            mapped.resize(mapped.size() - 4);
        }
    }
    return mapped;
}

std::string FindProgramInLine(const std::string& line, bool* found, size_t* end) {
    *found = false;
    size_t pos = 0;
    size_t n = line.size();
    while (pos < n && IsSpace(line[pos]))
        ++pos;
    *end = pos;
    if (pos >= n)
        return std::string();
    if (line[pos] == '"') {
        size_t close = line.find('"', pos + 1);
        if (close == std::string::npos)
            close = n;
        *end = close < n ? close + 1 : n;
        return ResolveProgram(line.substr(pos + 1, close - pos - 1), found);
    }
    size_t stop = pos;
    while (true) {
        while (stop < n && !IsSpace(line[stop]))
            ++stop;
        std::string candidate = ResolveProgram(line.substr(pos, stop - pos), found);
        if (*found) {
            *end = stop;
            return candidate;
        }
        if (stop >= n)
            break;
        ++stop;
    }
    size_t word = pos;
    while (word < n && !IsSpace(line[word]))
        ++word;
    *end = word;
    return ResolveProgram(line.substr(pos, word - pos), found);
}

void SplitArguments(const std::string& line, size_t pos, std::vector<std::string>* args) {
    size_t n = line.size();
    while (true) {
        while (pos < n && IsSpace(line[pos]))
            ++pos;
        if (pos >= n)
            return;
        std::string arg;
        bool quoted = false;
        while (pos < n && (quoted || !IsSpace(line[pos]))) {
            if (line[pos] == '\\') {
                size_t slashes = 0;
                while (pos < n && line[pos] == '\\') {
                    ++slashes;
                    ++pos;
                }
                if (pos < n && line[pos] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg.push_back('"');
                        ++pos;
                    }
                } else {
                    arg.append(slashes, '\\');
                }
            } else if (line[pos] == '"') {
                if (quoted && pos + 1 < n && line[pos + 1] == '"') {
                    arg.push_back('"');
                    pos += 2;
                } else {
                    quoted = !quoted;
                    ++pos;
                }
            } else {
                arg.push_back(line[pos++]);
            }
        }
        args->push_back(arg);
    }
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    size_t n = line.size();
    size_t pos = 0;
    while (pos < n && IsSpace(line[pos]))
        ++pos;
    if (pos >= n)
        return args;
    std::string program;
    bool quoted = false;
    while (pos < n && (quoted || !IsSpace(line[pos]))) {
        if (line[pos] == '"')
            quoted = !quoted;
        else
            program.push_back(line[pos]);
        ++pos;
    }
    args.push_back(program);
    SplitArguments(line, pos, &args);
    return args;
}

} // namespace vplat

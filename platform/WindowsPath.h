// Windows path names as Windows reads them, as plain text functions that both
// targets share: a file name that stays inside its folder, the device names,
// and a path resolved the way Windows resolves it ("." and ".." taken out,
// ".." stopping at the drive's root or the share). The POSIX side maps every
// path through ParseWindowsPath; the system's own checks use the same reading,
// so that what they allow is what is opened.
#ifndef VANTRY_PLATFORM_WINDOWSPATH_H
#define VANTRY_PLATFORM_WINDOWSPATH_H

#include <cstddef>
#include <string>
#include <vector>

inline bool IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when name (length bytes) names a device rather than a file wherever it
// stands: CON, PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9, in any letter
// case, alone or with an extension ("nul.txt"), and with trailing dots or
// spaces ("CON. ", "aux .log"), which Windows drops.
inline bool IsWindowsDeviceName(const char* name, size_t length) {
    if (name == nullptr)
        return false;
    // The base name: up to the first dot, without the spaces before it.
    size_t base = 0;
    while (base < length && name[base] != '.')
        ++base;
    while (base > 0 && name[base - 1] == ' ')
        --base;
    char lower[4];
    if (base == 3) {
        for (size_t i = 0; i < 3; ++i)
            lower[i] = AsciiLower(name[i]);
        static const char* const kThree[] = {"con", "prn", "aux", "nul"};
        for (const char* word : kThree)
            if (lower[0] == word[0] && lower[1] == word[1] && lower[2] == word[2])
                return true;
        return false;
    }
    if (base == 4 && name[3] >= '1' && name[3] <= '9') {
        for (size_t i = 0; i < 3; ++i)
            lower[i] = AsciiLower(name[i]);
        return (lower[0] == 'c' && lower[1] == 'o' && lower[2] == 'm') ||
               (lower[0] == 'l' && lower[1] == 'p' && lower[2] == 't');
    }
    return false;
}

// True when name (length bytes, zero bytes included) names a file inside
// whatever folder it is appended to, and nothing else: at least one byte, at
// most maxLength; no zero byte; no "\", "/" or ":" (no folder, drive, share
// or stream part); not made of dots and spaces alone, since Windows drops the
// trailing dots and spaces of a name, so that ".", "..", "..." and ".. " all
// come to mean the folder itself or its parent; and not a device name, which
// opens a device instead of a file in the folder.
inline bool IsBareFileName(const char* name, size_t length, size_t maxLength) {
    if (name == nullptr || length == 0 || length > maxLength)
        return false;
    bool onlyDotsAndSpaces = true;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        if (c == '\0' || c == '\\' || c == '/' || c == ':')
            return false;
        if (c != '.' && c != ' ')
            onlyDotsAndSpaces = false;
    }
    return !onlyDotsAndSpaces && !IsWindowsDeviceName(name, length);
}

// A path as Windows resolves it.
struct WindowsPath {
    enum Kind {
        INVALID,  // empty, or a device path ("\\.\", "\\?\"), or a share without a name
        DRIVE,    // "C:\x", and "C:x", "\x", "x" once made absolute (see below)
        UNC       // "\\server\share\x"
    };
    Kind kind = INVALID;
    char drive = 0;             // the drive's letter, lower case (DRIVE)
    std::string server, share;  // as written (UNC)
    std::vector<std::string> parts; // the folders and the name below the root
    bool endsWithSeparator = false;
    // How the path was written: "C:\x" and "\\s\h\x" are absolute; "\x"
    // (rooted) is on the current drive; "C:x" on the drive's current folder;
    // "x" on the current folder. The parse takes the current drive and each
    // drive's current folder to be the root of drive C and of that drive.
    bool rooted = false;        // "\x" or "/x"
    bool driveRelative = false; // "C:x"
    bool relative = false;      // "x"
};

// Parses path the way Windows resolves a full path: "\" and "/" both
// separate; runs of separators count as one; "." parts go; ".." takes away
// the part before it and stops at the root (the drive or the share); the
// trailing dots and spaces of a part go, as Windows drops them, and a part
// left empty goes with them. No part of the result is empty, "." or "..".
inline WindowsPath ParseWindowsPath(const char* path) {
    WindowsPath result;
    if (path == nullptr || path[0] == '\0')
        return result;
    const std::string text(path);
    size_t at = 0;
    if (text.size() >= 2 && IsPathSeparator(text[0]) && IsPathSeparator(text[1])) {
        // "\\.\" and "\\?\" name devices and raw paths: not files of a drive.
        if (text.size() >= 3 && (text[2] == '.' || text[2] == '?') &&
            (text.size() == 3 || IsPathSeparator(text[3])))
            return result;
        at = 2;
        std::string names[2];
        for (std::string& name : names) {
            while (at < text.size() && !IsPathSeparator(text[at]))
                name += text[at++];
            while (at < text.size() && IsPathSeparator(text[at]))
                ++at;
            bool dots = true;
            for (char c : name)
                if (c != '.' && c != ' ')
                    dots = false;
            if (dots) // empty, ".", "..": no server or share of that name
                return result;
        }
        result.kind = WindowsPath::UNC;
        result.server = names[0];
        result.share = names[1];
    } else if (text.size() >= 2 && text[1] == ':' &&
               ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'))) {
        result.kind = WindowsPath::DRIVE;
        result.drive = AsciiLower(text[0]);
        at = 2;
        result.driveRelative = at >= text.size() || !IsPathSeparator(text[at]);
    } else {
        result.kind = WindowsPath::DRIVE;
        result.drive = 'c';
        result.rooted = IsPathSeparator(text[0]);
        result.relative = !result.rooted;
    }
    size_t start = at;
    for (size_t i = at; i <= text.size(); ++i) {
        if (i < text.size() && !IsPathSeparator(text[i]))
            continue;
        std::string part = text.substr(start, i - start);
        start = i + 1;
        if (part == "..") {
            if (!result.parts.empty())
                result.parts.pop_back();
            continue;
        }
        while (!part.empty() && (part.back() == '.' || part.back() == ' '))
            part.pop_back();
        if (!part.empty())
            result.parts.push_back(part);
    }
    result.endsWithSeparator = !text.empty() && IsPathSeparator(text.back());
    return result;
}

// The resolved path written out with backslashes and its letters folded to
// lower case, the form in which two paths compare as Windows compares them:
// "c:\program files\x" or "\\server\share\x". Empty for an invalid path.
inline std::string FoldedWindowsPath(const WindowsPath& path) {
    std::string out;
    if (path.kind == WindowsPath::DRIVE) {
        out += path.drive;
        out += ':';
    } else if (path.kind == WindowsPath::UNC) {
        out = "\\\\" + path.server + "\\" + path.share;
    } else {
        return out;
    }
    for (const std::string& part : path.parts)
        out += "\\" + part;
    if (path.parts.empty())
        out += "\\";
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

// True when folder (folded) is inside or equal to within (folded): a whole
// part at a time, so that "c:\ab" is not inside "c:\a".
inline bool FoldedPathWithin(const std::string& folder, const std::string& within) {
    if (within.empty() || folder.size() < within.size() ||
        folder.compare(0, within.size(), within) != 0)
        return false;
    return folder.size() == within.size() || within.back() == '\\' ||
           folder[within.size()] == '\\';
}

#endif

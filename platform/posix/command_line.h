// Command lines read the Windows way: which program a line names, and the
// arguments the started program's C runtime makes of it. Shared by
// CreateProcessA and the service manager's start of an image path.
#ifndef VANTRY_PLATFORM_POSIX_COMMAND_LINE_H
#define VANTRY_PLATFORM_POSIX_COMMAND_LINE_H

#include <string>
#include <vector>

namespace vplat {

// The POSIX path of a program named the Windows way ("C:\x\y.exe" maps into
// the root). Found (*found) when the mapped path is a regular file; failing
// that, as Windows appends ".exe" to a name without an extension, the name
// with ".exe"; and as programs built here carry no ".exe", a name ending in
// ".exe" also matches the file without it.
std::string ResolveProgram(const std::string& windowsPath, bool* found);

// The program a command line names when no application name is given, as
// CreateProcess finds it: a quoted first token is the program up to the next
// quotation mark; an unquoted line is tried at each white space in turn, and
// the shortest prefix that names a file is the program (so "C:\Program
// Files\x.exe" runs "C:\Program" when that exists). When nothing is found,
// the first word. *end is where the program's text ends in the line.
std::string FindProgramInLine(const std::string& line, bool* found, size_t* end);

// The argument vector the started program's C runtime builds from its whole
// command line: argv[0] up to white space outside quotation marks (quotes
// toggle, backslashes are plain); then white space separates, quotes group,
// 2n backslashes before a quote give n and the quote toggles, 2n+1 give n and
// a literal quote, "" inside quotes is a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& line);

// The arguments after position pos by the rules above (argv[1] onwards).
void SplitArguments(const std::string& line, size_t pos, std::vector<std::string>* args);

} // namespace vplat

#endif

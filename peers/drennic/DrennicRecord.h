// The record of every command Drennic received, bytes exact, in an
// append-only file. Each entry is the command's length in decimal, a colon,
// the command's bytes as they came (its zero byte included, when it had one)
// and a line feed:
//   21:REJECT_INCOMING_MAIL<NUL>\n
// so that any byte, a zero or a line end too, is kept and can be told apart.
#ifndef VANTRY_PEERS_DRENNIC_DRENNICRECORD_H
#define VANTRY_PEERS_DRENNIC_DRENNICRECORD_H

#include "platform/win32.h"

#include <string>
#include <vector>

// Appends one entry with one write. False (the last error set) when the file
// cannot be opened or written.
bool AppendRecordEntry(const char* path, const char* command, DWORD length);

// The entries of the record, oldest first. False when the file cannot be
// opened; an entry cut short at the end of the file (being written) is left out.
bool ReadRecordEntries(const char* path, std::vector<std::string>* entries);

// A command as one printable line: \0 \r \n \t \\ and \xHH for every other
// byte below 0x20 or above 0x7e. Cut (never past out) when out is too small.
void FormatRecordEntry(const char* command, DWORD length, char* out, size_t size);

#endif

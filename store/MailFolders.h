// The mail folders and logs that Drennic keeps and administrators browse: the
// seven MailCategory rows, and the measuring of a folder.
#ifndef VANTRY_STORE_MAILFOLDERS_H
#define VANTRY_STORE_MAILFOLDERS_H

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

class ClientConnection;

// The MailCategory indexes the dispatcher passes.
enum MailCategory {
    MAIL_QUARANTINE = 0,
    MAIL_MAIL_LOG = 1,
    MAIL_VIRUS_LOG = 2,
    MAIL_BLOCKED = 3,
    MAIL_FILTERED = 4,
    MAIL_DEFERRED = 5,
    MAIL_DEFERRED_LOG = 6,
    MAIL_CATEGORY_COUNT = 7
};

// Paths, patterns, pipe items and commands are built in buffers of this size
// (up to 199 characters); CountFolderFiles' pattern in MAX_PATH.
const int MAIL_PATH_SIZE = 200;

// How long one write of a list or a file's content may wait for the client to
// take it; a client that stops reading ends its reply, so that it cannot hold
// the thread that serves every administrator.
const int MAIL_SEND_WAIT_LIMIT = 10000;

struct MailCategoryRow {
    const char* displayName; // in messages 19
    const char* listPattern; // "%s*." with the folder for %s; nullptr: not listed
    bool digitNamesOnly;     // a listed name must begin with a decimal digit
    const char* kindWord;    // of DELETE_/SEND_ items; nullptr: none
    DWORD filesPerMessage;   // for the message count of getsize_; 0: not measured
    // The request words, as message 18 names them (nullptr where none).
    const char* getWord;
    const char* deleteWord;
    const char* sendWord;
};

// The row of a category; nullptr for an index outside 0..6.
const MailCategoryRow* FindMailCategory(int category);

// The folder setting (of the service settings) that a category uses: a prefix
// to which names and patterns are appended directly. nullptr outside 0..6.
char* MailCategoryFolder(int category);

// Measures a folder: every entry of "<folder>*.*" whose name does not begin
// with "." counts once, folders included (with size 0), and adds its size.
// A folder that is missing, or whose pattern does not fit MAX_PATH, gives 0
// and 0. The total is the true 64-bit sum.
void CountFolderFiles(const char* folder, uint64_t& totalBytes, DWORD& entryCount);

// The argument step of the handlers that take one: cuts the request line at
// its first carriage return or line feed (the line's length as read, zero
// bytes included, is the connection's m_nRequestLength); the argument is
// everything after the first space, argumentLength bytes. False, after the
// improper-use reply (message 18 with keyword, "CODE 3"), when there is none.
bool ExtractMailArgument(ClientConnection& connection, char* request, const char* keyword,
                         char*& argument, size_t& argumentLength);

// True when name (length bytes) names a file inside folder (a folder setting,
// to which it is appended) and nothing else: a bare file name of at most
// maxLength bytes (IsBareFileName), which together with what the folder
// glues to it (the setting's text after its last separator) is no device.
bool IsNameInFolder(const char* folder, const char* name, size_t length, size_t maxLength);

// Message 18 with keyword, logged as an error and answered "CODE 3" with it.
void ReportImproperUse(ClientConnection& connection, const char* keyword);

#endif

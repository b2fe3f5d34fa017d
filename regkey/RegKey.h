// CRegKey: the one way the system reaches the registry. One object per open
// key, used on one thread at a time; keys are opened, used and closed within
// one operation of their user. CRegKeyW is its UTF-16 twin for the plug-in.
#ifndef VANTRY_REGKEY_REGKEY_H
#define VANTRY_REGKEY_REGKEY_H

#include "platform/win32.h"

// Capacity of a key path, terminator included.
const int REGKEY_PATH_SIZE = 500;
// A text Read takes values of at most this many bytes, terminator included;
// the caller's buffer holds one byte more.
const DWORD REGKEY_TEXT_LIMIT = 76799;
const DWORD REGKEY_TEXT_BUFFER = 76800;

class CRegKey {
public:
    CRegKey();
    CRegKey(const CRegKey& other);
    CRegKey& operator=(const CRegKey& other);
    virtual ~CRegKey();

    // create != 0 opens or creates the key with any missing parents.
    LONG Open(HKEY root, const char* path, int create);
    // The key "<parent's path>\<subkey>" under the parent's root; the parent
    // need not be open.
    LONG Open(const CRegKey& parent, const char* subkey, int create);
    void Close();

    LONG Write(const char* name, DWORD value);
    LONG Write(const char* name, const char* text);
    LONG Write(const char* name, const BYTE* data, DWORD size);

    // A read that fails leaves the caller's variable as it was.
    LONG Read(const char* name, DWORD& value);
    LONG Read(const char* name, BYTE* data, DWORD& size);
    // text must hold REGKEY_TEXT_BUFFER bytes.
    LONG Read(const char* name, char* text);

    // Deletes a key under HKEY_LOCAL_MACHINE, whatever this object's root.
    LONG Delete(const char* path);
    LONG DeleteValue(const char* name);

    HKEY m_hRoot;
    HKEY m_hKey;
    char m_szPath[REGKEY_PATH_SIZE];
};

// A save that is all or nothing: begin, write through CRegKey, then commit,
// or roll back to take every change of the save back. Where the platform
// keeps a registry transaction (POSIX) these are its calls; where it keeps
// none (Windows), the narrow CRegKey records each change on the saving thread
// and a rollback puts the old values back and removes the keys it made (the
// first failure of that is returned, the rest is still put back). One save at
// a time, on one thread.
LONG BeginRegistrySave();
LONG CommitRegistrySave();
LONG RollbackRegistrySave();

class CRegKeyW {
public:
    CRegKeyW();
    CRegKeyW(const CRegKeyW& other);
    CRegKeyW& operator=(const CRegKeyW& other);
    virtual ~CRegKeyW();

    LONG Open(HKEY root, const WCHAR* path, int create);
    LONG Open(const CRegKeyW& parent, const WCHAR* subkey, int create);
    void Close();

    LONG Write(const WCHAR* name, DWORD value);
    LONG Write(const WCHAR* name, const WCHAR* text);
    LONG Write(const WCHAR* name, const BYTE* data, DWORD size);

    LONG Read(const WCHAR* name, DWORD& value);
    LONG Read(const WCHAR* name, BYTE* data, DWORD& size);
    // text must hold REGKEY_TEXT_BUFFER / 2 units; texts of at most 38399
    // characters are read.
    LONG Read(const WCHAR* name, WCHAR* text);

    LONG Delete(const WCHAR* path);
    LONG DeleteValue(const WCHAR* name);

    HKEY m_hRoot;
    HKEY m_hKey;
    WCHAR m_szPath[REGKEY_PATH_SIZE];
};

#endif

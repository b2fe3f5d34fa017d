#include "filter/StreamTransport.h"

#include "platform/win32.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include <climits>
#include <cstdio>

namespace {
// One read never asks for more than this, so the count fits the runtime's
// unsigned int and its int result on every target.
constexpr unsigned long kMaxReadCount = 1u << 20;
} // namespace

bool CStreamTransport::Open(const char* path) {
    m_File = -1;
    if (path == nullptr || path[0] == '\0')
        return false;
    m_File = _open(path, _O_RDONLY | _O_BINARY);
    return m_File != -1;
}

long CStreamTransport::Read(void* buffer, unsigned long count) {
    if (m_File == -1 || buffer == nullptr || count == 0)
        return 0;
    if (count > kMaxReadCount)
        count = kMaxReadCount;
    int n = _read(m_File, buffer, static_cast<unsigned int>(count));
    return n > 0 ? n : 0;
}

long CStreamTransport::Tell() {
    if (m_File == -1)
        return -1;
    return _lseek(m_File, 0, SEEK_CUR);
}

long CStreamTransport::GetLength() {
    if (m_File == -1)
        return -1;
    return _filelength(m_File);
}

bool CStreamTransport::Seek(long offset) {
    if (m_File == -1 || offset < 0)
        return false;
    return _lseek(m_File, offset, SEEK_SET) == offset;
}

void CStreamTransport::Close() {
    if (m_File != -1)
        _close(m_File);
    m_File = -1;
}

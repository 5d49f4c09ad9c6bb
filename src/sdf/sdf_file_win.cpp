// The SDF file on Windows, through the C runtime's descriptor calls.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "sdf/sdf_file.h"

int FileOpenRead(const char* name) {
  // _open shares the file: other programs may still read and write it meanwhile.
  const int fd = _open(name, _O_RDONLY | _O_BINARY);
  struct _stati64 st {};
  if (fd < 0) {
    // The system refuses a directory as "access denied": say what it is.
    if (errno == EACCES && _stati64(name, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR) {
      errno = EISDIR;
    }
    return kNoFile;
  }
  if (_fstati64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    // Only a regular file has a length to check; "NUL" or "CON" would open as devices.
    const int reason = (st.st_mode & _S_IFMT) == _S_IFDIR ? EISDIR : EINVAL;
    _close(fd);
    errno = reason;
    return kNoFile;
  }
  return fd;
}

int32_t FileRead(int fd, uint8_t* buffer, uint32_t count) {
  const unsigned int n = count > INT_MAX ? INT_MAX : count;
  const int got = _read(fd, buffer, n);
  return got < 0 ? -1 : static_cast<int32_t>(got);
}

int FileSeek(int fd, int64_t offset) { return _lseeki64(fd, offset, SEEK_SET) == offset ? 1 : 0; }

int64_t FileTell(int fd) { return _telli64(fd); }

int64_t FileLength(int fd) { return _filelengthi64(fd); }

void FileClose(int fd) { _close(fd); }

void FileCloseForAbort(int fd) { _close(fd); }

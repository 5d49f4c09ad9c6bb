// The SDF file on Windows, through the C runtime's descriptor calls.
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <climits>
#include <cstdio>

#include "files/files.h"

namespace {
// The one place a system error code becomes errno: every caller then names it with strerror.
void SetErrno(DWORD code) {
  errno = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS        ? EEXIST
          : code == ERROR_PATH_NOT_FOUND || code == ERROR_FILE_NOT_FOUND   ? ENOENT
          : code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ? EACCES
          : code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL      ? ENOSPC
          : code == ERROR_INVALID_NAME || code == ERROR_BAD_PATHNAME       ? EINVAL
          : code == ERROR_FILENAME_EXCED_RANGE                             ? ENAMETOOLONG
                                                                           : EIO;
}
}  // namespace

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

namespace {
// CON, NUL, COM1 and the like, in any folder, and the device namespace: the system's own answer,
// which moves with its version ("nul.txt" was a device before Windows 11). Nothing is opened.
bool IsDeviceName(const char* name) {
  char full[MAX_PATH + 8];
  const DWORD n = GetFullPathNameA(name, sizeof full, full, nullptr);
  return n >= 4 && n < sizeof full && full[0] == '\\' && full[1] == '\\' && full[2] == '.' && full[3] == '\\';
}
}  // namespace

FileKind FileKindOf(const char* name) {
  if (IsDeviceName(name)) {
    return kFileOther;
  }
  const DWORD attributes = GetFileAttributesA(name);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return kFileMissing;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? kFileDirectory : kFileRegular;
}

namespace {
// The volume and file index of a file on disk; 0 for anything else, which is never opened here.
int FileIdentity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, info) != 0 ? 1 : 0;
}

bool SameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Opens name to read its identity alone: no access asked, so nothing is locked or changed.
int IdentityOf(const char* name, BY_HANDLE_FILE_INFORMATION* info) {
  const HANDLE handle = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    return 0;
  }
  const int known = FileIdentity(handle, info);
  CloseHandle(handle);
  return known;
}
}  // namespace

int FileSameObject(const char* a, const char* b) {
  BY_HANDLE_FILE_INFORMATION ia{};
  BY_HANDLE_FILE_INFORMATION ib{};
  return IdentityOf(a, &ia) != 0 && IdentityOf(b, &ib) != 0 && SameIdentity(ia, ib) ? 1 : 0;
}

std::FILE* FileCreateReplacing(const char* name, const char* spare, CreateRefusal* refusal) {
  *refusal = kCreateFailed;
  if (const FileKind kind = FileKindOf(name); kind == kFileDirectory || kind == kFileOther) {
    *refusal = kCreateNotRegular;
    return nullptr;
  }
  // OPEN_ALWAYS, not CREATE_ALWAYS: what was opened is checked before it is emptied.
  const HANDLE handle =
      CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrno(GetLastError());
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION opened{};
  BY_HANDLE_FILE_INFORMATION kept{};
  if (FileIdentity(handle, &opened) == 0) {
    *refusal = kCreateNotRegular;
  } else if (spare != nullptr && IdentityOf(spare, &kept) != 0 && SameIdentity(opened, kept)) {
    *refusal = kCreateIsSpared;
  } else if (SetEndOfFile(handle) != 0) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file != nullptr) {
      return file;
    }
    if (fd >= 0) {
      _close(fd);  // closes the handle too
      errno = EIO;
      return nullptr;
    }
  }
  CloseHandle(handle);
  errno = EIO;
  return nullptr;
}

std::FILE* FileCreateTemporary(const char* beside, char* name, size_t size) {
  // CREATE_NEW fails on any existing name, a link included: a name is never taken over.
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const int n =
        std::snprintf(name, size, "%s.%lu-%u.tmp", beside, static_cast<unsigned long>(GetCurrentProcessId()), attempt);
    if (n <= 0 || static_cast<size_t>(n) >= size) {
      errno = ENAMETOOLONG;
      return nullptr;
    }
    const HANDLE handle =
        CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_EXISTS) {
        continue;
      }
      SetErrno(GetLastError());
      return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file == nullptr) {
      if (fd >= 0) {
        _close(fd);
      } else {
        CloseHandle(handle);
      }
      DeleteFileA(name);
      errno = EIO;
    }
    return file;
  }
  errno = EEXIST;
  return nullptr;
}

int FileReplace(const char* temporary, const char* name, CreateRefusal* refusal) {
  *refusal = kCreateFailed;
  for (int look = 0; look < 3; ++look) {
    const FileKind kind = FileKindOf(name);
    if (kind == kFileDirectory || kind == kFileOther) {
      *refusal = kCreateNotRegular;
      errno = kind == kFileDirectory ? EISDIR : EINVAL;
      return 0;
    }
    // Onto a missing name without leave to replace: whatever appears there meanwhile is kept,
    // and looked at again.
    const DWORD flags = kind == kFileRegular ? MOVEFILE_REPLACE_EXISTING : 0;
    if (MoveFileExA(temporary, name, flags) != 0) {
      return 1;
    }
    const DWORD code = GetLastError();
    if (kind == kFileMissing && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) {
      continue;
    }
    SetErrno(code);
    return 0;
  }
  errno = EEXIST;
  return 0;
}

int FileCreateNew(const char* path) {
  // CREATE_NEW fails on any name that exists.
  const HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrno(GetLastError());
    return 0;
  }
  CloseHandle(h);
  return 1;
}

std::FILE* FileOpenNew(const char* path) {
  const HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrno(GetLastError());
    return nullptr;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "wb");
  if (f == nullptr) {
    _close(fd);
  }
  return f;
}

int FileMakeFolder(const char* path, bool fresh) {
  if (CreateDirectoryA(path, nullptr)) {
    return 1;
  }
  const DWORD code = GetLastError();
  const DWORD attributes = GetFileAttributesA(path);
  if (!fresh && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return 1;
  }
  // The caller names the reason with strerror: a missing parent folder is not a refusal.
  SetErrno(code);
  return 0;
}

int FileSyncStream(std::FILE* f) {
  if (std::fflush(f) != 0 || std::ferror(f) != 0) {
    return 0;
  }
  return _commit(_fileno(f)) == 0 ? 1 : 0;
}

// A byte range locked on a handle that shares reading: the system lets it go when the process
// ends, however it ends.
int FileLockNew(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    SetErrno(GetLastError());
    return kNoFile;
  }
  OVERLAPPED at{};
  if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) == 0) {
    SetErrno(GetLastError());
    CloseHandle(h);
    return kNoFile;
  }
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR);
  if (fd < 0) {
    CloseHandle(h);
  }
  return fd;
}

void FileUnlock(int lock) {
  if (lock >= 0) {
    _close(lock);
  }
}

int FileLocked(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    // The station opens its lock file sharing reads only: a writer's share refused means it is open.
    return GetLastError() == ERROR_SHARING_VIOLATION ? 1 : -1;
  }
  OVERLAPPED at{};
  int held = 0;
  if (LockFileEx(h, LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) == 0) {
    held = GetLastError() == ERROR_LOCK_VIOLATION ? 1 : -1;
  } else {
    UnlockFileEx(h, 0, 1, 0, &at);
  }
  CloseHandle(h);
  return held;
}

int FileStandardDescriptorsOpen() { return 1; }

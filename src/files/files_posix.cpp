#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/files.h"

int FileOpenRead(const char* name) {
  int fd;
  // O_NONBLOCK so that naming a FIFO cannot hang the open; it is refused just below.
  do {
    fd = open(name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return kNoFile;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Only a regular file has a length to check and stays put while it is sent.
    const int reason = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    close(fd);
    errno = reason;
    return kNoFile;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int32_t FileRead(int fd, uint8_t* buffer, uint32_t count) {
  ssize_t n;
  do {
    n = read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<int32_t>(n);
}

int FileSeek(int fd, int64_t offset) { return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == offset ? 1 : 0; }

int64_t FileTell(int fd) { return lseek(fd, 0, SEEK_CUR); }

int64_t FileLength(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    return -1;
  }
  // A FIFO or a character device has no length to check against.
  if (!S_ISREG(st.st_mode)) {
    return -1;
  }
  return st.st_size;
}

void FileClose(int fd) { close(fd); }

void FileCloseForAbort(int /*fd*/) {
  // A read-only file holds nothing that another program waits for, and closing it under a
  // main thread that is reading it would free its number while still in use: the descriptor
  // goes with the process, a moment later.
}

FileKind FileKindOf(const char* name) {
  struct stat st {};
  if (stat(name, &st) != 0) {
    return kFileMissing;
  }
  return S_ISREG(st.st_mode) ? kFileRegular : S_ISDIR(st.st_mode) ? kFileDirectory : kFileOther;
}

namespace {
bool SameObject(const struct stat& a, const struct stat& b) {
  if (a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
    return true;
  }
  // Two device nodes of one device (/dev/ttyUSB0 and a copy made with mknod) are one port.
  const bool devices = (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode)) || (S_ISBLK(a.st_mode) && S_ISBLK(b.st_mode));
  return devices && a.st_rdev == b.st_rdev;
}
}  // namespace

int FileSameObject(const char* a, const char* b) {
  struct stat sa {};
  struct stat sb {};
  return stat(a, &sa) == 0 && stat(b, &sb) == 0 && SameObject(sa, sb) ? 1 : 0;
}

std::FILE* FileCreateReplacing(const char* name, const char* spare, CreateRefusal* refusal) {
  *refusal = kCreateFailed;
  // Nothing but a regular file is even opened: opening a tty can move its modem lines.
  const FileKind kind = FileKindOf(name);
  if (kind != kFileMissing && kind != kFileRegular) {
    *refusal = kCreateNotRegular;
    return nullptr;
  }
  int fd;
  // No O_TRUNC: what was opened is checked first, in case the name changed under us.
  do {
    fd = open(name, O_WRONLY | O_CREAT | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    return nullptr;
  }
  struct stat opened {};
  struct stat kept {};
  if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
    *refusal = kCreateNotRegular;
  } else if (spare != nullptr && stat(spare, &kept) == 0 && SameObject(opened, kept)) {
    *refusal = kCreateIsSpared;
  } else if (ftruncate(fd, 0) == 0) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* file = fdopen(fd, "wb");
    if (file != nullptr) {
      return file;
    }
  }
  const int reason = errno;
  close(fd);
  errno = reason;
  return nullptr;
}

std::FILE* FileCreateTemporary(const char* beside, char* name, size_t size) {
  // mkstemp creates with O_EXCL: an existing name, a link included, is never opened.
  const int n = std::snprintf(name, size, "%s.XXXXXX", beside);
  if (n <= 0 || static_cast<size_t>(n) >= size) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  const int fd = mkstemp(name);
  if (fd < 0) {
    return nullptr;
  }
  // mkstemp's 0600 would make an SDF file that only its maker can read.
  const mode_t mask = umask(0);
  umask(mask);
  (void)fchmod(fd, 0666 & ~mask);
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int reason = errno;
    close(fd);
    unlink(name);
    errno = reason;
  }
  return file;
}

int FileReplace(const char* temporary, const char* name, CreateRefusal* refusal) {
  *refusal = kCreateFailed;
  // A name that changes kind between the look and the move is looked at again, a few times.
  for (int look = 0; look < 3; ++look) {
    struct stat st {};
    if (stat(name, &st) == 0) {
      if (!S_ISREG(st.st_mode)) {
        *refusal = kCreateNotRegular;
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return 0;
      }
      // The system has no rename that replaces only a regular file: the move comes straight
      // after the look, the narrowest window there is.
      return rename(temporary, name) == 0 ? 1 : 0;
    }
    if (errno != ENOENT) {
      return 0;
    }
    if (lstat(name, &st) == 0) {
      // A link to nothing: the link itself is replaced, never what it would point to.
      return rename(temporary, name) == 0 ? 1 : 0;
    }
    // Missing: link() never replaces, so whatever appears there meanwhile is kept.
    if (link(temporary, name) == 0) {
      (void)unlink(temporary);  // the output is in place; a leftover name would be all that is lost
      return 1;
    }
    if (errno == EEXIST) {
      continue;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK) {
      return 0;
    }
    // A file system without hard links (FAT): a plain move, straight after the look.
    return rename(temporary, name) == 0 ? 1 : 0;
  }
  errno = EEXIST;
  return 0;
}

namespace {
// O_EXCL: never over a name that exists, a link included.
int OpenNew(const char* path) {
  int fd;
  do {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd;
}
}  // namespace

int FileCreateNew(const char* path) {
  const int fd = OpenNew(path);
  if (fd < 0) {
    return 0;
  }
  (void)close(fd);
  return 1;
}

std::FILE* FileOpenNew(const char* path) {
  const int fd = OpenNew(path);
  if (fd < 0) {
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "wb");
  if (f == nullptr) {
    const int reason = errno;
    (void)close(fd);
    errno = reason;
  }
  return f;
}

int FileMakeFolder(const char* path, bool fresh) {
  if (mkdir(path, 0755) == 0) {
    return 1;
  }
  struct stat info {};
  return !fresh && errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode) ? 1 : 0;
}

int FileSyncStream(std::FILE* f) {
  if (std::fflush(f) != 0 || std::ferror(f) != 0) {
    return 0;
  }
  int done;
  do {
    done = fsync(fileno(f));
  } while (done != 0 && errno == EINTR);
  return done == 0 ? 1 : 0;
}

// flock: the system lets it go when the process ends, a SIGKILL included, and a reader's probe
// needs no write access to the folder.
int FileLockNew(const char* path) {
  const int fd = OpenNew(path);
  if (fd < 0) {
    return kNoFile;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int reason = errno;
    (void)close(fd);
    errno = reason;
    return kNoFile;
  }
  return fd;
}

void FileUnlock(int lock) {
  if (lock >= 0) {
    (void)close(lock);
  }
}

int FileLocked(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    return -1;
  }
  int held = 0;
  if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
    held = errno == EWOULDBLOCK ? 1 : -1;
  }
  (void)close(fd);
  return held;
}

int FileStandardDescriptorsOpen() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
      return 0;
    }
  }
  return 1;
}

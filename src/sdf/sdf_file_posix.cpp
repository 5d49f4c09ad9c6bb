#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sdf/sdf_file.h"

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

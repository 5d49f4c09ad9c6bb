// Read-only access to the SDF file by descriptor, the same calls on every platform.
//
//   FileOpenRead(name)         descriptor, or kNoFile; binary, existing files only, shared
//   FileRead(fd, buf, n)       bytes read (0 at end of file), -1 on error
//   FileSeek(fd, offset)       1 when the position is now offset, 0 on failure
//   FileTell(fd)               current position, -1 on failure
//   FileLength(fd)             length in bytes (position unchanged), -1 on failure
//   FileClose(fd)              closes the descriptor
//   FileCloseForAbort(fd)      the abort's close, from its own thread while the main thread may
//                              be reading the file
#pragma once

#include <cstdint>

inline constexpr int kNoFile = -1;

int FileOpenRead(const char* name);
int32_t FileRead(int fd, uint8_t* buffer, uint32_t count);
int FileSeek(int fd, int64_t offset);
int64_t FileTell(int fd);
int64_t FileLength(int fd);
void FileClose(int fd);
void FileCloseForAbort(int fd);

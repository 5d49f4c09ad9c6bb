// The files the programs touch: the SDF file, read-only by descriptor, the trace boxload may
// write, the station's folders, logs and records. The same calls on every platform; each
// platform has its own backend file and the build picks one. Nothing here prints.
//
//   FileStandardDescriptorsOpen()
//                               first of all in a program: a closed standard descriptor is
//                               reopened on the null device, so that no file or port opened later
//                               takes its number (and the console text with it); 0 when one
//                               cannot be. Windows hands a program no such hole: 1
//
//   FileOpenRead(name)          descriptor, or kNoFile with errno set; regular files only,
//                               binary, shared: other programs may still read and write it
//   FileRead(fd, buf, n)        bytes read (0 at end of file), -1 on error
//   ReadFileExactly(fd, buf, n) 1 when n bytes were read, 0 when the file ended early or
//                               failed: a file that shrank must never pass for a full one
//   FileSeek(fd, offset)        1 when the position is now offset, 0 on failure
//   FileTell(fd)                current position, -1 on failure
//   FileLength(fd)              length in bytes (position unchanged), -1 on failure
//   FileClose(fd)               closes the descriptor
//   FileCloseForAbort(fd)       the abort's close, from its own thread while the main thread may
//                               be reading the file
//   FileKindOf(name)            what name is, links followed: missing, a regular file, a
//                               directory, or something else (a device, FIFO or socket)
//   FileSameObject(a, b)        1 when both names reach one file or one device (a link, a hard
//                               link, another name of the same device node)
//   FileCreateReplacing(name, spare, &refusal)
//                               a regular file opened for writing and emptied (created when
//                               missing); never waits on a FIFO, never empties anything but a
//                               regular file, nor the file spare names. Null with refusal
//                               kCreateNotRegular, kCreateIsSpared, or kCreateFailed and errno
//   FileCreateTemporary(beside, name, size)
//                               a new file, created exclusively (never through a link, never
//                               over an existing file) with a unique name in beside's folder,
//                               open for writing; its name in name. Null with errno set
//   FileReplace(temporary, name, &refusal)
//                               moves the file temporary to name, which must be missing or a
//                               regular file (links followed) up to the moment of the move: a
//                               device, FIFO, socket or directory is never replaced. 1 done; 0
//                               with refusal kCreateNotRegular (name as it was) or
//                               kCreateFailed and errno; temporary stays then
//   FileCreateNew(path)         a new empty regular file, created exclusively (never over a name
//                               that exists, a link included) and closed; 0 with errno set
//   FileOpenNew(path)           the same, left open for writing; null with errno set
//   FileMakeFolder(path, fresh) 1 when path is a folder afterwards: made if missing, or with
//                               fresh, made now and by this call alone (0 with errno EEXIST when
//                               the name is taken)
//   FileSyncStream(f)           what f has written, flushed and forced to the disk: 1, or 0 with
//                               errno set; a row that says "on disk" must survive a power cut
//   FileLockNew(path)           a new file, created exclusively, that this process holds an
//                               exclusive lock on until FileUnlock or its end, however it ends;
//                               kNoFile with errno set
//   FileUnlock(lock)            lets the lock and its file go
//   FileLocked(path)            1 while some process holds path's lock, 0 when none does, -1
//                               when path cannot be opened; the file is only read
//
// On Windows the system's error codes reach errno in one place, the backend's, so that every
// caller names a reason with strerror alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr int kNoFile = -1;

int FileOpenRead(const char* name);
int32_t FileRead(int fd, uint8_t* buffer, uint32_t count);
int ReadFileExactly(int fd, uint8_t* buffer, uint32_t count);
int FileSeek(int fd, int64_t offset);
int64_t FileTell(int fd);
int64_t FileLength(int fd);
void FileClose(int fd);
void FileCloseForAbort(int fd);

enum FileKind { kFileMissing, kFileRegular, kFileDirectory, kFileOther };
enum CreateRefusal { kCreateFailed, kCreateNotRegular, kCreateIsSpared };

FileKind FileKindOf(const char* name);
int FileSameObject(const char* a, const char* b);
std::FILE* FileCreateReplacing(const char* name, const char* spare, CreateRefusal* refusal);
std::FILE* FileCreateTemporary(const char* beside, char* name, size_t size);
int FileReplace(const char* temporary, const char* name, CreateRefusal* refusal);
int FileCreateNew(const char* path);
std::FILE* FileOpenNew(const char* path);
int FileMakeFolder(const char* path, bool fresh);
int FileStandardDescriptorsOpen();
int FileSyncStream(std::FILE* f);
int FileLockNew(const char* path);
void FileUnlock(int lock);
int FileLocked(const char* path);

// File helpers of the WAV readers and writers and of the take file's keeper: a guard that
// closes a FILE* on every path, and positioned reads and writes with 64-bit offsets
// (fseeko/ftello with off_t).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace wavio {

// Closes the descriptor when the scope ends, unless CloseChecked already did. The close
// keeps errno as the call that failed before it left it.
struct FdGuard {
    int fd;
    explicit FdGuard(int f) : fd(f) {}
    ~FdGuard()
    {
        if (fd >= 0) {
            const int error = errno;
            close(fd);
            errno = error;
        }
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
};

// Closes now; false (errno says why) when the close failed.
inline bool CloseChecked(FdGuard& guard)
{
    const int fd = guard.fd;
    guard.fd = -1;  // the guard gives the descriptor up before it is closed
    return fd < 0 || close(fd) == 0;
}

// The file's length in bytes.
inline bool FileLength(int fd, off_t* length)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    *length = st.st_size;
    return true;
}

// Closes the file when the scope ends, unless Close() already did.
struct FileGuard {
    FILE* file;
    explicit FileGuard(FILE* f) : file(f) {}
    ~FileGuard()
    {
        if (file != nullptr)
            fclose(file);
    }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
};

// Flushes and closes now; false when buffered bytes did not reach the file.
inline bool CloseChecked(FileGuard& guard)
{
    FILE* file = guard.file;
    guard.file = nullptr;  // the guard gives the file up before it is closed
    if (file == nullptr)
        return true;
    bool ok = fflush(file) == 0;
    ok = (fclose(file) == 0) && ok;
    return ok;
}

// The file's length in bytes.
inline bool FileLength(FILE* file, off_t* length)
{
    if (fseeko(file, 0, SEEK_END) != 0)
        return false;
    off_t end = ftello(file);
    if (end < 0)
        return false;
    *length = end;
    return true;
}

// Reads exactly n bytes at `offset` from the start of the file.
inline bool ReadAt(FILE* file, off_t offset, uint8_t* buf, size_t n)
{
    return fseeko(file, offset, SEEK_SET) == 0 && fread(buf, 1, n, file) == n;
}

// Writes exactly n bytes at `offset` from the start of the file.
inline bool WriteAt(FILE* file, off_t offset, const uint8_t* buf, size_t n)
{
    return fseeko(file, offset, SEEK_SET) == 0 && fwrite(buf, 1, n, file) == n;
}

// Whether the only byte behind a data chunk of odd size is its pad byte: `behind` counts
// the bytes from the data offset to the end of the file. That byte is no audio.
inline bool OnlyPadBehind(uint32_t dataSize, uint64_t behind)
{
    return (dataSize & 1u) != 0 && behind == static_cast<uint64_t>(dataSize) + 1;
}

}  // namespace wavio

// File helpers of the WAV readers and writers, of the take file's keeper and of the take
// file in PLAY and RECORD: the one guard that closes a descriptor on every path, the
// length by fstat, and positioned reads and writes with 64-bit offsets (off_t).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "wav/wav.h"

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

// Closes now. Returns 1, or 0 (errno says why) when the close failed.
inline int CloseChecked(FdGuard& guard)
{
    const int fd = guard.fd;
    guard.fd = -1;  // the guard gives the descriptor up before it is closed
    return fd < 0 || close(fd) == 0;
}

// The file's length in bytes.
inline int FileLength(int fd, off_t* length)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    *length = st.st_size;
    return 1;
}

// Reads exactly n bytes at `offset` from the start of the file.
inline int ReadAt(int fd, off_t offset, uint8_t* buf, size_t n)
{
    return ReadFully(fd, buf, n, offset) == n;
}

// Writes exactly n bytes at `offset` from the start of the file; errno says why not.
inline int WriteAt(int fd, off_t offset, const uint8_t* buf, size_t n)
{
    return WriteFully(fd, buf, n, offset) == n;
}

// Whether the only byte behind a data chunk of odd size is its pad byte: `behind` counts
// the bytes from the data offset to the end of the file. That byte is no audio.
inline bool OnlyPadBehind(uint64_t dataSize, uint64_t behind)
{
    return (dataSize & 1u) != 0 && dataSize < UINT64_MAX && behind == dataSize + 1;
}

}  // namespace wavio

// Reads and writes at an absolute position of a file descriptor, going on after a short
// transfer: a read or write may move fewer bytes than asked (a signal, a file system that
// works in pieces), and a block or chunk cut short there would be a gap in the audio.
#include "wav/wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "wav/file_io.h"

size_t ReadFully(int fd, uint8_t* bytes, size_t size, off_t position)
{
    size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, bytes + got, size - got, position + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    return got;
}

size_t WriteFully(int fd, const uint8_t* bytes, size_t size, off_t position)
{
    size_t put = 0;
    while (put < size) {
        const ssize_t n = pwrite(fd, bytes + put, size - put, position + static_cast<off_t>(put));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        put += static_cast<size_t>(n);
    }
    return put;
}

const char* FileKind(uint32_t type)
{
    switch (type & S_IFMT) {
    case S_IFIFO:
        return "a FIFO";
    case S_IFDIR:
        return "a directory";
    case S_IFCHR:
    case S_IFBLK:
        return "a device";
    case S_IFSOCK:
        return "a socket";
    case S_IFLNK:
        return "a symbolic link";
    default:
        return "no regular file";
    }
}

namespace {

// Keeps `fd` when fstat says a regular file; else closes it, leaves the type found in
// *other and returns -1 (errno EINVAL).
int KeepRegular(int fd, uint32_t* other)
{
    struct stat st;
    if (fd < 0)
        return -1;
    const bool seen = fstat(fd, &st) == 0;
    if (!seen || !S_ISREG(st.st_mode)) {
        *other = seen ? static_cast<uint32_t>(st.st_mode & S_IFMT) : 0;
        const wavio::FdGuard drop(fd);
        errno = EINVAL;
        return -1;
    }
    // O_NONBLOCK stays: reads and writes of a regular file never wait on its account.
    return fd;
}

}  // namespace

int LookAt(const char* path, bool follow, uint32_t* type)
{
    // A descriptor that reads nothing: opening a FIFO for use waits for a writer, and
    // opening a device can act on it.
    struct stat st;
    const int look = open(path, O_PATH | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (look < 0)
        return 0;
    const int looked = fstat(look, &st);
    close(look);
    if (looked != 0)
        return 0;
    *type = static_cast<uint32_t>(st.st_mode & S_IFMT);
    return 1;
}

int OpenRegular(const char* path, int flags, uint32_t* other)
{
    uint32_t ignored = 0;
    if (other == nullptr)
        other = &ignored;
    *other = 0;
    // Looked at first (LookAt); the file opened for use is checked again, so nothing
    // swapped in between is used either, and O_NONBLOCK keeps that open from waiting. A
    // name that does not exist is created only as a new file (O_EXCL): one that appears in
    // between is not followed.
    uint32_t type = 0;
    if (!LookAt(path, (flags & O_NOFOLLOW) == 0, &type)) {
        if (errno != ENOENT || (flags & O_CREAT) == 0)
            return -1;
        return KeepRegular(open(path, flags | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666),
                           other);
    }
    if (type != S_IFREG) {
        *other = type;
        errno = EINVAL;
        return -1;
    }
    return KeepRegular(open(path, (flags & ~O_CREAT) | O_NONBLOCK | O_CLOEXEC), other);
}

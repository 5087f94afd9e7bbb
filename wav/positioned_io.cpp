// Reads and writes at an absolute position of a file descriptor, going on after a short
// transfer: a read or write may move fewer bytes than asked (a signal, a file system that
// works in pieces), and a block or chunk cut short there would be a gap in the audio.
#include "wav/wav.h"

#include <unistd.h>

#include <cerrno>

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

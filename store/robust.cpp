// One wrapper for each system call that makes a file durable or cuts it, so that it is
// handled the same way at every use: a call interrupted by a signal is made again (the
// program's own handlers restart calls, but a call cut short must never be taken for a
// failed one), and errno is left as the failing call set it for the message that follows.
#include "store/durable.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int CutFile(int fd, off_t length)
{
    while (ftruncate(fd, length) != 0)
        if (errno != EINTR)
            return 0;
    return 1;
}

int SyncData(int fd)
{
    while (fdatasync(fd) != 0)
        if (errno != EINTR)
            return 0;
    return 1;
}

int SyncFile(int fd)
{
    while (fsync(fd) != 0)
        if (errno != EINTR)
            return 0;
    return 1;
}

int SayWriteFailed(const char* path, int error)
{
    printf("Write to %s failed: %s\n", path, strerror(error));
    errno = error;
    return 0;
}


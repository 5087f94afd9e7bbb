// The channel between a take whose terminal hung up and a later copy in its directory. The
// take's side runs in the capture thread, once a block: every call returns at once.
#include "term/detached.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "term/term.h"

namespace {

char gTakeName[kStatusNameBytes] = {};

// The abstract address of this working directory's take: "\0takebox-<dev>-<inode>".
// Returns its length, 0 when the directory cannot be told.
socklen_t ChannelAddress(sockaddr_un* address)
{
    struct stat here;
    if (stat(".", &here) != 0)
        return 0;
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    const int n = snprintf(address->sun_path + 1, sizeof address->sun_path - 1,
                           "takebox-%llu-%llu", static_cast<unsigned long long>(here.st_dev),
                           static_cast<unsigned long long>(here.st_ino));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof address->sun_path - 1)
        return 0;
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(n));
}

// A socket for the channel, and the channel's address in *address and *length; -1 when
// either cannot be had. Neither side ever waits on it: the take's capture must go on, and
// a take with no room for one more copy is as good as none.
int ChannelSocket(sockaddr_un* address, socklen_t* length)
{
    *length = ChannelAddress(address);
    if (*length == 0)
        return -1;
    return socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

// Whether the other end of a connected socket runs as this user or as root. An abstract
// socket has no permissions: this is the check.
bool Trusted(int fd)
{
    struct ucred peer;
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof peer)
        return false;
    return peer.uid == geteuid() || peer.uid == 0;
}

void LetGo(int* fd)
{
    close(*fd);
    *fd = -1;
}

// Takes in the copies waiting to be let in, as long as there is a place for them.
void AcceptWatchers(WatchChannel* channel)
{
    for (int& watcher : channel->watchers) {
        if (watcher >= 0)
            continue;
        const int fd = accept4(channel->listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;  // none waiting (or the socket failed: the take goes on)
        if (Trusted(fd))
            watcher = fd;
        else
            close(fd);  // another user's copy learns nothing and stops nothing
    }
}

// Reads what a watcher sent; lets it go when it left.
void ReadWatcher(int* fd)
{
    for (;;) {
        char word[16];
        const ssize_t got = recv(*fd, word, sizeof word, MSG_DONTWAIT);
        if (got > 0) {
            if (got == 1 && word[0] == 's')
                RaiseTakeStop();
            continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            LetGo(fd);
        return;
    }
}

}  // namespace

void NameTheTake(const char* name)
{
    snprintf(gTakeName, sizeof gTakeName, "%s", name);
}

void DropLostTerminal()
{
    const int nowhere = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nowhere < 0)
        return;  // a terminal that hung up fails writes at once; it only loses the lines
    dup2(nowhere, STDOUT_FILENO);
    dup2(nowhere, STDERR_FILENO);
    close(nowhere);
}

int OpenWatchChannel(WatchChannel* channel)
{
    channel->listenFd = -1;
    for (int& watcher : channel->watchers)
        watcher = -1;
    memcpy(channel->name, gTakeName, sizeof channel->name);
    sockaddr_un address;
    socklen_t length = 0;
    const int fd = ChannelSocket(&address, &length);
    if (fd < 0)
        return 0;
    // A name taken already (by anyone) leaves the take without a channel.
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        listen(fd, kMaxWatchers) != 0) {
        close(fd);
        return 0;
    }
    channel->listenFd = fd;
    return 1;
}

void ServeWatchers(WatchChannel* channel, const TakeStatus* status)
{
    if (channel->listenFd < 0)
        return;
    AcceptWatchers(channel);
    TakeStatus sent;
    if (status != nullptr) {
        sent = *status;
        memcpy(sent.name, channel->name, sizeof sent.name);
        sent.name[sizeof sent.name - 1] = '\0';
    }
    for (int& watcher : channel->watchers) {
        if (watcher < 0)
            continue;
        ReadWatcher(&watcher);
        if (watcher < 0 || status == nullptr)
            continue;
        const ssize_t put = send(watcher, &sent, sizeof sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        // A full socket only skips this status: the watcher gets the next one.
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            LetGo(&watcher);
    }
}

void CloseWatchChannel(WatchChannel* channel)
{
    for (int& watcher : channel->watchers)
        if (watcher >= 0)
            LetGo(&watcher);
    if (channel->listenFd >= 0)
        LetGo(&channel->listenFd);
}

int ConnectToTake(int* fd)
{
    sockaddr_un address;
    socklen_t length = 0;
    const int socketFd = ChannelSocket(&address, &length);
    if (socketFd < 0)
        return 0;
    // No take listens while its terminal is there: then nothing answers here.
    if (connect(socketFd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        !Trusted(socketFd)) {
        close(socketFd);
        return 0;
    }
    *fd = socketFd;
    return 1;
}

int ReceiveStatus(int fd, TakeStatus* status, int timeoutMs)
{
    struct pollfd in = {fd, POLLIN, 0};
    if (poll(&in, 1, timeoutMs) <= 0)
        return 0;  // none yet, or a signal ended the wait
    int got = 0;
    for (;;) {
        TakeStatus next;
        const ssize_t n = recv(fd, &next, sizeof next, MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(sizeof next) && next.magic == kStatusMagic) {
            next.name[sizeof next.name - 1] = '\0';
            *status = next;
            got = 1;
            continue;
        }
        if (n > 0)
            continue;  // of no layout this copy knows
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return got;
        return got != 0 ? 1 : -1;  // the take closed the channel
    }
}

int AskTakeToStop(int fd)
{
    const char word = 's';
    return send(fd, &word, 1, MSG_NOSIGNAL) == 1 ? 1 : 0;
}

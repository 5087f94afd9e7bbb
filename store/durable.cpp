// The take keeper's file steps in the working directory: the take file opened and cut, a
// name removed or given without replacing a file, a free name found. A name that changed
// is followed by a sync of its directory; errno is kept as the failing call left it. Only
// the files of store/ link, unlink, rename or sync.
#include "store/durable.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "store/store.h"

using wavio::FdGuard;


int ReadTakeLayout(int fd, WavLayout* t)
{
    return ReadWavLayout(fd, 4, t) && t->riffWave && t->sampleRate != 0 &&
           static_cast<off_t>(t->dataOffset) <= t->length;
}

int OpenTake(const char* path, FdGuard* guard, off_t* length, bool* writable, int* refused)
{
    // The take file's name is the program's own: a link there is not followed.
    uint32_t other = 0;
    guard->fd = OpenRegular(path, O_RDWR | O_NOFOLLOW, &other);
    *writable = guard->fd >= 0;
    if (guard->fd < 0 && other == 0) {
        if (refused != nullptr)
            *refused = errno;
        guard->fd = OpenRegular(path, O_RDONLY | O_NOFOLLOW, &other);
    }
    struct stat st;
    if (guard->fd < 0 || fstat(guard->fd, &st) != 0)
        return 0;
    *length = st.st_size;
    return 1;
}

int SetTakeLength(int fd, const WavLayout& t, off_t length)
{
    if (!CutFile(fd, length))
        return 0;
    const uint64_t dataBytes = static_cast<uint64_t>(length - static_cast<off_t>(t.dataOffset));
    return WriteWavSizes(fd, t.dataChunk, &dataBytes, t.frameBytes, length);
}

int SyncFileData(const char* path)
{
    FdGuard f(OpenRegular(path, O_RDONLY));  // its close keeps errno
    return f.fd >= 0 && SyncData(f.fd);
}

int RemoveName(const char* path)
{
    if (unlink(path) != 0 && errno != ENOENT)
        return 0;
    SyncDirectoryOf(path);
    return 1;
}

int MoveToName(const char* from, const char* name)
{
    if (link(from, name) == 0) {
        SyncDirectoryOf(name);
        if (unlink(from) == 0) {
            SyncDirectoryOf(from);
            return 1;
        }
        const int error = errno;
        RemoveName(name);  // both names would hold the take: the old one stays
        errno = error;
        return 0;
    }
    if (errno == EEXIST)
        return 0;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
        return 0;
    // No hard links here.
    if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, name, RENAME_NOREPLACE) != 0) {
        if (errno == EEXIST || (errno != EINVAL && errno != ENOSYS))
            return 0;
        // Nor a rename that refuses an existing name: look first. Only one Takebox
        // runs in a directory, so no other copy takes the name in between.
        struct stat st;
        if (lstat(name, &st) == 0) {
            errno = EEXIST;
            return 0;
        }
        if (rename(from, name) != 0)
            return 0;
    }
    SyncDirectoryOf(name);
    return 1;
}

int RenameOnto(const char* from, const char* to)
{
    if (rename(from, to) != 0)
        return 0;
    if (!SyncDirectoryOf(to))
        SayWriteFailed(to, errno);
    return 1;
}

int FreeName(const char* pattern, char* name, size_t cap)
{
    for (int32_t n = 1; n <= kMaxNameNumber; n++) {
        snprintf(name, cap, pattern, n);
        struct stat st;
        if (lstat(name, &st) != 0 && errno == ENOENT)
            return 1;
    }
    errno = EEXIST;
    return 0;
}

int FindLinkedName(const char* takePath, char* name, size_t cap)
{
    struct stat take;
    if (lstat(takePath, &take) != 0 || take.st_nlink < 2)
        return 0;
    // The name it had reached may be a recovered name or a part's beside its target: any
    // other entry of the working directory for the same file.
    DIR* dir = opendir(".");
    if (dir == nullptr)
        return 0;
    int found = 0;
    while (dirent* e = found ? nullptr : readdir(dir)) {
        struct stat st;
        if (strcmp(e->d_name, takePath) != 0 && strlen(e->d_name) < cap &&
            lstat(e->d_name, &st) == 0 && st.st_dev == take.st_dev && st.st_ino == take.st_ino) {
            snprintf(name, cap, "%s", e->d_name);
            found = 1;
        }
    }
    closedir(dir);
    return found;
}


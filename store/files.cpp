// Files of the working directory: a text file replaced whole through a temporary file, a
// directory synced after a name in it changed, the temporary files a crash left behind
// removed, and the lock that keeps one Takebox to a directory.
#include "store/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/durable.h"
#include "wav/wav.h"

namespace {

enum : int32_t {
    kLinkHops = 40,  // symbolic links followed before a chain counts as a loop
    kTempSuffix = 6,  // the characters mkstemp puts for "XXXXXX"
};

// The file a write to `path` reaches: symbolic links are followed, a relative link from
// the directory of the link. The result may not exist yet (a new file, a dangling link).
// Returns 0 when the chain does not end.
int ResolveLinks(const char* path, std::string* resolved)
{
    std::string current(path);
    for (int32_t hop = 0; hop < kLinkHops; hop++) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            *resolved = current;
            return 1;
        }
        char target[PATH_MAX];
        ssize_t n = readlink(current.c_str(), target, sizeof target);
        if (n <= 0 || n >= static_cast<ssize_t>(sizeof target))
            return 0;
        target[n] = '\0';
        const size_t slash = current.rfind('/');
        if (target[0] == '/' || slash == std::string::npos)
            current = target;
        else
            current = current.substr(0, slash + 1) + target;
    }
    return 0;
}

// The directory part of a path, with its slash ("" for a name in the working directory).
std::string DirectoryPart(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// ".<name>." in the target's own directory, the start of mkstemp's template: a name too
// long to take the additions within NAME_MAX bytes is cut to make room; mkstemp never
// picks a name that exists, the target's included.
std::string TempPrefix(const std::string& target)
{
    const std::string dir = DirectoryPart(target);
    std::string name = target.substr(dir.size());
    if (name.size() > NAME_MAX - 8)
        name.resize(NAME_MAX - 8);
    return dir + "." + name + ".";
}

// The permission bits a plain write would leave: an existing file keeps its own, a new
// one gets 0666 less the umask.
mode_t NewFileMode(const struct stat* existing, bool exists)
{
    if (exists)
        return existing->st_mode & 07777;
    const mode_t mask = umask(022);
    umask(mask);
    return 0666 & ~mask;
}

// Syncs one directory. File systems that cannot sync a directory say EINVAL or ENOTSUP:
// there is nothing more to be done, and that counts as done.
int SyncDirectory(const char* dir)
{
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int ok = SyncFile(fd) || errno == EINVAL || errno == ENOTSUP || errno == EOPNOTSUPP;
    const int error = errno;
    close(fd);
    errno = error;
    return ok ? 1 : 0;
}

// Whether a directory entry is a name mkstemp made from `prefix` + "XXXXXX".
bool IsTempName(const char* entry, const std::string& prefix)
{
    if (strncmp(entry, prefix.c_str(), prefix.size()) != 0)
        return false;
    const char* rest = entry + prefix.size();
    for (int32_t i = 0; i < kTempSuffix; i++) {
        const char c = rest[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return rest[kTempSuffix] == '\0';
}

}  // namespace

int SyncDirectoryOf(const char* path)
{
    std::string dir = DirectoryPart(path);
    if (dir.empty())
        dir = ".";
    if (!SyncDirectory(dir.c_str()))
        return 0;
    if (dir == ".")
        return 1;
    // The working directory holds the list, the settings and the take file: a name that
    // changed elsewhere is synced there too.
    struct stat there, here;
    if (stat(dir.c_str(), &there) == 0 && stat(".", &here) == 0 &&
        (there.st_dev != here.st_dev || there.st_ino != here.st_ino))
        return SyncDirectory(".");
    return 1;
}

// ReplaceFile without its messages: 1 done, 0 not created, -1 not written (errno says why).
static int WriteWhole(const char* path, const char* bytes, uint32_t size)
{
    // The new text goes to a temporary file beside the file the path reaches and is
    // renamed over it only when every byte has reached the disk, so the old file survives
    // any failure, and a symbolic link on the way stays a link.
    std::string target;
    if (!ResolveLinks(path, &target))
        return 0;
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    // Only a regular file can be replaced by a rename, and one we may not write stays
    // as a plain write would leave it.
    if (exists && (!S_ISREG(st.st_mode) || access(target.c_str(), W_OK) != 0))
        return 0;
    std::string temp = TempPrefix(target) + "XXXXXX";
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return 0;
    FILE* file = nullptr;
    if (fchmod(fd, NewFileMode(&st, exists)) == 0)
        file = fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        remove(temp.c_str());
        errno = error;
        return 0;
    }
    // errno is kept from the first call that failed.
    int error = 0;
    if (fwrite(bytes, 1, size, file) != size)
        error = errno;
    if (fflush(file) != 0 && error == 0)
        error = errno;
    if (!SyncFile(fileno(file)) && error == 0)
        error = errno;
    if (fclose(file) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temp.c_str(), target.c_str()) == 0) {
        SyncDirectoryOf(target.c_str());
        return 1;
    }
    if (error == 0)
        error = errno;
    remove(temp.c_str());
    errno = error;
    return -1;
}

FILE* OpenForReading(const char* path)
{
    const int fd = OpenRegular(path, O_RDONLY);
    FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && file == nullptr)
        close(fd);
    return file;
}

int ReplaceFile(const char* path, const char* bytes, uint32_t size)
{
    const int written = WriteWhole(path, bytes, size);
    if (written == 0)
        printf("Unable to open %s\n", path);
    else if (written < 0)
        SayWriteFailed(path, errno);
    return written == 1 ? 1 : 0;
}

void RemoveLeftoverTemporaries(const char* path)
{
    std::string target;
    if (!ResolveLinks(path, &target))
        return;
    const std::string prefix = TempPrefix(target);
    const std::string dir = DirectoryPart(prefix);
    const std::string start = prefix.substr(dir.size());
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr)
        return;
    bool removed = false;
    while (const dirent* e = readdir(d)) {
        struct stat st;
        const std::string name = dir + e->d_name;
        if (IsTempName(e->d_name, start) && lstat(name.c_str(), &st) == 0 &&
            S_ISREG(st.st_mode) && unlink(name.c_str()) == 0)
            removed = true;
    }
    closedir(d);
    if (removed)
        SyncDirectoryOf(prefix.c_str());
}

int LockWorkingDirectory()
{
    // Held for the process's life: the kernel releases it when the program ends in any
    // way. A directory that cannot be opened cannot be locked; the program runs as before.
    static int lockFd = -1;
    if (lockFd >= 0)
        return 1;
    const int fd = open(".", O_RDONLY | O_CLOEXEC | O_DIRECTORY);
    if (fd < 0)
        return 1;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        lockFd = fd;
        return 1;
    }
    const int error = errno;
    close(fd);
    if (error == EWOULDBLOCK) {
        puts("Takebox is already running in this directory");
        return 0;
    }
    return 1;
}

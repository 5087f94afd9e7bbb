// The track table and the list file: one WAV file name per line.
#include "store/store.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum : int32_t {
    kLinkHops = 40,  // symbolic links followed before a chain counts as a loop
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

// ".<name>.XXXXXX" in the target's own directory, for mkstemp. A name too long to take
// the additions within NAME_MAX bytes is cut to make room; mkstemp never picks a name
// that exists, the target's included.
std::string TempTemplate(const std::string& target)
{
    const size_t slash = target.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    std::string name = target.substr(start);
    if (name.size() > NAME_MAX - 8)
        name.resize(NAME_MAX - 8);
    return target.substr(0, start) + "." + name + ".XXXXXX";
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

}  // namespace

int IsWaveFile(const char* path)
{
    // Only a regular file can be a WAV file; a pipe or a device is not opened here, as
    // opening it could block.
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    FILE* file = fopen(path, "rb");
    if (file == nullptr)
        return 0;
    unsigned char head[12];
    const size_t got = fread(head, 1, sizeof head, file);
    fclose(file);
    return got == sizeof head && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WAVE", 4) == 0;
}

int ReplaceFile(const char* path, const char* bytes, uint32_t size)
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
    std::string temp = TempTemplate(target);
    int fd = mkstemp(&temp[0]);
    if (fd < 0)
        return 0;
    FILE* file = nullptr;
    if (fchmod(fd, NewFileMode(&st, exists)) == 0)
        file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
        remove(temp.c_str());
        return 0;
    }
    bool ok = fwrite(bytes, 1, size, file) == size;
    ok = fflush(file) == 0 && ok;
    ok = fsync(fileno(file)) == 0 && ok;
    ok = fclose(file) == 0 && ok;
    if (ok && rename(temp.c_str(), target.c_str()) == 0)
        return 1;
    remove(temp.c_str());
    return -1;
}

void ParseList(char* text, char* trackTable, int32_t* count, int32_t capacity)
{
    if (capacity > 0)
        memset(trackTable, 0, static_cast<size_t>(capacity));
    *count = 0;
    int32_t slots = capacity > 0 ? capacity / kSlotBytes : 0;
    int32_t limit = slots < kListLoadMax ? slots : kListLoadMax;
    char* p = text;
    while (*count < limit) {
        while (*p == '\n')  // empty lines produce no names
            p++;
        if (*p == '\0')
            break;
        char* name = p;
        while (*p != '\n' && *p != '\0')
            p++;
        bool more = *p == '\n';
        *p = '\0';
        // A name longer than a slot is cut to its first 127 bytes. CRs at its end are no
        // part of it: a file saved on Windows ends its lines with CR LF, and a name that
        // ended in a CR would not come back from a save. A line of CRs alone is empty.
        char* slot = trackTable + static_cast<size_t>(*count) * kSlotBytes;
        CopyText(slot, name, kSlotBytes);
        size_t length = strlen(slot);
        while (length > 0 && slot[length - 1] == '\r')
            slot[--length] = '\0';
        if (length > 0)
            (*count)++;
        if (!more)
            break;
        p++;
    }
}

int GetList(char* listText, char* trackTable, const char* listPath, int32_t* count,
            int32_t capacity)
{
    FILE* file = fopen(listPath, "rb");
    // A directory opens for reading on Linux but yields no bytes: it counts as a list
    // file that cannot be read, not as one of a length its file system makes up.
    struct stat st;
    if (file != nullptr && fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(file);
        file = nullptr;
    }
    if (file == nullptr) {
        printf("Creating a new list: %s\n", listPath);
        return 1;
    }
    if (IsWaveFile(listPath)) {
        fclose(file);
        printf("%s is a WAV file, not a track list\n", listPath);
        return -1;
    }
    printf("Opening existing list: %s\n", listPath);
    off_t length = 0;
    if (fseeko(file, 0, SEEK_END) == 0)
        length = ftello(file);
    if (length < 0)
        length = 0;
    if (capacity < 0)
        capacity = 0;
    if (length > capacity) {
        printf("List file is too large. %lld bytes not loaded\n",
               static_cast<long long>(length - capacity));
        length = capacity;
    }
    size_t got = 0;
    if (fseeko(file, 0, SEEK_SET) == 0)
        got = fread(listText, 1, static_cast<size_t>(length), file);
    fclose(file);
    listText[got] = '\0';  // the text buffer has one spare byte for this
    ParseList(listText, trackTable, count, capacity);
    return 0;
}

int WriteList(const char* listPath, const char* trackTable, char* listText, int32_t count)
{
    if (count < 0)
        count = 0;
    if (count > kTableSlots)
        count = kTableSlots;
    uint32_t length = 0;
    for (int32_t i = 0; i < count; i++) {
        const char* name = trackTable + static_cast<size_t>(i) * kSlotBytes;
        size_t n = strnlen(name, kSlotBytes - 1);
        memcpy(listText + length, name, n);
        length += static_cast<uint32_t>(n);
        listText[length++] = '\n';
    }
    // The list path may name a file that a recording has since made: never write over it.
    if (IsWaveFile(listPath)) {
        printf("%s is a WAV file, not a track list; the list was not saved\n", listPath);
        return 0;
    }
    if (ReplaceFile(listPath, listText, length) != 1) {
        printf("Unable to open %s\n", listPath);
        return 0;
    }
    return 1;
}

void RemoveTrack(char* trackTable, int32_t position, int32_t count)
{
    if (count > kTableSlots)
        count = kTableSlots;
    if (position < 1 || position > count)
        return;
    for (int32_t j = position; j < count; j++)
        memcpy(trackTable + static_cast<size_t>(j - 1) * kSlotBytes,
               trackTable + static_cast<size_t>(j) * kSlotBytes, kSlotBytes);
    memset(trackTable + static_cast<size_t>(count - 1) * kSlotBytes, 0, kSlotBytes);
}

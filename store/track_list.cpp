// The track table and the list file: one WAV file name per line.
#include "store/store.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// "<path>.tmp" beside the target. A last path component too long to take the suffix
// within NAME_MAX bytes is cut to make room, so that a file whose name has the longest
// length allowed can be replaced as well; the cut name never equals the target's.
std::string TempPath(const char* path)
{
    std::string temp(path);
    const size_t slash = temp.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    if (temp.size() - start > NAME_MAX - 4)
        temp.resize(start + NAME_MAX - 4);
    temp += ".tmp";
    if (temp == path)
        temp.back() = '_';
    return temp;
}

}  // namespace

int ReplaceFile(const char* path, const char* bytes, uint32_t size)
{
    // The new text goes to a temporary file beside the target and is renamed over it only
    // when every byte has reached the disk, so the old file survives any failure.
    std::string temp = TempPath(path);
    FILE* file = fopen(temp.c_str(), "wb");
    if (file == nullptr)
        return 0;
    bool ok = fwrite(bytes, 1, size, file) == size;
    ok = fflush(file) == 0 && ok;
    ok = fsync(fileno(file)) == 0 && ok;
    ok = fclose(file) == 0 && ok;
    if (ok && rename(temp.c_str(), path) == 0)
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
        // A name longer than a slot is cut to its first 127 bytes.
        CopyText(trackTable + static_cast<size_t>(*count) * kSlotBytes, name, kSlotBytes);
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

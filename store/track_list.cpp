// The track table and the list file: one WAV file name per line.
#include "store/store.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int IsWaveFile(const char* path)
{
    // Only a regular file can be a WAV file; a pipe or a device is not opened here, as
    // opening it could block.
    FILE* file = OpenForReading(path);
    if (file == nullptr)
        return 0;
    unsigned char head[12];
    const size_t got = fread(head, 1, sizeof head, file);
    fclose(file);
    return got == sizeof head && memcmp(head, "RIFF", 4) == 0 && memcmp(head + 8, "WAVE", 4) == 0;
}

int RefuseWaveList(const char* path)
{
    if (!IsWaveFile(path))
        return 0;
    printf("%s is a WAV file, not a track list\n", path);
    return 1;
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
        if (DropTrailingCr(slot) > 0)
            (*count)++;
        if (!more)
            break;
        p++;
    }
}

int GetList(char* listText, char* trackTable, const char* listPath, int32_t* count,
            int32_t capacity)
{
    // A directory, a FIFO or a device counts as a list file that cannot be read: it is
    // never opened in a way that waits for a writer, nor read for a length its file
    // system makes up.
    FILE* file = OpenForReading(listPath);
    if (file == nullptr) {
        printf("Creating a new list: %s\n", listPath);
        return 1;
    }
    if (RefuseWaveList(listPath)) {
        fclose(file);
        return 0;
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
    return 1;
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
    return ReplaceFile(listPath, listText, length);
}

int AddTrack(char* trackTable, char* listText, const char* listPath, int32_t* count,
             const char* name)
{
    for (int32_t n = 0; n < *count; n++)
        if (strcmp(trackTable + static_cast<size_t>(n) * kSlotBytes, name) == 0)
            return 1;
    if (*count >= kTableSlots) {
        printf("The track list is full: %s was not added\n", name);
        return 0;
    }
    CopyText(trackTable + static_cast<size_t>(*count) * kSlotBytes, name, kSlotBytes);
    (*count)++;
    WriteList(listPath, trackTable, listText, *count);
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

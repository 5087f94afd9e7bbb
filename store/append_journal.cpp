// The append journal: what a start after a crash needs to finish or undo an append,
// written and synced before the target is touched.
#include "store/append_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "store/durable.h"
#include "store/store.h"

using wavio::CloseChecked;
using wavio::FdGuard;
using wavio::ReadAt;
using wavio::WriteAt;

namespace {

enum : uint32_t {
    kJournalCap = 512,      // the journal's text, its target name included
    kCompareBlock = 65536,  // bytes compared at a time when a journal is settled
};

}  // namespace

int64_t AppendedEnd(const AppendJournal& j)
{
    return AppendedLength(j.sizeField + 4, j.start, j.takeBytes);
}

int PlanAppend(const char* target, int32_t takeBytes, uint32_t dataSize, AppendJournal* j)
{
    // The data chunk is found as APPEND finds it: the format was checked before the take
    // was recorded, by GetAttributes' own rules. The take's bytes must follow whole
    // frames, so that the data size covers the file's audio and the take exactly.
    FdGuard f(OpenRegular(target, O_RDONLY));
    WavLayout w = {};
    uint8_t field[4];
    if (f.fd >= 0)
        ReadWavLayout(f.fd, 3, &w);
    if (!w.hasDataSize || w.frameBytes == 0)
        return 0;
    *j = AppendJournal{};
    CopyText(j->target, target, sizeof j->target);
    j->length = w.length;
    j->takeBytes = takeBytes;
    j->dataSize = dataSize;
    j->sizeField = static_cast<int64_t>(w.dataChunk) + 4;
    j->oldDataSize = w.dataSize;
    j->pad = -1;
    j->start = AppendPosition(w);  // as APPEND will place the take
    if (j->start - static_cast<int64_t>(w.dataOffset) + takeBytes != static_cast<int64_t>(dataSize))
        return 0;
    if (w.rf64) {
        j->ds64 = w.ds64Chunk;
        j->oldDs64[0] = w.ds64Riff;
        j->oldDs64[1] = w.ds64Data;
        j->oldDs64[2] = w.ds64Samples;
        j->samples = dataSize / w.frameBytes;
    }
    if (j->start < j->length) {
        uint8_t pad = 0;
        if (!ReadAt(f.fd, j->start, &pad, 1))
            return 0;
        j->pad = pad;
    }
    if (!ReadAt(f.fd, 4, field, 4))
        return 0;
    j->oldRiffSize = GetLE32(field);
    return 1;
}

int WriteJournal(const AppendJournal& j)
{
    char text[kJournalCap];
    const int n = snprintf(text, sizeof text,
                           "target\t%s\nlength\t%lld\nstart\t%lld\ntake\t%lld\ndata\t%" PRIu32
                           "\nsizefield\t%lld\t%" PRIu32 "\nriff\t%" PRIu32 "\npad\t%" PRId32
                           "\n",
                           j.target, static_cast<long long>(j.length),
                           static_cast<long long>(j.start), static_cast<long long>(j.takeBytes),
                           j.dataSize, static_cast<long long>(j.sizeField), j.oldDataSize,
                           j.oldRiffSize, j.pad);
    // An RF64 target's ds64 sizes, before and after.
    int m = 0;
    if (n >= 0 && n < static_cast<int>(sizeof text))
        m = j.ds64 == 0 ? snprintf(text + n, sizeof text - n, "end\n")
                        : snprintf(text + n, sizeof text - n,
                                   "ds64\t%lld\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64 "\t%" PRIu64
                                   "\nend\n",
                                   static_cast<long long>(j.ds64), j.oldDs64[0], j.oldDs64[1],
                                   j.oldDs64[2], j.samples);
    if (n < 0 || m < 0 || n + m >= static_cast<int>(sizeof text)) {
        errno = ENAMETOOLONG;
        return 0;
    }
    // The journal's name is the program's own: created new, or (left behind) cut to
    // nothing, never a file a link leads to.
    FdGuard f(OpenRegular(kJournal, O_WRONLY | O_CREAT | O_NOFOLLOW));
    if (f.fd < 0 || !CutFile(f.fd, 0))
        return 0;
    // errno is kept where a call fails: removing the journal must not change it.
    const bool ok = WriteAt(f.fd, 0, reinterpret_cast<const uint8_t*>(text),
                            static_cast<size_t>(n + m)) &&
                    SyncFile(f.fd) && CloseChecked(f) && SyncDirectoryOf(kJournal);
    if (ok)
        return 1;
    const int error = errno;
    CloseChecked(f);
    RemoveName(kJournal);
    errno = error;
    return 0;
}

int ReadJournal(AppendJournal* j)
{
    FdGuard f(OpenRegular(kJournal, O_RDONLY | O_NOFOLLOW));
    if (f.fd < 0)
        return 0;
    char text[kJournalCap];
    const size_t got = ReadFully(f.fd, reinterpret_cast<uint8_t*>(text), sizeof text - 1, 0);
    text[got] = '\0';
    *j = AppendJournal{};
    const char* line = text + 7;
    const char* end = strchr(text, '\n');
    if (strncmp(text, "target\t", 7) != 0 || end == nullptr ||
        static_cast<size_t>(end - line) >= sizeof j->target)
        return -1;
    memcpy(j->target, line, static_cast<size_t>(end - line));
    long long length = 0, start = 0, take = 0, sizeField = 0;
    int used = 0;
    if (sscanf(end + 1,
               "length\t%lld\nstart\t%lld\ntake\t%lld\ndata\t%" SCNu32 "\nsizefield\t%lld\t%" SCNu32
               "\nriff\t%" SCNu32 "\npad\t%" SCNd32 "\n%n",
               &length, &start, &take, &j->dataSize, &sizeField, &j->oldDataSize,
               &j->oldRiffSize, &j->pad, &used) != 8 ||
        used == 0)
        return -1;
    const char* rest = end + 1 + used;
    long long ds64 = 0;
    int tail = 0;
    if (strncmp(rest, "ds64\t", 5) == 0 &&
        (sscanf(rest, "ds64\t%lld\t%" SCNu64 "\t%" SCNu64 "\t%" SCNu64 "\t%" SCNu64 "\n%n",
                &ds64, &j->oldDs64[0], &j->oldDs64[1], &j->oldDs64[2], &j->samples, &tail) != 5 ||
         tail == 0 || ds64 < 12 || ds64 + 32 > length))
        return -1;
    j->ds64 = ds64;
    if (strncmp(rest + tail, "end", 3) != 0)
        return -1;
    j->length = length;
    j->start = start;
    j->takeBytes = take;
    j->sizeField = sizeField;
    // Only what this program writes is acted on.
    if (j->target[0] == '\0' || length < 0 || start < 0 || start > length || length - start > 1 ||
        take <= 0 || take > static_cast<long long>(kMaxField) || sizeField < 4 ||
        sizeField + 4 > length || sizeField - 4 > static_cast<long long>(UINT32_MAX) ||
        j->pad < -1 || j->pad > 255 || (j->pad >= 0) != (start < length))
        return -1;
    return 1;
}

int RollBack(const AppendJournal& j)
{
    FdGuard f(OpenRegular(j.target, O_RDWR));
    if (f.fd < 0)
        return errno == ENOENT ? 1 : 0;
    if (!CutFile(f.fd, j.length))
        return 0;
    if (j.pad >= 0) {
        const uint8_t pad = static_cast<uint8_t>(j.pad);
        if (!WriteAt(f.fd, j.length - 1, &pad, 1))
            return 0;
    }
    if (!RestoreWavSizes(f.fd, j.oldRiffSize, static_cast<uint32_t>(j.sizeField - 4),
                         j.oldDataSize))
        return 0;
    if (j.ds64 != 0 && !WriteDs64(f.fd, static_cast<uint32_t>(j.ds64), j.oldDs64[0],
                                  j.oldDs64[1], j.oldDs64[2]))
        return 0;
    if (!SyncData(f.fd))
        return 0;
    return CloseChecked(f) ? 1 : 0;
}

bool HoldsWholeTake(const AppendJournal& j, const char* takePath)
{
    FdGuard target(OpenRegular(j.target, O_RDONLY));
    struct stat st;
    if (target.fd < 0 || fstat(target.fd, &st) != 0 || st.st_size != AppendedEnd(j))
        return false;
    FdGuard take(-1);
    off_t length = 0;
    bool writable = false;
    WavLayout t;
    if (!OpenTake(takePath, &take, &length, &writable, nullptr) ||
        !ReadTakeLayout(take.fd, &t) ||
        length == static_cast<off_t>(t.dataOffset))
        return true;  // the last step had begun: the take file is emptied only when done
    if (length - static_cast<off_t>(t.dataOffset) < j.takeBytes)
        return false;
    std::unique_ptr<uint8_t[]> a(new (std::nothrow) uint8_t[kCompareBlock]);
    std::unique_ptr<uint8_t[]> b(new (std::nothrow) uint8_t[kCompareBlock]);
    if (!a || !b)
        return false;
    for (int64_t done = 0; done < j.takeBytes;) {
        const int64_t left = j.takeBytes - done;
        const size_t n = left < kCompareBlock ? static_cast<size_t>(left) : size_t{kCompareBlock};
        if (!ReadAt(take.fd, static_cast<off_t>(t.dataOffset) + done, a.get(), n) ||
            !ReadAt(target.fd, j.start + done, b.get(), n) || memcmp(a.get(), b.get(), n) != 0)
            return false;
        done += static_cast<int64_t>(n);
    }
    return true;
}

int PatchAppendSizes(const AppendJournal& j)
{
    FdGuard f(OpenRegular(j.target, O_RDWR));
    if (f.fd < 0) {
        printf("Unable to open %s\n", j.target);
        return 0;
    }
    off_t length = 0;
    const uint64_t dataBytes = j.dataSize;
    const uint32_t dataChunk = static_cast<uint32_t>(j.sizeField - 4);
    if (!wavio::FileLength(f.fd, &length) ||
        !(j.ds64 != 0 ? WriteRf64Sizes(f.fd, static_cast<uint32_t>(j.ds64), dataChunk, dataBytes,
                                       j.samples, length)
                      : WriteWavSizes(f.fd, dataChunk, &dataBytes, 1, length)) ||
        !SyncData(f.fd) || !CloseChecked(f)) {
        printf("Write to %s failed: %s\n", j.target, strerror(errno));
        return 0;
    }
    return 1;
}


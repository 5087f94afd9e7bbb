// The take file keeper: publishing, appending, setting aside and recovering takes.
//
// The order of the steps is what keeps a take safe from a crash or a power cut:
// - data is synced before the name that publishes it changes, and the directory after;
// - a recovered name is listed before the take gets it (a listed name whose file does not
//   exist yet gets the take at the next start), and a hard link is made before the take
//   file's name is removed (a take under both names is known by its link count);
// - an append writes a journal first, so that a start after a crash finishes it (the
//   whole take reached the target) or undoes it (the target is cut back to its old bytes)
//   before the take file is looked at.
#include "console/take_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "wav/file_io.h"

namespace {

using wavio::CloseChecked;
using wavio::FdGuard;
using wavio::ReadAt;
using wavio::WriteAt;

constexpr int32_t kMaxNameNumber = 9999;
constexpr const char* kJournal = "takebox_append.txt";
constexpr const char* kRecoveredName = "takebox_recovered_%i.wav";
constexpr const char* kUnreadableName = "takebox_unreadable_%i.wav";

enum : uint32_t {
    kJournalCap = 512,      // the journal's text, its target name included
    kCompareBlock = 65536,  // bytes compared at a time when a journal is settled
};

// Reads the header of a take file as ReadWavLayout does, and asks more of it: "RIFF" and
// "WAVE", a chunk whose id is "fmt " itself, a rate that is not 0, and a data offset within
// the file. Returns 1 when it can be read, 0 when the file is no readable WAV file.
int ReadTakeLayout(int fd, WavLayout* t)
{
    return ReadWavLayout(fd, 4, t) && t->riffWave && t->sampleRate != 0 &&
           static_cast<off_t>(t->dataOffset) <= t->length;
}

// Opens a regular file for update (or, when that is refused, for reading) and measures
// it. Returns 0 when it cannot be opened; *writable says which mode was granted, and
// *refused (when given) holds errno of the refused update.
int OpenTake(const char* path, FdGuard* guard, off_t* length, bool* writable, int* refused)
{
    guard->fd = open(path, O_RDWR);
    *writable = guard->fd >= 0;
    if (guard->fd < 0) {
        if (refused != nullptr)
            *refused = errno;
        guard->fd = open(path, O_RDONLY);
    }
    if (guard->fd < 0)
        return 0;
    struct stat st;
    if (fstat(guard->fd, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    *length = st.st_size;
    return 1;
}

// Cuts the file to `length` bytes and writes the sizes of that length: data size the
// bytes behind the data offset (whole frames, within the field's range), RIFF size
// the length minus 8. Returns 1 when done, 0 with errno set.
int SetTakeLength(int fd, const WavLayout& t, off_t length)
{
    if (ftruncate(fd, length) != 0)
        return 0;
    const uint64_t dataBytes = static_cast<uint64_t>(length - static_cast<off_t>(t.dataOffset));
    return WriteWavSizes(fd, t.dataChunk, &dataBytes, t.frameBytes, length);
}

// Syncs the data of the file at `path`. Returns 1 when done, 0 with errno set.
int SyncFileData(const char* path)
{
    FdGuard f(open(path, O_RDONLY | O_CLOEXEC));  // its close keeps errno
    return f.fd >= 0 && fdatasync(f.fd) == 0;
}

// Removes a name and syncs its directory. Returns 1 when the name is gone.
int RemoveName(const char* path)
{
    if (unlink(path) != 0 && errno != ENOENT)
        return 0;
    SyncDirectoryOf(path);
    return 1;
}

// Gives the file `from` the name `name`, never replacing a file: a hard link and the
// removal of the old name, or, on file systems without hard links, a rename that refuses
// an existing name. The directory is synced after each step. Returns 1 when moved; 0 with
// errno set (EEXIST: the name is taken).
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

// The first name the pattern gives (numbers 1, 2, ...) that does not exist. Returns 0
// (errno EEXIST) when every number is taken.
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

// Whether a move of the take file was cut short between its link and the removal of the
// old name: a name the pattern gives holds the take file itself. Returns 1 with that name.
int FindLinkedName(const char* takePath, const char* pattern, char* name, size_t cap)
{
    struct stat take;
    if (lstat(takePath, &take) != 0 || take.st_nlink < 2)
        return 0;
    for (int32_t n = 1; n <= kMaxNameNumber; n++) {
        snprintf(name, cap, pattern, n);
        struct stat st;
        if (lstat(name, &st) == 0 && st.st_dev == take.st_dev && st.st_ino == take.st_ino)
            return 1;
    }
    return 0;
}

// Moves the take file to the first free name of the pattern; with `list`, the name is
// listed first. A move cut short by a crash is completed under the name it had reached.
// Returns 1 with the name; 0 with errno set.
int MoveToFreeName(AppState* s, const char* pattern, bool list, char* name, size_t cap)
{
    if (FindLinkedName(s->takePath, pattern, name, cap)) {
        if (list)
            AddTrack(s->trackTable, s->listText, s->listPath, &s->trackCount, name);
        return RemoveName(s->takePath);
    }
    for (int32_t attempt = 0; attempt < kMaxNameNumber; attempt++) {
        if (!FreeName(pattern, name, cap))
            return 0;
        if (list)
            AddTrack(s->trackTable, s->listText, s->listPath, &s->trackCount, name);
        if (MoveToName(s->takePath, name))
            return 1;
        if (errno != EEXIST)
            return 0;
    }
    errno = EEXIST;
    return 0;
}

// What a start after a crash needs to finish or undo an append: the target's bytes that
// the append changes, and where the take goes.
struct AppendJournal {
    char target[kRecordNameCap];
    int64_t length;        // the target's length before the append
    int64_t start;         // where the take's first byte goes: the end, or the pad byte
    int64_t takeBytes;     // the take's sample bytes
    uint32_t dataSize;     // the target's data size after the append
    int64_t sizeField;     // offset of the target's data size field
    uint32_t oldDataSize;  // that field before the append
    uint32_t oldRiffSize;  // the RIFF size before the append
    int32_t pad;           // the pad byte the take writes over, -1 none
    int64_t ds64;          // offset of an RF64 file's ds64 chunk, 0 none
    uint64_t oldDs64[3];   // its RIFF size, data size and sample count before the append
    uint64_t samples;      // its sample count after the append
};

// The target's length once the take and, behind an odd-sized data chunk, its pad byte
// went in.
int64_t AppendedEnd(const AppendJournal& j)
{
    return AppendedLength(j.sizeField + 4, j.start, j.takeBytes);
}

// The journal's facts for appending `takeBytes` to `target`, whose data size becomes
// `dataSize`. The take goes to the very end of the target; only the pad byte of an
// odd-sized data chunk is written over. Returns 1 when the target could be read.
int PlanAppend(const char* target, int32_t takeBytes, uint32_t dataSize, AppendJournal* j)
{
    // The data chunk is found as APPEND finds it: the format was checked before the take
    // was recorded, by GetAttributes' own rules. The take's bytes must follow whole
    // frames, so that the data size covers the file's audio and the take exactly.
    FdGuard f(open(target, O_RDONLY));
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

// Writes the journal and syncs it and its directory. Returns 1 when done, 0 with errno set.
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
    FdGuard f(open(kJournal, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (f.fd < 0)
        return 0;
    // errno is kept where a call fails: removing the journal must not change it.
    const bool ok = WriteAt(f.fd, 0, reinterpret_cast<const uint8_t*>(text),
                            static_cast<size_t>(n + m)) &&
                    fsync(f.fd) == 0 && CloseChecked(f) && SyncDirectoryOf(kJournal);
    if (ok)
        return 1;
    const int error = errno;
    CloseChecked(f);
    RemoveName(kJournal);
    errno = error;
    return 0;
}

// Reads the journal. Returns 1 when it holds an append, 0 when there is none, -1 when
// it was cut short while it was written (the target was not touched yet).
int ReadJournal(AppendJournal* j)
{
    FdGuard f(open(kJournal, O_RDONLY));
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

// Puts the target back as the journal found it: its old length, pad byte and sizes,
// synced. Returns 1 when done (or the target is gone), 0 with errno set.
int RollBack(const AppendJournal& j)
{
    FdGuard f(open(j.target, O_RDWR));
    if (f.fd < 0)
        return errno == ENOENT ? 1 : 0;
    uint8_t field[4];
    if (ftruncate(f.fd, j.length) != 0)
        return 0;
    if (j.pad >= 0) {
        const uint8_t pad = static_cast<uint8_t>(j.pad);
        if (!WriteAt(f.fd, j.length - 1, &pad, 1))
            return 0;
    }
    PutLE32(field, j.oldRiffSize);
    if (!WriteAt(f.fd, 4, field, sizeof field))
        return 0;
    PutLE32(field, j.oldDataSize);
    if (!WriteAt(f.fd, j.sizeField, field, sizeof field))
        return 0;
    if (j.ds64 != 0 && !WriteDs64(f.fd, static_cast<uint32_t>(j.ds64), j.oldDs64[0],
                                  j.oldDs64[1], j.oldDs64[2]))
        return 0;
    if (fdatasync(f.fd) != 0)
        return 0;
    return CloseChecked(f) ? 1 : 0;
}

// Whether the target holds the whole take behind its old bytes: its length is the planned
// one and its last bytes are the take file's audio, or the take file was already emptied.
bool HoldsWholeTake(const AppendJournal& j, const char* takePath)
{
    FdGuard target(open(j.target, O_RDONLY));
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

// Writes the target's sizes after an append whose take reached it whole, and syncs them.
// Returns 1 when done, 0 (said) when they did not reach the file.
int PatchAppendSizes(const AppendJournal& j)
{
    FdGuard f(open(j.target, O_RDWR));
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
        fdatasync(f.fd) != 0 || !CloseChecked(f)) {
        printf("Write to %s failed: %s\n", j.target, strerror(errno));
        return 0;
    }
    return 1;
}

// The last steps of an append once the target holds the take with its sizes: the take file
// is emptied, then the journal and the take file are removed. Returns 1 when done, 0 (said)
// when the take file could not be emptied: the journal stays, and the next start or
// recording finds the take whole in the target and finishes these steps.
int ClearAppendedTake(const AppState* s)
{
    if (!CutTakeFile(s->takePath, 0))
        return 0;
    RemoveName(kJournal);
    RemoveName(s->takePath);
    return 1;
}

// Finishes or undoes an append that a crash cut short. Returns 1 when no journal is left.
int SettleAppend(AppState* s)
{
    AppendJournal j;
    const int found = ReadJournal(&j);
    if (found == 0)
        return 1;
    if (found < 0)  // cut short before the target was touched
        return RemoveName(kJournal);
    if (HoldsWholeTake(j, s->takePath)) {
        if (!PatchAppendSizes(j) || !ClearAppendedTake(s))
            return 0;
        printf("Completed the append to %s that was cut short\n", j.target);
        return 1;
    }
    // The take file keeps only the take: audio deleted behind it stays deleted.
    if (!RollBack(j) || !CutTakeFile(s->takePath, static_cast<int32_t>(j.takeBytes))) {
        printf("Unable to restore %s: %s\n", j.target, strerror(errno));
        return 0;
    }
    RemoveName(kJournal);
    printf("An append to %s was cut short: %s is as it was before\n", j.target, j.target);
    return 1;
}

// An append that failed: the take stays in the take file, the target is put back.
void UndoAppend(const AppState* s, const AppendJournal& j, int32_t keptBytes)
{
    CutTakeFile(s->takePath, keptBytes);
    printf("Unable to append the take to %s; the take is kept in %s\n", s->recordName,
           s->takePath);
    if (!RollBack(j)) {
        printf("Unable to restore %s: %s\n", s->recordName, strerror(errno));
        return;  // the journal stays: the next start puts the target back
    }
    RemoveName(kJournal);
}

}  // namespace

int CutTakeFile(const char* takePath, int32_t keptBytes)
{
    FdGuard take(-1);
    off_t length = 0;
    bool writable = false;
    int refused = 0;
    WavLayout t;
    if (!OpenTake(takePath, &take, &length, &writable, &refused) ||
        !ReadTakeLayout(take.fd, &t))
        return 1;
    off_t end = static_cast<off_t>(t.dataOffset) + (keptBytes > 0 ? keptBytes : 0);
    if (end > length)
        end = length;
    if (!writable || !SetTakeLength(take.fd, t, end)) {
        const int error = writable ? errno : refused;
        printf("Unable to cut %s to its kept takes: %s\n", takePath, strerror(error));
        errno = error;
        return 0;
    }
    if (fdatasync(take.fd) != 0) {
        const int error = errno;
        printf("Write to %s failed: %s\n", takePath, strerror(error));
        errno = error;
        return 0;
    }
    return 1;
}

int PublishTake(AppState* s, int32_t keptBytes)
{
    // The take file gets its final length and sizes and reaches the disk before its name
    // changes: the target is never seen with the planned sizes or without its audio.
    if (!CutTakeFile(s->takePath, keptBytes))
        return 0;
    if (rename(s->takePath, s->recordName) != 0) {
        printf("Unable to move %s to %s: %s\n", s->takePath, s->recordName, strerror(errno));
        return 0;
    }
    if (!SyncDirectoryOf(s->recordName))
        printf("Write to %s failed: %s\n", s->recordName, strerror(errno));
    AddTrack(s->trackTable, s->listText, s->listPath, &s->trackCount, s->recordName);
    return 1;
}

int AppendTake(AppState* s, int32_t keptBytes, const FileAttributes* a)
{
    const uint64_t existing =
        static_cast<uint64_t>(a->channels) * a->frameCount * a->bytesPerSample;
    const uint64_t dataSize = existing + static_cast<uint64_t>(keptBytes);
    if (dataSize > kMaxField) {
        CutTakeFile(s->takePath, keptBytes);
        printf("%s would pass 2 GiB of sample data; the take is kept in %s\n", s->recordName,
               s->takePath);
        return 0;
    }
    AppendJournal j;
    const int planned = PlanAppend(s->recordName, keptBytes, static_cast<uint32_t>(dataSize), &j);
    if (!planned || !WriteJournal(j)) {
        const int error = errno;
        CutTakeFile(s->takePath, keptBytes);
        printf("Unable to append the take to %s; the take is kept in %s\n", s->recordName,
               s->takePath);
        if (planned)  // a target that cannot be read has the line above alone
            printf("Write to %s failed: %s\n", kJournal, strerror(error));
        return 0;
    }
    struct stat st;
    if (!APPEND(s->recordName, s->takePath, keptBytes) || stat(s->recordName, &st) != 0 ||
        st.st_size != AppendedEnd(j)) {
        UndoAppend(s, j, keptBytes);
        return 0;
    }
    if (!SyncFileData(s->recordName)) {
        printf("Write to %s failed: %s\n", s->recordName, strerror(errno));
        UndoAppend(s, j, keptBytes);
        return 0;
    }
    if (!PatchAppendSizes(j)) {
        UndoAppend(s, j, keptBytes);
        return 0;
    }
    // From here the target holds the take: a take file that cannot be emptied is cleared
    // later, never rolled back over.
    if (!ClearAppendedTake(s))
        printf("The take is appended to %s; %s is cleared at the next start or recording\n",
               s->recordName, s->takePath);
    AddTrack(s->trackTable, s->listText, s->listPath, &s->trackCount, s->recordName);
    return 1;
}

void SetTakeAside(AppState* s, int32_t keptBytes)
{
    if (!CutTakeFile(s->takePath, keptBytes))
        return;  // the take stays in the take file: the next start recovers it
    char name[kRecordNameCap];
    if (!MoveToFreeName(s, kRecoveredName, true, name, sizeof name)) {
        printf("Unable to recover the unsaved take in %s: %s\n", s->takePath, strerror(errno));
        return;
    }
    printf("%s was not replaced: the take is kept as %s\n", s->recordName, name);
}

int RecoverTake(AppState* s)
{
    if (!SettleAppend(s))
        return 0;
    FdGuard take(-1);
    off_t length = 0;
    bool writable = false;
    if (!OpenTake(s->takePath, &take, &length, &writable, nullptr))
        return 1;  // nothing there (or nothing a recording could write over)
    char name[kRecordNameCap];
    WavLayout t;
    if (!ReadTakeLayout(take.fd, &t)) {
        // Shorter than a header, it holds no audio: a header that could not be written.
        if (length < static_cast<off_t>(kHeaderBytes))
            return 1;
        CloseChecked(take);
        if (!MoveToFreeName(s, kUnreadableName, false, name, sizeof name)) {
            printf("Unable to move %s aside: %s\n", s->takePath, strerror(errno));
            return 0;
        }
        printf("%s is no readable WAV file: moved aside to %s\n", s->takePath, name);
        return 1;
    }
    const uint64_t frames = static_cast<uint64_t>(length - t.dataOffset) / t.frameBytes;
    if (frames == 0)
        return 1;  // a header alone, or less than one frame behind it
    // The sizes still claim the planned length: set them from the whole frames present,
    // a partial last frame cut off, and sync them before the take gets its new name. A
    // file that cannot be patched is moved all the same: readers count its frames by its
    // length.
    if (writable &&
        SetTakeLength(take.fd, t, static_cast<off_t>(t.dataOffset + frames * t.frameBytes)))
        fdatasync(take.fd);
    CloseChecked(take);
    if (!MoveToFreeName(s, kRecoveredName, true, name, sizeof name)) {
        printf("Unable to recover the unsaved take in %s: %s\n", s->takePath, strerror(errno));
        return 0;
    }
    printf("Recovered an unsaved take: %s (%.2f sec)\n", name,
           static_cast<double>(static_cast<float>(frames) / static_cast<float>(t.sampleRate)));
    return 1;
}

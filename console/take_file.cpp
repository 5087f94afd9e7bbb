// The take file between recordings, and the one-copy-per-directory lock.
#include "console/take_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wav/file_io.h"
#include "wav/wav.h"

namespace {

using wavio::FileGuard;
using wavio::ReadAt;
using wavio::WriteAt;

// Four-byte size fields hold 0 to 2^31 - 1.
constexpr uint64_t kMaxField = 2147483647u;
constexpr int32_t kMaxNameNumber = 9999;

// Where the audio of a take file lies.
struct TakeLayout {
    uint32_t rate;
    uint32_t frameBytes;
    uint32_t dataOffset;  // first byte of sample data
    off_t length;         // of the whole file
};

// Reads the header of a take file: "RIFF" and "WAVE", a fmt chunk with a usable rate and
// frame size, and a data tag whose data offset lies within the file. Returns 1 when it
// can be read, 0 when the file is no readable WAV file.
int ReadTakeLayout(FILE* file, off_t length, TakeLayout* t)
{
    uint8_t riff[12];
    if (length < 12 || !ReadAt(file, 0, riff, sizeof riff) || memcmp(riff, "RIFF", 4) != 0 ||
        memcmp(riff + 8, "WAVE", 4) != 0)
        return 0;
    uint32_t fmt = 0;
    uint32_t data = 0;
    if (!LocateChunk(file, "fmt ", 4, &fmt, nullptr) || !LocateChunk(file, "data", 4, &data, nullptr))
        return 0;
    uint8_t fields[16];  // format, channels, rate, byte rate, block align, bits
    if (!ReadAt(file, static_cast<off_t>(fmt) + 8, fields, sizeof fields))
        return 0;
    const uint32_t channels = GetLE16(fields + 2);
    const uint32_t rate = GetLE32(fields + 4);
    const uint32_t bytes = GetLE16(fields + 14) / 8u;
    if (channels == 0 || bytes == 0 || rate == 0)
        return 0;
    const off_t dataOffset = static_cast<off_t>(data) + 8;
    if (dataOffset > length)
        return 0;
    t->rate = rate;
    t->frameBytes = channels * bytes;
    t->dataOffset = data + 8;
    t->length = length;
    return 1;
}

// Opens a regular file for update (or, when that is refused, for reading) and measures
// it. Returns 0 when it cannot be opened; *writable says which mode was granted.
int OpenTake(const char* path, FileGuard* guard, off_t* length, bool* writable)
{
    guard->file = fopen(path, "rb+");
    *writable = guard->file != nullptr;
    if (guard->file == nullptr)
        guard->file = fopen(path, "rb");
    if (guard->file == nullptr)
        return 0;
    struct stat st;
    if (fstat(fileno(guard->file), &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    *length = st.st_size;
    return 1;
}

// Cuts the file to `length` bytes and writes the sizes of that length: data size the
// bytes behind the data offset (whole frames, within the field's range), RIFF size
// the length minus 8. Returns 1 when done.
int SetTakeLength(FILE* file, const TakeLayout& t, off_t length)
{
    if (ftruncate(fileno(file), length) != 0)
        return 0;
    uint64_t dataBytes = static_cast<uint64_t>(length - static_cast<off_t>(t.dataOffset));
    if (dataBytes > kMaxField)
        dataBytes = kMaxField / t.frameBytes * t.frameBytes;
    const uint64_t riffBytes = static_cast<uint64_t>(length - 8);
    uint8_t field[4];
    PutLE32(field, static_cast<uint32_t>(dataBytes));
    if (!WriteAt(file, static_cast<off_t>(t.dataOffset) - 4, field, sizeof field))
        return 0;
    // A data tag before offset 8 would share bytes with the RIFF size: left alone.
    if (t.dataOffset >= 16) {
        PutLE32(field, static_cast<uint32_t>(riffBytes > kMaxField ? kMaxField : riffBytes));
        if (!WriteAt(file, 4, field, sizeof field))
            return 0;
    }
    return fflush(file) == 0 ? 1 : 0;
}

// Moves `from` to the first name the pattern gives (numbers 1, 2, ...) that does not
// exist yet, never replacing a file: a hard link and the removal of the old name, or, on
// file systems without hard links, a rename that refuses an existing name. Returns 1
// with the name in `name`; 0 with errno set.
int MoveToNewName(const char* from, const char* pattern, char* name, size_t cap)
{
    for (int32_t n = 1; n <= kMaxNameNumber; n++) {
        snprintf(name, cap, pattern, n);
        if (link(from, name) == 0) {
            if (unlink(from) == 0)
                return 1;
            const int error = errno;
            unlink(name);  // both names would hold the take: the old one stays
            errno = error;
            return 0;
        }
        if (errno == EEXIST)
            continue;
        if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS && errno != EMLINK)
            return 0;
        // No hard links here.
        if (syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, name, RENAME_NOREPLACE) == 0)
            return 1;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return 0;
        // Nor a rename that refuses an existing name: look first. Only one Takebox
        // runs in a directory, so no other copy takes the name in between.
        struct stat st;
        if (lstat(name, &st) == 0)
            continue;
        return rename(from, name) == 0 ? 1 : 0;
    }
    errno = EEXIST;
    return 0;
}

}  // namespace

void CutTakeFile(const char* takePath, int32_t keptBytes)
{
    FileGuard take(nullptr);
    off_t length = 0;
    bool writable = false;
    TakeLayout t;
    if (!OpenTake(takePath, &take, &length, &writable) || !ReadTakeLayout(take.file, length, &t))
        return;
    off_t end = static_cast<off_t>(t.dataOffset) + (keptBytes > 0 ? keptBytes : 0);
    if (end > length)
        end = length;
    if (!writable || !SetTakeLength(take.file, t, end))
        printf("Unable to cut %s to its kept takes: %s\n", takePath, strerror(errno));
}

int RecoverTake(AppState* s)
{
    FileGuard take(nullptr);
    off_t length = 0;
    bool writable = false;
    if (!OpenTake(s->takePath, &take, &length, &writable))
        return 1;  // nothing there (or nothing a recording could write over)
    char name[kRecordNameCap];
    TakeLayout t;
    if (!ReadTakeLayout(take.file, length, &t)) {
        // Shorter than a header, it holds no audio: a header that could not be written.
        if (length < static_cast<off_t>(kHeaderBytes))
            return 1;
        fclose(take.file);
        take.file = nullptr;
        if (!MoveToNewName(s->takePath, "takebox_unreadable_%i.wav", name, sizeof name)) {
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
    // a partial last frame cut off. A file that cannot be patched is moved all the same:
    // readers count its frames by its length.
    if (writable)
        SetTakeLength(take.file, t, static_cast<off_t>(t.dataOffset + frames * t.frameBytes));
    fclose(take.file);
    take.file = nullptr;
    if (!MoveToNewName(s->takePath, "takebox_recovered_%i.wav", name, sizeof name)) {
        printf("Unable to recover the unsaved take in %s: %s\n", s->takePath, strerror(errno));
        return 0;
    }
    printf("Recovered an unsaved take: %s (%.2f sec)\n", name,
           static_cast<double>(static_cast<float>(frames) / static_cast<float>(t.rate)));
    ListTrack(s, name);
    return 1;
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

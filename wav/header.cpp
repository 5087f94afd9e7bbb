// The 44-byte PCM header, the data-size patch, and the chunk walk with the tag scan
// behind it that every WAV reader uses.
#include "wav/wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "wav/file_io.h"

using wavio::CloseChecked;
using wavio::FdGuard;
using wavio::FileLength;
using wavio::ReadAt;
using wavio::WriteAt;

namespace {

// Sizes beyond the four-byte field limit (kMaxField) are written as that limit.
uint32_t CapField(uint64_t v)
{
    return v > kMaxField ? uint32_t{kMaxField} : static_cast<uint32_t>(v);
}

// a * b, capped at the four-byte field limit without overflowing 64 bits.
uint32_t CappedProduct(uint64_t a, uint64_t b)
{
    if (a != 0 && b > kMaxField / a)
        return uint32_t{kMaxField};
    return static_cast<uint32_t>(a * b);
}

// Chunks visited before a walk gives up: real files carry a handful before their audio.
constexpr uint32_t kWalkLimit = 1024;

// Chunk ids are four printable ASCII characters ("fmt ", "LIST", "bext", "id3 ").
bool PrintableId(const uint8_t* id)
{
    for (int i = 0; i < 4; i++)
        if (id[i] < 0x20 || id[i] > 0x7e)
            return false;
    return true;
}

// Where the chunk after the one at `at` with a body of `size` bytes starts: bodies are
// padded to an even length.
off_t NextChunk(off_t at, uint32_t size)
{
    return at + 8 + static_cast<off_t>(size) + static_cast<off_t>(size & 1u);
}

// The message of a size patch that did not reach the file (errno as the failed call left
// it); returns 0 for the caller.
int SizeWriteFailed(const char* path)
{
    printf("Write to %s failed: %s\n", path, strerror(errno));
    return 0;
}

enum WalkResult { kWalkFound, kWalkAbsent, kWalkBroken };

// Walks the chunk list from offset 12 to the first chunk whose id starts with the tag.
// Found: *found is the chunk's offset. Absent: the list is well formed to the end of the
// file and holds no such chunk. Broken: no "RIFF"/"WAVE" at 0 and 8, or before the chunk
// a header cut short by the end of the file, an id that is not printable, a body that runs
// past the end of the file, or more chunks than a WAV file carries. The chunk sought needs
// only its header inside the file: a take's data size is stale until it is patched.
WalkResult WalkTo(int fd, off_t length, const char* tag, uint32_t tagLength, off_t* found)
{
    uint8_t h[12];
    if (length < 12 || !ReadAt(fd, 0, h, sizeof h) || memcmp(h, "RIFF", 4) != 0 ||
        memcmp(h + 8, "WAVE", 4) != 0)
        return kWalkBroken;
    off_t at = 12;
    for (uint32_t n = 0; n < kWalkLimit; n++) {
        if (at >= length)  // one past the end: the last body's pad byte is missing
            return kWalkAbsent;
        if (length - at < 8 || !ReadAt(fd, at, h, 8) || !PrintableId(h))
            return kWalkBroken;
        if (memcmp(h, tag, tagLength) == 0) {
            // Offsets are handed on as 32-bit values, the data offset (8 further) too.
            if (at > static_cast<off_t>(UINT32_MAX - 8))
                return kWalkBroken;
            *found = at;
            return kWalkFound;
        }
        const uint32_t size = GetLE32(h + 4);
        if (static_cast<off_t>(size) > length - at - 8)
            return kWalkBroken;
        at = NextChunk(at, size);
    }
    return kWalkBroken;
}

// Whether whole chunks stand from `at` to the end of the file: at least one, each header
// inside the file with a printable id and a body that ends inside it, the last ending at
// the end of the file (its pad byte may be missing). Audio behind a stale data size may
// look like one header by chance, hardly like a list that ends exactly with the file.
bool ChunksToTheEnd(int fd, off_t at, off_t length)
{
    uint8_t h[8];
    for (uint32_t n = 0; n < kWalkLimit; n++) {
        if (at >= length)
            return n > 0;
        if (length - at < 8 || !ReadAt(fd, at, h, sizeof h) || !PrintableId(h))
            return false;
        const uint32_t size = GetLE32(h + 4);
        if (static_cast<off_t>(size) > length - at - 8)
            return false;
        at = NextChunk(at, size);
    }
    return false;
}

}  // namespace

void PutLE16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xffu);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLE32(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v & 0xffu);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xffu);
    p[2] = static_cast<uint8_t>((v >> 16) & 0xffu);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint16_t GetLE16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetLE32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

int MAKE_HEADER(const char* path, uint32_t rate, uint32_t channels, uint32_t bits, int32_t frames)
{
    const uint32_t ch = channels & 0xffffu;  // only the low 16 bits count, in every field
    const uint32_t bytes = bits >> 3;        // 12 bits are stored as 8, 20 as 16
    const uint64_t frameBytes = static_cast<uint64_t>(ch) * bytes;
    // A negative plan records nothing; sizes beyond 2^31 - 1 are written as that limit.
    const uint64_t planned = frames > 0 ? static_cast<uint64_t>(frames) : 0;
    const uint32_t dataSize = CappedProduct(frameBytes, planned);
    const uint32_t riffSize = CapField(static_cast<uint64_t>(dataSize) + 36u);
    const uint32_t byteRate = CappedProduct(frameBytes, rate);

    uint8_t h[kHeaderBytes];
    memcpy(h + 0, "RIFF", 4);
    PutLE32(h + 4, riffSize);
    memcpy(h + 8, "WAVE", 4);
    memcpy(h + 12, "fmt ", 4);
    PutLE32(h + 16, 16);
    PutLE16(h + 20, 1);  // integer PCM
    PutLE16(h + 22, static_cast<uint16_t>(ch));
    PutLE32(h + 24, rate);
    PutLE32(h + 28, byteRate);
    PutLE16(h + 32, static_cast<uint16_t>(frameBytes & 0xffffu));
    PutLE16(h + 34, static_cast<uint16_t>((bytes * 8u) & 0xffffu));
    memcpy(h + 36, "data", 4);
    PutLE32(h + 40, dataSize);

    // Created with mode 0666 less the umask, or cut to nothing when it exists.
    FdGuard out(open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (out.fd < 0) {
        printf("Unable to open %s\n", path);
        return 0;
    }
    if (!WriteAt(out.fd, 0, h, sizeof h) || !CloseChecked(out)) {
        printf("Write to %s failed: %s\n", path, strerror(errno));  // a full disk, say
        return 0;
    }
    return 1;
}

int FindChunkTag(int fd, const char* tag, uint32_t tagLength, uint32_t* offset)
{
    if (fd < 0 || tag == nullptr || tagLength == 0 || tagLength > 4)
        return 0;
    // Every probe lies in the first kTagScanLimit + tagLength bytes: read them once and
    // probe the even offsets 2 .. kTagScanLimit in memory. A probe with fewer bytes left
    // than the tag has does not match; offset 0 and odd offsets are never probed.
    // A shorter file needs only a buffer of its own length. One positioned read for the
    // whole range, and a second only when the file ends early.
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    size_t want = static_cast<size_t>(kTagScanLimit) + tagLength;
    if (st.st_size < static_cast<off_t>(want))
        want = st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    if (want < 2 + static_cast<size_t>(tagLength))
        return 0;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[want]);
    if (!buf)
        return 0;
    const size_t got = ReadFully(fd, buf.get(), want, 0);
    for (size_t at = 2; at <= kTagScanLimit && at + tagLength <= got; at += 2) {
        if (memcmp(buf.get() + at, tag, tagLength) == 0) {
            *offset = static_cast<uint32_t>(at);
            return 1;
        }
    }
    return 0;
}

int LocateChunk(int fd, const char* tag, uint32_t tagLength, uint32_t* offset,
                int32_t* followed)
{
    if (followed != nullptr)
        *followed = 0;
    if (fd < 0 || tag == nullptr || tagLength == 0 || tagLength > 4)
        return 0;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    const off_t length = st.st_size;
    off_t at = 0;
    switch (WalkTo(fd, length, tag, tagLength, &at)) {
    case kWalkFound:
        break;
    case kWalkAbsent:
        return 0;  // a tag inside some chunk's body is not that chunk
    case kWalkBroken: {
        uint32_t scanned = 0;
        if (!FindChunkTag(fd, tag, tagLength, &scanned))
            return 0;
        at = scanned;
        break;
    }
    }
    *offset = static_cast<uint32_t>(at);
    uint8_t size[4];
    if (followed != nullptr && ReadAt(fd, at + 4, size, sizeof size) &&
        ChunksToTheEnd(fd, NextChunk(at, GetLE32(size)), length))
        *followed = 1;
    return 1;
}

int FIX_SIZE(const char* path, int32_t size)
{
    FdGuard f(open(path, O_RDWR));
    if (f.fd < 0) {
        printf("Unable to open %s\n", path);
        return 0;
    }
    uint32_t tag = 0;
    int32_t followed = 0;
    if (!LocateChunk(f.fd, "data", 4, &tag, &followed)) {
        printf("Can't find data block in wave file!\n");
        return 0;
    }
    off_t length = 0;
    if (!FileLength(f.fd, &length))
        return SizeWriteFailed(path);
    const off_t dataOffset = static_cast<off_t>(tag) + 8;

    uint64_t dataBytes = 0;
    if (size == -1) {
        // Every byte from the data offset to the end of the file (capped at the field's
        // limit); none when the file ends inside the size field itself.
        dataBytes = length > dataOffset ? static_cast<uint64_t>(length - dataOffset) : 0;
    } else {
        // Other negative sizes are outside the field's range: written as 0, so readers
        // fall back to the file length.
        dataBytes = size > 0 ? static_cast<uint64_t>(size) : 0;
    }
    // With other chunks behind the audio, its bytes end where the declared size says:
    // -1 then leaves that size as it is. The RIFF size is kept true: the file's length
    // (grown if the size field was cut short) minus 8.
    const bool keepSize = size == -1 && followed;
    const off_t newLength = length > dataOffset ? length : dataOffset;
    if (!WriteWavSizes(f.fd, tag, keepSize ? nullptr : &dataBytes, 1, newLength))
        return SizeWriteFailed(path);
    return CloseChecked(f) ? 1 : SizeWriteFailed(path);
}

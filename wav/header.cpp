// The 44-byte PCM header and the one patcher of a WAV file's size fields.
#include "wav/wav.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wav/file_io.h"

using wavio::CloseChecked;
using wavio::FdGuard;
using wavio::FileLength;
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

// The message of a header or a size patch that did not reach the file (errno as the
// failed call left it); returns 0 for the caller.
int SizeWriteFailed(const char* path)
{
    printf("Write to %s failed: %s\n", path, strerror(errno));
    return 0;
}

// The 44 bytes of the header for `frames` planned frames.
void FillHeader(uint8_t* h, uint32_t rate, uint32_t channels, uint32_t bits, int32_t frames)
{
    const uint32_t ch = channels & 0xffffu;  // only the low 16 bits count, in every field
    const uint32_t bytes = bits >> 3;        // 12 bits are stored as 8, 20 as 16
    const uint64_t frameBytes = static_cast<uint64_t>(ch) * bytes;
    // A negative plan records nothing; sizes beyond 2^31 - 1 are written as that limit.
    const uint64_t planned = frames > 0 ? static_cast<uint64_t>(frames) : 0;
    const uint32_t dataSize = CappedProduct(frameBytes, planned);
    const uint32_t riffSize = CapField(static_cast<uint64_t>(dataSize) + 36u);
    const uint32_t byteRate = CappedProduct(frameBytes, rate);
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
}

}  // namespace

uint32_t PartFrames(uint32_t frameBytes)
{
    return frameBytes == 0 ? 0 : (uint32_t{kMaxField} - kHeaderBytes) / frameBytes;
}

int PartName(const char* path, uint32_t part, char* name, uint32_t cap)
{
    const size_t length = strlen(path);
    const bool wav = length >= 4 && strcmp(path + length - 4, ".wav") == 0;
    const int stem = static_cast<int>(wav ? length - 4 : length);
    const int n = part == 0 ? snprintf(name, cap, "%s", path)
                            : snprintf(name, cap, "%.*s-%u%s", stem, path, part + 1,
                                       wav ? ".wav" : "");
    return n >= 0 && static_cast<uint32_t>(n) < cap;
}

int MAKE_HEADER(const char* path, uint32_t rate, uint32_t channels, uint32_t bits, int32_t frames)
{
    uint8_t h[kHeaderBytes];
    FillHeader(h, rate, channels, bits, frames);
    // Created with mode 0666 less the umask, or cut to nothing when it exists: only a
    // regular file under the name itself, never one a link leads to.
    FdGuard out(OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW));
    if (out.fd < 0 || ftruncate(out.fd, 0) != 0) {
        printf("Unable to open %s\n", path);
        return 0;
    }
    if (!WriteAt(out.fd, 0, h, sizeof h) || !CloseChecked(out))
        return SizeWriteFailed(path);  // a full disk, say
    return 1;
}

int WriteHeaderAt(int fd, uint32_t rate, uint32_t channels, uint32_t bits, int32_t frames)
{
    uint8_t h[kHeaderBytes];
    FillHeader(h, rate, channels, bits, frames);
    return WriteAt(fd, 0, h, sizeof h);
}

int WriteWavSizes(int fd, uint32_t dataChunk, const uint64_t* dataBytes, uint32_t frameBytes,
                  off_t length)
{
    uint8_t field[4];
    if (dataBytes != nullptr) {
        // Beyond the field's limit: the most whole frames it holds.
        const uint64_t frame = frameBytes > 0 ? frameBytes : 1;
        const uint64_t size = *dataBytes > kMaxField ? kMaxField / frame * frame : *dataBytes;
        PutLE32(field, static_cast<uint32_t>(size));
        if (!WriteAt(fd, static_cast<off_t>(dataChunk) + 4, field, sizeof field))
            return 0;
    }
    if (dataChunk >= 8 && length >= 8) {
        PutLE32(field, CapField(static_cast<uint64_t>(length - 8)));
        if (!WriteAt(fd, 4, field, sizeof field))
            return 0;
    }
    return 1;
}

int RestoreWavSizes(int fd, uint32_t riffSize, uint32_t dataChunk, uint32_t dataSize)
{
    uint8_t field[4];
    PutLE32(field, riffSize);
    if (!WriteAt(fd, 4, field, sizeof field))
        return 0;
    PutLE32(field, dataSize);
    return WriteAt(fd, static_cast<off_t>(dataChunk) + 4, field, sizeof field);
}

int WriteDs64(int fd, uint32_t ds64Chunk, uint64_t riffSize, uint64_t dataSize,
              uint64_t sampleCount)
{
    uint8_t sizes[24];
    PutLE64(sizes, riffSize);
    PutLE64(sizes + 8, dataSize);
    PutLE64(sizes + 16, sampleCount);
    return WriteAt(fd, static_cast<off_t>(ds64Chunk) + 8, sizes, sizeof sizes);
}

int WriteRf64Sizes(int fd, uint32_t ds64Chunk, uint32_t dataChunk, uint64_t dataBytes,
                   uint64_t frames, off_t length)
{
    const uint64_t riffSize = length > 8 ? static_cast<uint64_t>(length - 8) : 0;
    if (!WriteDs64(fd, ds64Chunk, riffSize, dataBytes, frames))
        return 0;
    const off_t at[2] = {4, static_cast<off_t>(dataChunk) + 4};
    const uint64_t value[2] = {riffSize, dataBytes};
    for (int i = 0; i < 2; i++) {
        uint8_t field[4];
        if (!wavio::ReadAt(fd, at[i], field, sizeof field))
            return 0;
        if (GetLE32(field) == UINT32_MAX)
            continue;  // "see ds64" stays
        PutLE32(field, value[i] < UINT32_MAX ? static_cast<uint32_t>(value[i]) : UINT32_MAX);
        if (!WriteAt(fd, at[i], field, sizeof field))
            return 0;
    }
    return 1;
}

int FIX_SIZE(const char* path, int32_t size)
{
    FdGuard f(OpenRegular(path, O_RDWR));
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

// The one reader of a WAV file's header, and the chunk walk with the tag scan behind it
// that every WAV reader uses.
#include "wav/wav.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstring>
#include <memory>
#include <new>

#include "wav/file_io.h"

using wavio::FileLength;
using wavio::OnlyPadBehind;
using wavio::ReadAt;

namespace {

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

// Reads the 8-byte header of the chunk at `at` into h: 1 when it lies inside the file
// and its id is printable, else 0.
int ReadChunkHeader(int fd, off_t at, off_t length, uint8_t* h)
{
    return length - at >= 8 && ReadAt(fd, at, h, 8) && PrintableId(h);
}

// Moves *at past the chunk there, whose header is h: 1 when its body ends inside the file
// (its pad byte may be missing), 0 when it runs past the end.
int PassChunk(const uint8_t* h, off_t length, off_t* at)
{
    const uint32_t size = GetLE32(h + 4);
    if (static_cast<off_t>(size) > length - *at - 8)
        return 0;
    *at = NextChunk(*at, size);
    return 1;
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
    if (length < 12 || !ReadAt(fd, 0, h, sizeof h) ||
        (memcmp(h, "RIFF", 4) != 0 && memcmp(h, "RF64", 4) != 0) || memcmp(h + 8, "WAVE", 4) != 0)
        return kWalkBroken;
    off_t at = 12;
    for (uint32_t n = 0; n < kWalkLimit; n++) {
        if (at >= length)  // one past the end: the last body's pad byte is missing
            return kWalkAbsent;
        if (!ReadChunkHeader(fd, at, length, h))
            return kWalkBroken;
        if (memcmp(h, tag, tagLength) == 0) {
            // Offsets are handed on as 32-bit values, the data offset (8 further) too.
            if (at > static_cast<off_t>(UINT32_MAX - 8))
                return kWalkBroken;
            *found = at;
            return kWalkFound;
        }
        if (!PassChunk(h, length, &at))
            return kWalkBroken;
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
        if (!ReadChunkHeader(fd, at, length, h) || !PassChunk(h, length, &at))
            return false;
    }
    return false;
}

}  // namespace

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

namespace {

// The ds64 chunk of an RF64 file: right after the "RF64"/"WAVE" header, with a body of at
// least its three 64-bit sizes. Sets w->rf64 and the sizes when it is there.
void ReadDs64(int fd, const uint8_t* riff, WavLayout* w)
{
    uint8_t d[32];
    if (memcmp(riff, "RF64", 4) != 0 || memcmp(riff + 8, "WAVE", 4) != 0 ||
        !ReadAt(fd, 12, d, sizeof d) || memcmp(d, "ds64", 4) != 0 || GetLE32(d + 4) < 24)
        return;
    w->rf64 = 1;
    w->ds64Chunk = 12;
    w->ds64Riff = GetLE64(d + 8);
    w->ds64Data = GetLE64(d + 16);
    w->ds64Samples = GetLE64(d + 24);
}

// The format fields at fixed distances from the fmt chunk's id `f` (24 bytes read), and
// the extension of an extensible chunk where the file holds it. The frame stride is the
// block align where that is a whole, wider container for every channel (24-bit samples in
// 4-byte containers), else the channels times the sample's whole bytes.
void ReadFormat(int fd, uint32_t fmt, const uint8_t* f, WavLayout* w)
{
    w->fmtChunk = fmt;
    w->fmtSize = GetLE32(f + 4);
    w->formatTag = GetLE16(f + 8);
    w->channels = GetLE16(f + 10);
    w->sampleRate = GetLE32(f + 12);
    w->byteRate = GetLE32(f + 16);
    w->blockAlign = GetLE16(f + 20);
    w->bitsPerSample = GetLE16(f + 22);
    uint8_t x[10];
    if (w->formatTag == 0xfffe && w->fmtSize >= 40 &&
        ReadAt(fd, static_cast<off_t>(fmt) + 24, x, sizeof x) && GetLE16(x) >= 22) {
        w->hasExtension = 1;
        w->validBits = GetLE16(x + 2);
        w->subFormat = GetLE16(x + 8);
    }
    w->bytesPerSample = (static_cast<uint32_t>(w->bitsPerSample) + 7u) / 8u;
    w->frameBytes = w->channels * w->bytesPerSample;  // at most 65535 * 8192: no overflow
    if (w->channels > 0 && w->blockAlign > w->frameBytes && w->blockAlign % w->channels == 0)
        w->frameBytes = w->blockAlign;
}

// The frames of audio: the data size gives them when other chunks follow the audio, or
// only its pad byte does; otherwise it is trusted only when, in whole frames, it covers
// exactly the bytes behind the data offset, and those bytes decide when it does not.
uint32_t CountFrames(const WavLayout& w)
{
    const off_t start = static_cast<off_t>(w.dataOffset);
    if (w.length <= start)
        return 0;
    const uint64_t behind = static_cast<uint64_t>(w.length - start);
    uint64_t frames = w.dataBytes / w.frameBytes;
    const bool declaredEnd = w.hasDataSize && (w.followed || OnlyPadBehind(w.dataBytes, behind));
    if (!declaredEnd && (!w.hasDataSize || frames * w.frameBytes != behind))
        frames = behind / w.frameBytes;
    return frames > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(frames);
}

}  // namespace

int ReadWavLayout(int fd, uint32_t fmtIdLength, WavLayout* w)
{
    *w = WavLayout{};
    if (!FileLength(fd, &w->length))
        return 0;
    uint8_t riff[12];
    if (w->length >= 12 && ReadAt(fd, 0, riff, sizeof riff)) {
        w->riffWave = memcmp(riff, "RIFF", 4) == 0 && memcmp(riff + 8, "WAVE", 4) == 0;
        w->bigEndian = memcmp(riff, "RIFX", 4) == 0;
        ReadDs64(fd, riff, w);
    }
    if (w->bigEndian)
        return 0;  // its fields would be read backwards

    // The format fields: a tag too close to the end of the file to hold them counts as no
    // fmt chunk.
    uint32_t fmt = 0;
    uint8_t f[24];
    if (!LocateChunk(fd, "fmt ", fmtIdLength, &fmt, nullptr) || !ReadAt(fd, fmt, f, sizeof f))
        return 0;
    w->hasFormat = 1;
    ReadFormat(fd, fmt, f, w);

    uint32_t data = 0;
    int32_t followed = 0;
    if (!LocateChunk(fd, "data", 4, &data, &followed))
        return 0;
    w->hasData = 1;
    w->dataChunk = data;
    w->dataOffset = data + 8;
    w->followed = followed;
    uint8_t size[4];
    if (ReadAt(fd, static_cast<off_t>(data) + 4, size, sizeof size)) {
        w->hasDataSize = 1;
        w->dataSize = GetLE32(size);
        w->dataBytes = w->dataSize;
    }
    // In an RF64 file the data chunk's size is ds64's, and so is where the chunks behind
    // it start.
    if (w->rf64 && w->hasDataSize) {
        w->dataBytes = w->ds64Data;
        const uint64_t length = static_cast<uint64_t>(w->length);
        w->followed = 0;
        if (w->dataBytes < length) {
            const uint64_t end = w->dataOffset + w->dataBytes + (w->dataBytes & 1u);
            w->followed = end < length && ChunksToTheEnd(fd, static_cast<off_t>(end), w->length);
        }
    }
    if (w->frameBytes == 0)
        return 0;
    w->frameCount = CountFrames(*w);
    return 1;
}

int ReadLayoutOf(const char* path, WavLayout* w)
{
    *w = WavLayout{};
    wavio::FdGuard f(OpenRegular(path, O_RDONLY));
    return f.fd >= 0 && ReadWavLayout(f.fd, 3, w);
}

// The one reader of a WAV file's header and the one patcher of its size fields.
#include "wav/wav.h"

#include <cstring>

#include "wav/file_io.h"

using wavio::FileLength;
using wavio::OnlyPadBehind;
using wavio::ReadAt;
using wavio::WriteAt;

int ReadWavLayout(int fd, uint32_t fmtIdLength, WavLayout* w)
{
    *w = WavLayout{};
    if (!FileLength(fd, &w->length))
        return 0;
    uint8_t riff[12];
    w->riffWave = w->length >= 12 && ReadAt(fd, 0, riff, sizeof riff) &&
                  memcmp(riff, "RIFF", 4) == 0 && memcmp(riff + 8, "WAVE", 4) == 0;

    // The format fields: a tag too close to the end of the file to hold them counts as no
    // fmt chunk.
    uint32_t fmt = 0;
    uint8_t f[24];
    if (!LocateChunk(fd, "fmt ", fmtIdLength, &fmt, nullptr) || !ReadAt(fd, fmt, f, sizeof f))
        return 0;
    w->hasFormat = 1;
    w->fmtChunk = fmt;
    w->formatTag = GetLE16(f + 8);
    w->channels = GetLE16(f + 10);
    w->sampleRate = GetLE32(f + 12);
    w->byteRate = GetLE32(f + 16);
    w->blockAlign = GetLE16(f + 20);
    w->bitsPerSample = GetLE16(f + 22);
    w->bytesPerSample = w->bitsPerSample >> 3u;
    w->frameBytes = w->channels * w->bytesPerSample;  // at most 65535 * 8191: no overflow

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
    }
    if (w->frameBytes == 0)
        return 0;

    const off_t start = static_cast<off_t>(data) + 8;
    uint64_t frames = 0;
    if (w->length > start) {
        const uint64_t behind = static_cast<uint64_t>(w->length - start);
        frames = w->dataSize / w->frameBytes;
        const bool declaredEnd =
            w->hasDataSize && (w->followed || OnlyPadBehind(w->dataSize, behind));
        if (!declaredEnd && (!w->hasDataSize || frames * w->frameBytes != behind))
            frames = behind / w->frameBytes;
        if (frames > UINT32_MAX)
            frames = UINT32_MAX;
    }
    w->frameCount = static_cast<uint32_t>(frames);
    return 1;
}

int WriteWavSizes(int fd, uint32_t dataChunk, const uint64_t* dataBytes, uint32_t frameBytes,
                  off_t length)
{
    uint8_t field[4];
    if (dataBytes != nullptr) {
        const uint64_t frame = frameBytes > 0 ? frameBytes : 1;
        const uint64_t limit = kMaxField;
        const uint64_t size = *dataBytes > limit ? limit / frame * frame : *dataBytes;
        PutLE32(field, static_cast<uint32_t>(size));
        if (!WriteAt(fd, static_cast<off_t>(dataChunk) + 4, field, sizeof field))
            return 0;
    }
    if (dataChunk >= 8 && length >= 8) {
        const uint64_t limit = kMaxField;
        const uint64_t riff = static_cast<uint64_t>(length - 8);
        PutLE32(field, static_cast<uint32_t>(riff > limit ? limit : riff));
        if (!WriteAt(fd, 4, field, sizeof field))
            return 0;
    }
    return 1;
}

// Reads a WAV file's rate, sample width, channels, data offset and frame count.
#include "wav/wav.h"

#include <fcntl.h>

#include "wav/file_io.h"

using wavio::FdGuard;
using wavio::FileLength;
using wavio::OnlyPadBehind;
using wavio::ReadAt;

int GetAttributes(const char* path, uint32_t* sampleRate, uint32_t* bytesPerSample,
                  uint32_t* channels, uint32_t* dataOffset, uint32_t* frameCount,
                  int32_t verbose)
{
    const bool print = verbose == 1;
    FdGuard f(open(path, O_RDONLY));
    if (f.fd < 0) {
        printf("The file called %s cannot be found!\n", path);
        return 0;
    }
    if (print)
        printf("\nFile: %s\n", path);

    // The format fields are read at fixed distances from the "fmt" tag (3 bytes compared,
    // so "fmt " matches), whatever the format tag or the fmt chunk's size say. A tag too
    // close to the end of the file to hold them counts as no format chunk.
    uint32_t fmt = 0;
    uint8_t fields[24];
    if (!LocateChunk(f.fd, "fmt", 3, &fmt, nullptr) || !ReadAt(f.fd, fmt, fields, sizeof fields)) {
        printf("Can't find format chunk in wave file!\n");
        return 0;
    }
    const uint32_t ch = GetLE16(fields + 10);
    *channels = ch;
    if (print)
        printf("  channels: %i\n", static_cast<int>(ch));
    const uint32_t bits = GetLE16(fields + 22);
    const uint32_t bytes = bits >> 3;
    *bytesPerSample = bytes;
    if (print)
        printf("  bits: %i\n", static_cast<int>(bits));
    const uint32_t rate = GetLE32(fields + 12);
    *sampleRate = rate;
    if (print)
        printf("  samplerate: %i\n", static_cast<int32_t>(rate));

    // The data chunk is sought from the start again, not from the format chunk.
    uint32_t data = 0;
    int32_t followed = 0;
    if (!LocateChunk(f.fd, "data", 4, &data, &followed)) {
        printf("Can't find data block in wave file!\n");
        return 0;
    }
    *dataOffset = data + 8;

    const uint32_t frameBytes = ch * bytes;  // at most 65535 * 8191: no overflow
    if (frameBytes == 0) {
        printf("Can't count frames: the frame size in wave file is 0!\n");
        return 0;
    }
    off_t length = 0;
    if (!FileLength(f.fd, &length))
        length = 0;

    // The declared data size gives the frames when other chunks follow the audio, or only
    // its pad byte does. Otherwise it is trusted only when, in whole frames, it covers
    // exactly the bytes behind the data offset, and those bytes decide when it does not:
    // a take whose size was never patched reads to the end of the file. A file that ends
    // before its data offset holds no frames. Counts beyond 2^32 - 1 frames (files over
    // 4 GiB) are clamped to 2^32 - 1 rather than wrapped.
    const off_t start = static_cast<off_t>(data) + 8;
    uint64_t frames = 0;
    if (length > start) {
        const uint64_t behind = static_cast<uint64_t>(length - start);
        uint8_t sizeField[4];
        const bool haveSize = ReadAt(f.fd, static_cast<off_t>(data) + 4, sizeField, 4);
        const uint32_t declared = haveSize ? GetLE32(sizeField) : 0;
        frames = declared / frameBytes;
        const bool declaredEnd = haveSize && (followed || OnlyPadBehind(declared, behind));
        if (!declaredEnd && (!haveSize || frames * frameBytes != behind))
            frames = behind / frameBytes;
        if (frames > UINT32_MAX)
            frames = UINT32_MAX;
    }
    *frameCount = static_cast<uint32_t>(frames);

    // A rate of 0 gives no length rather than an infinite one.
    if (print) {
        const float seconds =
            rate == 0 ? 0.0f : static_cast<float>(frames) / static_cast<float>(rate);
        printf("  length (sec): %.3f\n", seconds);
    }
    return 1;
}

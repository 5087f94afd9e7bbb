// Reads a WAV file's rate, sample width, channels, data offset and frame count.
#include "wav/wav.h"

#include <fcntl.h>

#include <cstdio>

#include "wav/file_io.h"

using wavio::FdGuard;
using wavio::ReadAt;

namespace {

// Whether the audio is compressed, so that its bytes do not tell its frames: a block of
// IMA ADPCM (format tag 0x11) codes 505 frames in 256 bytes. Integer PCM (1), float (3),
// A-law (6) and mu-law (7) hold one frame in each block; an extensible chunk says which
// by its sub-format, and one without its extension says nothing.
bool Compressed(const WavLayout& w)
{
    const uint16_t format = w.formatTag == 0xfffe && w.hasExtension ? w.subFormat : w.formatTag;
    return format != 1 && format != 3 && format != 6 && format != 7;
}

// The frames of compressed audio, as its fact chunk counts them: the chunk found as the
// fmt and data chunks are, its size field at least 4 and the count inside the file. A
// count of 0xffffffff, or of 0 with whole blocks of audio behind it, is a writer's
// placeholder and no count. Returns 1 and sets *frames when the count is there.
int FactFrames(int fd, const WavLayout& w, uint32_t* frames)
{
    uint32_t fact = 0;
    uint8_t c[12];
    if (!LocateChunk(fd, "fact", 4, &fact, nullptr) || !ReadAt(fd, fact, c, sizeof c) ||
        GetLE32(c + 4) < 4)
        return 0;
    const uint32_t count = GetLE32(c + 8);
    if (count == UINT32_MAX || (count == 0 && w.frameCount != 0))
        return 0;
    *frames = count;
    return 1;
}

}  // namespace

int GetAttributes(const char* path, FileAttributes* attributes, int32_t verbose)
{
    const bool print = verbose == 1;
    uint32_t other = 0;
    FdGuard f(OpenRegular(path, O_RDONLY, &other));
    if (f.fd < 0) {
        if (other != 0)  // never opened for reading: a FIFO would wait for a writer
            printf("The file called %s cannot be found! It is %s, not a regular file\n", path,
                   FileKind(other));
        else
            printf("The file called %s cannot be found!\n", path);
        return 0;
    }
    if (print)
        printf("\nFile: %s\n", path);

    // The format fields are read at fixed distances from the "fmt" tag (3 bytes compared,
    // so "fmt " matches), whatever the format tag or the fmt chunk's size say; the data
    // chunk is sought from the start again, not from the format chunk. A sample takes its
    // bits rounded up to whole bytes (20 bits take 3), and the frames are counted in the
    // file's own frame stride.
    WavLayout w;
    ReadWavLayout(f.fd, 3, &w);
    if (w.bigEndian) {
        printf("Cannot read %s: big-endian WAV files (RIFX) are not supported\n", path);
        return 0;
    }
    if (!w.hasFormat) {
        printf("Can't find format chunk in wave file!\n");
        return 0;
    }
    attributes->channels = w.channels;
    if (print)
        printf("  channels: %i\n", static_cast<int>(w.channels));
    attributes->bytesPerSample = w.bytesPerSample;
    if (print)
        printf("  bits: %i\n", static_cast<int>(w.bitsPerSample));
    attributes->sampleRate = w.sampleRate;
    if (print)
        printf("  samplerate: %i\n", static_cast<int32_t>(w.sampleRate));

    if (!w.hasData) {
        printf("Can't find data block in wave file!\n");
        return 0;
    }
    attributes->dataOffset = w.dataOffset;
    if (w.frameBytes == 0) {
        printf("Can't count frames: the frame size in wave file is 0!\n");
        return 0;
    }
    attributes->frameCount = w.frameCount;

    // A rate of 0 gives no length rather than an infinite one. Compressed audio is as
    // long as its fact chunk says; without that count its length is not known.
    if (print) {
        uint32_t frames = w.frameCount;
        if (Compressed(w) && !FactFrames(f.fd, w, &frames)) {
            printf("  length (sec): not known\n");
        } else {
            const float seconds = w.sampleRate == 0 ? 0.0f
                                                    : static_cast<float>(frames) /
                                                          static_cast<float>(w.sampleRate);
            printf("  length (sec): %.3f\n", seconds);
        }
    }
    return 1;
}

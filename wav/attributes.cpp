// Reads a WAV file's rate, sample width, channels, data offset and frame count.
#include "wav/wav.h"

#include <fcntl.h>

#include <cstdio>

#include "wav/file_io.h"

using wavio::FdGuard;

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

    // A rate of 0 gives no length rather than an infinite one.
    if (print) {
        const float seconds = w.sampleRate == 0 ? 0.0f
                                                : static_cast<float>(w.frameCount) /
                                                      static_cast<float>(w.sampleRate);
        printf("  length (sec): %.3f\n", seconds);
    }
    return 1;
}

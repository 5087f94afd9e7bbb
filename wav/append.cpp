// Appends a take's sample bytes to the end of an existing WAV file.
#include "wav/wav.h"

#include <fcntl.h>

#include <cstdint>
#include <cstdio>

#include "wav/file_io.h"

using wavio::CloseChecked;
using wavio::FdGuard;
using wavio::FileLength;
using wavio::OnlyPadBehind;
using wavio::ReadAt;
using wavio::WriteAt;

int ChunksFollowAudio(const char* path)
{
    WavLayout w;
    ReadLayoutOf(path, &w);
    return w.hasData ? w.followed : 0;
}

off_t AppendPosition(const WavLayout& w)
{
    const off_t dataOffset = static_cast<off_t>(w.dataOffset);
    if (w.hasDataSize && w.length > dataOffset &&
        OnlyPadBehind(w.dataBytes, static_cast<uint64_t>(w.length - dataOffset)))
        return w.length - 1;
    return w.length;
}

off_t AppendedLength(off_t dataOffset, off_t start, off_t count)
{
    return start + count + ((start - dataOffset + count) & 1);
}

namespace {

// The format code of the samples (1 PCM, 3 float, others compressed) and their valid bits:
// an extensible chunk's sub-format and valid bits, where it holds them.
uint16_t SampleFormat(const WavLayout& w, uint32_t* bits)
{
    const bool extensible = w.formatTag == 0xfffe && w.hasExtension;
    *bits = extensible && w.validBits != 0 ? w.validBits : w.bitsPerSample;
    return extensible ? w.subFormat : w.formatTag;
}

// What one channel's samples are: "20-bit samples", "24-bit samples in 4-byte
// containers", "floating-point samples", "compressed audio (format tag 85)".
void DescribeSamples(const WavLayout& w, char* text, size_t cap)
{
    uint32_t bits = 0;
    const uint16_t format = SampleFormat(w, &bits);
    const uint32_t container = w.channels > 0 ? w.frameBytes / w.channels : 0;
    if (format == 3)
        snprintf(text, cap, "%u-bit floating-point samples", bits);
    else if (format != 1)
        snprintf(text, cap, "compressed audio (format tag %u)", static_cast<unsigned>(format));
    else if (container > 0 && (container > w.bytesPerSample || bits != w.bitsPerSample))
        snprintf(text, cap, "%u-bit samples in %u-byte containers", bits, container);
    else
        snprintf(text, cap, "%u-bit samples", bits);
}

}  // namespace

int RecordableLayout(const WavLayout& w, char* holds, uint32_t cap)
{
    uint32_t bits = 0;
    const bool pcm = SampleFormat(w, &bits) == 1 && bits == w.bitsPerSample;
    const bool width = w.bitsPerSample == 16 || w.bitsPerSample == 24;
    const bool packed = w.frameBytes == w.channels * w.bytesPerSample;
    const bool channels = w.channels == 1 || w.channels == 2;
    if (pcm && width && packed && channels && w.sampleRate != 0 && w.sampleRate <= INT32_MAX)
        return 1;
    char samples[64];
    DescribeSamples(w, samples, sizeof samples);
    char rate[40] = "";
    if (w.sampleRate == 0 || w.sampleRate > INT32_MAX)
        snprintf(rate, sizeof rate, " at a sample rate of %u", w.sampleRate);
    snprintf(holds, cap, "%u channel%s of %s%s", static_cast<unsigned>(w.channels),
             w.channels == 1 ? "" : "s", samples, rate);
    return 0;
}

namespace {

// Copies `count` bytes from `readPos` of `in` to `writePos` of `out`, one 4096-byte block
// at a time (the last block holds what remains), and writes the pad byte when the copy
// ends before `endPos`. A source that ends early ends the copy with its last byte; a read
// that stops short of the length the source had at the start failed. Returns 1 when done.
int CopyTake(int in, int out, off_t readPos, off_t writePos, int32_t count, off_t sourceLength,
             off_t endPos)
{
    uint8_t block[4096];
    int32_t remaining = count > 0 ? count : 0;
    while (remaining > 0) {
        const size_t want = remaining < 4096 ? static_cast<size_t>(remaining) : sizeof block;
        const size_t got = ReadFully(in, block, want, readPos);
        if (got > 0 && !WriteAt(out, writePos, block, got))
            return 0;
        if (got < want)
            return readPos + static_cast<off_t>(got) < sourceLength ? 0 : 1;
        readPos += static_cast<off_t>(got);
        writePos += static_cast<off_t>(got);
        remaining -= static_cast<int32_t>(got);
    }
    // An odd-sized data chunk is followed by its pad byte, which the RIFF size counts.
    const uint8_t pad = 0;
    return endPos <= writePos || WriteAt(out, writePos, &pad, 1);
}

}  // namespace

int APPEND(const char* target, const char* source, int32_t count)
{
    FdGuard out(OpenRegular(target, O_RDWR));
    if (out.fd < 0) {
        printf("Unable to open %s\n", target);
        return 0;
    }
    FdGuard in(OpenRegular(source, O_RDONLY | O_NOFOLLOW));  // the take file
    if (in.fd < 0) {
        printf("Unable to open %s\n", source);
        return 0;
    }

    // The bytes go to the very end of the target, behind whatever it holds, not to the
    // end of its declared data; only the pad byte of an odd-sized data chunk is written
    // over, so that the take stays frame-aligned.
    off_t writePos = 0;
    off_t sourceLength = 0;
    if (!FileLength(out.fd, &writePos) || !FileLength(in.fd, &sourceLength))
        return 0;
    printf("Append file is %lld bytes\n", static_cast<long long>(sourceLength));

    // The target's data chunk proves it is a WAV file whose audio ends the file; the
    // source's gives the offset the copy starts from. The source is not sought when the
    // target has no data chunk.
    WavLayout w;
    ReadWavLayout(out.fd, 3, &w);
    if (!w.hasData) {
        printf("Can't find data block in wave file!\n");
        return 0;
    }
    if (w.followed) {
        printf("Other chunks follow the audio in %s: nothing appended\n", target);
        return 0;
    }
    if (count > 0)
        writePos = AppendPosition(w);
    const off_t endPos = count > 0 ? AppendedLength(w.dataOffset, writePos, count) : writePos;
    uint32_t tag = 0;
    if (!LocateChunk(in.fd, "data", 4, &tag, nullptr)) {
        printf("Can't find data block in wave file!\n");
        return 0;
    }
    off_t readPos = static_cast<off_t>(tag) + 8;

    if (!CopyTake(in.fd, out.fd, readPos, writePos, count, sourceLength, endPos))
        return 0;

    // Target first, then the source; only the target's close can lose written bytes.
    const bool ok = CloseChecked(out);
    CloseChecked(in);
    return ok ? 1 : 0;
}

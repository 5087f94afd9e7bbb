// Appends a take's sample bytes to the end of an existing WAV file.
#include "wav/wav.h"

#include <fcntl.h>

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
    FdGuard f(open(path, O_RDONLY));
    uint32_t tag = 0;
    int32_t followed = 0;
    if (f.fd < 0 || !LocateChunk(f.fd, "data", 4, &tag, &followed))
        return 0;
    return followed;
}

off_t AppendPosition(int target, off_t length, uint32_t tag)
{
    const off_t dataOffset = static_cast<off_t>(tag) + 8;
    uint8_t sizeField[4];
    if (length > dataOffset &&
        ReadAt(target, static_cast<off_t>(tag) + 4, sizeField, sizeof sizeField) &&
        OnlyPadBehind(GetLE32(sizeField), static_cast<uint64_t>(length - dataOffset)))
        return length - 1;
    return length;
}

int APPEND(const char* target, const char* source, int32_t count)
{
    FdGuard out(open(target, O_RDWR));
    if (out.fd < 0) {
        printf("Unable to open %s\n", target);
        return 0;
    }
    FdGuard in(open(source, O_RDONLY));
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
    uint32_t tag = 0;
    int32_t followed = 0;
    if (!LocateChunk(out.fd, "data", 4, &tag, &followed)) {
        printf("Can't find data block in wave file!\n");
        return 0;
    }
    if (followed) {
        printf("Other chunks follow the audio in %s: nothing appended\n", target);
        return 0;
    }
    if (count > 0)
        writePos = AppendPosition(out.fd, writePos, tag);
    if (!LocateChunk(in.fd, "data", 4, &tag, nullptr)) {
        printf("Can't find data block in wave file!\n");
        return 0;
    }
    off_t readPos = static_cast<off_t>(tag) + 8;

    // One 4096-byte block at a time; the last block holds what remains. A source that
    // ends early ends the copy with its last byte; a read that stops short of the length
    // the source had at the start failed.
    uint8_t block[4096];
    int32_t remaining = count > 0 ? count : 0;
    while (remaining > 0) {
        const size_t want = remaining < 4096 ? static_cast<size_t>(remaining) : sizeof block;
        const size_t got = ReadFully(in.fd, block, want, readPos);
        if (got > 0 && !WriteAt(out.fd, writePos, block, got))
            return 0;
        if (got < want) {
            if (readPos + static_cast<off_t>(got) < sourceLength)
                return 0;
            break;
        }
        readPos += static_cast<off_t>(got);
        writePos += static_cast<off_t>(got);
        remaining -= static_cast<int32_t>(got);
    }

    // Target first, then the source; only the target's close can lose written bytes.
    const bool ok = CloseChecked(out);
    CloseChecked(in);
    return ok ? 1 : 0;
}

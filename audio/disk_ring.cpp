// The disk ring and its writer thread: the writer writes the queued slots to the take
// file in order, each with one pwrite at its absolute position (so its count tells exactly
// how many bytes reached the file), and hands them to the disk.
#include "audio/disk_ring.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"
#include "term/term.h"
#include "wav/wav.h"

static_assert(sizeof(off_t) == 8, "byte positions need a 64-bit off_t (_FILE_OFFSET_BITS=64)");

namespace audio {

namespace {

// At least this much audio fits in the ring, and the ring takes at most kMaxRingBytes.
constexpr int64_t kRingSeconds = 10;
constexpr int64_t kMaxRingBytes = 32 * 1024 * 1024;

// Where frame `offset` of a part lies in its file.
off_t PartPosition(const DiskRing& ring, int32_t offset)
{
    return static_cast<off_t>(kHeaderBytes) + static_cast<off_t>(offset) * ring.frameBytes;
}

// Starts writing the frames from `from` to `to` of the take to the disk without waiting
// for them, so that a power cut costs seconds of a take, not the half minute of audio the
// page cache may hold.
void HandToDisk(const DiskRing& ring, int32_t from, int32_t to)
{
    while (from < to) {
        const int32_t part = from / ring.partFrames;
        const int32_t offset = from % ring.partFrames;
        const int32_t end = to - from < ring.partFrames - offset ? to - from : ring.partFrames - offset;
        if (ring.fds[part] >= 0)
            sync_file_range(ring.fds[part], PartPosition(ring, offset),
                            static_cast<off_t>(end) * ring.frameBytes, SYNC_FILE_RANGE_WRITE);
        from += end;
    }
}

// The descriptor of part `part`, created with its header the first time the take reaches
// it: a new file of a whole part's frames, never one a link leads to. -1 (errno set) when
// it cannot be made.
int PartFile(DiskRing* ring, int32_t part)
{
    if (part < 0 || part >= kMaxTakeParts) {
        errno = EFBIG;
        return -1;
    }
    if (ring->fds[part] >= 0)
        return ring->fds[part];
    char name[kPartNameCap];
    if (!PartName(ring->takePath, static_cast<uint32_t>(part), name, sizeof name)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = OpenRegular(name, O_RDWR | O_CREAT | O_NOFOLLOW);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        !WriteHeaderAt(fd, ring->rate, static_cast<uint32_t>(ring->channels), ring->bits,
                       ring->partFrames)) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        errno = error;
        return -1;
    }
    ring->fds[part] = fd;
    return fd;
}

// A part the take has filled gets its true sizes (the first part's header was written for
// the planned take) and goes to the disk.
void FinishPart(const DiskRing& ring, int32_t part)
{
    const uint64_t dataBytes = static_cast<uint64_t>(ring.partFrames) * ring.frameBytes;
    WriteWavSizes(ring.fds[part], 36, &dataBytes, ring.frameBytes,
                  PartPosition(ring, ring.partFrames));
}

// Writes `frames` frames of `bytes` at frame `at` of the take, across the parts they fall
// in. Returns the bytes written: fewer only after an error (errno set, *failedPart its
// part).
size_t WriteFrames(DiskRing* ring, int32_t at, const uint8_t* bytes, int32_t frames,
                   int32_t* failedPart)
{
    size_t done = 0;
    while (frames > 0) {
        const int32_t part = at / ring->partFrames;
        const int32_t offset = at % ring->partFrames;
        const int32_t n = frames < ring->partFrames - offset ? frames : ring->partFrames - offset;
        const size_t size = static_cast<size_t>(n) * ring->frameBytes;
        const int fd = PartFile(ring, part);
        const size_t put = fd < 0 ? 0 : WriteFully(fd, bytes + done, size, PartPosition(*ring, offset));
        done += put;
        if (put != size) {
            *failedPart = part;
            return done;
        }
        if (offset + n == ring->partFrames)
            FinishPart(*ring, part);
        at += n;
        frames -= n;
    }
    return done;
}

// Writes zeros from frame `*next` up to frame `to`: the time of a dropout keeps its place
// and never keeps an older take's audio. Returns 1, or 0 (errno set) when a write fails.
int WriteZeros(DiskRing* ring, int32_t to, int32_t* next, int32_t* failedPart)
{
    while (*next < to) {
        const int32_t frames = to - *next < ring->block ? to - *next : ring->block;
        const size_t size = static_cast<size_t>(frames) * ring->frameBytes;
        const size_t put = WriteFrames(ring, *next, ring->zeros, frames, failedPart);
        *next += static_cast<int32_t>(put / ring->frameBytes);
        if (put != size)
            return 0;
    }
    return 1;
}

// Writes one slot at its place, behind zeros for any dropout before it, and raises the
// peaks by its frames that reached the file: the whole block's peaks, or after a failed
// write those of the frames written. Returns 1, or 0 (errno set) when a write fails.
int WriteSlot(DiskRing* ring, const RingSlot& slot, const uint8_t* bytes, int32_t* next,
              int32_t* peak1, int32_t* peak2, int32_t* failedPart)
{
    if (!WriteZeros(ring, slot.at, next, failedPart))
        return 0;
    const DiskRing& r = *ring;
    const size_t size = static_cast<size_t>(slot.frames) * r.frameBytes;
    const size_t put = WriteFrames(ring, slot.at, bytes, slot.frames, failedPart);
    const int error = errno;
    const int32_t putFrames = static_cast<int32_t>(put / r.frameBytes);
    *next += putFrames;
    if (put == size) {
        *peak1 = slot.peak1 > *peak1 ? slot.peak1 : *peak1;
        *peak2 = slot.peak2 > *peak2 ? slot.peak2 : *peak2;
        return 1;
    }
    if (r.channels == 1) {
        CheckPeak(putFrames, peak1, bytes, r.width);
    } else {
        for (int32_t channel = 0; channel < 2; channel++) {
            for (int32_t i = 0; i < putFrames; i++)
                memcpy(r.plane + static_cast<size_t>(i) * r.width,
                       bytes + static_cast<size_t>(i) * r.frameBytes + channel * r.width,
                       r.width);
            CheckPeak(putFrames, channel == 0 ? peak1 : peak2, r.plane, r.width);
        }
    }
    errno = error;
    return 0;
}

// Hands what the take has in the file to the disk about once a second, and all of it at
// the end of the take.
void HandOn(DiskRing* ring, int32_t next, bool all)
{
    if (next - ring->handed >= static_cast<int64_t>(ring->rate) || (all && next > ring->handed)) {
        HandToDisk(*ring, ring->handed, next);
        ring->handed = next;
    }
}

// Writes the oldest queued slot and frees it, or with none queued fills the file up to
// the take's end and marks the take drained. After a failed write nothing more is written
// until the next take: the slots are freed unwritten. Entered and left with the lock
// held; the writes run without it.
void WriteNext(DiskRing* ring, std::unique_lock<std::mutex>* hold)
{
    const bool writing = !ring->failed;
    const bool slotQueued = ring->queued > 0;
    const uint32_t index = ring->first;
    const RingSlot slot = slotQueued ? ring->slots[index] : RingSlot{};
    const int32_t end = ring->end;
    int32_t next = ring->next;
    int32_t peak1 = ring->peak1;
    int32_t peak2 = ring->peak2;
    int32_t failedPart = 0;
    hold->unlock();
    bool ok = true;
    if (writing) {
        ok = slotQueued ? WriteSlot(ring, slot, ring->bytes + index * ring->slotBytes, &next,
                                    &peak1, &peak2, &failedPart) != 0
                        : WriteZeros(ring, end, &next, &failedPart) != 0;
        HandOn(ring, next, !slotQueued || !ok);
    }
    const int error = errno;
    hold->lock();
    if (slotQueued) {
        ring->first = (index + 1) % ring->count;
        ring->queued--;
    } else {
        ring->drained = true;
    }
    if (!ok) {
        ring->failed = true;
        ring->error = error;
        ring->failedPart = failedPart;
    }
    ring->next = next;
    ring->peak1 = peak1;
    ring->peak2 = peak2;
}

// The writer thread: writes the queued slots in order, and at the end of each take fills
// the file up to the take's end and hands it to the disk.
void* WriteTakes(void* arg)
{
    DiskRing* ring = static_cast<DiskRing*>(arg);
    std::unique_lock<std::mutex> hold(ring->lock);
    for (;;) {
        while (!ring->quit && ring->queued == 0 && (ring->end < 0 || ring->drained))
            ring->changed.wait(hold);
        if (ring->queued == 0 && (ring->end < 0 || ring->drained))
            break;  // the run is over and nothing is left to write
        WriteNext(ring, &hold);
        // A capture thread that waits for room is woken once the ring is half empty, not
        // for every slot: it then fills many slots in one go.
        if (2 * ring->queued <= ring->count || ring->drained || ring->failed)
            ring->changed.notify_all();
    }
    return nullptr;
}

// The writer's state as the capture thread sees it; the lock is held.
void NoteWriter(const DiskRing& ring, int32_t origin, WriterState* seen)
{
    seen->written = ring.next - origin;
    seen->drained = ring.drained;
    seen->failed = ring.failed;
    seen->error = ring.error;
    seen->failedPart = ring.failedPart;
    seen->peak1 = ring.peak1;
    seen->peak2 = ring.peak2;
}

}  // namespace

int AllocateRing(DiskRing* ring, BufferGuard* ringArea, BufferGuard* writerArea)
{
    const size_t planeBytes = static_cast<size_t>(ring->block) * ring->width;
    const size_t blockBytes = static_cast<size_t>(ring->block) * ring->frameBytes;
    int64_t count = (kRingSeconds * ring->rate + ring->block - 1) / ring->block;
    if (count * static_cast<int64_t>(blockBytes) > kMaxRingBytes)
        count = kMaxRingBytes / static_cast<int64_t>(blockBytes);
    if (count < 2)
        count = 2;
    ringArea->bytes =
        static_cast<uint8_t*>(calloc(static_cast<size_t>(count), blockBytes + sizeof(RingSlot)));
    writerArea->bytes = static_cast<uint8_t*>(calloc(blockBytes + planeBytes, 1));
    if (ringArea->bytes == nullptr || writerArea->bytes == nullptr)
        return 0;
    ring->count = static_cast<uint32_t>(count);
    ring->slotBytes = blockBytes;
    ring->slots = reinterpret_cast<RingSlot*>(ringArea->bytes);
    ring->bytes = ringArea->bytes + static_cast<size_t>(count) * sizeof(RingSlot);
    mlock(ringArea->bytes, static_cast<size_t>(count) * (blockBytes + sizeof(RingSlot)));
    ring->zeros = writerArea->bytes;
    ring->plane = writerArea->bytes + blockBytes;
    return 1;
}

// SIGINT, SIGHUP and SIGTERM are blocked while the writer is created, so that it inherits
// them blocked and the stop key and hangups reach the capture thread.
int StartWriter(DiskRing* ring, pthread_t* writer)
{
    sigset_t before;
    BlockStopSignals(&before);
    const int rc = pthread_create(writer, nullptr, WriteTakes, ring);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (rc != 0) {
        printf("Unable to start the disk writer: %s\n", strerror(rc));
        return 0;
    }
    return 1;
}

void StopWriter(DiskRing* ring, pthread_t writer)
{
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ring->quit = true;
    }
    ring->changed.notify_all();
    pthread_join(writer, nullptr);
}

void ClosePartFiles(DiskRing* ring)
{
    for (int32_t part = 1; part < kMaxTakeParts; part++) {
        if (ring->fds[part] < 0)
            continue;
        if (close(ring->fds[part]) != 0) {
            char name[kPartNameCap];
            if (PartName(ring->takePath, static_cast<uint32_t>(part), name, sizeof name))
                ShowWriteFailure(name, errno);
        }
        ring->fds[part] = -1;
    }
}

void BeginTake(DiskRing* ring, int32_t at)
{
    std::lock_guard<std::mutex> hold(ring->lock);
    ring->next = at;
    ring->handed = at;
    ring->end = -1;
    ring->drained = false;
    ring->failed = false;
    ring->error = 0;
    ring->failedPart = 0;
    ring->peak1 = 0;
    ring->peak2 = 0;
}

uint8_t* NextSlot(DiskRing* ring, int32_t origin, std::chrono::steady_clock::time_point until,
                  WriterState* seen)
{
    std::unique_lock<std::mutex> hold(ring->lock);
    // A full ring is waited for until it is half empty (the writer says so): then any
    // free slot will do.
    if (ring->queued == ring->count) {
        while (2 * ring->queued > ring->count && !ring->failed && !StopPending()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= until)
                break;
            const auto step = std::chrono::milliseconds(100);
            ring->changed.wait_until(hold, until - now > step ? now + step : until);
        }
    }
    NoteWriter(*ring, origin, seen);
    if (ring->queued == ring->count)
        return nullptr;
    return ring->bytes +
           static_cast<size_t>((ring->first + ring->queued) % ring->count) * ring->slotBytes;
}

// The writer is woken at most every 10 ms (and whenever the ring is half full): a device
// that keeps time delivers a block far less often, so each of its blocks goes to the file
// at once, while a device that delivers faster than time (a file) does not wake the writer
// for every block.
void QueueSlot(DiskRing* ring, int32_t at, int32_t frames, int32_t peak1, int32_t peak2)
{
    const auto now = std::chrono::steady_clock::now();
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ring->slots[(ring->first + ring->queued) % ring->count] =
            RingSlot{at, frames, peak1, peak2};
        ring->queued++;
        wake = now - ring->woken >= std::chrono::milliseconds(10) ||
               2 * ring->queued >= ring->count;
        if (wake)
            ring->woken = now;
    }
    if (wake)
        ring->changed.notify_all();
}

void EndTake(DiskRing* ring, int32_t end)
{
    std::lock_guard<std::mutex> hold(ring->lock);
    ring->end = end;
    ring->changed.notify_all();
}

void ReadWriter(DiskRing* ring, int32_t origin, WriterState* seen)
{
    std::lock_guard<std::mutex> hold(ring->lock);
    NoteWriter(*ring, origin, seen);
}

void AwaitWriter(DiskRing* ring)
{
    std::unique_lock<std::mutex> hold(ring->lock);
    ring->changed.wait_for(hold, std::chrono::milliseconds(100));
}

void ShowWriteFailure(const char* path, int error)
{
    printf("Write to %s failed: %s\n", path, strerror(error));
}

}  // namespace audio

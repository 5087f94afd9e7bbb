// RECORD: one recording run. Takes of a fixed length are captured block by block into the
// take file; after each take the peaks are reported and the take menu decides whether
// the take is kept, continued, redone, discarded or played.
//
// Two threads while a run lasts: the capture thread (the caller's) reads each block from
// the device, interleaves and meters it into the next slot of a ring and goes on; a writer
// thread writes the slots to the take file and hands them to the disk. A disk that stalls
// costs no audio for as long as the ring lasts (at least 10 s); beyond that, and when the
// device itself dropped frames (an overrun), the lost time is written as zeros, so the
// frames after a dropout sit where they were played.
#include "audio/audio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "audio/handles.h"
#include "audio/take_limit.h"
#include "term/term.h"
#include "wav/file_io.h"
#include "wav/wav.h"

static_assert(sizeof(off_t) == 8, "byte positions need a 64-bit off_t (_FILE_OFFSET_BITS=64)");

namespace {

constexpr snd_pcm_uframes_t kRecordPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kRecordBufferFrames = 32768;
// Byte positions, totals and the result are signed 32-bit: the header plus the sample
// data of one run must stay within INT32_MAX bytes.
constexpr int64_t kMaxTakeFileBytes = INT32_MAX;
constexpr uint32_t kAnswerBytes = 16;  // longer answers are cut; only "1" to "4" matter

// `frames` rounded up to whole periods (frames >= 0, period > 0).
int64_t WholeBlockFrames(int64_t frames, int64_t period)
{
    return (frames + period - 1) / period * period;
}

// Bytes of the take file when a take of `planned` frames, recorded in whole periods,
// begins at frame `origin`.
int64_t TakeFileEnd(int64_t origin, int64_t planned, int64_t period, int64_t frameBytes)
{
    return static_cast<int64_t>(kHeaderBytes) +
           (origin + WholeBlockFrames(planned, period)) * frameBytes;
}

// How a take's loop ended: at its planned length, by the stop key (or the end of the
// session), or by a capture device or a take file that failed.
enum TakeEnd { kTakeComplete, kTakeStopped, kTakeFailed };

enum BlockResult { kBlockRead, kBlockOverrun, kBlockStopped, kBlockFailed };

// When the capture stream last started, by the device's own time stamp (the trigger
// time) and by the steady clock, and the frames it has delivered since.
struct CaptureClock {
    snd_htimestamp_t started;
    bool stamped;  // the device gave a trigger time
    std::chrono::steady_clock::time_point startedHere;
    int64_t delivered;
};

// Starts the prepared stream and notes when it started.
void StartCapture(snd_pcm_t* pcm, CaptureClock* clock)
{
    snd_pcm_start(pcm);
    clock->startedHere = std::chrono::steady_clock::now();
    clock->delivered = 0;
    snd_pcm_status_t* status = nullptr;
    snd_pcm_status_alloca(&status);
    clock->stamped = false;
    if (snd_pcm_status(pcm, status) == 0) {
        snd_pcm_status_get_trigger_htstamp(status, &clock->started);
        clock->stamped = clock->started.tv_sec != 0 || clock->started.tv_nsec != 0;
    }
}

// Starts the stream again after it dropped frames (an overrun, or a suspend that could
// not be resumed) and returns how many it dropped: the device's time from the previous
// start to this one, less the frames it delivered in between. Only start times are
// used: the time stamp of the overrun itself is not reliable on plugins.
int64_t RestartCapture(snd_pcm_t* pcm, CaptureClock* clock, uint32_t rate)
{
    const CaptureClock before = *clock;
    if (snd_pcm_state(pcm) != SND_PCM_STATE_PREPARED)
        snd_pcm_prepare(pcm);
    StartCapture(pcm, clock);
    if (!before.stamped || !clock->stamped)
        return 0;
    constexpr int64_t kNanos = 1000000000;
    const int64_t seconds =
        static_cast<int64_t>(clock->started.tv_sec) - static_cast<int64_t>(before.started.tv_sec);
    const int64_t nanos = seconds * kNanos + (static_cast<int64_t>(clock->started.tv_nsec) -
                                              static_cast<int64_t>(before.started.tv_nsec));
    if (nanos <= 0)
        return 0;
    // Seconds and the rest apart, rounded to the nearest frame: no product overflows.
    const int64_t frames = nanos / kNanos * rate + (nanos % kNanos * rate + kNanos / 2) / kNanos;
    return frames > before.delivered ? frames - before.delivered : 0;
}

// Reads one block of `period` frames into the two planes. A read cut short (by a signal,
// or a device that delivers less than a period at a time) is completed. An overrun ends
// the block at the frames read before it (*got): its rest is never filled with old
// samples; the stream starts again and *lost holds the frames the device dropped. A
// suspended stream is brought back (counted as an overrun when it had to start again);
// the stop key (a read cut short by its signal) ends the block unfinished; any other
// error is the device failing, left in *error.
BlockResult ReadBlock(snd_pcm_t* pcm, uint8_t* plane1, uint8_t* plane2, snd_pcm_uframes_t period,
                      uint32_t width, uint32_t rate, CaptureClock* clock, snd_pcm_uframes_t* got,
                      int64_t* lost, int* error)
{
    snd_pcm_uframes_t done = 0;
    *got = 0;
    *lost = 0;
    while (done < period) {
        void* planes[2] = {plane1 + done * width, plane2 + done * width};
        const snd_pcm_sframes_t moved = snd_pcm_readn(pcm, planes, period - done);
        if (moved > 0) {
            done += static_cast<snd_pcm_uframes_t>(moved);
            clock->delivered += moved;
            if (done < period && StopPending())
                return kBlockStopped;
        } else if (moved == -EPIPE) {
            *got = done;
            *lost = RestartCapture(pcm, clock, rate);
            return kBlockOverrun;
        } else if (moved == -EINTR || moved == 0) {
            if (StopPending())
                return kBlockStopped;
            // Nothing delivered: wait instead of spinning; at most 100 ms, so that a stop
            // key that came just before the wait (its signal interrupts nothing) is seen.
            if (moved == 0)
                snd_pcm_wait(pcm, 100);
        } else if (moved == -ESTRPIPE) {
            audio::RecoverSuspend(pcm);
            if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED) {
                *got = done;
                *lost = RestartCapture(pcm, clock, rate);
                return kBlockOverrun;
            }
        } else {
            *error = static_cast<int>(moved);
            return kBlockFailed;
        }
    }
    *got = done;
    return kBlockRead;
}

// Starts writing the bytes from `from` to `to` of the take file to the disk without
// waiting for them, so that a power cut costs seconds of a take, not the half minute of
// audio the page cache may hold.
void HandToDisk(int fd, off_t from, off_t to)
{
    if (to > from)
        sync_file_range(fd, from, to - from, SYNC_FILE_RANGE_WRITE);
}

// Ends the capture stream: drained after a good run, dropped when the device failed.
void CloseCapture(audio::PcmGuard* pcm, bool deviceFailed)
{
    if (deviceFailed)
        snd_pcm_drop(pcm->pcm);
    else
        snd_pcm_drain(pcm->pcm);
    snd_pcm_close(pcm->pcm);
    pcm->pcm = nullptr;
}

void ShowTakeMenu()
{
    printf("\n1 = save recording and return\n");
    printf("2 = continue recording\n");
    printf("3 = redo last take\n");
    printf("4 = delete last take and return\n");
    printf("5 = play last take\n");
}

// One block in the ring: where it goes in the take file, and its peaks.
struct RingSlot {
    int32_t at;      // frame of the take file's sample data where the block begins
    int32_t frames;  // a whole period, or less after an overrun or at the end of the take
    int32_t peak1;
    int32_t peak2;
};

// The ring between the capture thread and the writer: one producer, one consumer, shared
// state under `lock`. The capture thread fills the slot behind the queued ones and queues
// it; the writer writes the oldest one and frees it. The take fields are set by the capture
// thread while the writer is idle (at the start of a take) and then kept by the writer.
struct DiskRing {
    std::mutex lock;
    std::condition_variable changed;
    uint8_t* bytes = nullptr;  // count slots of slotBytes each
    RingSlot* slots = nullptr;
    uint32_t count = 0;
    size_t slotBytes = 0;
    uint32_t first = 0;   // the oldest queued slot
    uint32_t queued = 0;  // slots queued and not yet written
    bool quit = false;    // the run is over: the writer ends once the ring is empty
    std::chrono::steady_clock::time_point woken;  // when the capture thread last woke the writer
    // Fixed for the run, for the writer.
    int fd = -1;
    uint32_t frameBytes = 0;
    uint32_t width = 0;
    int32_t channels = 0;
    int32_t block = 0;
    uint32_t rate = 0;
    const uint8_t* zeros = nullptr;  // one block of zeros: the frames of a dropout
    uint8_t* plane = nullptr;        // one plane, for metering a block cut short by a failed write
    // The take in hand.
    int32_t next = 0;    // the frame up to which it is in the file without a gap
    int32_t handed = 0;  // the frame up to which it has been handed to the disk
    int32_t end = -1;    // where the take ended (-1 while it records): the writer fills the
                         // file up to it with zeros, hands it to the disk and sets `drained`
    bool drained = false;
    bool failed = false;  // a write failed: the take ends at `next`
    int error = 0;        // its errno
    int32_t peak1 = 0;    // peaks of the frames in the file
    int32_t peak2 = 0;
};

off_t FramePosition(const DiskRing& ring, int32_t frame)
{
    return static_cast<off_t>(kHeaderBytes) + static_cast<off_t>(frame) * ring.frameBytes;
}

// Writes zeros from frame `*next` up to frame `to`: the time of a dropout keeps its place
// and never keeps an older take's audio. Returns 1, or 0 (errno set) when a write fails.
int WriteZeros(const DiskRing& ring, int32_t to, int32_t* next)
{
    while (*next < to) {
        const int32_t frames = to - *next < ring.block ? to - *next : ring.block;
        const size_t size = static_cast<size_t>(frames) * ring.frameBytes;
        const size_t put = WriteFully(ring.fd, ring.zeros, size, FramePosition(ring, *next));
        *next += static_cast<int32_t>(put / ring.frameBytes);
        if (put != size)
            return 0;
    }
    return 1;
}

// Writes one slot at its place, behind zeros for any dropout before it, and raises the
// peaks by its frames that reached the file: the whole block's peaks, or after a failed
// write those of the frames written. Returns 1, or 0 (errno set) when a write fails.
int WriteSlot(const DiskRing& ring, const RingSlot& slot, const uint8_t* bytes, int32_t* next,
              int32_t* peak1, int32_t* peak2)
{
    if (!WriteZeros(ring, slot.at, next))
        return 0;
    const size_t size = static_cast<size_t>(slot.frames) * ring.frameBytes;
    const size_t put = WriteFully(ring.fd, bytes, size, FramePosition(ring, slot.at));
    const int error = errno;
    const int32_t putFrames = static_cast<int32_t>(put / ring.frameBytes);
    *next += putFrames;
    if (put == size) {
        *peak1 = slot.peak1 > *peak1 ? slot.peak1 : *peak1;
        *peak2 = slot.peak2 > *peak2 ? slot.peak2 : *peak2;
        return 1;
    }
    if (ring.channels == 1) {
        CheckPeak(putFrames, peak1, bytes, ring.width);
    } else {
        for (int32_t channel = 0; channel < 2; channel++) {
            for (int32_t i = 0; i < putFrames; i++)
                memcpy(ring.plane + static_cast<size_t>(i) * ring.width,
                       bytes + static_cast<size_t>(i) * ring.frameBytes + channel * ring.width,
                       ring.width);
            CheckPeak(putFrames, channel == 0 ? peak1 : peak2, ring.plane, ring.width);
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
        HandToDisk(ring->fd, FramePosition(*ring, ring->handed), FramePosition(*ring, next));
        ring->handed = next;
    }
}

// The writer thread: writes the queued slots in order, and at the end of each take fills
// the file up to the take's end and hands it to the disk. After a failed write it frees
// the slots without writing them, until the next take.
void* WriteTakes(void* arg)
{
    DiskRing* ring = static_cast<DiskRing*>(arg);
    std::unique_lock<std::mutex> hold(ring->lock);
    for (;;) {
        while (!ring->quit && ring->queued == 0 && (ring->end < 0 || ring->drained))
            ring->changed.wait(hold);
        if (ring->queued == 0 && (ring->end < 0 || ring->drained))
            break;  // the run is over and nothing is left to write
        const bool writing = !ring->failed;
        int32_t next = ring->next;
        int32_t peak1 = ring->peak1;
        int32_t peak2 = ring->peak2;
        bool ok = true;
        if (ring->queued > 0) {
            const uint32_t index = ring->first;
            const RingSlot slot = ring->slots[index];
            const uint8_t* bytes = ring->bytes + index * ring->slotBytes;
            hold.unlock();
            if (writing) {
                ok = WriteSlot(*ring, slot, bytes, &next, &peak1, &peak2);
                HandOn(ring, next, !ok);
            }
            const int error = errno;
            hold.lock();
            ring->first = (index + 1) % ring->count;
            ring->queued--;
            if (!ok) {
                ring->failed = true;
                ring->error = error;
            }
        } else {
            const int32_t end = ring->end;
            hold.unlock();
            if (writing) {
                ok = WriteZeros(*ring, end, &next);
                HandOn(ring, next, true);
            }
            const int error = errno;
            hold.lock();
            ring->drained = true;
            if (!ok) {
                ring->failed = true;
                ring->error = error;
            }
        }
        ring->next = next;
        ring->peak1 = peak1;
        ring->peak2 = peak2;
        // A capture thread that waits for room is woken once the ring is half empty, not
        // for every slot: it then fills many slots in one go.
        if (2 * ring->queued <= ring->count || ring->drained || ring->failed)
            ring->changed.notify_all();
    }
    return nullptr;
}

// What stays fixed for a recording run, and what carries over from take to take.
struct RecordRun {
    const char* device;
    const char* takePath;
    uint32_t rate;
    float duration;
    int32_t channels;
    uint32_t width;
    uint32_t frameBytes;
    int32_t planned;            // frames of a take
    snd_pcm_uframes_t period;   // frames of a block, for the whole run
    int32_t block;              // the same, as a frame count
    int64_t bufferFrames;       // the device's buffer
    int fd;                     // the take file
    uint8_t* plane1;            // the capture area: channel 1, then channel 2
    uint8_t* plane2;
    DiskRing* ring;             // the blocks on their way to the take file
    CaptureClock clock;
    int32_t total;              // sample-data bytes of the kept takes
    int32_t origin;             // frame where the current take begins
    // Where the last take begins in the take file, for "play last take". It moves on at
    // the report after a take, not when the take starts: it begins at -duration, so the
    // first report makes it 0, and each later report adds `step`, the part of the take
    // before that "2" kept. The report shown again after a playback leaves it alone; "3"
    // takes the step back, as the redone take overwrites the last one and its report
    // adds the step again.
    float lastStart;
    float step;
    bool deviceFailed;
    bool undecided;  // the take menu's read ended without an answer
    // A person at a terminal sees the live meter instead of the plain progress line, and
    // the clips after each take.
    bool terminal;
    LevelMeter meter;
    int64_t diskBytes;  // room on the disk when the take started; -1 unknown
    std::chrono::steady_clock::time_point drawn;  // when the live line was last drawn
};

// One take as it ended.
struct Take {
    TakeEnd end = kTakeComplete;
    int32_t frames = 0;   // frames recorded: whole blocks, unless a dropout moved them
    int32_t written = 0;  // frames that reached the file: all of them unless a write failed
    int32_t peak1 = 0;
    int32_t peak2 = 0;
    uint32_t clips1 = 0;  // samples at full scale (metered on a terminal only)
    uint32_t clips2 = 0;
    uint32_t dropouts = 0;  // overruns, and runs of blocks the full ring could not take
    int64_t silence = 0;    // frames of those dropouts, written as zeros
    int writeError = 0;     // errno of a write to the take file that failed
};

// The arguments, checked before anything is touched, and the run's format and take
// length from them.
int CheckRequest(uint32_t rate, float duration, int32_t channels, int32_t bits, RecordRun* run)
{
    if ((channels != 1 && channels != 2) || (bits != 16 && bits != 24)) {
        printf("Cannot record %i channels of %i bits\n", channels, bits);
        return 0;
    }
    if (rate == 0) {
        printf("Cannot record at a sample rate of 0\n");
        return 0;
    }
    if (!(duration >= 0.0f)) {  // also NaN
        printf("Cannot record a duration of %.2f sec\n", duration);
        return 0;
    }
    const uint32_t frameBytes = static_cast<uint32_t>(bits) / 8 * static_cast<uint32_t>(channels);
    const float product = static_cast<float>(rate) * duration;
    if (!(product < 2147483648.0f) ||
        static_cast<int64_t>(kHeaderBytes) +
                static_cast<int64_t>(FloatToInt32(product)) * frameBytes >
            kMaxTakeFileBytes) {
        ShowTakeTooLong(duration, rate, frameBytes, static_cast<uint32_t>(kRecordPeriodFrames));
        return 0;
    }
    run->planned = FloatToInt32(product);  // in range, truncated toward zero
    run->rate = rate;
    run->duration = duration;
    run->channels = channels;
    run->width = static_cast<uint32_t>(bits) / 8;
    run->frameBytes = frameBytes;
    return 1;
}

// Opens the capture device for the run: two channels always, also for mono (channel 2 is
// read and then ignored). Leaves the block size in run->period.
int SetUpCapture(audio::PcmGuard* pcm, RecordRun* run)
{
    audio::StreamSettings got;
    if (!audio::OpenCapture(pcm, run->device, run->rate, run->width, kRecordPeriodFrames,
                            kRecordBufferFrames, &got))
        return 0;
    // From here the requested rate is used for the header and all timing. The read goes
    // into two planes: a device that took more channels would write past them (one that
    // took a single channel fills the first plane only).
    if (got.channels > 2) {
        fprintf(stderr, "Unable to record through %u device channels\n", got.channels);
        return 0;
    }
    // The value the period request left is the block size for the whole run.
    run->period = got.periodAsked;
    run->bufferFrames = got.bufferRead ? static_cast<int64_t>(got.buffer) : 0;
    // Start times on the monotonic clock, where the device allows it: they measure the
    // frames an overrun lost, which a change of the wall clock must not falsify.
    snd_pcm_sw_params_t* software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    if (snd_pcm_sw_params_current(pcm->pcm, software) == 0 &&
        snd_pcm_sw_params_set_tstamp_type(pcm->pcm, software, SND_PCM_TSTAMP_TYPE_MONOTONIC) == 0)
        snd_pcm_sw_params(pcm->pcm, software);
    if (run->period == 0 || run->period > audio::kMaxPeriodFrames) {
        printf("Cannot record with a period of %lu frames\n",
               static_cast<unsigned long>(run->period));
        return 0;
    }
    return 1;
}

// At least this much audio fits in the ring, and the ring takes at most kMaxRingBytes.
constexpr int64_t kRingSeconds = 10;
constexpr int64_t kMaxRingBytes = 32 * 1024 * 1024;

// Buffers for the whole run: the capture area holds the channel 1 plane and then the
// channel 2 plane; the ring holds at least 10 s of blocks in file order (locked in memory
// where the system allows it, so that no page fault waits for the disk), and the writer
// has a block of zeros and a plane of its own.
int AllocateBlocks(RecordRun* run, DiskRing* ring, audio::BufferGuard* captureArea,
                   audio::BufferGuard* ringArea, audio::BufferGuard* writerArea)
{
    const size_t planeBytes = static_cast<size_t>(run->block) * run->width;
    const size_t blockBytes = static_cast<size_t>(run->block) * run->frameBytes;
    int64_t count = (kRingSeconds * run->rate + run->block - 1) / run->block;
    if (count * static_cast<int64_t>(blockBytes) > kMaxRingBytes)
        count = kMaxRingBytes / static_cast<int64_t>(blockBytes);
    if (count < 2)
        count = 2;
    captureArea->bytes = static_cast<uint8_t*>(calloc(2 * planeBytes, 1));
    ringArea->bytes =
        static_cast<uint8_t*>(calloc(static_cast<size_t>(count), blockBytes + sizeof(RingSlot)));
    writerArea->bytes = static_cast<uint8_t*>(calloc(blockBytes + planeBytes, 1));
    if (captureArea->bytes == nullptr || ringArea->bytes == nullptr ||
        writerArea->bytes == nullptr) {
        printf("Out of memory for recording buffers\n");
        return 0;
    }
    run->plane1 = captureArea->bytes;
    run->plane2 = captureArea->bytes + planeBytes;
    ring->count = static_cast<uint32_t>(count);
    ring->slotBytes = blockBytes;
    ring->slots = reinterpret_cast<RingSlot*>(ringArea->bytes);
    ring->bytes = ringArea->bytes + static_cast<size_t>(count) * sizeof(RingSlot);
    mlock(ringArea->bytes, static_cast<size_t>(count) * (blockBytes + sizeof(RingSlot)));
    ring->zeros = writerArea->bytes;
    ring->plane = writerArea->bytes + blockBytes;
    ring->fd = run->fd;
    ring->frameBytes = run->frameBytes;
    ring->width = run->width;
    ring->channels = run->channels;
    ring->block = run->block;
    ring->rate = run->rate;
    run->ring = ring;
    return 1;
}

// Starts the writer. SIGINT, SIGHUP and SIGTERM are blocked while it is created, so that
// it inherits them blocked and the stop key and hangups reach the capture thread.
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

// Ends the writer once it has written all that is queued.
void StopWriter(DiskRing* ring, pthread_t writer)
{
    {
        std::lock_guard<std::mutex> hold(ring->lock);
        ring->quit = true;
    }
    ring->changed.notify_all();
    pthread_join(writer, nullptr);
}

// Sets the writer up for a take that begins at frame `at`; it is idle between takes.
void BeginTake(DiskRing* ring, int32_t at)
{
    std::lock_guard<std::mutex> hold(ring->lock);
    ring->next = at;
    ring->handed = at;
    ring->end = -1;
    ring->drained = false;
    ring->failed = false;
    ring->error = 0;
    ring->peak1 = 0;
    ring->peak2 = 0;
}

// What the capture thread sees of the writer: the frames of the take in the file without
// a gap, and whether a write failed.
struct WriterState {
    int32_t written;
    bool failed;
};

// The slot for the next block, or nullptr when the ring is full. A full ring is waited
// for only while the device's buffer can hold what arrives meanwhile (two periods kept
// spare), so that the wait costs no audio: on a device that keeps time this is at most
// the part of its buffer still free; a device that delivers faster than time (a file)
// waits for the disk, as it loses nothing by it.
uint8_t* NextSlot(const RecordRun& run, WriterState* seen)
{
    DiskRing* ring = run.ring;
    std::unique_lock<std::mutex> hold(ring->lock);
    const int64_t spare = run.bufferFrames - 2 * static_cast<int64_t>(run.block);
    if (ring->queued == ring->count && spare > 0) {
        const auto deadline =
            run.clock.startedHere +
            std::chrono::nanoseconds((run.clock.delivered + spare) * 1000000000 / run.rate);
        // Until the ring is half empty (the writer says so), in steps of 100 ms at most, so
        // that the stop key is seen; then any free slot will do.
        while (2 * ring->queued > ring->count && !ring->failed && !StopPending()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                break;
            const auto step = std::chrono::milliseconds(100);
            ring->changed.wait_until(hold, deadline - now > step ? now + step : deadline);
        }
    }
    seen->written = ring->next - run.origin;
    seen->failed = ring->failed;
    if (ring->queued == ring->count)
        return nullptr;
    return ring->bytes +
           static_cast<size_t>((ring->first + ring->queued) % ring->count) * ring->slotBytes;
}

// Queues the slot NextSlot gave, now holding `frames` frames for frame `at` of the file.
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

// The live line of a terminal: the remaining seconds, the meter, and the time the disk still
// holds at these settings. Drawn at most ten times a second; a take starts, and an overrun
// starts again, with `drawn` cleared, so that its first line is drawn at once.
void DrawLiveLine(RecordRun* run, int32_t shown)
{
    const auto at = std::chrono::steady_clock::now();
    if (at - run->drawn < std::chrono::milliseconds(100))
        return;
    run->drawn = at;
    char seconds[32];
    FormatSeconds(seconds, sizeof seconds,
                  static_cast<float>(run->planned - shown) / static_cast<float>(run->rate));
    char lead[48];
    snprintf(lead, sizeof lead, "Remaining %s sec", seconds);
    const int64_t bytesPerSecond = static_cast<int64_t>(run->rate) * run->frameBytes;
    const int64_t left = run->diskBytes - static_cast<int64_t>(shown) * run->frameBytes;
    ShowMeterLine(&run->meter, lead,
                  run->diskBytes < 0 ? -1 : (left > 0 ? left / bytesPerSecond : 0));
}

// Shows the progress line of each block that has reached the file since the last one
// shown (*shown: the take's frames shown so far, in whole blocks): of a block whole, or
// with `rest` also of the part of a block at the end of the take. A line for which
// standard output has no room is left out. On a terminal the live line stands for them.
void ShowProgress(RecordRun* run, int32_t written, bool rest, bool quiet, int32_t* shown)
{
    const int32_t before = *shown;
    while (*shown < written && (rest || written - *shown >= run->block)) {
        if (!quiet && !run->terminal && ConsoleHasRoom())
            ShowSeconds("\rRemaining ", static_cast<float>(run->planned - *shown) /
                                            static_cast<float>(run->rate));
        *shown += run->block;
    }
    if (run->terminal && !quiet && *shown > before)
        DrawLiveLine(run, *shown);
}

// Ends the take at frame `end` of the file and waits for the writer to put everything
// before it in the file, showing the progress lines of the blocks it writes meanwhile. On
// a terminal, a wait of more than half a second says "Writing...". Leaves the frames in
// the file, the peaks and a write failure in the take.
void FinishTake(RecordRun* run, Take* take, int32_t* shown)
{
    DiskRing* ring = run->ring;
    std::unique_lock<std::mutex> hold(ring->lock);
    ring->end = run->origin + take->frames;
    ring->changed.notify_all();
    const auto since = std::chrono::steady_clock::now();
    bool quiet = false;
    for (;;) {
        const bool drained = ring->drained;
        const int32_t written = ring->next - run->origin;
        const bool failed = ring->failed;
        hold.unlock();
        ShowProgress(run, written, drained && !failed, quiet, shown);
        if (drained)
            break;
        if (!quiet && run->terminal &&
            std::chrono::steady_clock::now() - since > std::chrono::milliseconds(500)) {
            if (ConsoleHasRoom()) {
                printf("\nWriting...");
                fflush(stdout);
            }
            quiet = true;
        }
        hold.lock();
        ring->changed.wait_for(hold, std::chrono::milliseconds(100));
    }
    hold.lock();
    take->written = ring->next - run->origin;
    take->peak1 = ring->peak1;
    take->peak2 = ring->peak2;
    take->clips1 = run->meter.channel[0].clips;
    take->clips2 = run->meter.channel[1].clips;
    take->writeError = ring->failed ? ring->error : 0;
    if (ring->failed)
        take->end = kTakeFailed;
}

// Says an overrun on a line of its own, also in the middle of a progress line.
void ShowOverrun()
{
    if (ConsoleHasRoom()) {
        printf("\nRX\n");
        fflush(stdout);
    }
}

// Keeps `frames` frames of a block read into `slot`: metered and queued for the writer,
// or, when no slot took the block, counted as silence (a new dropout unless the block
// before it was dropped too).
void KeepBlock(RecordRun* run, Take* take, uint8_t* slot, int32_t frames, bool* dropping)
{
    if (frames <= 0)
        return;
    if (slot == nullptr) {
        if (!*dropping)
            take->dropouts++;
        *dropping = true;
        take->silence += frames;
        take->frames += frames;
        return;
    }
    int32_t peak1 = 0;
    int32_t peak2 = 0;
    if (run->channels == 2)
        InterleavePeaks(static_cast<uint32_t>(frames), run->width, run->plane1, run->plane2,
                        slot, &peak1, &peak2);
    else
        CheckPeak(frames, &peak1, slot, run->width);
    if (run->terminal) {  // the samples as they are stored
        MeterBlock(&run->meter, 0, peak1, slot, static_cast<uint32_t>(frames), run->frameBytes);
        MeterBlock(&run->meter, 1, peak2, slot + run->width, static_cast<uint32_t>(frames),
                   run->frameBytes);
    }
    QueueSlot(run->ring, run->origin + take->frames, frames, peak1, peak2);
    *dropping = false;
    take->frames += frames;
}

// The lines of a take that the device or the take file ended.
void ShowTakeFailure(const RecordRun& run, const Take& take, int32_t shown, int deviceError)
{
    if (shown > 0)
        printf("\n");  // ends the progress line
    if (run.deviceFailed)
        printf("Recording stopped: the capture device failed: %s\n", snd_strerror(deviceError));
    if (take.writeError != 0)
        printf("Write to %s failed: %s\n", run.takePath, strerror(take.writeError));
}

// Records one take of run->planned frames behind run->origin, block by block, until it
// is complete, the stop key ends it, or the device or the take file fails. A complete take
// ends at whole blocks; the frames a dropout lost (an overrun, or blocks the full ring
// could not take) are counted and written as zeros at their place.
void RecordTake(RecordRun* run, snd_pcm_t* pcm, Take* take)
{
    *take = Take{};
    snd_pcm_prepare(pcm);  // drops the overrun the stream ran into while the menu waited
    printf("Recording...\n");
    if (run->terminal) {
        StartMeter(&run->meter, run->width, run->channels);
        run->diskBytes = DiskRoomBytes();  // once a take: never in the capture loop
        run->drawn = {};
    }
    StartCapture(pcm, &run->clock);
    BeginTake(run->ring, run->origin);
    const int32_t length = static_cast<int32_t>(WholeBlockFrames(run->planned, run->block));
    int32_t shown = 0;      // frames whose progress line has been shown
    bool dropping = false;  // the last block went to no slot
    int deviceError = 0;
    while (take->frames < length) {
        if (StopPending()) {
            take->end = kTakeStopped;  // the take is the whole blocks recorded so far
            break;
        }
        WriterState seen;
        uint8_t* slot = NextSlot(*run, &seen);
        ShowProgress(run, seen.written, false, false, &shown);
        if (seen.failed) {
            take->end = kTakeFailed;
            break;
        }
        // The blocking read below waits for the block itself, so the result of this wait
        // is not needed; its timeout is 1 ms so that a device that never signals cannot
        // hold up the loop or the stop key.
        snd_pcm_wait(pcm, 1);
        // Mono blocks are read straight into their slot; a block no slot takes is read
        // into the capture area all the same, to keep up with the device.
        uint8_t* plane1 = run->channels == 1 && slot != nullptr ? slot : run->plane1;
        snd_pcm_uframes_t got = 0;
        int64_t lost = 0;
        const BlockResult result =
            ReadBlock(pcm, plane1, run->plane2, run->period, run->width, run->rate, &run->clock,
                      &got, &lost, &deviceError);
        if (result == kBlockStopped) {
            take->end = kTakeStopped;
            break;
        }
        if (result == kBlockFailed) {
            take->end = kTakeFailed;
            run->deviceFailed = true;
            break;
        }
        const int32_t room = length - take->frames;
        const int32_t frames = static_cast<int64_t>(got) < room ? static_cast<int32_t>(got) : room;
        KeepBlock(run, take, slot, frames, &dropping);
        if (result == kBlockOverrun) {
            ShowOverrun();
            run->drawn = {};  // the live line comes back below it at once
            const int32_t left = length - take->frames;
            const int32_t gap = lost < left ? static_cast<int32_t>(lost) : left;
            take->dropouts++;
            take->silence += gap;
            take->frames += gap;
            dropping = false;
        }
    }
    FinishTake(run, take, &shown);
    if (take->end == kTakeFailed)
        ShowTakeFailure(*run, *take, shown, deviceError);
    // A Ctrl-C during the take is used up by it, also one that came with its last block;
    // keys typed meanwhile are not taken as menu answers.
    ClearStopKey();
    DropTypedAhead();
}

// The report after a take, and again after each playback of it: the peaks, the dropouts
// if there were any, then the menu.
void ReportTake(RecordRun* run, const Take& take, bool played)
{
    printf("\n\n");
    ShowPeaks(1, take.peak1, static_cast<int32_t>(run->width));
    if (run->channels == 2)
        ShowPeaks(2, take.peak2, static_cast<int32_t>(run->width));
    if (take.clips1 > 0)
        printf("Channel %i clipped: %u samples at full scale\n", 1, take.clips1);
    if (take.clips2 > 0 && run->channels == 2)
        printf("Channel %i clipped: %u samples at full scale\n", 2, take.clips2);
    if (take.dropouts > 0)
        printf("Dropouts: %u, %.2f sec of silence in this take\n", take.dropouts,
               static_cast<double>(take.silence) / static_cast<double>(run->rate));
    if (!played)
        run->lastStart += run->step;
    ShowTakeMenu();
}

enum MenuAnswer { kFinishRun, kNextTake, kPlayTake };

// "2": another take goes right behind the kept part of this one: its planned length, or
// the whole blocks recorded before the stop key. Refused (false, with the menu shown
// again and nothing changed) when a failure cut this take short or when the next take
// would carry the file past 2 GB.
bool ContinueRun(RecordRun* run, const Take& take)
{
    // Frames of this take that can be kept: the planned length, or the whole blocks
    // recorded when the take ended early.
    const int32_t keepable = take.written < run->planned ? take.written : run->planned;
    if (take.end != kTakeStopped && keepable < run->planned) {
        printf("Cannot continue: the last take was not written in full\n");
        ShowTakeMenu();
        return false;
    }
    if (run->planned > 0 &&
        TakeFileEnd(static_cast<int64_t>(run->origin) + keepable, run->planned, run->block,
                    run->frameBytes) > kMaxTakeFileBytes) {
        printf("Cannot continue: the recording would pass 2 GB\n");
        ShowTakeMenu();
        return false;
    }
    if (keepable > 0) {
        run->total += keepable * static_cast<int32_t>(run->frameBytes);
        run->origin += keepable;
    }
    run->step = keepable == run->planned
                    ? run->duration
                    : static_cast<float>(keepable) / static_cast<float>(run->rate);
    return true;
}

// Reads answers to the take menu until one acts on it. End of input keeps the take, as
// "1" does: nothing recorded is lost. "5" and every other word play the last take.
MenuAnswer AnswerTakeMenu(RecordRun* run, const Take& take)
{
    for (;;) {
        char answer[kAnswerBytes] = {};
        const bool haveWord = ReadWord(answer, sizeof answer) != 0;
        if (!haveWord || strcmp(answer, "1") == 0) {
            run->undecided = !haveWord;
            run->total += take.written * static_cast<int32_t>(run->frameBytes);
            return kFinishRun;
        }
        if (strcmp(answer, "4") == 0)
            return kFinishRun;
        if (strcmp(answer, "2") == 0) {
            if (ContinueRun(run, take))
                return kNextTake;
            continue;
        }
        if (strcmp(answer, "3") == 0) {
            run->lastStart -= run->step;  // the report after the new take restores it
            return kNextTake;
        }
        return kPlayTake;
    }
}

// Plays the part of the last take that reached the file.
void PlayTake(const RecordRun& run, const Take& take)
{
    const float length = take.end != kTakeComplete && take.written < run.planned
                             ? static_cast<float>(take.written) / static_cast<float>(run.rate)
                             : run.duration;
    PLAY(run.takePath, run.device, run.lastStart, run.lastStart + length);
}

}  // namespace

int32_t RECORD(const char* device, uint32_t rate, float duration, int32_t channels, int32_t bits,
               int32_t appendFlag, const char* takePath, int32_t* undecided)
{
    if (undecided != nullptr)
        *undecided = 0;
    (void)appendFlag;  // how the record command finishes is its own business
    RecordRun run = {};
    if (!CheckRequest(rate, duration, channels, bits, &run))
        return -1;
    run.device = device;
    run.takePath = takePath;

    if (!MAKE_HEADER(takePath, rate, static_cast<uint32_t>(channels), static_cast<uint32_t>(bits),
                     run.planned))
        return -1;  // MAKE_HEADER has said why
    wavio::FdGuard take(open(takePath, O_RDWR));
    if (take.fd < 0) {
        printf("Unable to open %s\n", takePath);
        return -1;
    }
    // Every block goes to the file with one pwrite at its absolute position (from the
    // writer thread), so its count tells exactly how many bytes reached the file.
    run.fd = take.fd;

    audio::PcmGuard pcm;
    if (!SetUpCapture(&pcm, &run))
        return -1;
    run.block = static_cast<int32_t>(run.period);
    if (TakeFileEnd(0, run.planned, run.block, run.frameBytes) > kMaxTakeFileBytes) {
        ShowTakeTooLong(duration, run.rate, run.frameBytes, static_cast<uint32_t>(run.period));
        return -1;
    }
    if (run.bufferFrames == 0)
        run.bufferFrames = static_cast<int64_t>(kRecordBufferFrames);
    DiskRing ring;
    audio::BufferGuard captureArea;
    audio::BufferGuard ringArea;
    audio::BufferGuard writerArea;
    if (!AllocateBlocks(&run, &ring, &captureArea, &ringArea, &writerArea))
        return -1;
    pthread_t writer;
    if (!StartWriter(&ring, &writer))
        return -1;
    run.terminal = isatty(STDOUT_FILENO) != 0;
    run.lastStart = -duration;
    run.step = duration;

    for (;;) {
        Take last;
        RecordTake(&run, pcm.pcm, &last);
        MenuAnswer answer = kPlayTake;
        for (bool played = false; answer == kPlayTake; played = true) {
            ReportTake(&run, last, played);
            answer = AnswerTakeMenu(&run, last);
            if (answer == kPlayTake)
                PlayTake(run, last);
        }
        if (answer == kFinishRun)
            break;
    }
    StopWriter(&ring, writer);
    if (!wavio::CloseChecked(take))
        printf("Write to %s failed: %s\n", takePath, strerror(errno));
    CloseCapture(&pcm, run.deviceFailed);
    if (undecided != nullptr)
        *undecided = run.undecided ? 1 : 0;
    return run.total;
}


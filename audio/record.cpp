// RECORD: one recording run. Takes of a fixed length are captured block by block into the
// take file; after each take the peaks are reported and the take menu decides whether
// the take is kept, continued, redone, discarded or played.
#include "audio/audio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/handles.h"
#include "audio/take_limit.h"
#include "wav/wav.h"

static_assert(sizeof(off_t) == 8, "byte positions need a 64-bit off_t (_FILE_OFFSET_BITS=64)");

namespace {

constexpr snd_pcm_uframes_t kRecordPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kRecordBufferFrames = 32768;
// Byte positions, totals and the result are signed 32-bit: the header plus the sample
// data of one run must stay within INT32_MAX bytes.
constexpr int64_t kMaxTakeFileBytes = INT32_MAX;
constexpr uint32_t kAnswerBytes = 16;  // longer answers are cut; only "1" to "4" matter

// A read-back value for the driver report; values beyond int range are shown as INT_MAX.
int ReportValue(unsigned long v)
{
    return v > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

// `frames` rounded up to whole periods (frames >= 0, period > 0).
int64_t WholeBlocks(int64_t frames, int64_t period)
{
    return (frames + period - 1) / period * period;
}

// Bytes of the take file when a take of `planned` frames, recorded in whole periods,
// begins at frame `origin`.
int64_t TakeFileEnd(int64_t origin, int64_t planned, int64_t period, int64_t frameBytes)
{
    return static_cast<int64_t>(kHeaderBytes) + (origin + WholeBlocks(planned, period)) * frameBytes;
}

// How a take's loop ended: at its planned length, by the stop key (or the end of the
// session), or by a capture device or a take file that failed.
enum TakeEnd { kTakeComplete, kTakeStopped, kTakeFailed };

enum BlockResult { kBlockRead, kBlockStopped, kBlockFailed };

// Reads one block of `period` frames into the two planes. A read cut short (by a signal,
// or a device that delivers less than a period at a time) is completed: the block is
// written whole, and its rest would otherwise be the samples of the block before. An
// overrun is reported ("RX") and the block goes on as it stands; a suspended stream is
// brought back; the stop key (a read cut short by its signal) ends the block unfinished;
// any other error is the device failing, left in *error.
BlockResult ReadBlock(snd_pcm_t* pcm, uint8_t* plane1, uint8_t* plane2,
                      snd_pcm_uframes_t period, uint32_t width, int* error)
{
    snd_pcm_uframes_t done = 0;
    while (done < period) {
        void* planes[2] = {plane1 + done * width, plane2 + done * width};
        const snd_pcm_sframes_t got = snd_pcm_readn(pcm, planes, period - done);
        if (got > 0) {
            done += static_cast<snd_pcm_uframes_t>(got);
            if (done < period && StopPending())
                return kBlockStopped;
        } else if (got == -EPIPE) {
            printf("RX\n");
            snd_pcm_prepare(pcm);
            return kBlockRead;
        } else if (got == -EINTR || got == 0) {
            if (StopPending())
                return kBlockStopped;
            // Nothing delivered: wait instead of spinning; at most 100 ms, so that a stop
            // key that came just before the wait (its signal interrupts nothing) is seen.
            if (got == 0)
                snd_pcm_wait(pcm, 100);
        } else if (got == -ESTRPIPE) {
            audio::RecoverSuspend(pcm);
        } else {
            *error = static_cast<int>(got);
            return kBlockFailed;
        }
    }
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
    int fd;                     // the take file
    uint8_t* plane1;            // the capture area: channel 1, then channel 2
    uint8_t* plane2;
    uint8_t* interleaved;       // one stereo block in frame order
    const uint8_t* blockBytes;  // what goes to the file: plane1 for mono
    size_t blockSize;
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
};

// One take as it ended.
struct Take {
    TakeEnd end = kTakeComplete;
    int32_t frames = 0;   // frames recorded, in whole blocks
    int32_t written = 0;  // frames that reached the file: all of them unless a write failed
    int32_t peak1 = 0;
    int32_t peak2 = 0;
};

// The arguments, checked before anything is touched, and the run's format and take
// length from them.
bool CheckRequest(uint32_t rate, float duration, int32_t channels, int32_t bits, RecordRun* run)
{
    if ((channels != 1 && channels != 2) || (bits != 16 && bits != 24)) {
        printf("Cannot record %i channels of %i bits\n", channels, bits);
        return false;
    }
    if (rate == 0) {
        printf("Cannot record at a sample rate of 0\n");
        return false;
    }
    if (!(duration >= 0.0f)) {  // also NaN
        printf("Cannot record a duration of %.2f sec\n", duration);
        return false;
    }
    const uint32_t frameBytes = static_cast<uint32_t>(bits) / 8 * static_cast<uint32_t>(channels);
    const float product = static_cast<float>(rate) * duration;
    if (!(product < 2147483648.0f) ||
        static_cast<int64_t>(kHeaderBytes) +
                static_cast<int64_t>(FloatToInt32(product)) * frameBytes >
            kMaxTakeFileBytes) {
        ShowTakeTooLong(duration, rate, frameBytes, static_cast<uint32_t>(kRecordPeriodFrames));
        return false;
    }
    run->planned = FloatToInt32(product);  // in range, truncated toward zero
    run->rate = rate;
    run->duration = duration;
    run->channels = channels;
    run->width = static_cast<uint32_t>(bits) / 8;
    run->frameBytes = frameBytes;
    return true;
}

// Opens the capture device for the run: two channels always, also for mono (channel 2 is
// read and then ignored). Leaves the block size in run->period.
bool SetUpCapture(audio::PcmGuard* pcm, RecordRun* run)
{
    const audio::StreamRequest request = {
        SND_PCM_STREAM_CAPTURE, SND_PCM_ACCESS_RW_NONINTERLEAVED,
        run->width == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE,
        run->rate, kRecordPeriodFrames, kRecordBufferFrames};
    audio::StreamSettings got;
    int rc = 0;
    const audio::StreamStep step = audio::OpenStereoStream(pcm, run->device, request, &got, &rc);
    if (step == audio::kStreamOpenFailed) {
        fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(rc));
        fprintf(stderr, "Could not open %s: type u, then 4, to see the devices\n", run->device);
        return false;
    }
    if (step == audio::kStreamFormatFailed) {
        fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(rc));
        return false;
    }
    if (step == audio::kStreamInstallFailed) {
        printf("Could not set record hardware parameters: %s\n", snd_strerror(rc));
        printf("Returned Driver Parameters:\n");
        printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
        printf("Record\t%i\t%i\t%i\t%i\n", ReportValue(got.period), ReportValue(got.buffer),
               ReportValue(got.rate), ReportValue(got.channels));
        printf("-------------------------\n");
        return false;
    }
    // A device running at another rate would give a take that plays at the wrong speed.
    if (got.refused[0] != '\0')
        printf("%s does not take %s: converting through plug\n", run->device, got.refused);
    if (got.rate != 0 && got.rate != run->rate) {
        char other[96];
        audio::ConvertingDevice(run->device, other, sizeof other);
        printf("Cannot record at %u Hz: the capture device runs at %u Hz; try a device that "
               "converts the rate, such as %s\n",
               run->rate, got.rate, other);
        return false;
    }
    // From here the requested rate is used for the header and all timing. The read goes
    // into two planes: a device that took more channels would write past them (one that
    // took a single channel fills the first plane only).
    if (got.channels > 2) {
        fprintf(stderr, "Unable to record through %u device channels\n", got.channels);
        return false;
    }
    // The value the period request left is the block size for the whole run.
    run->period = got.periodAsked;
    if (run->period == 0 || run->period > audio::kMaxPeriodFrames) {
        printf("Cannot record with a period of %lu frames\n", static_cast<unsigned long>(run->period));
        return false;
    }
    return true;
}

// Buffers for the whole run: the capture area holds the channel 1 plane and then the
// channel 2 plane; the interleave area one stereo block in frame order.
bool AllocateBlocks(RecordRun* run, audio::BufferGuard* captureArea, audio::BufferGuard* interleaveArea)
{
    const size_t planeBytes = static_cast<size_t>(run->block) * run->width;
    captureArea->bytes = static_cast<uint8_t*>(calloc(2 * planeBytes, 1));
    interleaveArea->bytes = static_cast<uint8_t*>(calloc(2 * planeBytes, 1));
    if (captureArea->bytes == nullptr || interleaveArea->bytes == nullptr) {
        printf("Out of memory for recording buffers\n");
        return false;
    }
    run->plane1 = captureArea->bytes;
    run->plane2 = captureArea->bytes + planeBytes;
    run->interleaved = interleaveArea->bytes;
    run->blockBytes = run->channels == 1 ? run->plane1 : run->interleaved;
    run->blockSize = static_cast<size_t>(run->block) * run->frameBytes;
    return true;
}

// Writes the block just read at frame `at` of the take file, whole, also after an
// overrun, and meters it. Stereo blocks are interleaved and metered in one pass, and
// those peaks count once the whole block has reached the file; after a failed write the
// frames that did reach it are metered. Returns the frames written; *error holds errno
// when that is not the whole block.
int32_t WriteBlock(const RecordRun& run, int32_t at, Take* take, int* error)
{
    int32_t blockPeak1 = take->peak1;
    int32_t blockPeak2 = take->peak2;
    if (run.channels == 2)
        InterleavePeaks(static_cast<uint32_t>(run.block), run.width, run.plane1, run.plane2,
                        run.interleaved, &blockPeak1, &blockPeak2);
    const off_t position = static_cast<off_t>(kHeaderBytes) + static_cast<off_t>(at) * run.frameBytes;
    const size_t put = WriteFully(run.fd, run.blockBytes, run.blockSize, position);
    *error = errno;
    const int32_t putFrames = static_cast<int32_t>(put / run.frameBytes);
    if (run.channels == 2 && put == run.blockSize) {
        take->peak1 = blockPeak1;
        take->peak2 = blockPeak2;
    } else {
        CheckPeak(putFrames, &take->peak1, run.plane1, run.width);
        if (run.channels == 2)
            CheckPeak(putFrames, &take->peak2, run.plane2, run.width);
    }
    return putFrames;
}

// Records one take of run->planned frames behind run->origin, block by block, until it
// is complete, the stop key ends it, or the device or the take file fails.
void RecordTake(RecordRun* run, snd_pcm_t* pcm, Take* take)
{
    *take = Take{};
    snd_pcm_prepare(pcm);  // drops the overrun the stream ran into while the menu waited
    printf("Recording...\n");
    const off_t takeAt = static_cast<off_t>(kHeaderBytes) + static_cast<off_t>(run->origin) * run->frameBytes;
    int32_t handedFrames = 0;  // frames of this take handed to the disk
    while (take->frames < run->planned) {
        if (StopPending()) {
            take->end = kTakeStopped;  // the take is the whole blocks recorded so far
            break;
        }
        // The blocking read below waits for the block itself, so the result of this wait
        // is not needed; its timeout is 1 ms so that a device that never signals cannot
        // hold up the loop or the stop key.
        snd_pcm_wait(pcm, 1);
        int error = 0;
        const BlockResult got = ReadBlock(pcm, run->plane1, run->plane2, run->period, run->width, &error);
        if (got == kBlockStopped) {
            take->end = kTakeStopped;
            break;
        }
        if (got == kBlockFailed) {
            if (take->frames > 0)
                printf("\n");  // ends the progress line
            printf("Recording stopped: the capture device failed: %s\n", snd_strerror(error));
            take->end = kTakeFailed;
            run->deviceFailed = true;
            break;
        }
        const int32_t putFrames = WriteBlock(*run, run->origin + take->frames, take, &error);
        take->written = take->frames + putFrames;
        if (putFrames != run->block) {
            // The take ends at the last whole frame that reached the file.
            if (take->frames > 0)
                printf("\n");  // ends the progress line
            printf("Write to %s failed: %s\n", run->takePath, strerror(error));
            take->end = kTakeFailed;
            break;
        }
        ShowSeconds("\rRemaining ", static_cast<float>(run->planned - take->frames) /
                                        static_cast<float>(run->rate));
        take->frames += run->block;
        if (static_cast<int64_t>(take->frames) - handedFrames >= static_cast<int64_t>(run->rate)) {
            HandToDisk(run->fd, takeAt + static_cast<off_t>(handedFrames) * run->frameBytes,
                       takeAt + static_cast<off_t>(take->frames) * run->frameBytes);
            handedFrames = take->frames;
        }
    }
    if (take->end != kTakeFailed)
        take->written = take->frames;
    HandToDisk(run->fd, takeAt + static_cast<off_t>(handedFrames) * run->frameBytes,
               takeAt + static_cast<off_t>(take->written) * run->frameBytes);
    // A Ctrl-C during the take is used up by it, also one that came with its last block;
    // keys typed meanwhile are not taken as menu answers.
    ClearStopKey();
    DropTypedAhead();
}

// The report after a take, and again after each playback of it: the peaks, then the menu.
void ReportTake(RecordRun* run, const Take& take, bool played)
{
    printf("\n\n");
    ShowPeaks(1, take.peak1, static_cast<int32_t>(run->width));
    if (run->channels == 2)
        ShowPeaks(2, take.peak2, static_cast<int32_t>(run->width));
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
    audio::FileGuard take;
    take.file = fopen(takePath, "r+");
    if (take.file == nullptr) {
        printf("Unable to open %s\n", takePath);
        return -1;
    }
    // Every block goes to the file with one pwrite at its absolute position, so a failed
    // write is seen at once and its count tells exactly how many bytes reached the file;
    // the stream itself is never written.
    run.fd = fileno(take.file);

    audio::PcmGuard pcm;
    if (!SetUpCapture(&pcm, &run))
        return -1;
    run.block = static_cast<int32_t>(run.period);
    if (TakeFileEnd(0, run.planned, run.block, run.frameBytes) > kMaxTakeFileBytes) {
        ShowTakeTooLong(duration, run.rate, run.frameBytes, static_cast<uint32_t>(run.period));
        return -1;
    }
    audio::BufferGuard captureArea;
    audio::BufferGuard interleaveArea;
    if (!AllocateBlocks(&run, &captureArea, &interleaveArea))
        return -1;
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
    if (fclose(take.file) != 0)
        printf("Write to %s failed: %s\n", takePath, strerror(errno));
    take.file = nullptr;
    CloseCapture(&pcm, run.deviceFailed);
    if (undecided != nullptr)
        *undecided = run.undecided ? 1 : 0;
    return run.total;
}

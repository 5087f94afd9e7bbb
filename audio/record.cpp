// RECORD: one recording run. Takes of a fixed length are captured block by block into the
// take file; after each take the peaks are reported and the take menu decides whether
// the take is kept, continued, redone, discarded or played.
#include "audio/audio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sys/types.h>

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

// Reads one block of `period` frames into the two planes, completing a read cut short.
// An overrun is reported ("RX") and the block goes on as it stands; a suspended stream
// is brought back; the stop key (a read cut short by its signal) ends the block
// unfinished; any other error is the device failing, left in *error.
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
            if (got == 0)
                snd_pcm_wait(pcm, 100);  // nothing delivered: wait instead of spinning
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
void HandToDisk(FILE* file, off_t from, off_t to)
{
    if (to > from)
        sync_file_range(fileno(file), from, to - from, SYNC_FILE_RANGE_WRITE);
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

}  // namespace

int32_t RECORD(const char* device, uint32_t rate, float duration, int32_t channels, int32_t bits,
               int32_t appendFlag, const char* takePath)
{
    (void)appendFlag;  // how the record command finishes is its own business

    // The arguments are checked before anything is touched.
    if ((channels != 1 && channels != 2) || (bits != 16 && bits != 24)) {
        printf("Cannot record %i channels of %i bits\n", channels, bits);
        return -1;
    }
    if (rate == 0) {
        printf("Cannot record at a sample rate of 0\n");
        return -1;
    }
    if (!(duration >= 0.0f)) {  // also NaN
        printf("Cannot record a duration of %.2f sec\n", duration);
        return -1;
    }
    const uint32_t width = static_cast<uint32_t>(bits) / 8;
    const uint32_t frameBytes = width * static_cast<uint32_t>(channels);
    const float product = static_cast<float>(rate) * duration;
    if (!(product < 2147483648.0f) ||
        static_cast<int64_t>(kHeaderBytes) +
                static_cast<int64_t>(FloatToInt32(product)) * frameBytes >
            kMaxTakeFileBytes) {
        ShowTakeTooLong(duration, rate, frameBytes, static_cast<uint32_t>(kRecordPeriodFrames));
        return -1;
    }
    const int32_t planned = FloatToInt32(product);  // in range, truncated toward zero

    if (!MAKE_HEADER(takePath, rate, static_cast<uint32_t>(channels), static_cast<uint32_t>(bits),
                     planned))
        return -1;  // MAKE_HEADER has said why
    audio::FileGuard take;
    take.file = fopen(takePath, "r+");
    if (take.file == nullptr) {
        printf("Unable to open %s\n", takePath);
        return -1;
    }
    // Unbuffered: every block goes to the file with its own write, so a failed write is
    // seen at once and its count tells exactly how many bytes reached the file.
    setvbuf(take.file, nullptr, _IONBF, 0);

    audio::PcmGuard pcm;
    int rc = snd_pcm_open(&pcm.pcm, device, SND_PCM_STREAM_CAPTURE, 0);
    if (rc < 0) {
        pcm.pcm = nullptr;
        fprintf(stderr, "unable to open pcm record device: %s\n", snd_strerror(rc));
        return -1;
    }

    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);  // zero-filled
    snd_pcm_hw_params_any(pcm.pcm, params);
    snd_pcm_hw_params_set_access(pcm.pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    rc = snd_pcm_hw_params_set_format(pcm.pcm, params,
                                      width == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE);
    if (rc < 0) {
        fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(rc));
        return -1;
    }
    // Two channels always, also for mono: channel 2 is read and then ignored. The value
    // the period request leaves in `period` is the block size for the whole run.
    snd_pcm_uframes_t period = kRecordPeriodFrames;
    audio::RequestStereoStream(pcm.pcm, params, rate, &period, kRecordBufferFrames);
    rc = snd_pcm_hw_params(pcm.pcm, params);

    // Read back whatever the install left; a value that cannot be read shows as 0.
    snd_pcm_uframes_t backBuffer = 0;
    snd_pcm_uframes_t backPeriod = 0;
    unsigned int backChannels = 0;
    unsigned int backRate = 0;
    if (snd_pcm_hw_params_get_buffer_size(params, &backBuffer) < 0)
        backBuffer = 0;
    if (snd_pcm_hw_params_get_period_size(params, &backPeriod, nullptr) < 0)
        backPeriod = 0;
    if (snd_pcm_hw_params_get_channels(params, &backChannels) < 0)
        backChannels = 0;
    if (snd_pcm_hw_params_get_rate(params, &backRate, nullptr) < 0)
        backRate = 0;
    if (rc < 0) {
        printf("Could not set record hardware parameters: %s\n", snd_strerror(rc));
        printf("Returned Driver Parameters:\n");
        printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
        printf("Record\t%i\t%i\t%i\t%i\n", ReportValue(backPeriod), ReportValue(backBuffer),
               ReportValue(backRate), ReportValue(backChannels));
        printf("-------------------------\n");
        return -1;
    }
    // A device running at another rate would give a take that plays at the wrong speed.
    if (backRate != 0 && backRate != rate) {
        printf("Cannot record at %u Hz: the capture device runs at %u Hz\n", rate, backRate);
        return -1;
    }
    // From here the requested rate is used for the header and all timing. The read goes
    // into two planes: a device that took more channels would write past them (one that
    // took a single channel fills the first plane only).
    if (backChannels > 2) {
        fprintf(stderr, "Unable to record through %u device channels\n", backChannels);
        return -1;
    }

    if (period == 0 || period > audio::kMaxPeriodFrames) {
        printf("Cannot record with a period of %lu frames\n", static_cast<unsigned long>(period));
        return -1;
    }
    const int32_t block = static_cast<int32_t>(period);
    if (TakeFileEnd(0, planned, block, frameBytes) > kMaxTakeFileBytes) {
        ShowTakeTooLong(duration, rate, frameBytes, static_cast<uint32_t>(period));
        return -1;
    }

    // Buffers for the whole run: the capture area holds the channel 1 plane and then the
    // channel 2 plane; the interleave area one stereo block in frame order.
    const size_t planeBytes = static_cast<size_t>(block) * width;
    audio::BufferGuard captureArea;
    audio::BufferGuard interleaveArea;
    captureArea.bytes = static_cast<uint8_t*>(calloc(2 * planeBytes, 1));
    interleaveArea.bytes = static_cast<uint8_t*>(calloc(2 * planeBytes, 1));
    if (captureArea.bytes == nullptr || interleaveArea.bytes == nullptr) {
        printf("Out of memory for recording buffers\n");
        return -1;
    }
    uint8_t* const plane1 = captureArea.bytes;
    uint8_t* const plane2 = captureArea.bytes + planeBytes;
    const uint8_t* const blockBytes = channels == 1 ? plane1 : interleaveArea.bytes;
    const size_t blockSize = static_cast<size_t>(block) * frameBytes;

    int32_t total = 0;      // sample-data bytes of the kept takes
    int32_t origin = 0;     // frame where the current take begins
    float lastStart = -duration;
    float step = duration;  // seconds from the last take's start to the next one's
    bool deviceFailed = false;

    for (;;) {
        // Take start.
        bool played = false;
        int32_t peak1 = 0;
        int32_t peak2 = 0;
        snd_pcm_prepare(pcm.pcm);  // drops the overrun the stream ran into while the menu waited
        printf("Recording...\n");
        int32_t takeFrames = 0;
        // Frames of this take that reached the file: all of them unless a write failed.
        int32_t writtenFrames = 0;
        int32_t handedFrames = 0;  // frames of this take handed to the disk
        const off_t takeAt = static_cast<off_t>(kHeaderBytes) + static_cast<off_t>(origin) * frameBytes;
        TakeEnd end = kTakeComplete;

        while (takeFrames < planned) {
            if (StopPending()) {
                end = kTakeStopped;  // the take is the whole blocks recorded so far
                break;
            }
            snd_pcm_wait(pcm.pcm, 1);
            int error = 0;
            const BlockResult got = ReadBlock(pcm.pcm, plane1, plane2, period, width, &error);
            if (got == kBlockStopped) {
                end = kTakeStopped;
                break;
            }
            if (got == kBlockFailed) {
                if (takeFrames > 0)
                    printf("\n");  // ends the progress line
                printf("Recording stopped: the capture device failed: %s\n", snd_strerror(error));
                end = kTakeFailed;
                deviceFailed = true;
                break;
            }
            // The block is written whole, also after an overrun.
            if (channels == 2)
                Interleave(static_cast<uint32_t>(block), width, plane1, plane2, interleaveArea.bytes);
            const off_t position = static_cast<off_t>(kHeaderBytes) +
                                   static_cast<off_t>(origin + takeFrames) * frameBytes;
            size_t put = 0;
            if (fseeko(take.file, position, SEEK_SET) == 0)
                put = fwrite(blockBytes, 1, blockSize, take.file);
            if (put == blockSize && fflush(take.file) != 0)
                put = 0;
            const int32_t putFrames = static_cast<int32_t>(put / frameBytes);
            CheckPeak(putFrames, &peak1, plane1, width);
            if (channels == 2)
                CheckPeak(putFrames, &peak2, plane2, width);
            writtenFrames = takeFrames + putFrames;
            if (put != blockSize) {
                // The take ends at the last whole frame that reached the file.
                const int error = errno;
                if (takeFrames > 0)
                    printf("\n");  // ends the progress line
                printf("Write to %s failed: %s\n", takePath, strerror(error));
                end = kTakeFailed;
                break;
            }
            printf("\rRemaining %.2f sec",
                   static_cast<float>(planned - takeFrames) / static_cast<float>(rate));
            takeFrames += block;
            fflush(stdout);
            if (static_cast<int64_t>(takeFrames) - handedFrames >= static_cast<int64_t>(rate)) {
                HandToDisk(take.file, takeAt + static_cast<off_t>(handedFrames) * frameBytes,
                           takeAt + static_cast<off_t>(takeFrames) * frameBytes);
                handedFrames = takeFrames;
            }
        }
        if (end != kTakeFailed)
            writtenFrames = takeFrames;
        HandToDisk(take.file, takeAt + static_cast<off_t>(handedFrames) * frameBytes,
                   takeAt + static_cast<off_t>(writtenFrames) * frameBytes);
        // A Ctrl-C during the take is used up by it, also one that came with its last
        // block; keys typed meanwhile are not taken as menu answers.
        ClearStopKey();
        DropTypedAhead();
        // Frames of this take that "2" can keep: the planned length, or the whole blocks
        // recorded when the take ended early.
        const int32_t keepable = writtenFrames < planned ? writtenFrames : planned;

        bool nextTake = false;
        while (!nextTake) {
            // Report and menu.
            printf("\n\n");
            ShowPeaks(1, peak1, static_cast<int32_t>(width));
            if (channels == 2)
                ShowPeaks(2, peak2, static_cast<int32_t>(width));
            if (!played)
                lastStart += step;
            ShowTakeMenu();

            for (;;) {
                char answer[kAnswerBytes] = {};
                // End of input keeps the take, as "1" does: nothing recorded is lost.
                const bool haveWord = ReadWord(answer, sizeof answer) != 0;
                if (!haveWord || strcmp(answer, "1") == 0 || strcmp(answer, "4") == 0) {
                    if (!haveWord || answer[0] == '1')
                        total += writtenFrames * static_cast<int32_t>(frameBytes);
                    fflush(take.file);
                    if (fclose(take.file) != 0)
                        printf("Write to %s failed: %s\n", takePath, strerror(errno));
                    take.file = nullptr;
                    CloseCapture(&pcm, deviceFailed);
                    return total;
                }
                if (strcmp(answer, "2") == 0) {
                    // Another take goes right behind the kept part of this one: its
                    // planned length, or the whole blocks recorded before the stop key.
                    // Refused when a failure cut this take short or when the next take
                    // would carry the file past 2 GB. The menu is shown again and
                    // nothing changes.
                    if (end != kTakeStopped && keepable < planned) {
                        printf("Cannot continue: the last take was not written in full\n");
                        ShowTakeMenu();
                        continue;
                    }
                    if (planned > 0 &&
                        TakeFileEnd(static_cast<int64_t>(origin) + keepable, planned, block,
                                    frameBytes) > kMaxTakeFileBytes) {
                        printf("Cannot continue: the recording would pass 2 GB\n");
                        ShowTakeMenu();
                        continue;
                    }
                    if (keepable > 0) {
                        total += keepable * static_cast<int32_t>(frameBytes);
                        origin += keepable;
                    }
                    step = keepable == planned
                               ? duration
                               : static_cast<float>(keepable) / static_cast<float>(rate);
                    nextTake = true;
                    break;
                }
                if (strcmp(answer, "3") == 0) {
                    lastStart -= step;  // the report after the new take restores it
                    nextTake = true;
                    break;
                }
                // "5" and every other word play the last take (only the part that reached
                // the file), then the report is shown again without recording.
                const float length = end != kTakeComplete && writtenFrames < planned
                                         ? static_cast<float>(writtenFrames) / static_cast<float>(rate)
                                         : duration;
                fflush(take.file);
                PLAY(takePath, device, lastStart, lastStart + length);
                played = true;
                break;
            }
        }
    }
}

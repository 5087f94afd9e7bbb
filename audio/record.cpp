// RECORD: one recording run. Takes of a fixed length are captured block by block into the
// take file (take.cpp); after each take the peaks are reported and the take menu decides
// whether the take is kept, continued, redone, discarded or played.
//
// Two threads while a run lasts: the capture thread (the caller's) runs the takes; the
// disk ring's writer thread (disk_ring.cpp) writes their blocks to the take file.
#include "audio/audio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/capture.h"
#include "audio/disk_ring.h"
#include "audio/handles.h"
#include "audio/record_run.h"
#include "audio/take_limit.h"
#include "term/term.h"
#include "wav/file_io.h"
#include "wav/wav.h"

namespace audio {

namespace {

constexpr uint32_t kAnswerBytes = 16;  // longer answers are cut; only "1" to "4" matter

void ShowTakeMenu()
{
    printf("\n1 = save recording and return\n");
    printf("2 = continue recording\n");
    printf("3 = redo last take\n");
    printf("4 = delete last take and return\n");
    printf("5 = play last take\n");
}

// The arguments, checked before anything is touched, and the run's format and take
// length from them.
int CheckRequest(uint32_t rate, float duration, int32_t channels, int32_t bits, bool append,
                 RecordRun* run)
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
    if (!(product < 2147483648.0f) || !TakeFits(append, 0, FloatToInt32(product), 1, frameBytes)) {
        ShowTakeTooLong(duration, rate, append ? frameBytes : 0,
                        static_cast<uint32_t>(kRecordPeriodFrames));
        return 0;
    }
    run->append = append;
    run->planned = FloatToInt32(product);  // in range, truncated toward zero
    run->rate = rate;
    run->duration = duration;
    run->channels = channels;
    run->width = static_cast<uint32_t>(bits) / 8;
    run->frameBytes = frameBytes;
    return 1;
}

// The buffers of a run: the capture area (the channel 1 plane, then the channel 2 plane),
// the frames of a device read interleaved, the ring's slots, and the writer's block of
// zeros and plane.
struct RunBuffers {
    BufferGuard capture;
    BufferGuard mixed;
    BufferGuard ring;
    BufferGuard writer;
};

// Sets up the ring for the run and allocates the buffers of the whole run.
int AllocateBlocks(RecordRun* run, DiskRing* ring, RunBuffers* buffers)
{
    const size_t planeBytes = static_cast<size_t>(run->block) * run->width;
    ring->fds[0] = run->fd;
    ring->takePath = run->takePath;
    ring->bits = run->width * 8;
    ring->partFrames = static_cast<int32_t>(PartFrames(run->frameBytes));
    ring->frameBytes = run->frameBytes;
    ring->width = run->width;
    ring->channels = run->channels;
    ring->block = run->block;
    ring->rate = run->rate;
    buffers->capture.bytes = static_cast<uint8_t*>(calloc(2 * planeBytes, 1));
    if (run->reader.interleaved) {
        buffers->mixed.bytes = static_cast<uint8_t*>(calloc(2 * planeBytes, 1));
        run->reader.mixed = buffers->mixed.bytes;
    }
    if (buffers->capture.bytes == nullptr || (run->reader.interleaved && run->reader.mixed == nullptr) ||
        !AllocateRing(ring, &buffers->ring, &buffers->writer)) {
        printf("Out of memory for recording buffers\n");
        return 0;
    }
    run->plane1 = buffers->capture.bytes;
    run->plane2 = buffers->capture.bytes + planeBytes;
    run->ring = ring;
    return 1;
}

// Opens the capture device for the run, checks that a take fits in the take file, and
// sets up the ring and the buffers.
int SetUpRun(RecordRun* run, PcmGuard* pcm, DiskRing* ring, RunBuffers* buffers)
{
    if (!SetUpCapture(pcm, run->device, run->rate, run->width, &run->period, &run->bufferFrames,
                      &run->reader))
        return 0;
    run->block = static_cast<int32_t>(run->period);
    if (!TakeFits(run->append, 0, run->planned, run->block, run->frameBytes)) {
        ShowTakeTooLong(run->duration, run->rate, run->append ? run->frameBytes : 0,
                        static_cast<uint32_t>(run->period));
        return 0;
    }
    if (run->bufferFrames == 0)
        run->bufferFrames = static_cast<int64_t>(kRecordBufferFrames);
    return AllocateBlocks(run, ring, buffers);
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
// would carry the file past 2 GB (appended to a file) or the take past 2^31 frames.
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
    if (run->planned > 0 && !TakeFits(run->append, static_cast<int64_t>(run->origin) + keepable,
                                       run->planned, run->block, run->frameBytes)) {
        printf(run->append ? "Cannot continue: the recording would pass 2 GB\n"
                           : "Cannot continue: the recording would pass 2^31 frames\n");
        ShowTakeMenu();
        return false;
    }
    if (keepable > 0) {
        run->total += static_cast<int64_t>(keepable) * run->frameBytes;
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
            run->total += static_cast<int64_t>(take.written) * run->frameBytes;
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
            if (run->deviceStalled) {
                printf("Cannot redo: the capture device does not answer\n");
                ShowTakeMenu();
                continue;
            }
            run->lastStart -= run->step;  // the report after the new take restores it
            return kNextTake;
        }
        return kPlayTake;
    }
}

// Plays the part of the last take that reached the file: from its start through the parts
// of the take file it runs through, each from the take's place in it.
void PlayTake(const RecordRun& run, const Take& take)
{
    const float length = take.end != kTakeComplete && take.written < run.planned
                             ? static_cast<float>(take.written) / static_cast<float>(run.rate)
                             : run.duration;
    const int64_t partFrames = PartFrames(run.frameBytes);
    const int64_t first = run.origin;
    const int64_t last = first + static_cast<int64_t>(run.rate * length);
    if (partFrames == 0 || last <= partFrames) {
        PLAY(run.takePath, run.device, run.lastStart, run.lastStart + length);
        return;
    }
    const float rate = static_cast<float>(run.rate);
    for (int64_t part = first / partFrames; part * partFrames < last && part < kMaxTakeParts; part++) {
        char name[kPartNameCap];
        if (!PartName(run.takePath, static_cast<uint32_t>(part), name, sizeof name))
            return;
        const int64_t from = first > part * partFrames ? first - part * partFrames : 0;
        const int64_t to = last - part * partFrames;
        if (PLAY(name, run.device, static_cast<float>(from) / rate, static_cast<float>(to) / rate) != 1)
            return;  // stopped, or failed
    }
}

// Takes, each with its report and the take menu, until an answer finishes the run.
void RunTakes(RecordRun* run, snd_pcm_t* pcm)
{
    for (;;) {
        Take last;
        RecordTake(run, pcm, &last);
        MenuAnswer answer = kPlayTake;
        for (bool played = false; answer == kPlayTake; played = true) {
            ReportTake(run, last, played);
            answer = AnswerTakeMenu(run, last);
            if (answer == kPlayTake)
                PlayTake(*run, last);
        }
        if (answer == kFinishRun)
            break;
    }
}

}  // namespace

}  // namespace audio

int32_t RECORD(const char* device, uint32_t rate, float duration, int32_t channels, int32_t bits,
               int32_t appendFlag, const char* takePath, int32_t* undecided, int64_t* keptBytes)
{
    if (undecided != nullptr)
        *undecided = 0;
    if (keptBytes != nullptr)
        *keptBytes = 0;
    // How the record command finishes is its own business; an append stays within 2 GB.
    audio::RecordRun run = {};
    if (!audio::CheckRequest(rate, duration, channels, bits, appendFlag != 0, &run))
        return -1;
    run.device = device;
    run.takePath = takePath;

    if (!MAKE_HEADER(takePath, rate, static_cast<uint32_t>(channels), static_cast<uint32_t>(bits),
                     run.planned))
        return -1;  // MAKE_HEADER has said why
    wavio::FdGuard take(OpenRegular(takePath, O_RDWR | O_NOFOLLOW));
    if (take.fd < 0) {
        printf("Unable to open %s\n", takePath);
        return -1;
    }
    // Every block goes to the file with one pwrite at its absolute position (from the
    // writer thread), so its count tells exactly how many bytes reached the file.
    run.fd = take.fd;

    audio::PcmGuard pcm;
    audio::DiskRing ring;
    audio::RunBuffers buffers;
    if (!audio::SetUpRun(&run, &pcm, &ring, &buffers))
        return -1;
    pthread_t writer;
    if (!audio::StartWriter(&ring, &writer))
        return -1;
    run.terminal = isatty(STDOUT_FILENO) != 0;
    run.lastStart = -duration;
    run.step = duration;

    audio::RunTakes(&run, pcm.pcm);
    audio::StopWriter(&ring, writer);
    if (!wavio::CloseChecked(take))
        audio::ShowWriteFailure(takePath, errno);
    audio::ClosePartFiles(&ring);
    if (run.deviceStalled)
        audio::AbandonStream(&pcm);
    else
        audio::CloseCapture(&pcm);
    if (undecided != nullptr)
        *undecided = run.undecided ? 1 : 0;
    if (keptBytes != nullptr)
        *keptBytes = run.total;
    // The byte count of a take within one file; one in parts is told through *keptBytes.
    return run.total > INT32_MAX ? INT32_MAX : static_cast<int32_t>(run.total);
}

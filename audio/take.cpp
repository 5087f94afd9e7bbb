// One take of a recording run: the capture loop. The caller's thread reads each block
// from the device, interleaves and meters it into the next slot of the disk ring and goes
// on; the ring's writer puts it in the take file. At the end of the take the loop waits
// until everything recorded is in the file.
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "audio/audio.h"
#include "audio/detached_take.h"
#include "audio/record_run.h"
#include "term/term.h"

namespace audio {

namespace {

// The capture loop's state within a take.
struct TakeLoop {
    int32_t length;    // frames of the take: its planned length in whole blocks
    int32_t shown;     // frames whose progress line has been shown
    bool dropping;     // the last block went to no slot
    int deviceError;   // the capture device's error, once it failed
};

// Until when a full ring is waited for: while the device's buffer can hold what arrives
// meanwhile (two periods kept spare), so that the wait costs no audio. On a device that
// keeps time this is at most the part of its buffer still free; a device that delivers
// faster than time (a file) waits for the disk, as it loses nothing by it. A buffer with
// no room to spare gives a time long past.
std::chrono::steady_clock::time_point RoomDeadline(const RecordRun& run)
{
    const int64_t spare = run.bufferFrames - 2 * static_cast<int64_t>(run.block);
    if (spare <= 0)
        return std::chrono::steady_clock::time_point{};
    return run.clock.startedHere +
           std::chrono::nanoseconds((run.clock.delivered + spare) * 1000000000 / run.rate);
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
    if (run->terminal || run->detached) {  // the samples as they are stored
        MeterBlock(&run->meter, 0, peak1, slot, static_cast<uint32_t>(frames), run->frameBytes);
        MeterBlock(&run->meter, 1, peak2, slot + run->width, static_cast<uint32_t>(frames),
                   run->frameBytes);
    }
    QueueSlot(run->ring, run->origin + take->frames, frames, peak1, peak2);
    *dropping = false;
    take->frames += frames;
}

// Counts the frames an overrun lost, within the take's length, as a dropout of its own:
// the writer fills them with zeros before the next block.
void KeepOverrun(RecordRun* run, Take* take, int64_t lost, TakeLoop* loop)
{
    ShowOverrun();
    run->drawn = {};  // the live line comes back below it at once
    const int32_t left = loop->length - take->frames;
    const int32_t gap = lost < left ? static_cast<int32_t>(lost) : left;
    take->dropouts++;
    take->silence += gap;
    take->frames += gap;
    loop->dropping = false;
}

// Records the next block: takes a slot of the ring for it (showing the progress of what
// the writer wrote meanwhile), reads it and keeps it. Returns false when the take ends
// here, with take->end saying why.
bool RecordBlock(RecordRun* run, snd_pcm_t* pcm, Take* take, TakeLoop* loop)
{
    WriterState seen;
    uint8_t* slot = NextSlot(run->ring, run->origin, RoomDeadline(*run), &seen);
    ShowProgress(run, seen.written, false, false, &loop->shown);
    if (seen.failed) {
        take->end = kTakeFailed;
        return false;
    }
    // The blocking read below waits for the block itself, so the result of this wait is
    // not needed; its timeout is 1 ms so that a device that never signals cannot hold up
    // the loop or the stop key.
    snd_pcm_wait(pcm, 1);
    // Mono blocks are read straight into their slot; a block no slot takes is read into
    // the capture area all the same, to keep up with the device.
    uint8_t* plane1 = run->channels == 1 && slot != nullptr ? slot : run->plane1;
    snd_pcm_uframes_t got = 0;
    int64_t lost = 0;
    const BlockResult result = ReadBlock(pcm, run->reader, plane1, run->plane2, run->period,
                                         run->rate, &run->clock, &got, &lost, &loop->deviceError);
    if (result == kBlockStopped) {
        take->end = kTakeStopped;
        return false;
    }
    if (result == kBlockFailed) {
        take->end = kTakeFailed;
        run->deviceFailed = true;
        run->deviceStalled = loop->deviceError == kStreamStalled;
        return false;
    }
    const int32_t room = loop->length - take->frames;
    const int32_t frames = static_cast<int64_t>(got) < room ? static_cast<int32_t>(got) : room;
    KeepBlock(run, take, slot, frames, &loop->dropping);
    if (result == kBlockOverrun)
        KeepOverrun(run, take, lost, loop);
    return true;
}

// Ends the take at frame `end` of the file and waits for the writer to put everything
// before it in the file, showing the progress lines of the blocks it writes meanwhile. On
// a terminal, a wait of more than half a second says "Writing...". Leaves the frames in
// the file, the peaks and a write failure in the take.
void FinishTake(RecordRun* run, Take* take, int32_t* shown)
{
    EndTake(run->ring, run->origin + take->frames);
    const auto since = std::chrono::steady_clock::now();
    bool quiet = false;
    WriterState seen;
    for (;;) {
        ReadWriter(run->ring, run->origin, &seen);
        ShowProgress(run, seen.written, seen.drained && !seen.failed, quiet, shown);
        if (seen.drained)
            break;
        if (!quiet && run->terminal &&
            std::chrono::steady_clock::now() - since > std::chrono::milliseconds(500)) {
            if (ConsoleHasRoom()) {
                printf("\nWriting...");
                fflush(stdout);
            }
            quiet = true;
        }
        AwaitWriter(run->ring);
    }
    take->written = seen.written;
    take->peak1 = seen.peak1;
    take->peak2 = seen.peak2;
    take->clips1 = run->meter.channel[0].clips;
    take->clips2 = run->meter.channel[1].clips;
    take->writeError = seen.failed ? seen.error : 0;
    take->failedPart = seen.failedPart;
    if (seen.failed)
        take->end = kTakeFailed;
}

// The lines of a take that the device or the take file ended.
void ShowTakeFailure(const RecordRun& run, const Take& take, int32_t shown, int deviceError)
{
    if (shown > 0)
        printf("\n");  // ends the progress line
    if (run.deviceFailed)
        printf("Recording stopped: the capture device failed: %s\n", StreamErrorText(deviceError));
    char part[kPartNameCap];
    if (take.writeError != 0 &&
        PartName(run.takePath, static_cast<uint32_t>(take.failedPart), part, sizeof part))
        ShowWriteFailure(part, take.writeError);
}

}  // namespace

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
    TakeLoop loop = {static_cast<int32_t>(WholeBlockFrames(run->planned, run->block)), 0, false,
                     0};
    // A hangup from here on is no stop: the take goes on without its terminal.
    SetTakeRecording(1);
    DetachedTake away;
    while (take->frames < loop.length) {
        if (StopPending()) {
            take->end = kTakeStopped;  // the take is the whole blocks recorded so far
            break;
        }
        if (HangupSeen() && !away.on)
            DetachTake(run, *take, &away);
        if (away.on)
            ServeDetachedTake(run, *take, &away);
        if (!RecordBlock(run, pcm, take, &loop))
            break;
    }
    EndDetachedTake(&away);
    FinishTake(run, take, &loop.shown);
    SetTakeRecording(0);
    if (take->end == kTakeFailed)
        ShowTakeFailure(*run, *take, loop.shown, loop.deviceError);
    // A Ctrl-C during the take is used up by it, also one that came with its last block;
    // keys typed meanwhile are not taken as menu answers.
    ClearStopKey();
    DropTypedAhead();
}

}  // namespace audio

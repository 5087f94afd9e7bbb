// What the files of a recording run share: the run (fixed for it, and carried over from
// take to take) and one take as it ended. RECORD and the take menu (record.cpp) run the
// takes (take.cpp), which show their progress (progress.cpp), read the capture stream
// (capture.h) and hand the blocks to the disk ring (disk_ring.h).
#pragma once

#include <alsa/asoundlib.h>

#include <chrono>
#include <climits>
#include <cstdint>

#include "audio/audio.h"
#include "audio/capture.h"
#include "audio/disk_ring.h"
#include "wav/wav.h"

namespace audio {

// A take appended to a file must keep it within INT32_MAX bytes, header included; one for
// a new file goes on in parts (see PartFrames) and its frames stay within INT32_MAX.
constexpr int64_t kMaxTakeFileBytes = INT32_MAX;
constexpr int64_t kMaxTakeFrames = INT32_MAX;

// `frames` rounded up to whole periods (frames >= 0, period > 0).
inline int64_t WholeBlockFrames(int64_t frames, int64_t period)
{
    return (frames + period - 1) / period * period;
}

// Bytes of the take file when a take of `planned` frames, recorded in whole periods,
// begins at frame `origin`.
inline int64_t TakeFileEnd(int64_t origin, int64_t planned, int64_t period, int64_t frameBytes)
{
    return static_cast<int64_t>(kHeaderBytes) +
           (origin + WholeBlockFrames(planned, period)) * frameBytes;
}

// Whether a take of `planned` frames at `origin` fits: within 2 GB for an append, within
// 2^31 frames for a take in parts.
inline bool TakeFits(bool append, int64_t origin, int64_t planned, int64_t period,
                     int64_t frameBytes)
{
    if (append)
        return TakeFileEnd(origin, planned, period, frameBytes) <= kMaxTakeFileBytes;
    return origin + WholeBlockFrames(planned, period) <= kMaxTakeFrames;
}

// How a take's loop ended: at its planned length, by the stop key (or the end of the
// session), or by a capture device or a take file that failed.
enum TakeEnd { kTakeComplete, kTakeStopped, kTakeFailed };

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
    CaptureReader reader;       // how the device is read into them
    DiskRing* ring;             // the blocks on their way to the take file
    CaptureClock clock;
    bool append;                // the take goes to the end of a file: within 2 GB
    int64_t total;              // sample-data bytes of the kept takes, across the parts
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
    bool deviceStalled;  // it stopped answering: not touched again
    bool undecided;  // the take menu's read ended without an answer
    // A person at a terminal sees the live meter instead of the plain progress line, and
    // the clips after each take.
    bool terminal;
    LevelMeter meter;
    int64_t diskBytes;  // room on the disk when the take started; -1 unknown
    // The terminal hung up during a take: the meter runs for a later copy to see.
    bool detached;
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
    int32_t failedPart = 0; // the part of the take file it went to
};

// Records one take of run->planned frames behind run->origin, block by block, until it
// is complete, the stop key ends it, or the device or the take file fails. A complete take
// ends at whole blocks; the frames a dropout lost (an overrun, or blocks the full ring
// could not take) are counted and written as zeros at their place.
void RecordTake(RecordRun* run, snd_pcm_t* pcm, Take* take);

// Shows the progress line of each block that has reached the file since the last one
// shown (*shown: the take's frames shown so far, in whole blocks): of a block whole, or
// with `rest` also of the part of a block at the end of the take. A line for which
// standard output has no room is left out. On a terminal the live line stands for them.
void ShowProgress(RecordRun* run, int32_t written, bool rest, bool quiet, int32_t* shown);
// Says an overrun on a line of its own, also in the middle of a progress line.
void ShowOverrun();

}  // namespace audio

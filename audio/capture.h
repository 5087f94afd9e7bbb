// The capture stream of a recording run: opened once for the run, read block by block
// into two planes, and started again after an overrun, with the frames the device dropped
// measured by its clock.
#pragma once

#include <alsa/asoundlib.h>

#include <chrono>
#include <cstdint>

#include "audio/handles.h"

namespace audio {

constexpr snd_pcm_uframes_t kRecordPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kRecordBufferFrames = 32768;

enum BlockResult { kBlockRead, kBlockOverrun, kBlockStopped, kBlockFailed };

// When the capture stream last started, by the device's own time stamp (the trigger
// time) and by the steady clock, and the frames it has delivered since.
struct CaptureClock {
    snd_htimestamp_t started;
    bool stamped;  // the device gave a trigger time
    std::chrono::steady_clock::time_point startedHere;
    int64_t delivered;
    StreamWatch watch;  // a device that stops delivering fails the take
};

// Opens the capture device for the run: two channels always, also for mono (channel 2 is
// read and then ignored). Leaves the block size for the whole run in *period and the
// device's buffer in *bufferFrames (0 when it cannot be read), and how the stream is read
// in *reader (its interleaved area is the caller's to allocate, 2 * period * width bytes).
int SetUpCapture(PcmGuard* pcm, const char* device, uint32_t rate, uint32_t width,
                 snd_pcm_uframes_t* period, int64_t* bufferFrames, CaptureReader* reader);

// Starts the prepared stream and notes when it started.
void StartCapture(snd_pcm_t* pcm, CaptureClock* clock);

// Reads one block of `period` frames into the two planes. A read cut short (by a signal,
// or a device that delivers less than a period at a time) is completed. An overrun ends
// the block at the frames read before it (*got): its rest is never filled with old
// samples; the stream starts again and *lost holds the frames the device dropped. A
// suspended stream is brought back (counted as an overrun when it had to start again);
// the stop key ends the read before the block begins (kBlockStopped, nothing read), never
// inside it; any other error is the device failing, left in *error, and so is a device
// that delivers nothing for kStallMillis (kStreamStalled).
BlockResult ReadBlock(snd_pcm_t* pcm, const CaptureReader& reader, uint8_t* plane1,
                      uint8_t* plane2, snd_pcm_uframes_t period, uint32_t rate,
                      CaptureClock* clock, snd_pcm_uframes_t* got, int64_t* lost, int* error);

// Ends the capture stream. It is dropped, never drained: the take is what was read, and
// draining a capture stream through a sound server's plugin waits for frames that nobody
// will read.
void CloseCapture(PcmGuard* pcm);

}  // namespace audio

// The capture stream of a recording run (see capture.h).
#include "audio/capture.h"

#include <cerrno>
#include <cstdio>

#include "term/term.h"

namespace audio {

namespace {

// Starts the stream again after it dropped frames (an overrun, or a suspend that could
// not be resumed; the recovery has prepared it) and returns how many it dropped: the
// device's time from the previous start to this one, less the frames it delivered in
// between. Only start times are used: the time stamp of the overrun itself is not
// reliable on plugins. -1 when the device's time ran on more than a second past the time
// here: its clock is no longer to be trusted (a sound server that went away).
int64_t RestartCapture(snd_pcm_t* pcm, CaptureClock* clock, uint32_t rate)
{
    const CaptureClock before = *clock;
    StartCapture(pcm, clock);
    clock->watch = before.watch;  // a stream that overruns and never delivers stalls
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
    const int64_t here = std::chrono::duration_cast<std::chrono::milliseconds>(
                             clock->startedHere - before.startedHere)
                             .count();
    if (nanos / 1000000 > here + 1000)
        return -1;
    return frames > before.delivered ? frames - before.delivered : 0;
}

}  // namespace

int SetUpCapture(PcmGuard* pcm, const char* device, uint32_t rate, uint32_t width,
                 snd_pcm_uframes_t* period, int64_t* bufferFrames, CaptureReader* reader)
{
    StreamSettings got;
    if (!OpenCapture(pcm, device, rate, width, kRecordPeriodFrames, kRecordBufferFrames, &got))
        return 0;
    // From here the requested rate is used for the header and all timing. The read goes
    // into two planes: a device that took more channels would write past them (one that
    // took a single channel fills the first plane only).
    if (got.channels > 2) {
        fprintf(stderr, "Unable to record through %u device channels\n", got.channels);
        return 0;
    }
    // The value the period request left is the block size for the whole run.
    *period = got.periodAsked;
    *bufferFrames = got.bufferRead ? static_cast<int64_t>(got.buffer) : 0;
    reader->interleaved = got.interleaved;
    reader->channels = got.channels == 1 ? 1 : 2;
    reader->width = width;
    reader->mixed = nullptr;
    // Start times on the monotonic clock, where the device allows it: they measure the
    // frames an overrun lost, which a change of the wall clock must not falsify.
    snd_pcm_sw_params_t* software = nullptr;
    snd_pcm_sw_params_alloca(&software);
    if (snd_pcm_sw_params_current(pcm->pcm, software) == 0 &&
        snd_pcm_sw_params_set_tstamp_type(pcm->pcm, software, SND_PCM_TSTAMP_TYPE_MONOTONIC) == 0)
        snd_pcm_sw_params(pcm->pcm, software);
    if (*period == 0 || *period > kMaxPeriodFrames) {
        printf("Cannot record with a period of %lu frames\n", static_cast<unsigned long>(*period));
        return 0;
    }
    return 1;
}

void StartCapture(snd_pcm_t* pcm, CaptureClock* clock)
{
    snd_pcm_start(pcm);
    clock->startedHere = std::chrono::steady_clock::now();
    clock->delivered = 0;
    StartWatch(&clock->watch);
    snd_pcm_status_t* status = nullptr;
    snd_pcm_status_alloca(&status);
    clock->stamped = false;
    if (snd_pcm_status(pcm, status) == 0) {
        snd_pcm_status_get_trigger_htstamp(status, &clock->started);
        clock->stamped = clock->started.tv_sec != 0 || clock->started.tv_nsec != 0;
    }
}

BlockResult ReadBlock(snd_pcm_t* pcm, const CaptureReader& reader, uint8_t* plane1,
                      uint8_t* plane2, snd_pcm_uframes_t period, uint32_t rate,
                      CaptureClock* clock, snd_pcm_uframes_t* got, int64_t* lost, int* error)
{
    snd_pcm_uframes_t done = 0;
    *got = 0;
    *lost = 0;
    while (done < period) {
        const snd_pcm_sframes_t moved = ReadPlanes(pcm, reader, plane1, plane2, done, period - done);
        if (moved > 0) {
            done += static_cast<snd_pcm_uframes_t>(moved);
            clock->delivered += moved;
            StreamMoved(&clock->watch);
        } else if (moved == -EPIPE || moved == -ESTRPIPE) {
            // A stream that had to be prepared starts again, and the time it stood still
            // counts as dropped frames; a resumed one goes on reading.
            const int recovered = RecoverStream(pcm, moved);
            if (recovered < 0) {
                *got = done;
                *error = recovered;
                return kBlockFailed;
            }
            if (recovered == 1) {
                *got = done;
                *lost = RestartCapture(pcm, clock, rate);
                // A stream that overruns again and again without a frame in between, or
                // whose time leaps, has lost its device.
                if (*lost < 0 || StreamXrun(&clock->watch)) {
                    *lost = 0;
                    *error = -EIO;
                    return kBlockFailed;
                }
                return kBlockOverrun;
            }
        } else if (moved == -EAGAIN || moved == -EINTR || moved == 0) {
            if (StreamStalled(clock->watch)) {
                *got = done;
                *error = kStreamStalled;
                return kBlockFailed;
            }
            // The stop key ends a take between blocks; a block begun is completed, so that
            // no frame read from the device is lost between this take and the next.
            if (done == 0 && StopPending())
                return kBlockStopped;
            if (moved != -EINTR)
                WaitForStream(pcm);
        } else {
            *error = static_cast<int>(moved);
            return kBlockFailed;
        }
    }
    *got = done;
    return kBlockRead;
}

void CloseCapture(PcmGuard* pcm)
{
    snd_pcm_drop(pcm->pcm);
    snd_pcm_close(pcm->pcm);
    pcm->pcm = nullptr;
}

}  // namespace audio

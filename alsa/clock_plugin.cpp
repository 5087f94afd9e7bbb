// ALSA PCM plugin "takeboxclock": a null device that keeps real time. Capture delivers
// silence and playback discards what it is given, like "null", but at the stream's rate:
// the hardware position follows CLOCK_MONOTONIC from the start of the stream, and a
// timerfd that expires once a period is the poll descriptor, so a blocking read, write or
// wait takes as long as the audio it moves. A reader that falls a whole buffer behind the
// clock gets an overrun (-EPIPE), a writer that the clock overtakes an underrun; after a
// prepare the stream starts again. Built as libasound_module_pcm_takeboxclock.so:
//   pcm_type.takeboxclock { lib "<path of this module>" }
//   pcm.x { type takeboxclock }
// Options for test devices:
//   rate N        the only rate the device accepts (a request for any other is granted N)
//   fail_after N  after N frames have moved (since the device was opened), every further
//                 transfer fails with -ENODEV and the stream stays disconnected, as when a
//                 USB interface is unplugged
//   signal index  capture delivers, instead of silence, frames that each carry their index
//                 in device time since the device was opened: the clock's frames count on
//                 across every prepare and restart, so a reader that lost or repeated frames
//                 shows exactly which. Channel c carries bits 16c to 16c + 15 of the index in
//                 the top 16 bits of its sample, the bits below them 0, in S16_LE, S24_3LE,
//                 S24_LE and S32_LE alike (other formats: silence): any conversion between
//                 these formats keeps the index whole.
// Options that make it refuse what real interfaces refuse:
//   access A      interleaved or noninterleaved: the only access it takes
//   formats "F G" the only sample formats it takes (ALSA's names, such as S32_LE)
//   channels N    the only channel count it takes (without it: 1 or 2)
#include "clock_stream.h"

namespace clock_module {

namespace {

// Frames of `rate` between two times; 0 when `to` is not later than `from`.
uint64_t FramesBetween(const struct timespec& from, const struct timespec& to, uint64_t rate)
{
    int64_t sec = static_cast<int64_t>(to.tv_sec) - static_cast<int64_t>(from.tv_sec);
    int64_t nsec = static_cast<int64_t>(to.tv_nsec) - static_cast<int64_t>(from.tv_nsec);
    if (nsec < 0) {
        nsec += static_cast<int64_t>(kNanosPerSecond);
        sec -= 1;
    }
    if (sec < 0)
        return 0;
    // Seconds and nanoseconds apart: no product overflows for centuries of audio.
    return static_cast<uint64_t>(sec) * rate + static_cast<uint64_t>(nsec) * rate / kNanosPerSecond;
}

// Frames the clock has passed since the start; 0 when the stream is not running.
uint64_t ElapsedFrames(const ClockStream* clock)
{
    if (!clock->running)
        return 0;
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return FramesBetween(clock->start, now, clock->io.rate);
}

// Bytes of a sample, and where its top 16 bits start, in the formats the index signal uses.
bool SampleLayout(snd_pcm_format_t format, unsigned int* bytes, unsigned int* top)
{
    switch (format) {
    case SND_PCM_FORMAT_S16_LE:
        *bytes = 2;
        *top = 0;
        return true;
    case SND_PCM_FORMAT_S24_3LE:
        *bytes = 3;
        *top = 1;
        return true;
    case SND_PCM_FORMAT_S24_LE:  // 24 bits in the low three bytes of four
        *bytes = 4;
        *top = 1;
        return true;
    case SND_PCM_FORMAT_S32_LE:
        *bytes = 4;
        *top = 2;
        return true;
    default:
        return false;
    }
}

// Writes the frame indices `first` onwards into `frames` frames of the areas from `offset`:
// channel c carries bits 16c to 16c + 15 of the index in the top 16 bits of its sample.
void WriteIndices(const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                  unsigned int channels, snd_pcm_uframes_t frames, unsigned int bytes,
                  unsigned int top, uint64_t first)
{
    for (unsigned int c = 0; c < channels; c++) {
        const snd_pcm_channel_area_t& area = areas[c];
        const unsigned int shift = c * 16;
        for (snd_pcm_uframes_t i = 0; i < frames; i++) {
            uint8_t* p = static_cast<uint8_t*>(area.addr) +
                         (area.first + (offset + i) * area.step) / 8;
            const uint64_t index = first + i;
            const uint64_t piece = shift < 64 ? (index >> shift) & 0xffffu : 0;
            memset(p, 0, bytes);
            p[top] = static_cast<uint8_t>(piece & 0xffu);
            p[top + 1] = static_cast<uint8_t>(piece >> 8);
        }
    }
}

// Brings applFrames up to the application's position, which wraps at the boundary.
void FollowAppl(ClockStream* clock)
{
    const snd_pcm_uframes_t appl = clock->io.appl_ptr;
    snd_pcm_uframes_t delta = appl - clock->lastAppl;
    if (appl < clock->lastAppl && clock->boundary > 0)
        delta = appl + (clock->boundary - clock->lastAppl);
    clock->applFrames += delta;
    clock->lastAppl = appl;
}

// Arms the timer to expire once a period from now on (period 0 disarms it). The interval
// is rounded up, so that at every expiry the clock has passed one more whole period.
void ArmTimer(ClockStream* clock, snd_pcm_uframes_t period)
{
    struct itimerspec wake;
    memset(&wake, 0, sizeof wake);
    if (period > 0 && clock->io.rate > 0) {
        const uint64_t rate = clock->io.rate;
        const uint64_t nanos = (static_cast<uint64_t>(period) * kNanosPerSecond + rate - 1) / rate;
        wake.it_interval.tv_sec = static_cast<time_t>(nanos / kNanosPerSecond);
        wake.it_interval.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
        wake.it_value = wake.it_interval;
    }
    timerfd_settime(clock->timer, 0, &wake, nullptr);
}

// The device is gone: every call from here on reports it. The timer fires at once and
// then every 10 ms, so that a wait on the stream, running or not, wakes to the error.
void Disconnect(ClockStream* clock)
{
    clock->failed = true;
    snd_pcm_ioplug_set_state(&clock->io, SND_PCM_STATE_DISCONNECTED);
    struct itimerspec wake;
    memset(&wake, 0, sizeof wake);
    wake.it_value.tv_nsec = 1;
    wake.it_interval.tv_nsec = 10000000;
    timerfd_settime(clock->timer, 0, &wake, nullptr);
}

int ClockStart(snd_pcm_ioplug_t* io)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    if (clock->failed)
        return -ENODEV;
    clock_gettime(CLOCK_MONOTONIC, &clock->start);
    clock->startIndex = FramesBetween(clock->opened, clock->start, io->rate);
    clock->running = true;
    ArmTimer(clock, io->period_size);
    return 0;
}

int ClockStop(snd_pcm_ioplug_t* io)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    clock->running = false;
    if (!clock->failed)
        ArmTimer(clock, 0);
    return 0;
}

// The position in the buffer where the clock stands, or -EPIPE once a reader is a buffer
// behind it or a writer's frames have all been played.
snd_pcm_sframes_t ClockPointer(snd_pcm_ioplug_t* io)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    const uint64_t buffer = io->buffer_size > 0 ? io->buffer_size : 1;
    if (clock->failed) {
        // A negative position would read as an overrun: the device stays disconnected
        // at the position it had, and every call reports -ENODEV from its state.
        snd_pcm_ioplug_set_state(io, SND_PCM_STATE_DISCONNECTED);
        return static_cast<snd_pcm_sframes_t>(clock->hwFrames % buffer);
    }
    if (!clock->running)
        return static_cast<snd_pcm_sframes_t>(clock->hwFrames % buffer);
    // A capture drain has nothing to wait for: ALSA stops the stream on this report.
    if (io->stream == SND_PCM_STREAM_CAPTURE && io->state == SND_PCM_STATE_DRAINING)
        return -EPIPE;
    FollowAppl(clock);
    const uint64_t elapsed = ElapsedFrames(clock);
    if (io->stream == SND_PCM_STREAM_CAPTURE) {
        if (elapsed >= clock->applFrames + buffer)
            return -EPIPE;  // the buffer is full and the clock goes on: frames are lost
    } else if (elapsed >= clock->applFrames) {
        return -EPIPE;  // everything written has been played (the end of a drain too)
    }
    clock->hwFrames = elapsed;
    return static_cast<snd_pcm_sframes_t>(elapsed % buffer);
}

// Capture fills the frames with silence (or their indices), playback drops them; both count
// them for fail_after.
snd_pcm_sframes_t ClockTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas,
                                snd_pcm_uframes_t offset, snd_pcm_uframes_t size)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    if (clock->failed) {
        Disconnect(clock);
        return -ENODEV;
    }
    FollowAppl(clock);
    snd_pcm_uframes_t frames = size;
    if (clock->failing) {
        const uint64_t moved = clock->earlierFrames + clock->applFrames;
        const uint64_t left = moved < clock->failAfter ? clock->failAfter - moved : 0;
        if (left == 0) {
            Disconnect(clock);
            return -ENODEV;
        }
        if (frames > left)
            frames = static_cast<snd_pcm_uframes_t>(left);
    }
    unsigned int bytes = 0;
    unsigned int top = 0;
    if (io->stream == SND_PCM_STREAM_CAPTURE && clock->indexSignal &&
        SampleLayout(io->format, &bytes, &top))
        WriteIndices(areas, offset, io->channels, frames, bytes, top,
                     clock->startIndex + clock->applFrames);
    else if (io->stream == SND_PCM_STREAM_CAPTURE)
        snd_pcm_areas_silence(areas, offset, io->channels, frames, io->format);
    return static_cast<snd_pcm_sframes_t>(frames);
}

int ClockSwParams(snd_pcm_ioplug_t* io, snd_pcm_sw_params_t* params)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    snd_pcm_uframes_t boundary = 0;
    if (snd_pcm_sw_params_get_boundary(params, &boundary) == 0)
        clock->boundary = boundary;
    return 0;
}

int ClockPrepare(snd_pcm_ioplug_t* io)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    if (clock->failed)
        return -ENODEV;
    // ALSA has set both positions back to 0.
    clock->running = false;
    ArmTimer(clock, 0);
    clock->earlierFrames += clock->applFrames;
    clock->applFrames = 0;
    clock->lastAppl = 0;
    clock->hwFrames = 0;
    return 0;
}

// Readable timer: a period has passed. The expirations are read away so that the next
// poll waits for the next period.
int ClockPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int nfds,
                     unsigned short* revents)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    *revents = 0;
    if (nfds < 1)
        return 0;
    if (pfd[0].revents & POLLIN) {
        uint64_t expirations = 0;
        if (read(clock->timer, &expirations, sizeof expirations) < 0 && errno != EAGAIN)
            return -errno;
        *revents = io->stream == SND_PCM_STREAM_PLAYBACK ? POLLOUT : POLLIN;
    }
    if (clock->failed)
        *revents = POLLERR;
    return 0;
}

int ClockClose(snd_pcm_ioplug_t* io)
{
    ClockStream* clock = static_cast<ClockStream*>(io->private_data);
    close(clock->timer);
    free(clock);
    return 0;
}

}  // namespace

const snd_pcm_ioplug_callback_t kClockCallbacks = {
    ClockStart,
    ClockStop,
    ClockPointer,
    ClockTransfer,
    ClockClose,
    nullptr,  // hw_params
    nullptr,  // hw_free
    ClockSwParams,
    ClockPrepare,
    nullptr,  // drain: ALSA waits on the poll descriptor until the pointer reports the end
    nullptr,  // pause
    nullptr,  // resume
    nullptr,  // poll_descriptors_count
    nullptr,  // poll_descriptors
    ClockPollRevents,
    nullptr,  // dump
    nullptr,  // delay
    nullptr,  // query_chmaps
    nullptr,  // get_chmap
    nullptr,  // set_chmap
};

}  // namespace clock_module

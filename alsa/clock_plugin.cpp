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
#ifndef PIC
#define PIC  // a shared module: the plain versioned-symbol form of SND_DLSYM_BUILD_VERSION
#endif
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

constexpr unsigned int kMinRate = 1000;
constexpr unsigned int kMaxRate = 768000;
constexpr uint64_t kNanosPerSecond = 1000000000u;

// What a device profile restricts: see the options at the top.
struct Profile {
    unsigned int access;       // the one access it takes; 0: every one
    unsigned int formats[8];   // the sample formats it takes
    unsigned int formatCount;  // 0: the usual ones
    unsigned int channels;     // the one channel count it takes; 0: 1 or 2
};

// One open stream. Frame counts are 64-bit and count from the last prepare; ALSA's own
// positions (appl_ptr, hw_ptr) wrap at the boundary, the position reported to it at the
// buffer size.
struct ClockStream {
    snd_pcm_ioplug_t io;
    int timer;                      // timerfd, CLOCK_MONOTONIC: the poll descriptor
    unsigned int onlyRate;          // 0: any rate
    bool failing;                   // fail_after given
    uint64_t failAfter;             // frames that move before the device fails
    bool failed;                    // the device is gone
    snd_pcm_uframes_t boundary;     // where appl_ptr wraps (from the software parameters)
    bool running;
    struct timespec start;          // CLOCK_MONOTONIC at the start of the stream
    uint64_t hwFrames;              // position last reported
    uint64_t applFrames;            // frames the application has moved since the prepare
    snd_pcm_uframes_t lastAppl;     // appl_ptr when applFrames was last brought up to date
    uint64_t earlierFrames;         // frames moved before the last prepare
    bool indexSignal;               // signal index given
    Profile profile;                // what it takes
    struct timespec opened;         // CLOCK_MONOTONIC when the device was opened
    uint64_t startIndex;            // the clock's frames from the opening to the start
};

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

// A whole number of at least 1 from an integer field; -EINVAL otherwise.
int ReadCount(snd_config_t* entry, const char* id, uint64_t* value)
{
    long number = 0;
    if (snd_config_get_integer(entry, &number) < 0 || number < 1) {
        SNDERR("Invalid value for %s", id);
        return -EINVAL;
    }
    *value = static_cast<uint64_t>(number);
    return 0;
}

// Reads a list of format names separated by spaces. Returns 0, or -EINVAL for an unknown
// name or more than the list holds.
int ReadFormats(const char* text, Profile* profile)
{
    char name[32];
    profile->formatCount = 0;
    for (const char* p = text; *p != '\0';) {
        while (*p == ' ')
            p++;
        size_t n = 0;
        while (p[n] != ' ' && p[n] != '\0')
            n++;
        if (n == 0)
            break;
        const size_t formatCap = sizeof profile->formats / sizeof profile->formats[0];
        if (n >= sizeof name || profile->formatCount >= formatCap)
            return -EINVAL;
        memcpy(name, p, n);
        name[n] = '\0';
        const snd_pcm_format_t format = snd_pcm_format_value(name);
        if (format == SND_PCM_FORMAT_UNKNOWN)
            return -EINVAL;
        profile->formats[profile->formatCount++] = static_cast<unsigned int>(format);
        p += n;
    }
    return profile->formatCount > 0 ? 0 : -EINVAL;
}

int SetConstraints(ClockStream* clock)
{
    static const unsigned int kAccess[] = {
        SND_PCM_ACCESS_RW_INTERLEAVED, SND_PCM_ACCESS_RW_NONINTERLEAVED,
        SND_PCM_ACCESS_MMAP_INTERLEAVED, SND_PCM_ACCESS_MMAP_NONINTERLEAVED,
    };
    static const unsigned int kFormats[] = {
        SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S24_LE,
        SND_PCM_FORMAT_S32_LE, SND_PCM_FORMAT_FLOAT_LE, SND_PCM_FORMAT_U8,
    };
    // One access: read and write, and the memory-mapped form ALSA's layers may use.
    const unsigned int interleaved[] = {SND_PCM_ACCESS_RW_INTERLEAVED,
                                        SND_PCM_ACCESS_MMAP_INTERLEAVED};
    const unsigned int planes[] = {SND_PCM_ACCESS_RW_NONINTERLEAVED,
                                   SND_PCM_ACCESS_MMAP_NONINTERLEAVED};
    const unsigned int* access = planes;
    unsigned int accessCount = 2;
    if (clock->profile.access == 0) {
        access = kAccess;
        accessCount = sizeof kAccess / sizeof kAccess[0];
    } else if (clock->profile.access == SND_PCM_ACCESS_RW_INTERLEAVED) {
        access = interleaved;
    }
    snd_pcm_ioplug_t* io = &clock->io;
    int rc = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_ACCESS, accessCount, access);
    if (rc >= 0 && clock->profile.formatCount > 0)
        rc = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT, clock->profile.formatCount,
                                           clock->profile.formats);
    else if (rc >= 0)
        rc = snd_pcm_ioplug_set_param_list(io, SND_PCM_IOPLUG_HW_FORMAT,
                                           sizeof kFormats / sizeof kFormats[0], kFormats);
    const unsigned int fixed = clock->profile.channels;
    if (rc >= 0)
        rc = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_CHANNELS, fixed > 0 ? fixed : 1,
                                             fixed > 0 ? fixed : 2);
    if (rc >= 0) {
        const unsigned int low = clock->onlyRate > 0 ? clock->onlyRate : kMinRate;
        const unsigned int high = clock->onlyRate > 0 ? clock->onlyRate : kMaxRate;
        rc = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_RATE, low, high);
    }
    if (rc >= 0)
        rc = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, 64, 1u << 22);
    if (rc >= 0)
        rc = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, 128, 1u << 24);
    if (rc >= 0)
        rc = snd_pcm_ioplug_set_param_minmax(io, SND_PCM_IOPLUG_HW_PERIODS, 2, 1024);
    return rc;
}

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(takeboxclock)
{
    (void)root;
    unsigned int onlyRate = 0;
    bool failing = false;
    uint64_t failAfter = 0;
    bool indexSignal = false;
    Profile profile = {};
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* entry = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(entry, &id) < 0 || strcmp(id, "comment") == 0 ||
            strcmp(id, "type") == 0 || strcmp(id, "hint") == 0)
            continue;  // the fields every PCM definition may have
        uint64_t value = 0;
        if (strcmp(id, "rate") == 0) {
            if (ReadCount(entry, id, &value) < 0)
                return -EINVAL;
            if (value < kMinRate || value > kMaxRate) {
                SNDERR("Rate %lu out of range", static_cast<unsigned long>(value));
                return -EINVAL;
            }
            onlyRate = static_cast<unsigned int>(value);
            continue;
        }
        if (strcmp(id, "fail_after") == 0) {
            if (ReadCount(entry, id, &value) < 0)
                return -EINVAL;
            failing = true;
            failAfter = value;
            continue;
        }
        if (strcmp(id, "signal") == 0) {
            const char* signal = nullptr;
            if (snd_config_get_string(entry, &signal) < 0 || strcmp(signal, "index") != 0) {
                SNDERR("Invalid value for %s", id);
                return -EINVAL;
            }
            indexSignal = true;
            continue;
        }
        if (strcmp(id, "access") == 0) {
            const char* text = nullptr;
            if (snd_config_get_string(entry, &text) < 0 ||
                (strcmp(text, "interleaved") != 0 && strcmp(text, "noninterleaved") != 0)) {
                SNDERR("Invalid value for %s", id);
                return -EINVAL;
            }
            profile.access = strcmp(text, "interleaved") == 0 ? SND_PCM_ACCESS_RW_INTERLEAVED
                                                               : SND_PCM_ACCESS_RW_NONINTERLEAVED;
            continue;
        }
        if (strcmp(id, "formats") == 0) {
            const char* text = nullptr;
            if (snd_config_get_string(entry, &text) < 0 || ReadFormats(text, &profile) < 0) {
                SNDERR("Invalid value for %s", id);
                return -EINVAL;
            }
            continue;
        }
        if (strcmp(id, "channels") == 0) {
            if (ReadCount(entry, id, &value) < 0 || value < 1 || value > 64) {
                SNDERR("Invalid value for %s", id);
                return -EINVAL;
            }
            profile.channels = static_cast<unsigned int>(value);
            continue;
        }
        SNDERR("Unknown field %s", id);
        return -EINVAL;
    }

    ClockStream* clock = static_cast<ClockStream*>(calloc(1, sizeof(ClockStream)));
    if (clock == nullptr)
        return -ENOMEM;
    clock->onlyRate = onlyRate;
    clock->failing = failing;
    clock->failAfter = failAfter;
    clock->indexSignal = indexSignal;
    clock->profile = profile;
    clock_gettime(CLOCK_MONOTONIC, &clock->opened);
    clock->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (clock->timer < 0) {
        const int error = errno;
        free(clock);
        return -error;
    }
    clock->io.version = SND_PCM_IOPLUG_VERSION;
    clock->io.name = "Takebox clock";
    clock->io.callback = &kClockCallbacks;
    clock->io.private_data = clock;
    clock->io.poll_fd = clock->timer;
    clock->io.poll_events = POLLIN;
    int rc = snd_pcm_ioplug_create(&clock->io, name, stream, mode);
    if (rc < 0) {
        close(clock->timer);
        free(clock);
        return rc;
    }
    rc = SetConstraints(clock);
    if (rc < 0) {
        snd_pcm_ioplug_delete(&clock->io);  // closes through ClockClose
        return rc;
    }
    *pcmp = clock->io.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(takeboxclock)

}  // extern "C"

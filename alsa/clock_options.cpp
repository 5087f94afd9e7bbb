// The clock module's options (see clock_plugin.cpp) and the opening of a device.
#include "clock_stream.h"

using namespace clock_module;

namespace {

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

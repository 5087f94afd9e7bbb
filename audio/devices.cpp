// The capture devices a user can choose from, and what one of them offers.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "audio/audio.h"

namespace {

// Standard error on /dev/null while devices are tried: libasound and the libraries of its
// plugins (a sound server's client, JACK) print their own lines when a device does not
// open, and the prompt says that in one line of its own.
struct QuietErrors {
    int saved = -1;
    QuietErrors()
    {
        fflush(stderr);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null < 0)
            return;
        saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (saved >= 0)
            dup2(null, STDERR_FILENO);
        close(null);
    }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;
    ~QuietErrors()
    {
        if (saved < 0)
            return;
        fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
};

// Whether `name` is a device to record from: it opens for capture (without waiting for a
// device that is busy, which counts as one) and is not one of ALSA's converters over
// another device (rate conversion, plug, route, channel mixing and the other plugins that
// sit on a device: lavrate, samplerate, upmix and their like).
bool CapturesItself(const char* name)
{
    snd_pcm_t* pcm = nullptr;
    const int rc = snd_pcm_open(&pcm, name, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (rc == -EBUSY)
        return true;
    if (rc < 0)
        return false;
    bool device = true;
    switch (snd_pcm_type(pcm)) {
        case SND_PCM_TYPE_RATE:
        case SND_PCM_TYPE_PLUG:
        case SND_PCM_TYPE_ROUTE:
        case SND_PCM_TYPE_LINEAR:
        case SND_PCM_TYPE_LINEAR_FLOAT:
        case SND_PCM_TYPE_EXTPLUG:
        case SND_PCM_TYPE_LADSPA:
            device = false;
            break;
        default:
            break;
    }
    snd_pcm_close(pcm);
    return device;
}

// Adds a device unless it is listed or the list is full; both texts are cut to fit.
void AddDevice(DeviceList* list, const char* name, const char* description)
{
    if (list->count >= kMaxDevices)
        return;
    for (int32_t i = 0; i < list->count; i++)
        if (strcmp(list->names[i], name) == 0)
            return;
    snprintf(list->names[list->count], kDeviceNameBytes, "%s", name);
    // A hint's description may run over two lines: they are joined.
    char* out = list->descriptions[list->count];
    size_t n = 0;
    for (const char* p = description; *p != '\0' && n + 1 < kDescriptionBytes; p++)
        out[n++] = *p == '\n' ? ' ' : *p;
    out[n] = '\0';
    list->count++;
}

// The defined PCMs that can capture and say what they are ("null" discards, it does not
// capture), each tried: those that do not open for capture, and the converters, are left
// out.
void AddDefinedDevices(DeviceList* list)
{
    QuietErrors quiet;
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0)
        return;
    for (void** h = hints; *h != nullptr; h++) {
        char* name = snd_device_name_get_hint(*h, "NAME");
        char* description = snd_device_name_get_hint(*h, "DESC");
        char* direction = snd_device_name_get_hint(*h, "IOID");  // none: both ways
        if (name != nullptr && description != nullptr && strcmp(name, "null") != 0 &&
            (direction == nullptr || strcmp(direction, "Input") == 0) &&
            strncmp(name, "hw:", 3) != 0 && strncmp(name, "plughw:", 7) != 0 &&
            CapturesItself(name))
            AddDevice(list, name, description);
        free(name);
        free(description);
        free(direction);
    }
    snd_device_name_free_hint(hints);
}

// Every card's capture devices by the names that stay when card numbers change.
void AddCardDevices(DeviceList* list)
{
    // Allocated once: alloca's memory lasts until the function returns.
    snd_ctl_card_info_t* info = nullptr;
    snd_ctl_card_info_alloca(&info);
    snd_pcm_info_t* pcmInfo = nullptr;
    snd_pcm_info_alloca(&pcmInfo);
    int card = -1;
    while (snd_card_next(&card) == 0 && card >= 0) {
        char ctlName[32];
        snprintf(ctlName, sizeof ctlName, "hw:%d", card);
        snd_ctl_t* ctl = nullptr;
        if (snd_ctl_open(&ctl, ctlName, 0) < 0)
            continue;
        if (snd_ctl_card_info(ctl, info) == 0) {
            int device = -1;
            while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
                snd_pcm_info_set_device(pcmInfo, static_cast<unsigned int>(device));
                snd_pcm_info_set_subdevice(pcmInfo, 0);
                snd_pcm_info_set_stream(pcmInfo, SND_PCM_STREAM_CAPTURE);
                if (snd_ctl_pcm_info(ctl, pcmInfo) < 0)
                    continue;  // a playback-only device
                char name[kDeviceNameBytes];
                const char* id = snd_ctl_card_info_get_id(info);
                const char* longName = snd_ctl_card_info_get_longname(info);
                snprintf(name, sizeof name, "hw:CARD=%s,DEV=%d", id, device);
                AddDevice(list, name, longName);
                snprintf(name, sizeof name, "plughw:CARD=%s,DEV=%d", id, device);
                AddDevice(list, name, longName);
            }
        }
        snd_ctl_close(ctl);
    }
}

}  // namespace

void ListCaptureDevices(DeviceList* list)
{
    *list = DeviceList{};
    AddDevice(list, "default", "the system's default device");
    AddDefinedDevices(list);
    AddCardDevices(list);
}

int DescribeCaptureDevice(const char* device)
{
    snd_pcm_t* pcm = nullptr;
    // A device that another program holds must not hold up the prompt.
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    int rc = 0;
    {
        QuietErrors quiet;
        rc = snd_pcm_open(&pcm, device, SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
        if (rc == 0)
            rc = snd_pcm_hw_params_any(pcm, params);
        if (rc < 0 && pcm != nullptr)
            snd_pcm_close(pcm);
    }
    if (rc == -EBUSY) {
        printf("%s is busy: another program records from it now\n", device);
        return 1;
    }
    if (rc < 0) {
        printf("%s does not open for capture: %s\n", device, snd_strerror(rc));
        return 0;
    }
    unsigned int minChannels = 0, maxChannels = 0, minRate = 0, maxRate = 0;
    snd_pcm_hw_params_get_channels_min(params, &minChannels);
    snd_pcm_hw_params_get_channels_max(params, &maxChannels);
    snd_pcm_hw_params_get_rate_min(params, &minRate, nullptr);
    snd_pcm_hw_params_get_rate_max(params, &maxRate, nullptr);
    char formats[64] = "";
    for (snd_pcm_format_t f : {SND_PCM_FORMAT_S16_LE, SND_PCM_FORMAT_S24_3LE, SND_PCM_FORMAT_S24_LE,
                               SND_PCM_FORMAT_S32_LE}) {
        if (snd_pcm_hw_params_test_format(pcm, params, f) == 0) {
            const size_t used = strlen(formats);
            snprintf(formats + used, sizeof formats - used, " %s", snd_pcm_format_name(f));
        }
    }
    snd_pcm_close(pcm);
    printf("%s opens for capture: %u", device, minChannels);
    if (maxChannels != minChannels)
        printf("-%u", maxChannels);
    printf(" channels, %u", minRate);
    if (maxRate != minRate)
        printf("-%u", maxRate);
    printf(" Hz,%s\n", formats[0] != '\0' ? formats : " none of S16_LE S24_3LE S24_LE S32_LE");
    return 1;
}

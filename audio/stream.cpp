// The stream set-up that capture and playback share: open the device, then ask for the
// access, the format, two channels, the rate, the period and the buffer, install them,
// and read back what the device took. A capture device that takes interleaved access only
// is read interleaved; one that refuses the format or two channels is opened again behind
// ALSA's plug layer, which converts them. And the one recovery of a running stream after
// an xrun or a suspend, the bounded waits and the split of interleaved capture.
#include "audio/handles.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "term/term.h"

namespace audio {

namespace {

// Asks for the access, the sample format and two channels. Returns 0 when the device
// takes all three; else the first refusal's error, with that request named in `refused`.
int RequestLayout(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, const StreamRequest& request,
                  char* refused, size_t cap)
{
    int rc = snd_pcm_hw_params_set_access(pcm, params, request.access);
    if (rc < 0) {
        snprintf(refused, cap, "%s",
                 request.access == SND_PCM_ACCESS_RW_NONINTERLEAVED ? "non-interleaved access"
                                                                    : "interleaved access");
        return rc;
    }
    rc = snd_pcm_hw_params_set_format(pcm, params, request.format);
    if (rc < 0) {
        snprintf(refused, cap, "%s", snd_pcm_format_name(request.format));
        return rc;
    }
    rc = snd_pcm_hw_params_set_channels(pcm, params, 2);
    if (rc < 0) {
        snprintf(refused, cap, "2 channels");
        return rc;
    }
    return 0;
}

// The rate, the period and the buffer asked for, the install, and what it left.
StreamStep Install(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, const StreamRequest& request,
                   StreamSettings* settings, int* error)
{
    // The results of these requests are not examined: a refusal shows at the install.
    snd_pcm_uframes_t period = request.period;
    snd_pcm_uframes_t buffer = request.buffer;
    unsigned int rate = request.rate;
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
    settings->periodAsked = period;
    const int rc = snd_pcm_hw_params(pcm, params);

    // A failed install leaves the values as far as the requests narrowed them: capture
    // reports them.
    settings->periodRead =
        snd_pcm_hw_params_get_period_size(params, &settings->period, nullptr) >= 0;
    settings->bufferRead = snd_pcm_hw_params_get_buffer_size(params, &settings->buffer) >= 0;
    settings->channelsRead = snd_pcm_hw_params_get_channels(params, &settings->channels) >= 0;
    settings->rateRead = snd_pcm_hw_params_get_rate(params, &settings->rate, nullptr) >= 0;
    if (!settings->periodRead)
        settings->period = 0;
    if (!settings->bufferRead)
        settings->buffer = 0;
    if (!settings->channelsRead)
        settings->channels = 0;
    if (!settings->rateRead)
        settings->rate = 0;
    if (rc < 0) {
        *error = rc;
        return kStreamInstallFailed;
    }
    return kStreamReady;
}

// How a device is opened: as it answers (the access and the channels asked for without
// looking at the answer, the install settles them; the format must be taken), with the
// access, the format and two channels all checked, or behind ALSA's plug layer, which
// converts those three but not the rate: the file's rate is never resampled unasked.
enum OpenMode { kAsItIs, kChecked, kThroughPlug };

// Opens the device in `mode` and installs the stream. A refused layout request (kChecked
// and kThroughPlug) is named in `refused` (kRefusedCap bytes, "" when there was none) and
// ends the open with kStreamFormatFailed.
StreamStep OpenDirect(PcmGuard* pcm, const char* device, const StreamRequest& request,
                      OpenMode mode, StreamSettings* settings, int* error, char* refused)
{
    *settings = StreamSettings{};
    refused[0] = '\0';
    char name[kDeviceNameBytes + 8];
    snprintf(name, sizeof name, mode == kThroughPlug ? "plug:'%s'" : "%s", device);
    // Never waits for a device that another program holds, and the stream stays
    // non-blocking: the engine's own waits are bounded.
    int rc = snd_pcm_open(&pcm->pcm, name, request.direction, SND_PCM_NONBLOCK);
    if (rc < 0) {
        pcm->pcm = nullptr;
        *error = rc;
        return kStreamOpenFailed;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);  // zero-filled
    snd_pcm_hw_params_any(pcm->pcm, params);
    if (mode == kThroughPlug)
        snd_pcm_hw_params_set_rate_resample(pcm->pcm, params, 0);
    if (mode != kAsItIs) {
        if (RequestLayout(pcm->pcm, params, request, refused, kRefusedCap) < 0)
            return kStreamFormatFailed;
    } else {
        snd_pcm_hw_params_set_access(pcm->pcm, params, request.access);
        rc = snd_pcm_hw_params_set_format(pcm->pcm, params, request.format);
        if (rc < 0) {
            *error = rc;
            return kStreamFormatFailed;
        }
        snd_pcm_hw_params_set_channels(pcm->pcm, params, 2);
    }
    return Install(pcm->pcm, params, request, settings, error);
}

// Brings a suspended stream back: resumed where the driver can, else prepared afresh.
// Returns whether it stands prepared.
bool Resume(snd_pcm_t* pcm)
{
    int rc = snd_pcm_resume(pcm);
    for (int tries = 0; rc == -EAGAIN && tries < 100 && !StopPending(); tries++) {
        usleep(100000);
        rc = snd_pcm_resume(pcm);
    }
    if (rc < 0)
        snd_pcm_prepare(pcm);
    return snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED;
}

int64_t SteadyMillis()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A read-back value for the capture report; values beyond int range are shown as INT_MAX.
int ReportValue(unsigned long v)
{
    return v > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(v);
}

}  // namespace

void ConvertingDevice(const char* device, char* out, size_t cap)
{
    if (strncmp(device, "hw:", 3) == 0)
        snprintf(out, cap, "plug%s", device);
    else if (strchr(device, ':') != nullptr)
        snprintf(out, cap, "plug:'%s'", device);
    else
        snprintf(out, cap, "plug:%s", device);
}

StreamStep OpenStereoStream(PcmGuard* pcm, const char* device, const StreamRequest& request,
                            StreamSettings* settings, int* error)
{
    char refused[kRefusedCap];
    StreamStep step = OpenDirect(pcm, device, request, kChecked, settings, error, refused);
    if (refused[0] == '\0')
        return step;
    // Real interfaces take only some layouts (interleaved access only, 32-bit samples,
    // four or more channels): the device is closed, as a hardware device can be open only
    // once, and opened again.
    snd_pcm_close(pcm->pcm);
    pcm->pcm = nullptr;
    StreamRequest asked = request;
    if (request.access == SND_PCM_ACCESS_RW_NONINTERLEAVED &&
        strcmp(refused, "non-interleaved access") == 0) {
        // One that takes interleaved access only (a sound server's plugin, many USB and ARM
        // interfaces) is read interleaved by the caller, not through plug's conversion.
        asked.access = SND_PCM_ACCESS_RW_INTERLEAVED;
        step = OpenDirect(pcm, device, asked, kChecked, settings, error, refused);
        if (refused[0] == '\0') {
            settings->interleaved = step == kStreamReady;
            return step;
        }
        snd_pcm_close(pcm->pcm);
        pcm->pcm = nullptr;
    }
    // The rest behind the plug layer, which converts the format and the channels.
    int plugError = 0;  // the plug's own failure is not reported: the device's answer is
    char plugRefused[kRefusedCap];
    if (OpenDirect(pcm, device, asked, kThroughPlug, settings, &plugError, plugRefused) ==
        kStreamReady) {
        settings->interleaved = asked.access != request.access;
        printf("%s does not take %s: converting through plug\n", device, refused);
        return kStreamReady;
    }
    // Where the plug cannot serve either, the device's own answer stands.
    if (pcm->pcm != nullptr) {
        snd_pcm_close(pcm->pcm);
        pcm->pcm = nullptr;
    }
    const StreamStep answer = OpenDirect(pcm, device, asked, kAsItIs, settings, error, plugRefused);
    settings->interleaved = asked.access != request.access;
    return answer;
}

void ReportOpenFailure(const char* what, const char* device, int error)
{
    fprintf(stderr, "%s: %s\n", what, snd_strerror(error));
    fprintf(stderr, "Could not open %s: type u, then 4, to see the devices\n", device);
}

int OpenCapture(PcmGuard* pcm, const char* device, uint32_t rate, uint32_t width,
                snd_pcm_uframes_t period, snd_pcm_uframes_t buffer, StreamSettings* got)
{
    const StreamRequest request = {SND_PCM_STREAM_CAPTURE, SND_PCM_ACCESS_RW_NONINTERLEAVED,
                                   width == 3 ? SND_PCM_FORMAT_S24_3LE : SND_PCM_FORMAT_S16_LE,
                                   rate, period, buffer};
    int rc = 0;
    const StreamStep step = OpenStereoStream(pcm, device, request, got, &rc);
    if (step == kStreamOpenFailed) {
        ReportOpenFailure("unable to open pcm record device", device, rc);
        return 0;
    }
    if (step == kStreamFormatFailed) {
        fprintf(stderr, "Problem setting recording format: %s\n", snd_strerror(rc));
        return 0;
    }
    if (step == kStreamInstallFailed) {
        printf("Could not set record hardware parameters: %s\n", snd_strerror(rc));
        printf("Returned Driver Parameters:\n");
        printf("\tBuf 1\tBuf 2\tRate\tChannels\n");
        printf("Record\t%i\t%i\t%i\t%i\n", ReportValue(got->period), ReportValue(got->buffer),
               ReportValue(got->rate), ReportValue(got->channels));
        printf("-------------------------\n");
        return 0;
    }
    // A device running at another rate would give a take that plays at the wrong speed.
    if (got->rate != 0 && got->rate != rate) {
        char other[96];
        ConvertingDevice(device, other, sizeof other);
        printf("Cannot record at %u Hz: the capture device runs at %u Hz; try a device that "
               "converts the rate, such as %s\n",
               rate, got->rate, other);
        return 0;
    }
    return 1;
}

int RecoverStream(snd_pcm_t* pcm, snd_pcm_sframes_t rc)
{
    if (rc == -ESTRPIPE && !Resume(pcm))
        return 0;
    if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED)
        return 1;
    const int prepared = snd_pcm_prepare(pcm);
    return prepared < 0 ? prepared : 1;
}

void WaitForStream(snd_pcm_t* pcm)
{
    // A wait that ends at once with nothing to move (a plugin whose descriptor stays
    // ready) must not spin.
    const int64_t before = SteadyMillis();
    if (snd_pcm_wait(pcm, 100) < 0 || SteadyMillis() - before < 1)
        usleep(2000);
}

bool AwaitStream(snd_pcm_t* pcm, snd_pcm_sframes_t moved)
{
    if (StopPending())
        return false;
    if (moved == 0 || moved == -EAGAIN)
        WaitForStream(pcm);
    return true;
}

const char* StreamErrorText(int error)
{
    return error == kStreamStalled ? "nothing moved for 5 seconds" : snd_strerror(error);
}

void AbandonStream(PcmGuard* pcm)
{
    // Kept where the program can still reach them: they are set aside, not lost.
    static snd_pcm_t* abandoned[16];
    static size_t count = 0;
    if (count < sizeof abandoned / sizeof abandoned[0])
        abandoned[count++] = pcm->pcm;
    pcm->pcm = nullptr;
}

void StartWatch(StreamWatch* watch)
{
    watch->lastMoved = SteadyMillis();
    watch->xruns = 0;
}

void StreamMoved(StreamWatch* watch)
{
    watch->lastMoved = SteadyMillis();
    watch->xruns = 0;
}

bool StreamXrun(StreamWatch* watch)
{
    constexpr int32_t kIdleXruns = 3;
    if (watch->xruns < kIdleXruns)
        watch->xruns++;
    return watch->xruns >= kIdleXruns;
}

bool StreamStalled(const StreamWatch& watch)
{
    return SteadyMillis() - watch.lastMoved > kStallMillis;
}

snd_pcm_sframes_t ReadPlanes(snd_pcm_t* pcm, const CaptureReader& reader, uint8_t* plane1,
                             uint8_t* plane2, snd_pcm_uframes_t at, snd_pcm_uframes_t frames)
{
    const uint32_t width = reader.width;
    if (!reader.interleaved) {
        void* planes[2] = {plane1 + at * width, plane2 + at * width};
        return snd_pcm_readn(pcm, planes, frames);
    }
    const snd_pcm_sframes_t got = snd_pcm_readi(pcm, reader.mixed, frames);
    if (got <= 0)
        return got;
    // Frames of the device's channels split into the planes, channel 1 first; a device of
    // one channel fills the first plane only.
    const uint8_t* in = reader.mixed;
    uint8_t* out1 = plane1 + at * width;
    uint8_t* out2 = plane2 + at * width;
    const size_t count = static_cast<size_t>(got);
    if (reader.channels == 1) {
        memcpy(out1, in, count * width);
        return got;
    }
    for (size_t f = 0; f < count; f++) {
        memcpy(out1 + f * width, in, width);
        memcpy(out2 + f * width, in + width, width);
        in += 2 * width;
    }
    return got;
}

}  // namespace audio

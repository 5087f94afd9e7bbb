// The stream set-up that capture and playback share: open the device, then ask for the
// access, the format, two channels, the rate, the period and the buffer, install them,
// and read back what the device took.
#include "audio/handles.h"

namespace audio {

StreamStep OpenStereoStream(PcmGuard* pcm, const char* device, const StreamRequest& request,
                            StreamSettings* settings, int* error)
{
    *settings = StreamSettings{};
    int rc = snd_pcm_open(&pcm->pcm, device, request.direction, 0);
    if (rc < 0) {
        pcm->pcm = nullptr;
        *error = rc;
        return kStreamOpenFailed;
    }
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);  // zero-filled
    snd_pcm_hw_params_any(pcm->pcm, params);
    snd_pcm_hw_params_set_access(pcm->pcm, params, request.access);
    rc = snd_pcm_hw_params_set_format(pcm->pcm, params, request.format);
    if (rc < 0) {
        *error = rc;
        return kStreamFormatFailed;
    }
    // The results of these requests are not examined: a refusal shows at the install.
    snd_pcm_uframes_t period = request.period;
    snd_pcm_uframes_t buffer = request.buffer;
    unsigned int rate = request.rate;
    snd_pcm_hw_params_set_channels(pcm->pcm, params, 2);
    snd_pcm_hw_params_set_rate_near(pcm->pcm, params, &rate, nullptr);
    snd_pcm_hw_params_set_period_size_near(pcm->pcm, params, &period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm->pcm, params, &buffer);
    settings->periodAsked = period;
    rc = snd_pcm_hw_params(pcm->pcm, params);

    // A failed install leaves the values as far as the requests narrowed them: capture
    // reports them.
    settings->periodRead = snd_pcm_hw_params_get_period_size(params, &settings->period, nullptr) >= 0;
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

}  // namespace audio

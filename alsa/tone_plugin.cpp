// ALSA PCM plugin "takeboxtone" behind the virtual card's capture side: it turns whatever
// its slave delivers into a steady 440 Hz sine at half of full scale (-6.02 dB), on both
// channels of a 16-bit stereo stream, at any rate, for as long as it is read. Built as
// libasound_module_pcm_takeboxtone.so; a "plug" in front of it converts the sample format
// and the access that a program asks for. Used through alsa/virtual-card.conf:
//   pcm_type.takeboxtone { lib "<path of this module>" }
//   pcm.x { type takeboxtone slave.pcm "null" }
#ifndef PIC
#define PIC  // a shared module: the plain versioned-symbol form of SND_DLSYM_BUILD_VERSION
#endif
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kToneHz = 440;
constexpr double kAmplitude = 16384.0;  // half of 16-bit full scale
constexpr double kPi = 3.14159265358979323846;

// One open stream: the plugin's record and the tone's position in its one-second cycle.
struct ToneStream {
    snd_pcm_extplug_t ext;
    uint32_t frame;  // 0 .. rate - 1; 440 whole periods fit in a second at every rate
};

int16_t ToneSample(uint32_t frame, uint32_t rate)
{
    const double phase = 2.0 * kPi * kToneHz * static_cast<double>(frame) / rate;
    return static_cast<int16_t>(std::lround(kAmplitude * std::sin(phase)));
}

// Writes `size` frames of the tone into every channel of the destination, whatever the
// source holds.
snd_pcm_sframes_t ToneTransfer(snd_pcm_extplug_t* ext, const snd_pcm_channel_area_t* dst,
                               snd_pcm_uframes_t dstOffset, const snd_pcm_channel_area_t* /*src*/,
                               snd_pcm_uframes_t /*srcOffset*/, snd_pcm_uframes_t size)
{
    ToneStream* tone = static_cast<ToneStream*>(ext->private_data);
    const uint32_t rate = ext->rate > 0 ? ext->rate : 1;
    for (snd_pcm_uframes_t i = 0; i < size; i++) {
        const int16_t v = ToneSample(tone->frame, rate);
        const uint16_t bits = static_cast<uint16_t>(v);
        const uint8_t bytes[2] = {static_cast<uint8_t>(bits & 0xffu),
                                  static_cast<uint8_t>(bits >> 8)};
        for (unsigned int c = 0; c < ext->channels; c++) {
            const snd_pcm_channel_area_t& area = dst[c];
            uint8_t* at = static_cast<uint8_t*>(area.addr) +
                          (area.first + area.step * (dstOffset + i)) / 8;
            memcpy(at, bytes, sizeof bytes);  // S16_LE, whatever the host's byte order
        }
        tone->frame = tone->frame + 1 < rate ? tone->frame + 1 : 0;
    }
    return static_cast<snd_pcm_sframes_t>(size);
}

int ToneClose(snd_pcm_extplug_t* ext)
{
    free(ext->private_data);
    return 0;
}

const snd_pcm_extplug_callback_t kToneCallbacks = {
    ToneTransfer, ToneClose, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(takeboxtone)
{
    snd_config_t* slave = nullptr;
    snd_config_iterator_t i;
    snd_config_iterator_t next;
    snd_config_for_each(i, next, conf)
    {
        snd_config_t* entry = snd_config_iterator_entry(i);
        const char* id = nullptr;
        if (snd_config_get_id(entry, &id) < 0 || strcmp(id, "comment") == 0 ||
            strcmp(id, "type") == 0 || strcmp(id, "hint") == 0)
            continue;  // the fields every PCM definition may have
        if (strcmp(id, "slave") == 0) {
            slave = entry;
            continue;
        }
        SNDERR("Unknown field %s", id);
        return -EINVAL;
    }
    if (slave == nullptr) {
        SNDERR("No slave defined for takeboxtone");
        return -EINVAL;
    }

    ToneStream* tone = static_cast<ToneStream*>(calloc(1, sizeof(ToneStream)));
    if (tone == nullptr)
        return -ENOMEM;
    tone->ext.version = SND_PCM_EXTPLUG_VERSION;
    tone->ext.name = "Takebox test tone";
    tone->ext.callback = &kToneCallbacks;
    tone->ext.private_data = tone;
    const int rc = snd_pcm_extplug_create(&tone->ext, name, root, slave, stream, mode);
    if (rc < 0) {
        free(tone);
        return rc;
    }
    // 16-bit stereo on both sides; the rate is whatever the slave and the program agree on.
    snd_pcm_extplug_set_param(&tone->ext, SND_PCM_EXTPLUG_HW_CHANNELS, 2);
    snd_pcm_extplug_set_slave_param(&tone->ext, SND_PCM_EXTPLUG_HW_CHANNELS, 2);
    snd_pcm_extplug_set_param(&tone->ext, SND_PCM_EXTPLUG_HW_FORMAT, SND_PCM_FORMAT_S16_LE);
    snd_pcm_extplug_set_slave_param(&tone->ext, SND_PCM_EXTPLUG_HW_FORMAT, SND_PCM_FORMAT_S16_LE);
    *pcmp = tone->ext.pcm;
    return 0;
}

SND_PCM_PLUGIN_SYMBOL(takeboxtone)

}  // extern "C"

// Helpers private to the audio engine. The scope guards make every return path of PLAY
// and RECORD close the device and the files they opened and release their buffers; a
// handle that the normal path has already closed is set to nullptr so that the guard
// leaves it alone.
#pragma once

#include <alsa/asoundlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "audio/audio.h"

namespace audio {

// Closes the PCM device without draining it.
struct PcmGuard {
    snd_pcm_t* pcm = nullptr;
    PcmGuard() = default;
    PcmGuard(const PcmGuard&) = delete;
    PcmGuard& operator=(const PcmGuard&) = delete;
    ~PcmGuard()
    {
        if (pcm != nullptr)
            snd_pcm_close(pcm);
    }
};

struct FileGuard {
    FILE* file = nullptr;
    FileGuard() = default;
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
    ~FileGuard()
    {
        if (file != nullptr)
            fclose(file);
    }
};

// A block of bytes from calloc (zero-filled).
struct BufferGuard {
    uint8_t* bytes = nullptr;
    BufferGuard() = default;
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;
    ~BufferGuard() { free(bytes); }
};

// Largest period (in frames) the engine accepts from a device. Real devices grant a few
// thousand frames; the bound keeps buffer sizes and frame arithmetic far from overflow.
constexpr snd_pcm_uframes_t kMaxPeriodFrames = 1u << 20;

// Requests two channels, the rate nearest `rate`, a period near *period (left holding the
// value the device offers) and a buffer near `buffer` frames. The results are not
// examined: a refusal shows when the parameters are installed.
inline void RequestStereoStream(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int rate,
                                snd_pcm_uframes_t* period, snd_pcm_uframes_t buffer)
{
    snd_pcm_hw_params_set_channels(pcm, params, 2);
    snd_pcm_hw_params_set_rate_near(pcm, params, &rate, nullptr);
    snd_pcm_hw_params_set_period_size_near(pcm, params, period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
}

// Brings a stream back after the system suspended it (-ESTRPIPE): resumed where the
// driver can, for at most about ten seconds while it asks to wait, else prepared afresh.
inline void RecoverSuspend(snd_pcm_t* pcm)
{
    int rc = snd_pcm_resume(pcm);
    for (int tries = 0; rc == -EAGAIN && tries < 100 && !StopPending(); tries++) {
        usleep(100000);
        rc = snd_pcm_resume(pcm);
    }
    if (rc < 0)
        snd_pcm_prepare(pcm);
}

}  // namespace audio

// Scope guards private to the audio engine: every return path of PLAY and RECORD closes
// the device and the files they opened and releases their buffers. A handle that the
// normal path has already closed is set to nullptr so that the guard leaves it alone.
#pragma once

#include <alsa/asoundlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

}  // namespace audio

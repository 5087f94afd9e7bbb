// PLAY: plays a WAV file between two times through an ALSA playback device, one period
// at a time, with a running clock on the console.
#include "audio/audio.h"

#include <alsa/asoundlib.h>
#include <sys/types.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/handles.h"
#include "wav/wav.h"

static_assert(sizeof(off_t) == 8, "byte positions need a 64-bit off_t (_FILE_OFFSET_BITS=64)");

namespace {

constexpr snd_pcm_uframes_t kPlayPeriodFrames = 4096;
constexpr snd_pcm_uframes_t kPlayBufferFrames = 16384;  // four periods

// Truncates toward zero into a frame position. Positions of a file may pass 2^31 (up to
// 2^32 - 1 frames), so they are 64-bit; NaN gives 0, and values beyond +-2^40, far past
// any frame, are held there.
int64_t FloatToFrame(float value)
{
    constexpr float kLimit = 1099511627776.0f;  // 2^40
    if (std::isnan(value))
        return 0;
    if (value >= kLimit)
        return INT64_C(1) << 40;
    if (value <= -kLimit)
        return -(INT64_C(1) << 40);
    return static_cast<int64_t>(value);
}

// A device that plays at another rate, converting it: "plughw:" for a "hw:" device,
// the "plug" converter over any other.
void ConvertingDevice(const char* device, char* out, size_t cap)
{
    if (strncmp(device, "hw:", 3) == 0)
        snprintf(out, cap, "plug%s", device);
    else if (strchr(device, ':') != nullptr)
        snprintf(out, cap, "plug:'%s'", device);
    else
        snprintf(out, cap, "plug:%s", device);
}

// Refuses a device that did not take the file's rate: the file would sound at the wrong
// speed and pitch. Returns 1 when the rates agree (or the device cannot tell).
int RateGranted(const snd_pcm_hw_params_t* params, const char* path, const char* device,
                uint32_t rate)
{
    unsigned int granted = 0;
    if (snd_pcm_hw_params_get_rate(params, &granted, nullptr) < 0 || granted == rate)
        return 1;
    char other[96];
    ConvertingDevice(device, other, sizeof other);
    fprintf(stderr, "Cannot play %s at %u Hz: the device runs at %u Hz; try a device that converts the rate, such as %s\n",
            path, rate, granted, other);
    return 0;
}

enum ChunkResult { kChunkPlayed, kChunkStopped, kChunkFailed };

// Hands one chunk of `frames` device frames to the device, completing a write cut short.
// An underrun costs the rest of the chunk; the stop key ends the chunk where it stands;
// any other error is the device failing, left in *error.
ChunkResult WriteChunk(snd_pcm_t* pcm, const uint8_t* chunk, snd_pcm_uframes_t frames,
                       size_t deviceFrameBytes, int* error)
{
    snd_pcm_uframes_t done = 0;
    while (done < frames) {
        const snd_pcm_sframes_t put = snd_pcm_writei(pcm, chunk + done * deviceFrameBytes, frames - done);
        if (put > 0) {
            done += static_cast<snd_pcm_uframes_t>(put);
            if (done < frames && StopPending())
                return kChunkStopped;
        } else if (put == -EPIPE) {
            snd_pcm_prepare(pcm);  // underrun: the chunk is lost, playback goes on
            return kChunkPlayed;
        } else if (put == -EINTR || put == 0) {
            if (StopPending())
                return kChunkStopped;
            if (put == 0)
                snd_pcm_wait(pcm, 100);  // nothing taken: wait for room instead of spinning
        } else if (put == -ESTRPIPE) {
            audio::RecoverSuspend(pcm);
        } else {
            *error = static_cast<int>(put);
            return kChunkFailed;
        }
    }
    return kChunkPlayed;
}

// Ends the playback: a complete one drains the device, one stopped by the key or a failed
// one drops what is queued. A Ctrl-C that came while it played, also while the last
// chunks sounded, is used up by it, and keys typed meanwhile are not taken as answers.
// Returns PLAY's result.
int FinishPlayback(audio::PcmGuard* pcm, ChunkResult ended, int error, bool clockShown)
{
    int result = 1;
    if (ended == kChunkPlayed) {
        snd_pcm_drain(pcm->pcm);
        if (StopPending())
            result = 2;  // stopped as it ended: "a" still stops the whole list
    } else {
        snd_pcm_drop(pcm->pcm);
        if (ended == kChunkStopped) {
            result = 2;
        } else {
            if (clockShown)
                printf("\n");  // ends the clock line
            printf("Playback stopped: the playback device failed: %s\n", snd_strerror(error));
            result = 0;
        }
    }
    snd_pcm_close(pcm->pcm);
    pcm->pcm = nullptr;
    ClearStopKey();
    DropTypedAhead();
    return result;
}

}  // namespace

int PLAY(const char* path, const char* device, float start, float stop)
{
    uint32_t rate = 0;
    uint32_t width = 0;
    uint32_t channels = 0;
    uint32_t dataOffset = 0;
    uint32_t frameCount = 0;
    if (!GetAttributes(path, &rate, &width, &channels, &dataOffset, &frameCount, 0))
        return 0;  // GetAttributes has said why

    // Only 16- and 24-bit mono and stereo files have a device format and a way to the
    // two device channels; anything else is refused before the device is touched.
    if ((width != 2 && width != 3) || (channels != 1 && channels != 2)) {
        printf("Cannot play %s: only 16- or 24-bit mono or stereo files can be played\n", path);
        return 0;
    }
    if (rate == 0) {
        printf("Cannot play %s: its sample rate is 0\n", path);
        return 0;
    }
    const uint32_t frameBytes = channels * width;

    audio::FileGuard file;
    file.file = fopen(path, "rb");
    if (file.file == nullptr) {
        printf("Cannot open wavefile\n");
        return 0;
    }
    // Unbuffered: every chunk is one absolute seek and one read straight into the read
    // buffer, without the C library refilling a buffer of its own around each seek.
    setvbuf(file.file, nullptr, _IONBF, 0);

    audio::PcmGuard pcm;
    int rc = snd_pcm_open(&pcm.pcm, device, SND_PCM_STREAM_PLAYBACK, 0);
    if (rc < 0) {
        pcm.pcm = nullptr;
        fprintf(stderr, "unable to open pcm device: %s\n", snd_strerror(rc));
        return 0;
    }

    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);  // zero-filled, lives until PLAY returns
    snd_pcm_hw_params_any(pcm.pcm, params);
    snd_pcm_hw_params_set_access(pcm.pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED);
    rc = snd_pcm_hw_params_set_format(pcm.pcm, params,
                                      width == 2 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S24_3LE);
    if (rc < 0) {
        fprintf(stderr, "Unable to set playback format: %s\n", snd_strerror(rc));
        return 0;
    }
    // The device always gets two channels, whatever the file has.
    snd_pcm_uframes_t periodNear = kPlayPeriodFrames;
    audio::RequestStereoStream(pcm.pcm, params, rate, &periodNear, kPlayBufferFrames);
    rc = snd_pcm_hw_params(pcm.pcm, params);
    if (rc < 0) {
        fprintf(stderr, "Unable to set hardware parameters: %s\n", snd_strerror(rc));
        return 0;
    }

    if (!RateGranted(params, path, device, rate))
        return 0;

    // The granted period is the chunk size for the whole playback.
    snd_pcm_uframes_t granted = 0;
    rc = snd_pcm_hw_params_get_period_size(params, &granted, nullptr);
    if (rc < 0 || granted == 0 || granted > audio::kMaxPeriodFrames) {
        fprintf(stderr, "Unable to use the playback period of %lu frames\n",
                static_cast<unsigned long>(granted));
        return 0;
    }
    // Each frame handed to the device is read from a two-channel chunk: a device that
    // took more channels than that would read past it.
    unsigned int grantedChannels = 0;
    if (snd_pcm_hw_params_get_channels(params, &grantedChannels) < 0 || grantedChannels > 2) {
        fprintf(stderr, "Unable to play through %u device channels\n", grantedChannels);
        return 0;
    }
    const uint32_t period = static_cast<uint32_t>(granted);
    const size_t chunkBytes = static_cast<size_t>(period) * frameBytes;
    audio::BufferGuard readBuf;
    audio::BufferGuard stereoBuf;
    readBuf.bytes = static_cast<uint8_t*>(calloc(chunkBytes, 1));
    if (channels == 1)
        stereoBuf.bytes = static_cast<uint8_t*>(calloc(static_cast<size_t>(period) * 2 * width, 1));
    if (readBuf.bytes == nullptr || (channels == 1 && stereoBuf.bytes == nullptr)) {
        printf("Out of memory for playback buffers\n");
        return 0;
    }

    // Seconds to frames at the file's own rate, truncated toward zero. A negative start
    // plays from the first frame; a stop at or past the end, or a negative one, plays to
    // the end. Frames past 2^31 - 1 (files of more than 2^31 frames) are reached too.
    const float fileRate = static_cast<float>(rate);
    int64_t startFrame = FloatToFrame(fileRate * start);
    if (startFrame < 0)
        startFrame = 0;
    int64_t stopFrame = FloatToFrame(fileRate * stop);
    if (stopFrame < 0 || stopFrame >= static_cast<int64_t>(frameCount))
        stopFrame = frameCount;

    printf("Playing %s ...\n", path);

    // Frames are counted in 64 bits so that neither the loop nor the byte positions can
    // wrap, whatever the file's length.
    ChunkResult ended = kChunkPlayed;
    int error = 0;
    bool clockShown = false;
    for (int64_t frame = startFrame; frame < stopFrame; frame += period) {
        if (StopPending()) {
            ended = kChunkStopped;
            break;
        }
        const off_t position = static_cast<off_t>(dataOffset) + static_cast<off_t>(frame) * frameBytes;
        if (fseeko(file.file, position, SEEK_SET) != 0)
            break;
        // The audio ends at the frame count: chunks that follow it in the file are no sound.
        const int64_t audioLeft = static_cast<int64_t>(frameCount) - frame;
        const size_t want =
            audioLeft < period ? static_cast<size_t>(audioLeft) * frameBytes : chunkBytes;
        const size_t got = fread(readBuf.bytes, 1, want, file.file);
        const size_t wholeBytes = got - got % frameBytes;
        if (wholeBytes == 0)
            break;
        // At the end of the file the rest of the period is silence.
        if (wholeBytes < chunkBytes)
            memset(readBuf.bytes + wholeBytes, 0, chunkBytes - wholeBytes);

        const uint8_t* chunk = readBuf.bytes;
        if (channels == 1) {
            Interleave(period, width, readBuf.bytes, readBuf.bytes, stereoBuf.bytes);
            chunk = stereoBuf.bytes;
        }
        ended = WriteChunk(pcm.pcm, chunk, period, 2 * static_cast<size_t>(width), &error);
        if (ended != kChunkPlayed)
            break;

        printf("\rclock = %.2f sec", static_cast<float>(frame) / fileRate);
        fflush(stdout);
        clockShown = true;
    }
    return FinishPlayback(&pcm, ended, error, clockShown);
}

// PLAY: plays a WAV file between two times through an ALSA playback device, one period
// at a time, with a running clock on the console.
#include "audio/audio.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/handles.h"
#include "term/term.h"
#include "wav/file_io.h"
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

enum ChunkResult { kChunkPlayed, kChunkStopped, kChunkFailed };

// Hands one chunk of `frames` device frames to the device, completing a write cut short.
// An underrun costs the rest of the chunk; the stop key ends the chunk where it stands;
// any other error is the device failing, left in *error, and so is a device that takes
// nothing for the stall bound (kStreamStalled).
ChunkResult WriteChunk(snd_pcm_t* pcm, const uint8_t* chunk, snd_pcm_uframes_t frames,
                       size_t deviceFrameBytes, audio::StreamWatch* watch, int* error)
{
    snd_pcm_uframes_t done = 0;
    while (done < frames) {
        const snd_pcm_sframes_t put =
            snd_pcm_writei(pcm, chunk + done * deviceFrameBytes, frames - done);
        if (put > 0) {
            audio::StreamMoved(watch);
            done += static_cast<snd_pcm_uframes_t>(put);
            if (done < frames && StopPending())
                return kChunkStopped;
        } else if (put == -EPIPE || put == -ESTRPIPE) {
            const int recovered = audio::RecoverStream(pcm, put);
            if (recovered < 0 || (put == -EPIPE && audio::StreamXrun(watch))) {
                *error = recovered < 0 ? recovered : -EIO;
                return kChunkFailed;
            }
            if (put == -EPIPE)
                return kChunkPlayed;  // underrun: the chunk is lost, playback goes on
            // After a suspend the rest of the chunk is played.
        } else if (put == -EAGAIN || put == -EINTR || put == 0) {
            if (audio::StreamStalled(*watch)) {
                *error = audio::kStreamStalled;
                return kChunkFailed;
            }
            if (!audio::AwaitStream(pcm, put))
                return kChunkStopped;
        } else {
            *error = static_cast<int>(put);
            return kChunkFailed;
        }
    }
    return kChunkPlayed;
}

// Waits until the device has taken all but the last period of what is queued, for at
// most the time the queue plays and the stall bound: the drain after it has little left
// to wait for. Returns kChunkStopped at the stop key, kChunkFailed (kStreamStalled in *error) when
// the device stopped taking frames (a sound server that no longer answers).
ChunkResult PlayOut(snd_pcm_t* pcm, uint32_t rate, snd_pcm_uframes_t period, int* error)
{
    snd_pcm_uframes_t buffer = 0;
    snd_pcm_uframes_t unused = 0;
    if (snd_pcm_get_params(pcm, &buffer, &unused) < 0 || rate == 0)
        return kChunkPlayed;
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::milliseconds(static_cast<int64_t>(buffer) * 1000 / rate + audio::kStallMillis);
    for (;;) {
        const snd_pcm_state_t state = snd_pcm_state(pcm);
        if (state != SND_PCM_STATE_RUNNING && state != SND_PCM_STATE_PREPARED)
            return kChunkPlayed;  // played out, or ended by an underrun
        const snd_pcm_sframes_t avail = snd_pcm_avail(pcm);
        if (avail < 0 || static_cast<snd_pcm_uframes_t>(avail) + period >= buffer)
            return kChunkPlayed;
        if (StopPending())
            return kChunkStopped;
        if (std::chrono::steady_clock::now() > deadline) {
            *error = audio::kStreamStalled;
            return kChunkFailed;
        }
        usleep(10000);
    }
}

// Ends the playback: a complete one plays out and drains the device, one stopped by the
// key or a failed one drops what is queued. A Ctrl-C that came while it played, also
// while the last chunks sounded, is used up by it, and keys typed meanwhile are not taken
// as answers. Returns PLAY's result.
int FinishPlayback(audio::PcmGuard* pcm, ChunkResult ended, int error, bool clockShown,
                   uint32_t rate, snd_pcm_uframes_t period)
{
    int result = 1;
    if (ended == kChunkPlayed)
        ended = PlayOut(pcm->pcm, rate, period, &error);
    if (ended == kChunkPlayed) {
        snd_pcm_nonblock(pcm->pcm, 0);  // the drain waits for the last period
        snd_pcm_drain(pcm->pcm);
        if (StopPending())
            result = 2;  // stopped as it ended: "a" still stops the whole list
    } else {
        if (ended == kChunkFailed && error == audio::kStreamStalled)
            audio::AbandonStream(pcm);
        else
            snd_pcm_drop(pcm->pcm);
        if (ended == kChunkStopped) {
            result = 2;
        } else {
            if (clockShown)
                printf("\n");  // ends the clock line
            printf("Playback stopped: the playback device failed: %s\n", audio::StreamErrorText(error));
            result = 0;
        }
    }
    if (pcm->pcm != nullptr)
        snd_pcm_close(pcm->pcm);
    pcm->pcm = nullptr;
    ClearStopKey();
    DropTypedAhead();
    return result;
}

// The file being played and the span of it.
struct PlaySpan {
    const char* path;
    uint32_t rate;
    uint32_t width;
    uint32_t channels;
    uint32_t frameBytes;
    uint32_t dataOffset;
    uint32_t frameCount;
    int64_t startFrame;
    int64_t stopFrame;
    int fd;
    uint32_t period;    // frames of a chunk, for the whole playback
    size_t chunkBytes;  // a chunk as the file holds it
    uint8_t* readBuf;
    uint8_t* stereoBuf;  // a mono chunk with its plane given to both device channels
};

// Refuses a device that did not take the file's rate: the file would sound at the wrong
// speed and pitch. Returns 1 when the rates agree (or the device cannot tell).
int RateGranted(const audio::StreamSettings& got, const char* path, const char* device,
                uint32_t rate)
{
    if (!got.rateRead || got.rate == rate)
        return 1;
    char other[96];
    audio::ConvertingDevice(device, other, sizeof other);
    fprintf(stderr,
            "Cannot play %s at %u Hz: the device runs at %u Hz; try a device that converts "
            "the rate, such as %s\n",
            path, rate, got.rate, other);
    return 0;
}

// Opens the playback device: two channels always, whatever the file has. Leaves the
// granted period, the chunk size for the whole playback, in span->period.
int SetUpPlayback(audio::PcmGuard* pcm, const char* device, PlaySpan* span)
{
    const audio::StreamRequest request = {
        SND_PCM_STREAM_PLAYBACK, SND_PCM_ACCESS_RW_INTERLEAVED,
        span->width == 2 ? SND_PCM_FORMAT_S16_LE : SND_PCM_FORMAT_S24_3LE,
        span->rate, kPlayPeriodFrames, kPlayBufferFrames};
    audio::StreamSettings got;
    int rc = 0;
    const audio::StreamStep step = audio::OpenStereoStream(pcm, device, request, &got, &rc);
    if (step == audio::kStreamOpenFailed) {
        audio::ReportOpenFailure("unable to open pcm device", device, rc);
        return 0;
    }
    if (step == audio::kStreamFormatFailed) {
        fprintf(stderr, "Unable to set playback format: %s\n", snd_strerror(rc));
        return 0;
    }
    if (step == audio::kStreamInstallFailed) {
        fprintf(stderr, "Unable to set hardware parameters: %s\n", snd_strerror(rc));
        return 0;
    }
    if (!RateGranted(got, span->path, device, span->rate))
        return 0;
    if (!got.periodRead || got.period == 0 || got.period > audio::kMaxPeriodFrames) {
        fprintf(stderr, "Unable to use the playback period of %lu frames\n",
                static_cast<unsigned long>(got.period));
        return 0;
    }
    // Each frame handed to the device is read from a two-channel chunk: a device that
    // took more channels than that would read past it.
    if (!got.channelsRead || got.channels > 2) {
        fprintf(stderr, "Unable to play through %u device channels\n", got.channels);
        return 0;
    }
    span->period = static_cast<uint32_t>(got.period);
    return 1;
}

// Seconds to frames at the file's own rate, truncated toward zero. A negative start
// plays from the first frame; a stop at or past the end, or a negative one, plays to the
// end. Frames past 2^31 - 1 (files of more than 2^31 frames) are reached too.
void SetSpan(PlaySpan* span, float start, float stop)
{
    const float fileRate = static_cast<float>(span->rate);
    span->startFrame = FloatToFrame(fileRate * start);
    if (span->startFrame < 0)
        span->startFrame = 0;
    span->stopFrame = FloatToFrame(fileRate * stop);
    if (span->stopFrame < 0 || span->stopFrame >= static_cast<int64_t>(span->frameCount))
        span->stopFrame = span->frameCount;
}

// Plays the span chunk by chunk, each read with one pread at its absolute position, with
// the clock line after each. Returns how the last chunk went (kChunkPlayed also when
// the file ended early); a failing device leaves its error in *error.
ChunkResult PlayFrames(snd_pcm_t* pcm, const PlaySpan& span, int* error, bool* clockShown)
{
    const float fileRate = static_cast<float>(span.rate);
    audio::StreamWatch watch;
    audio::StartWatch(&watch);
    // Frames are counted in 64 bits so that neither the loop nor the byte positions can
    // wrap, whatever the file's length.
    for (int64_t frame = span.startFrame; frame < span.stopFrame; frame += span.period) {
        if (StopPending())
            return kChunkStopped;
        const off_t position =
            static_cast<off_t>(span.dataOffset) + static_cast<off_t>(frame) * span.frameBytes;
        // The audio ends at the frame count: chunks that follow it in the file are no sound.
        const int64_t audioLeft = static_cast<int64_t>(span.frameCount) - frame;
        const size_t want = audioLeft < span.period
                                ? static_cast<size_t>(audioLeft) * span.frameBytes
                                : span.chunkBytes;
        const size_t got = ReadFully(span.fd, span.readBuf, want, position);
        const size_t wholeBytes = got - got % span.frameBytes;
        if (wholeBytes == 0)
            break;
        // At the end of the file the rest of the period is silence.
        if (wholeBytes < span.chunkBytes)
            memset(span.readBuf + wholeBytes, 0, span.chunkBytes - wholeBytes);

        const uint8_t* chunk = span.readBuf;
        if (span.channels == 1) {
            Interleave(span.period, span.width, span.readBuf, span.readBuf, span.stereoBuf);
            chunk = span.stereoBuf;
        }
        const ChunkResult ended =
            WriteChunk(pcm, chunk, span.period, 2 * static_cast<size_t>(span.width), &watch, error);
        if (ended != kChunkPlayed)
            return ended;
        ShowSeconds("\rclock = ", static_cast<float>(frame) / fileRate);
        *clockShown = true;
    }
    return kChunkPlayed;
}

// The file's attributes for a playback. Only 16- and 24-bit mono and stereo files have a
// device format and a way to the two device channels; anything else is refused before
// the device is touched. Returns 1 when the file can be played.
int ReadSpan(const char* path, PlaySpan* span)
{
    FileAttributes attributes = {};
    if (!GetAttributes(path, &attributes, 0))
        return 0;  // GetAttributes has said why
    span->rate = attributes.sampleRate;
    span->width = attributes.bytesPerSample;
    span->channels = attributes.channels;
    span->dataOffset = attributes.dataOffset;
    span->frameCount = attributes.frameCount;
    if ((span->width != 2 && span->width != 3) || (span->channels != 1 && span->channels != 2)) {
        printf("Cannot play %s: only 16- or 24-bit mono or stereo files can be played\n", path);
        return 0;
    }
    if (span->rate == 0) {
        printf("Cannot play %s: its sample rate is 0\n", path);
        return 0;
    }
    span->frameBytes = span->channels * span->width;
    return 1;
}

}  // namespace

int PLAY(const char* path, const char* device, float start, float stop)
{
    PlaySpan span = {};
    span.path = path;
    if (!ReadSpan(path, &span))
        return 0;
    wavio::FdGuard file(OpenRegular(path, O_RDONLY));
    if (file.fd < 0) {
        printf("Cannot open wavefile\n");
        return 0;
    }
    span.fd = file.fd;  // read with pread only
    // Samples in containers wider than their bytes (24 bits in 4 bytes) have no device
    // format here.
    WavLayout layout;
    if (!ReadWavLayout(file.fd, 3, &layout) || layout.frameBytes != span.frameBytes) {
        printf("Cannot play %s: its samples are in containers wider than %u bytes\n", path,
               span.width);
        return 0;
    }

    audio::PcmGuard pcm;
    if (!SetUpPlayback(&pcm, device, &span))
        return 0;
    span.chunkBytes = static_cast<size_t>(span.period) * span.frameBytes;
    audio::BufferGuard readBuf;
    audio::BufferGuard stereoBuf;
    readBuf.bytes = static_cast<uint8_t*>(calloc(span.chunkBytes, 1));
    if (span.channels == 1)
        stereoBuf.bytes =
            static_cast<uint8_t*>(calloc(static_cast<size_t>(span.period) * 2 * span.width, 1));
    if (readBuf.bytes == nullptr || (span.channels == 1 && stereoBuf.bytes == nullptr)) {
        printf("Out of memory for playback buffers\n");
        return 0;
    }
    span.readBuf = readBuf.bytes;
    span.stereoBuf = stereoBuf.bytes;
    SetSpan(&span, start, stop);

    printf("Playing %s ...\n", path);
    int error = 0;
    bool clockShown = false;
    const ChunkResult ended = PlayFrames(pcm.pcm, span, &error, &clockShown);
    return FinishPlayback(&pcm, ended, error, clockShown, span.rate, span.period);
}

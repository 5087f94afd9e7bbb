// The level check before a take: the capture device metered with the recording settings,
// live on a terminal until Enter, Ctrl-C or the end of input; through pipes for one
// second, then the peak lines. Nothing is written to any file.
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "audio/handles.h"

#include "term/term.h"

namespace {

constexpr snd_pcm_uframes_t kCheckPeriodFrames = 1024;
constexpr snd_pcm_uframes_t kCheckBufferFrames = 16384;

// Opens the capture device as a take does, with the same messages. Returns 1 when it runs
// at `rate`; *period is the block size.
int OpenForCheck(audio::PcmGuard* pcm, const char* device, uint32_t rate, uint32_t width,
                 snd_pcm_uframes_t* period)
{
    audio::StreamSettings got;
    if (!audio::OpenCapture(pcm, device, rate, width, kCheckPeriodFrames, kCheckBufferFrames, &got))
        return 0;
    *period = got.periodAsked;
    if (*period == 0 || *period > audio::kMaxPeriodFrames || got.channels > 2) {
        printf("Cannot check the level with this device\n");
        return 0;
    }
    return 1;
}

// Reads one block of at most `frames` frames into the planes. Returns the frames read, 0
// after an overrun or a suspend (the stream is brought back; the time in between is not
// metered) or a signal (the loop looks at the stop key), -1 when the device failed.
snd_pcm_sframes_t ReadSome(snd_pcm_t* pcm, uint8_t* plane1, uint8_t* plane2,
                           snd_pcm_uframes_t frames)
{
    void* planes[2] = {plane1, plane2};
    const snd_pcm_sframes_t got = snd_pcm_readn(pcm, planes, frames);
    if (got >= 0)
        return got;
    if (got == -EPIPE || got == -ESTRPIPE) {
        audio::RecoverStream(pcm, got);
        return 0;
    }
    if (got == -EINTR)
        return 0;
    fprintf(stderr, "The capture device failed: %s\n", snd_strerror(static_cast<int>(got)));
    return -1;
}

// Reads and drops the rest of the typed line.
void DropLine()
{
    int c = ReadChar();
    while (c != EOF && c != '\n')
        c = ReadChar();
    EndRead();
}

// Whether a line was typed (or the input ended): the check ends there.
bool LineTyped()
{
    if (InputWaiting() == 0)
        return false;
    DropLine();
    return true;
}

}  // namespace

void LevelCheck(const char* device, uint32_t rate, int32_t channels, int32_t bits)
{
    DropLine();  // the line feed behind "m": the check ends at the next line typed
    const uint32_t width = bits == 24 ? 3 : 2;
    audio::PcmGuard pcm;
    snd_pcm_uframes_t period = 0;
    if (rate == 0) {
        printf("Cannot record at a sample rate of 0\n");  // as a take says
        return;
    }
    if (!OpenForCheck(&pcm, device, rate, width, &period))
        return;
    audio::BufferGuard area;
    area.bytes = static_cast<uint8_t*>(calloc(2 * period, width));
    if (area.bytes == nullptr)
        return;
    uint8_t* plane1 = area.bytes;
    uint8_t* plane2 = area.bytes + period * width;
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    const int64_t disk = terminal ? DiskSeconds(rate, width, channels) : -1;
    LevelMeter meter;
    StartMeter(&meter, width, channels);
    const uint64_t interval = rate / 10 > 0 ? rate / 10 : 1;
    uint64_t frames = 0;
    uint64_t sinceShown = 0;
    snd_pcm_start(pcm.pcm);
    while (!StopPending() && !(terminal && LineTyped())) {
        const snd_pcm_sframes_t got = ReadSome(pcm.pcm, plane1, plane2, period);
        if (got < 0)
            break;
        int32_t peak1 = 0;
        int32_t peak2 = 0;
        CheckPeak(static_cast<int32_t>(got), &peak1, plane1, width);
        CheckPeak(static_cast<int32_t>(got), &peak2, plane2, width);
        MeterBlock(&meter, 0, peak1, plane1, static_cast<uint32_t>(got), width);
        MeterBlock(&meter, 1, peak2, plane2, static_cast<uint32_t>(got), width);
        frames += static_cast<uint64_t>(got);
        sinceShown += static_cast<uint64_t>(got);
        if (!terminal && frames >= rate)
            break;
        if (terminal && sinceShown >= interval) {
            sinceShown = 0;
            ShowMeterLine(&meter, "", disk);
        }
    }
    snd_pcm_drop(pcm.pcm);
    if (terminal) {
        printf("\n");
    } else {
        for (int32_t n = 0; n < meter.channels; n++)
            ShowPeaks(n + 1, meter.channel[n].peak, static_cast<int32_t>(width));
    }
    ClearStopKey();  // a Ctrl-C that ended the check has done its work
}

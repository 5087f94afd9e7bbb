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
// at `rate`; *period is the block size, *reader how the stream is read.
int OpenForCheck(audio::PcmGuard* pcm, const char* device, uint32_t rate, uint32_t width,
                 snd_pcm_uframes_t* period, audio::CaptureReader* reader)
{
    audio::StreamSettings got;
    if (!audio::OpenCapture(pcm, device, rate, width, kCheckPeriodFrames, kCheckBufferFrames, &got))
        return 0;
    *period = got.periodAsked;
    reader->interleaved = got.interleaved;
    reader->channels = got.channels == 1 ? 1 : 2;
    reader->width = width;
    if (*period == 0 || *period > audio::kMaxPeriodFrames || got.channels > 2) {
        printf("Cannot check the level with this device\n");
        return 0;
    }
    return 1;
}

// Reads one block of at most `frames` frames into the planes. Returns the frames read, 0
// after an overrun or a suspend (the stream is brought back; the time in between is not
// metered), a signal or a short wait for frames (the loop looks at the stop key), -1 when
// the device failed or delivered nothing for the stall bound.
snd_pcm_sframes_t ReadSome(snd_pcm_t* pcm, const audio::CaptureReader& reader, uint8_t* plane1,
                           uint8_t* plane2, snd_pcm_uframes_t frames, audio::StreamWatch* watch)
{
    snd_pcm_sframes_t got = audio::ReadPlanes(pcm, reader, plane1, plane2, 0, frames);
    if (got > 0)
        audio::StreamMoved(watch);
    if (got >= 0 && !(got == 0 && audio::StreamStalled(*watch)))
        return got;
    if ((got == -EPIPE || got == -ESTRPIPE) && !audio::StreamStalled(*watch)) {
        const int recovered = audio::RecoverStream(pcm, got);
        if (recovered >= 0 && !(got == -EPIPE && audio::StreamXrun(watch)))
            return 0;
        got = recovered < 0 ? recovered : -EIO;
    }
    if ((got == -EAGAIN || got == -EINTR) && !audio::StreamStalled(*watch)) {
        audio::AwaitStream(pcm, got);
        return 0;
    }
    if (got == 0 || got == -EAGAIN || got == -EINTR || got == -EPIPE || got == -ESTRPIPE)
        got = audio::kStreamStalled;  // nothing for too long
    fprintf(stderr, "The capture device failed: %s\n", audio::StreamErrorText(static_cast<int>(got)));
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
    audio::CaptureReader reader;
    if (!OpenForCheck(&pcm, device, rate, width, &period, &reader))
        return;
    audio::BufferGuard area;
    area.bytes = static_cast<uint8_t*>(calloc(4 * period, width));  // the planes, then mixed
    if (area.bytes == nullptr)
        return;
    if (reader.interleaved)
        reader.mixed = area.bytes + 2 * period * width;
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
    audio::StreamWatch watch;
    audio::StartWatch(&watch);
    while (!StopPending() && !(terminal && LineTyped())) {
        const snd_pcm_sframes_t got = ReadSome(pcm.pcm, reader, plane1, plane2, period, &watch);
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

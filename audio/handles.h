// Helpers private to the audio engine. The scope guards make every return path of PLAY
// and RECORD close the device they opened and release their buffers (the files have
// wavio::FdGuard); a handle that the normal path has already closed is set to nullptr so
// that the guard leaves it alone.
#pragma once

#include <alsa/asoundlib.h>

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

// A block of bytes from calloc (zero-filled).
struct BufferGuard {
    uint8_t* bytes = nullptr;
    BufferGuard() = default;
    BufferGuard(const BufferGuard&) = delete;
    BufferGuard& operator=(const BufferGuard&) = delete;
    ~BufferGuard() { free(bytes); }
};

// Capacity of a refused request's name (a device name's is kDeviceNameBytes).
constexpr size_t kRefusedCap = 32;

// Largest period (in frames) the engine accepts from a device. Real devices grant a few
// thousand frames; the bound keeps buffer sizes and frame arithmetic far from overflow.
constexpr snd_pcm_uframes_t kMaxPeriodFrames = 1u << 20;

// What a path asks of its stream: the direction, the access, the sample format, and the
// rate, period and buffer it would like. The device always gets two channels.
struct StreamRequest {
    snd_pcm_stream_t direction;
    snd_pcm_access_t access;
    snd_pcm_format_t format;
    unsigned int rate;
    snd_pcm_uframes_t period;
    snd_pcm_uframes_t buffer;
};

// The first step of OpenStereoStream that failed, if any.
enum StreamStep { kStreamReady, kStreamOpenFailed, kStreamFormatFailed, kStreamInstallFailed };

// What the stream was left with. `periodAsked` is the value the period request left;
// the others are read back after the install (attempted or done), 0 where they cannot be
// read, and each *Read flag says whether it could.
struct StreamSettings {
    snd_pcm_uframes_t periodAsked = 0;
    snd_pcm_uframes_t period = 0;
    snd_pcm_uframes_t buffer = 0;
    unsigned int channels = 0;
    unsigned int rate = 0;
    bool periodRead = false;
    bool bufferRead = false;
    bool channelsRead = false;
    bool rateRead = false;
    // Non-interleaved access was asked for and the device takes interleaved access only:
    // the stream moves interleaved frames, split into planes by the caller.
    bool interleaved = false;
};

// Opens `device` and installs a two-channel stream as requested; a device that refuses
// the access, the format or two channels runs behind the plug layer, at its own rate, and
// one line says what it refused ("%s does not take %s: converting through plug"). Returns
// the step that failed (its ALSA error in *error; nothing is printed: each path has its
// own messages) or kStreamReady. pcm->pcm holds the device once it is open, also after a
// later failure.
StreamStep OpenStereoStream(PcmGuard* pcm, const char* device, const StreamRequest& request,
                            StreamSettings* settings, int* error);

// The two lines of a device that does not open: `what` with ALSA's reason, then a way on.
void ReportOpenFailure(const char* what, const char* device, int error);

// Opens the capture device with two channels of `width`-byte samples at `rate`, as a take
// does, and says on the console why not when it cannot: the device does not open, refuses
// the format or the install, or runs at another rate. A device that runs through the plug
// layer is named on a line of its own.
int OpenCapture(PcmGuard* pcm, const char* device, uint32_t rate, uint32_t width,
                snd_pcm_uframes_t period, snd_pcm_uframes_t buffer, StreamSettings* got);

// A device that converts the rate of `device`, for the messages that refuse a rate:
// "plughw:" for a "hw:" device, the "plug" converter over any other.
void ConvertingDevice(const char* device, char* out, size_t cap);

// The one recovery of a stream whose read or write failed with an xrun (-EPIPE: an
// overrun or an underrun) or a suspend (-ESTRPIPE), as aplay's xrun() and suspend() are.
// An xrun prepares the stream again. A suspended stream is resumed where the driver can,
// for at most about ten seconds while it asks to wait, else prepared afresh. Returns 1
// when the stream was prepared: its position is lost, and what the frames in between
// become is the caller's policy; 0: it goes on where it stood; the device's error when it
// cannot be prepared (a sound server that went away): the device failed.
int RecoverStream(snd_pcm_t* pcm, snd_pcm_sframes_t rc);
// After a read or write that moved nothing (0, -EAGAIN) or was cut short by a signal (-EINTR):
// false when the stop key is pending; else true, once the device had up to 100 ms to get
// ready when nothing moved (no spinning; the bound lets a stop key that came just before
// the wait, whose signal interrupts nothing, be seen).
bool AwaitStream(snd_pcm_t* pcm, snd_pcm_sframes_t moved);
// The wait of AwaitStream alone: up to 100 ms for the device to get ready.
void WaitForStream(snd_pcm_t* pcm);

// Streams are opened without waiting for a device that another program holds, and run
// without blocking: every wait is the engine's own, short and bounded, so that the stop
// key, Ctrl-C and a termination request are seen, and a device that stops moving (a sound
// server that died or stopped answering) ends the stream instead of holding the program.
// A stream that has moved no frame for this long, while it should have, has failed.
constexpr int kStallMillis = 5000;
// The error a stalled stream fails with, and the reason shown for a stream's error.
constexpr int kStreamStalled = -ETIMEDOUT;
const char* StreamErrorText(int error);

// When a stream last moved frames, for the stall bound above.
struct StreamWatch {
    int64_t lastMoved;  // steady-clock milliseconds
    int32_t xruns;      // xruns since frames last moved
};
void StartWatch(StreamWatch* watch);
// A stream moved frames: the stall bound starts again.
void StreamMoved(StreamWatch* watch);
// Leaves a stream that failed with kStreamStalled open and untouched from here on: stopping
// or closing it would wait for the device's answer, and a frozen sound server holds its
// plugin's stop for ever. The guard lets go of it; the program's end frees it.
void AbandonStream(PcmGuard* pcm);
// Whether the stream has stood still past the stall bound (then it fails with
// kStreamStalled).
bool StreamStalled(const StreamWatch& watch);
// Counts an xrun; true when it is the third in a row with no frame moved in between: the
// stream has lost its device (a sound server killed under it), whose error is -EIO.
bool StreamXrun(StreamWatch* watch);

// How a capture stream is read: straight into the two planes (non-interleaved access), or,
// from a device that takes interleaved access only, into `mixed` (period frames of the
// device's channels, one or two) and then split into the planes. Reading interleaved
// frames as the device gives them keeps ALSA's access conversion, and the splices it can
// make over a sound server's plugin, out of the take.
struct CaptureReader {
    bool interleaved = false;
    uint32_t channels = 2;  // the device's channels, 1 or 2
    uint32_t width = 2;
    uint8_t* mixed = nullptr;
};
// Reads up to `frames` frames into the planes from frame `at` on; returns what the read
// returned (frames, or a negative error).
snd_pcm_sframes_t ReadPlanes(snd_pcm_t* pcm, const CaptureReader& reader, uint8_t* plane1,
                             uint8_t* plane2, snd_pcm_uframes_t at, snd_pcm_uframes_t frames);

}  // namespace audio

// Audio engine: playback and recording through ALSA, interleaving and peak metering.
#pragma once

#include <cstdint>

// Interleaves two planes of `frames` samples of `width` bytes into `out` (2 * frames * width).
void Interleave(uint32_t frames, uint32_t width, const uint8_t* first, const uint8_t* second,
                uint8_t* out);
// Raises *peak to the largest sample magnitude of the plane.
void CheckPeak(int32_t frames, int32_t* peak, const uint8_t* samples, uint32_t width);
// Interleave of the two planes and CheckPeak of each (into *peak1 and *peak2) in one pass
// over them, with the same results.
void InterleavePeaks(uint32_t frames, uint32_t width, const uint8_t* first, const uint8_t* second,
                     uint8_t* out, int32_t* peak1, int32_t* peak2);
// Prints "Channel %i peak = ..." for one channel.
void ShowPeaks(int32_t channel, int32_t peak, int32_t width);

// Writes the text of printf("%.2f", value) (the float widened to double) into buf, cut to
// cap - 1 characters and terminated. Returns the characters written.
int FormatSeconds(char* buf, uint32_t cap, float value);
// Prints `label`, the seconds as "%.2f" prints them, and " sec", and flushes standard
// output: the progress line of a take and the clock line of playback.
void ShowSeconds(const char* label, float seconds);

// Truncates toward zero into a signed 32-bit value; NaN gives 0, out-of-range values
// are clamped to the int32_t limits (never an undefined conversion).
int32_t FloatToInt32(float value);

// Plays `path` from `start` to `stop` seconds on `device`. 1 played, 2 stopped early by
// the stop key or the end of the session, 0 failed (the file or the device could not be
// set up, or the device failed while playing).
int PLAY(const char* path, const char* device, float start, float stop);

// One recording run into `takePath`. Returns the byte count of the kept takes, or -1
// when the take file or the capture device cannot be set up. *undecided (when given)
// becomes 1 when the run ended because the take menu's read ended without an answer (end
// of input, a hangup, Ctrl-C at the menu): the take is kept, but nobody chose to save it.
// A take for a new file goes on in parts past what one WAV file holds (the take file, then
// its parts named by PartName): *keptBytes (when given) gets the kept bytes of them all,
// of which the result is capped at INT32_MAX. An append (appendFlag 1) stays within 2 GB.
int32_t RECORD(const char* device, uint32_t rate, float duration, int32_t channels, int32_t bits,
               int32_t appendFlag, const char* takePath, int32_t* undecided = nullptr,
               int64_t* keptBytes = nullptr);

// The live level meter (a terminal only): per channel the largest magnitude of the
// interval in hand, the one shown for the last interval, a peak held for about two seconds
// (kMeterHoldIntervals at ten intervals a second), and the samples at full scale (the
// largest or the smallest value of the width) since the meter started.
enum : int32_t { kMeterHoldIntervals = 20 };
enum : uint32_t { kMeterColumns = 79 };
struct MeterChannel {
    int32_t peak;
    int32_t shown;
    int32_t held;
    int32_t heldFor;
    uint32_t clips;
};
struct LevelMeter {
    uint32_t width;
    int32_t channels;
    MeterChannel channel[2];
};
void StartMeter(LevelMeter* meter, uint32_t width, int32_t channels);
// Meters one block of one channel (0 or 1) whose largest magnitude is `peak` (as CheckPeak
// gives it): `frames` samples, `stride` bytes apart, looked at only for their count at full
// scale when the peak reached it.
void MeterBlock(LevelMeter* meter, int32_t channel, int32_t peak, const uint8_t* samples,
                uint32_t frames, uint32_t stride);
// The level of a peak as the peak lines give it, in dB below full scale; silence is -96 dB
// at width 2 and -144 dB at width 3.
float LevelDb(int32_t peak, uint32_t width);
// Ends the interval in hand: its peaks are shown and held.
void NextMeterInterval(LevelMeter* meter);
// The meter's line: `lead` (the remaining time, or ""), per channel a bar with the held
// peak marked, the level in dB and "!" once a sample reached full scale, and "disk H:MM:SS"
// when diskSeconds is not negative. At most 79 columns. Returns its length.
int FormatMeterLine(char* out, uint32_t cap, const LevelMeter* meter, const char* lead,
                    int64_t diskSeconds);
// Ends the interval in hand and redraws the meter's line in place ("\r", the line, then
// clear to its end), unless standard output has no room for it now.
void ShowMeterLine(LevelMeter* meter, const char* lead, int64_t diskSeconds);
// Seconds as "H:MM:SS", hours unpadded.
int FormatHours(char* out, uint32_t cap, int64_t seconds);

// The level check (command "m"): drops the rest of the typed line, then meters the capture
// device with these settings: on a terminal the live meter until a line is typed, Ctrl-C
// or the end of input; otherwise one second, then the peak lines. Writes no file.
void LevelCheck(const char* device, uint32_t rate, int32_t channels, int32_t bits);

// Bytes the working directory's disk has room for (what an ordinary user may write), and
// whole seconds in them of audio at `rate` with samples of `width` bytes, mono or stereo;
// -1 when that cannot be told.
int64_t DiskRoomBytes();
int64_t DiskSeconds(uint32_t rate, uint32_t width, int32_t channels);

// The devices a user can record from: `default` first, then the defined PCMs that can
// capture, describe themselves and open for capture (a sound server's `pulse` or
// `pipewire` where it runs; no converter over another device), then each card's capture
// devices by stable names (hw:CARD=<id>,DEV=<n> and plughw:CARD=<id>,DEV=<n>). Nothing
// that libasound prints while they are tried reaches standard error.
enum : int32_t {
    kMaxDevices = 64,
    kDeviceNameBytes = 48,  // as the settings hold a device name
    kDescriptionBytes = 80,
};
struct DeviceList {
    int32_t count;
    char names[kMaxDevices][kDeviceNameBytes];
    char descriptions[kMaxDevices][kDescriptionBytes];
};
void ListCaptureDevices(DeviceList* list);
// Prints one line: whether `device` opens for capture (without waiting for a device that
// is busy) and its channels, rates and the sample formats it takes, or why not. Returns 1
// when it is a device to record from (also one busy now), 0 when it does not open.
int DescribeCaptureDevice(const char* device);

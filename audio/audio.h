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

// Truncates toward zero into a signed 32-bit value; NaN gives 0, out-of-range values
// are clamped to the int32_t limits (never an undefined conversion).
int32_t FloatToInt32(float value);

// Plays `path` from `start` to `stop` seconds on `device`. 1 played, 0 failed.
int PLAY(const char* path, const char* device, float start, float stop);

// One recording run into `takePath`. Returns the byte count of the kept takes, or -1
// when the take file or the capture device cannot be set up.
int32_t RECORD(const char* device, uint32_t rate, float duration, int32_t channels, int32_t bits,
               int32_t appendFlag, const char* takePath);

// The stop key (Ctrl-C) and the end of the session (a hangup or a termination request).
// StopPending: a stop is pending: the take or playback in hand ends after its block.
// SessionEnded: a hangup or termination was seen: every read is the end of input.
// ClearStopKey: a Ctrl-C has been acted on (the end of a session stays).
// RaiseStopKey, RaiseSessionEnd: what the signal handlers do.
int StopPending();
int SessionEnded();
void ClearStopKey();
void RaiseStopKey();
void RaiseSessionEnd();

// Reads one white-space-delimited word from standard input into buf (cap bytes with the
// terminator); a longer word is cut to fit and its rest discarded. Returns 0 at end of
// input, leaving buf as it was.
int ReadWord(char* buf, uint32_t cap);

// Interleaving of sample planes, peak metering and the float-to-integer conversion.
// Only the widths 2 (S16_LE) and 3 (S24_3LE) are meaningful; any other width makes
// Interleave, CheckPeak and ShowPeaks do nothing at all.
#include "audio/audio.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

bool KnownWidth(uint32_t width)
{
    return width == 2 || width == 3;
}

}  // namespace

void Interleave(uint32_t frames, uint32_t width, const uint8_t* first, const uint8_t* second,
                uint8_t* out)
{
    if (!KnownWidth(width))
        return;
    for (uint32_t i = 0; i < frames; i++) {
        memcpy(out, first, width);
        memcpy(out + width, second, width);
        first += width;
        second += width;
        out += 2 * width;
    }
}

void CheckPeak(int32_t frames, int32_t* peak, const uint8_t* samples, uint32_t width)
{
    if (!KnownWidth(width) || frames <= 0)
        return;
    for (int32_t i = 0; i < frames; i++, samples += width) {
        int32_t v;
        if (width == 2) {
            v = samples[0] + 256 * samples[1];
            if (samples[1] >= 128)
                v -= 65536;
        } else {
            v = samples[0] + 256 * samples[1] + 65536 * samples[2];
            if (samples[2] >= 128)
                v -= 16777216;
        }
        const int32_t m = v < 0 ? -v : v;  // at most 8388608: no overflow
        if (m > *peak)
            *peak = m;
    }
}

void ShowPeaks(int32_t channel, int32_t peak, int32_t width)
{
    // A negative peak is no magnitude: nothing is printed for it, as for unknown widths.
    if (width < 0 || !KnownWidth(static_cast<uint32_t>(width)) || peak < 0)
        return;
    if (peak == 0) {
        if (width == 2)
            printf("Channel %i peak = -96 dB\n", channel);
        else
            printf("Channel %i peak = -144 dB\n", channel);
        return;
    }
    const double fullScale = width == 2 ? 32768.0 : 8388608.0;
    const float ratio = static_cast<float>(fullScale / peak);
    const float level = -20.0f * log10f(ratio);  // full scale gives -0.00
    printf("Channel %i peak = %.2f dB\n", channel, level);
}

int32_t FloatToInt32(float value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483648.0f)
        return INT32_MAX;
    if (value < -2147483648.0f)
        return INT32_MIN;
    return static_cast<int32_t>(value);  // in range: truncates toward zero
}

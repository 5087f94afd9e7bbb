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

// Samples decoded with unsigned arithmetic and a sign flip: defined for every byte value
// and the same on every processor.
inline int32_t Decode16(const uint8_t* p)
{
    const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8);
    return static_cast<int32_t>(u ^ 0x8000u) - 0x8000;
}

inline int32_t Decode24(const uint8_t* p)
{
    const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                       (static_cast<uint32_t>(p[2]) << 16);
    return static_cast<int32_t>(u ^ 0x800000u) - 0x800000;
}

// The peak of a plane is the larger of its highest value and minus its lowest, so the
// loops below need no branch per sample. A peak is at most 8388608: no overflow.

// 16-bit planes: the highest and lowest value are kept per lane of 16 samples. The inner
// loop has a fixed count and no dependence between lanes, so the compiler can keep the
// lanes in vector registers where the processor has them.
constexpr int32_t kLanes = 16;

int32_t PlanePeak16(int32_t frames, const uint8_t* samples)
{
    int32_t highs[kLanes] = {};
    int32_t lows[kLanes] = {};
    int32_t i = 0;
    for (; frames - i >= kLanes; i += kLanes, samples += 2 * kLanes) {
        for (int32_t j = 0; j < kLanes; j++) {
            const int32_t v = Decode16(samples + 2 * j);
            highs[j] = v > highs[j] ? v : highs[j];
            lows[j] = v < lows[j] ? v : lows[j];
        }
    }
    int32_t high = 0;
    int32_t low = 0;
    for (int32_t j = 0; j < kLanes; j++) {
        high = highs[j] > high ? highs[j] : high;
        low = lows[j] < low ? lows[j] : low;
    }
    for (; i < frames; i++, samples += 2) {
        const int32_t v = Decode16(samples);
        high = v > high ? v : high;
        low = v < low ? v : low;
    }
    return high > -low ? high : -low;
}

// 24-bit planes are compared in offset binary (the sign bit flipped: the value plus 2^23),
// which orders like the signed values with unsigned compares and needs no sign extension.
constexpr uint32_t kBias24 = 0x800000u;

// The sample at p in offset binary, read as one little-endian word of four bytes: the
// sample and the first byte of the next one, which the mask drops. Only for a sample that
// has another one behind it.
inline uint32_t Biased24Wide(const uint8_t* p)
{
    const uint32_t word = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                          (static_cast<uint32_t>(p[2]) << 16) |
                          (static_cast<uint32_t>(p[3]) << 24);
    return (word & 0xffffffu) ^ kBias24;
}

inline uint32_t Biased24(const uint8_t* p)
{
    return static_cast<uint32_t>(Decode24(p) + static_cast<int32_t>(kBias24));
}

int32_t PlanePeak24(int32_t frames, const uint8_t* samples)
{
    // Two samples per step, each with its own highest and lowest so that the two chains of
    // compares run side by side; the last sample is read on its own, by its three bytes.
    uint32_t high0 = kBias24;
    uint32_t low0 = kBias24;
    uint32_t high1 = kBias24;
    uint32_t low1 = kBias24;
    int32_t i = 0;
    for (; frames - i > 2; i += 2, samples += 6) {
        const uint32_t a = Biased24Wide(samples);
        const uint32_t b = Biased24Wide(samples + 3);
        high0 = a > high0 ? a : high0;
        low0 = a < low0 ? a : low0;
        high1 = b > high1 ? b : high1;
        low1 = b < low1 ? b : low1;
    }
    for (; i < frames; i++, samples += 3) {
        const uint32_t w = Biased24(samples);
        high0 = w > high0 ? w : high0;
        low0 = w < low0 ? w : low0;
    }
    const uint32_t high = high0 > high1 ? high0 : high1;
    const uint32_t low = low0 < low1 ? low0 : low1;
    const int32_t up = static_cast<int32_t>(high - kBias24);   // highest value, 0 or more
    const int32_t down = static_cast<int32_t>(kBias24 - low);  // minus the lowest, 0 or more
    return up > down ? up : down;
}

// Copies of a fixed width, so that each sample moves as one or two plain loads and stores.
template <uint32_t Width>
void InterleaveWidth(uint32_t frames, const uint8_t* first, const uint8_t* second, uint8_t* out)
{
    for (uint32_t i = 0; i < frames; i++) {
        memcpy(out, first, Width);
        memcpy(out + Width, second, Width);
        first += Width;
        second += Width;
        out += 2 * Width;
    }
}

}  // namespace

void Interleave(uint32_t frames, uint32_t width, const uint8_t* first, const uint8_t* second,
                uint8_t* out)
{
    if (width == 2)
        InterleaveWidth<2>(frames, first, second, out);
    else if (width == 3)
        InterleaveWidth<3>(frames, first, second, out);
}

void CheckPeak(int32_t frames, int32_t* peak, const uint8_t* samples, uint32_t width)
{
    if (!KnownWidth(width) || frames <= 0)
        return;
    const int32_t m = width == 2 ? PlanePeak16(frames, samples) : PlanePeak24(frames, samples);
    if (m > *peak)  // the peak only rises; an equal value leaves it as it is
        *peak = m;
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

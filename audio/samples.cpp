// Interleaving of sample planes, peak metering and the float-to-integer conversion.
// Only the widths 2 (S16_LE) and 3 (S24_3LE) are meaningful; any other width makes
// Interleave, CheckPeak, InterleavePeaks and ShowPeaks do nothing at all.
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

// A little-endian word of four bytes, read byte by byte; the compiler makes it one load
// where the processor allows unaligned ones.
inline uint32_t Load32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The highest and lowest value of each of the two channels, in offset binary (the sign
// bit flipped), where unsigned compares order samples like their signed values.
struct Extremes {
    uint32_t high1, low1, high2, low2;
};

inline void Widen(Extremes* e, uint32_t a, uint32_t b)
{
    e->high1 = a > e->high1 ? a : e->high1;
    e->low1 = a < e->low1 ? a : e->low1;
    e->high2 = b > e->high2 ? b : e->high2;
    e->low2 = b < e->low2 ? b : e->low2;
}

// The peak of the values between low and high around the offset `bias`, and *peak raised
// to it as CheckPeak does.
inline void RaisePeak(int32_t* peak, uint32_t high, uint32_t low, uint32_t bias)
{
    const int32_t up = static_cast<int32_t>(high - bias);   // highest value, 0 or more
    const int32_t down = static_cast<int32_t>(bias - low);  // minus the lowest, 0 or more
    const int32_t m = up > down ? up : down;
    if (m > *peak)
        *peak = m;
}

inline int16_t Value16(const uint8_t* p)
{
    return static_cast<int16_t>(Decode16(p));  // in range
}

// 16-bit stereo in lanes of 16 frames, copied into local arrays so that the compiler
// needs no check that the output overlaps the planes: the samples are zipped as 16-bit
// units, their bytes as they are, and metered from their bytes as 16-bit values, whose
// lanes fill no more vector registers than the samples themselves.

void InterleavePeaks16(uint32_t frames, const uint8_t* first, const uint8_t* second,
                       uint8_t* out, int32_t* peak1, int32_t* peak2)
{
    int16_t high1[kLanes] = {};
    int16_t low1[kLanes] = {};
    int16_t high2[kLanes] = {};
    int16_t low2[kLanes] = {};
    uint32_t i = 0;
    for (; frames - i >= static_cast<uint32_t>(kLanes); i += kLanes) {
        uint8_t a[2 * kLanes];
        uint8_t b[2 * kLanes];
        uint16_t x[kLanes];
        uint16_t y[kLanes];
        uint16_t frame[2 * kLanes];
        memcpy(a, first + 2 * i, sizeof a);
        memcpy(b, second + 2 * i, sizeof b);
        memcpy(x, a, sizeof x);
        memcpy(y, b, sizeof y);
        for (int32_t j = 0; j < kLanes; j++) {
            frame[2 * j] = x[j];
            frame[2 * j + 1] = y[j];
        }
        memcpy(out + 4 * i, frame, sizeof frame);
        for (int32_t j = 0; j < kLanes; j++) {
            const int16_t u = Value16(a + 2 * j);
            const int16_t v = Value16(b + 2 * j);
            high1[j] = u > high1[j] ? u : high1[j];
            low1[j] = u < low1[j] ? u : low1[j];
            high2[j] = v > high2[j] ? v : high2[j];
            low2[j] = v < low2[j] ? v : low2[j];
        }
    }
    constexpr uint32_t kBias16 = 0x8000u;
    Extremes e = {kBias16, kBias16, kBias16, kBias16};
    for (int32_t j = 0; j < kLanes; j++) {  // a lane's extremes, both as further values
        Widen(&e, static_cast<uint32_t>(high1[j] + 0x8000),
              static_cast<uint32_t>(high2[j] + 0x8000));
        Widen(&e, static_cast<uint32_t>(low1[j] + 0x8000), static_cast<uint32_t>(low2[j] + 0x8000));
    }
    for (; i < frames; i++) {
        memcpy(out + 4 * i, first + 2 * i, 2);
        memcpy(out + 4 * i + 2, second + 2 * i, 2);
        Widen(&e, static_cast<uint32_t>(Decode16(first + 2 * i) + 0x8000),
              static_cast<uint32_t>(Decode16(second + 2 * i) + 0x8000));
    }
    RaisePeak(peak1, e.high1, e.low1, kBias16);
    RaisePeak(peak2, e.high2, e.low2, kBias16);
}

// 24-bit stereo, one frame per step: each sample is copied as four bytes (the sample and
// the first byte of the next one, which the next copy overwrites) and read as one
// little-endian word with that byte masked off. Only frames that have another one behind
// them go this way; the last frame is copied and read by its three-byte samples.
void InterleavePeaks24(uint32_t frames, const uint8_t* first, const uint8_t* second,
                       uint8_t* out, int32_t* peak1, int32_t* peak2)
{
    Extremes e = {kBias24, kBias24, kBias24, kBias24};
    uint32_t i = 0;
    for (; frames - i > 1; i++, first += 3, second += 3, out += 6) {
        memcpy(out, first, 4);
        memcpy(out + 3, second, 4);
        Widen(&e, (Load32(first) & 0xffffffu) ^ kBias24, (Load32(second) & 0xffffffu) ^ kBias24);
    }
    if (i < frames) {
        memcpy(out, first, 3);
        memcpy(out + 3, second, 3);
        Widen(&e, Biased24(first), Biased24(second));
    }
    RaisePeak(peak1, e.high1, e.low1, kBias24);
    RaisePeak(peak2, e.high2, e.low2, kBias24);
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

void InterleavePeaks(uint32_t frames, uint32_t width, const uint8_t* first, const uint8_t* second,
                     uint8_t* out, int32_t* peak1, int32_t* peak2)
{
    if (frames == 0)  // as CheckPeak: no frames leave the peaks alone
        return;
    if (width == 2)
        InterleavePeaks16(frames, first, second, out, peak1, peak2);
    else if (width == 3)
        InterleavePeaks24(frames, first, second, out, peak1, peak2);
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
    // Full scale gives -0.00.
    printf("Channel %i peak = %.2f dB\n", channel, LevelDb(peak, static_cast<uint32_t>(width)));
}

float LevelDb(int32_t peak, uint32_t width)
{
    if (peak <= 0)
        return width == 2 ? -96.0f : -144.0f;
    const double fullScale = width == 2 ? 32768.0 : 8388608.0;
    const float ratio = static_cast<float>(fullScale / peak);
    return -20.0f * log10f(ratio);
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

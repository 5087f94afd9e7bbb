// FormatSeconds: the text printf's "%.2f" gives a float (widened to double), without
// printf. The progress and clock lines print one such number for every block, and
// printf's general conversion costs more than the rest of the line's work.
#include "audio/audio.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Below 2^40 every value times 100 fits in 64 bits with room to spare; larger ones (no
// position or duration of a take comes near) go through snprintf.
constexpr float kDirectLimit = 1099511627776.0f;

}  // namespace

int FormatSeconds(char* buf, uint32_t cap, float value)
{
    if (cap == 0)
        return 0;
    if (std::signbit(value) || !(value < kDirectLimit)) {  // negative, -0, NaN, inf, huge
        const int n = snprintf(buf, cap, "%.2f", static_cast<double>(value));
        if (n < 0) {
            buf[0] = '\0';
            return 0;
        }
        return static_cast<uint32_t>(n) < cap ? n : static_cast<int>(cap - 1);
    }
    // value = mantissa * 2^exponent exactly, mantissa below 2^24; 100 * value is then
    // rounded to an integer as printf rounds: to nearest, a tie to the even neighbour.
    int exponent = 0;
    const float fraction = frexpf(value, &exponent);  // value = fraction * 2^exponent
    const uint64_t mantissa = static_cast<uint64_t>(ldexpf(fraction, 24));  // exact
    exponent -= 24;
    const uint64_t scaled = mantissa * 100;  // below 2^31
    uint64_t hundredths = 0;
    if (exponent >= 0) {
        hundredths = scaled << exponent;  // value below 2^40: no overflow
    } else if (exponent > -40) {
        const int shift = -exponent;
        hundredths = scaled >> shift;
        const uint64_t rest = scaled & ((UINT64_C(1) << shift) - 1);
        const uint64_t half = UINT64_C(1) << (shift - 1);
        if (rest > half || (rest == half && (hundredths & 1) != 0))
            hundredths++;
    }  // else below 2^-16 with a mantissa below 2^24 and scaled below 2^31: 100 * value < 1/2

    // Digits from the right: two decimals, the point, then the whole part (at least "0").
    char text[32];
    int at = sizeof text;
    uint64_t whole = hundredths / 100;
    const uint32_t cents = static_cast<uint32_t>(hundredths % 100);
    text[--at] = static_cast<char>('0' + cents % 10);
    text[--at] = static_cast<char>('0' + cents / 10);
    text[--at] = '.';
    do {
        text[--at] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole != 0);
    const int length = static_cast<int>(sizeof text) - at;
    const int kept = static_cast<uint32_t>(length) < cap ? length : static_cast<int>(cap - 1);
    memcpy(buf, text + at, static_cast<size_t>(kept));
    buf[kept] = '\0';
    return kept;
}

void ShowSeconds(const char* label, float seconds)
{
    char number[48];
    FormatSeconds(number, sizeof number, seconds);
    fputs(label, stdout);
    fputs(number, stdout);
    fputs(" sec", stdout);
    fflush(stdout);
}

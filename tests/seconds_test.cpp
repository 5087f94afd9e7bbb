// FormatSeconds against snprintf's "%.2f" of the same float widened to double: a wide
// sweep of float values, every tie (a value whose hundredths end in exactly one half),
// the times the progress and clock lines show, and the values only snprintf handles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "audio/audio.h"

namespace {

float FromBits(uint32_t bits)
{
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// Returns the number of values that differ, so that a broken formatter fails one check
// instead of a million.
int Mismatches(float value, int* shown)
{
    char expected[64];
    char got[64];
    snprintf(expected, sizeof expected, "%.2f", static_cast<double>(value));
    const int n = FormatSeconds(got, sizeof got, value);
    if (strcmp(expected, got) == 0 && n == static_cast<int>(strlen(expected)))
        return 0;
    if ((*shown)++ < 5)
        ADD_FAILURE() << "value " << value << ": expected " << expected << ", got " << got;
    return 1;
}

TEST(SecondsTest, MatchesPrintfOverTheFloats)
{
    int shown = 0;
    int bad = 0;
    // Every 4093rd bit pattern from 0 past 2^41 (beyond it snprintf does the work).
    for (uint32_t bits = 0; bits < 0x54000000u; bits += 4093)
        bad += Mismatches(FromBits(bits), &shown);
    // Ties: eighths whose hundredths end in one half (0.125, 0.375, ...) round to even.
    for (uint32_t k = 0; k < (1u << 17); k++)
        bad += Mismatches(static_cast<float>(k) / 8.0f, &shown);
    for (uint32_t k = 1; k < (1u << 17); k += 2)
        bad += Mismatches(static_cast<float>((1u << 20) + k / 8) + 0.125f * (k % 8), &shown);
    // What the lines show: whole periods of 4096 frames at the common rates.
    for (uint32_t rate : {8000u, 22050u, 44100u, 48000u, 96000u, 192000u})
        for (uint32_t n = 0; n < 50000; n++)
            bad += Mismatches(static_cast<float>(n * 4096u) / static_cast<float>(rate), &shown);
    EXPECT_EQ(0, bad);
}

TEST(SecondsTest, OutsideTheDirectRange)
{
    int shown = 0;
    int bad = 0;
    for (float value : {-0.0f, -0.004f, -0.005f, -1.0f, -3.999f, 1099511627776.0f, 3.0e38f,
                        std::numeric_limits<float>::max(), std::numeric_limits<float>::infinity(),
                        -std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN()})
        bad += Mismatches(value, &shown);
    EXPECT_EQ(0, bad);
}

TEST(SecondsTest, CutToFit)
{
    char buf[8];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0, FormatSeconds(buf, 0, 12.5f));
    EXPECT_EQ('x', buf[0]);  // no room: nothing written
    EXPECT_EQ(0, FormatSeconds(buf, 1, 12.5f));
    EXPECT_STREQ("", buf);
    EXPECT_EQ(2, FormatSeconds(buf, 3, 12.5f));
    EXPECT_STREQ("12", buf);
    EXPECT_EQ(5, FormatSeconds(buf, 6, 12.5f));
    EXPECT_STREQ("12.50", buf);
    EXPECT_EQ(7, FormatSeconds(buf, sizeof buf, 1.0e30f));  // through snprintf, cut too
    EXPECT_STREQ("1000000", buf);
}

}  // namespace

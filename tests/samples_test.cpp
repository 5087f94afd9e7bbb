// Interleaving, peak metering, the peak report and the float-to-integer conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "audio/audio.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(SamplesTest, Interleave)
{
    // One plane passed twice: A, B becomes A A, B B.
    const Bytes mono = {0x01, 0x02, 0x03, 0x04};
    Bytes out(8, 0xee);
    Interleave(2, 2, mono.data(), mono.data(), out.data());
    EXPECT_EQ(Bytes({0x01, 0x02, 0x01, 0x02, 0x03, 0x04, 0x03, 0x04}), out);

    const Bytes left = {0x11, 0x12, 0x13, 0x14, 0x15, 0x16};
    const Bytes right = {0x21, 0x22, 0x23, 0x24, 0x25, 0x26};
    out.assign(12, 0xee);
    Interleave(2, 3, left.data(), right.data(), out.data());
    EXPECT_EQ(Bytes({0x11, 0x12, 0x13, 0x21, 0x22, 0x23, 0x14, 0x15, 0x16, 0x24, 0x25, 0x26}),
              out);

    // No frames, or a width other than 2 and 3: nothing is written.
    for (uint32_t width : {2u, 3u}) {
        out.assign(12, 0xee);
        Interleave(0, width, left.data(), right.data(), out.data());
        EXPECT_EQ(Bytes(12, 0xee), out);
    }
    for (uint32_t width : {0u, 1u, 4u}) {
        out.assign(12, 0xee);
        Interleave(1, width, left.data(), right.data(), out.data());
        EXPECT_EQ(Bytes(12, 0xee), out);
    }
}

TEST(SamplesTest, CheckPeak)
{
    struct Case {
        Bytes samples;
        int32_t frames;
        uint32_t width;
        int32_t start, peak;
    } cases[] = {
        {{0xff, 0xff}, 1, 2, 0, 1},
        {{0x00, 0x80}, 1, 2, 0, 32768},
        {{0xff, 0x7f}, 1, 2, 0, 32767},
        {{0x00, 0x00, 0x80}, 1, 3, 0, 8388608},
        {{0xff, 0xff, 0xff}, 1, 3, 0, 1},
        {{0xff, 0xff, 0x7f}, 1, 3, 0, 8388607},
        {{0, 0, 0, 0, 0, 0}, 3, 2, 0, 0},                   // silence
        {{0x10, 0x00, 0xf0, 0xff, 0x05, 0x00}, 3, 2, 0, 16},  // 16, -16, 5
        {{0x10, 0x00}, 1, 2, 16, 16},                       // equal: unchanged
        {{0x10, 0x00}, 1, 2, 100, 100},                     // never lowered
        {{0xff, 0xff}, 0, 2, 7, 7},                         // no frames
        {{0xff, 0xff}, -1, 2, 7, 7},
        {{0xff, 0xff, 0xff, 0xff}, 1, 4, 7, 7},             // unknown width
        {{0xff}, 1, 1, 7, 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "width " << c.width << ", expected " << c.peak);
        int32_t peak = c.start;
        CheckPeak(c.frames, &peak, c.samples.data(), c.width);
        EXPECT_EQ(c.peak, peak);
    }
}

TEST(SamplesTest, ShowPeaks)
{
    struct Case {
        int32_t channel, peak, width;
        const char* line;
    } cases[] = {
        {1, 0, 2, "Channel 1 peak = -96 dB\n"},
        {2, 0, 3, "Channel 2 peak = -144 dB\n"},
        {1, 16384, 2, "Channel 1 peak = -6.02 dB\n"},
        {1, 3277, 2, "Channel 1 peak = -20.00 dB\n"},
        {2, 1, 2, "Channel 2 peak = -90.31 dB\n"},
        {1, 1, 3, "Channel 1 peak = -138.47 dB\n"},
        {1, 4194304, 3, "Channel 1 peak = -6.02 dB\n"},
        {1, 32768, 2, "Channel 1 peak = -0.00 dB\n"},
        {2, 8388608, 3, "Channel 2 peak = -0.00 dB\n"},
        {1, 65536, 2, "Channel 1 peak = 6.02 dB\n"},  // above full scale: no clamp
        {1, 100, 4, ""},                              // unknown width
        {1, 0, 0, ""},
        {1, -5, 2, ""},                               // no magnitude
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        ShowPeaks(c.channel, c.peak, c.width);
        EXPECT_EQ(c.line, testing::internal::GetCapturedStdout())
            << "peak " << c.peak << ", width " << c.width;
    }
}

TEST(SamplesTest, FloatToInt32)
{
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float in;
        int32_t out;
    } cases[] = {
        {0.0f, 0},
        {-0.0f, 0},
        {1.9f, 1},
        {-1.9f, -1},
        {0.999f, 0},
        {441000.5f, 441000},
        {2147483520.0f, 2147483520},  // the largest float below 2^31
        {2147483648.0f, INT32_MAX},
        {3e9f, INT32_MAX},
        {inf, INT32_MAX},
        {-2147483648.0f, INT32_MIN},
        {-2147483904.0f, INT32_MIN},
        {-inf, INT32_MIN},
        {std::nanf(""), 0},
        {-std::nanf(""), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.out, FloatToInt32(c.in)) << c.in;
}

}  // namespace

namespace {

// The meter after one interval of `samples` (16-bit, one channel), as its line shows it.
std::string MeterAfter(std::initializer_list<int> samples, LevelMeter* meter)
{
    Bytes plane;
    for (int v : samples) {
        plane.push_back(static_cast<uint8_t>(v & 0xff));
        plane.push_back(static_cast<uint8_t>((v >> 8) & 0xff));
    }
    int32_t peak = 0;
    CheckPeak(static_cast<int32_t>(samples.size()), &peak, plane.data(), 2);
    MeterBlock(meter, 0, peak, plane.data(), static_cast<uint32_t>(samples.size()), 2);
    NextMeterInterval(meter);
    char line[kMeterColumns + 1];
    FormatMeterLine(line, sizeof line, meter, "", -1);
    return line;
}

}  // namespace

// The live meter: the level of an interval in dB as the peak lines give it (silence at the
// floor), the held peak marked on the bar and kept for 20 intervals, full-scale samples
// counted at both ends of the range, and the line within 79 columns.
TEST(SamplesTest, LevelMeter)
{
    EXPECT_EQ(LevelDb(0, 2), -96.0f);
    EXPECT_EQ(LevelDb(0, 3), -144.0f);
    EXPECT_NEAR(LevelDb(16384, 2), -6.02f, 0.005f);
    EXPECT_NEAR(LevelDb(4194304, 3), -6.02f, 0.005f);

    LevelMeter meter;
    StartMeter(&meter, 2, 1);
    struct Step {
        std::initializer_list<int> samples;
        const char* line;
    } steps[] = {
        {{100, -16384, 5}, "1[#######-]  -6.0dB "},
        {{3277}, "1[#####-|-] -20.0dB "},  // the -6 dB peak is held
        {{32767, -32768, 32767}, "1[########]  -0.0dB!"},  // three samples at full scale
        {{0}, "1[-------|] -96.0dB!"},
    };
    for (const Step& s : steps)
        EXPECT_EQ(MeterAfter(s.samples, &meter), s.line);
    EXPECT_EQ(meter.channel[0].clips, 3u);
    for (int i = 0; i < kMeterHoldIntervals - 1; i++)
        MeterAfter({0}, &meter);
    EXPECT_EQ(MeterAfter({0}, &meter), "1[--------] -96.0dB!");  // the hold has run out

    StartMeter(&meter, 3, 2);
    char line[kMeterColumns + 1];
    const int n = FormatMeterLine(line, sizeof line, &meter, "Remaining 123456.78 sec", 99999999);
    EXPECT_EQ(n, 79);
    EXPECT_EQ(std::string(line, 24), "Remaining 123456.78 sec ");
}

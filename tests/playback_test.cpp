// PLAY through the virtual device "tbtest": its playback side writes every frame handed
// to the device into "play.raw", so the tests check the bytes the device received, the
// console transcript and the result. The calls run in the test driver process.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/drivers/run_driver.h"
#include "tests/e2e.h"

namespace {

constexpr uint32_t kPeriod = 4096;  // the period tbtest grants

std::string PlayingLine(const std::string& file)
{
    return "Playing " + file + " ...\n";
}

// A WAV file of `frames` frames of test pattern; returns the sample data.
std::string MakeWav(const std::string& path, uint32_t rate, uint32_t channels, uint32_t bits,
                    uint32_t frames, uint32_t seed)
{
    const std::string data = Pattern(frames * channels * (bits / 8), seed);
    WriteFile(path, WavHeader(rate, channels, bits, static_cast<uint32_t>(data.size())) + data);
    return data;
}

DriverRun Play(const std::string& dir, const std::string& file, const std::string& start,
               const std::string& stop, const std::string& device = "tbtest")
{
    remove((dir + "/play.raw").c_str());
    return RunDriver(dir, {"play", file, device, start, stop});
}

}  // namespace

// 44100 Hz from 1.0 to 2.0 s: 11 chunks of 4096 frames from frame 44100, the last one
// running through frame 89155, past the stop frame 88200.
TEST(Playback, SpanPlaysWholePeriodsFromTheStartFrame)
{
    const std::string dir = MakeTempDir();
    const std::string data = MakeWav(dir + "/span.wav", 44100, 2, 16, 132300, 1);
    const DriverRun run = Play(dir, "span.wav", "1.0", "2.0");
    EXPECT_EQ(run.result, "1");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, PlayingLine("span.wav") +
                           Clock({"1.00", "1.09", "1.19", "1.28", "1.37", "1.46", "1.56", "1.65",
                                  "1.74", "1.84", "1.93"}));
    const std::string played = ReadFile(dir + "/play.raw");
    ASSERT_EQ(played.size(), 11u * kPeriod * 4);
    EXPECT_TRUE(played == data.substr(44100u * 4, (89155u - 44100u + 1) * 4));
}

TEST(Playback, StartAndStopZeroPlaysNothing)
{
    const std::string dir = MakeTempDir();
    MakeWav(dir + "/a.wav", 44100, 2, 16, 20000, 2);
    const DriverRun run = Play(dir, "a.wav", "0", "0");
    EXPECT_EQ(run.result, "1");
    EXPECT_EQ(run.out, PlayingLine("a.wav"));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(ReadFile(dir + "/play.raw"), "");
}

// A stop past the end, or a negative one, plays to the end of the file; the rest of the
// last period is silence. A negative start plays from the first frame.
TEST(Playback, StopPastEndOrNegativePlaysToTheEndWithSilenceAfter)
{
    const std::string dir = MakeTempDir();
    const std::string data = MakeWav(dir + "/a.wav", 44100, 2, 16, 10000, 3);
    const std::string expected = data + std::string((3 * kPeriod - 10000) * 4, '\0');
    const std::string clock = Clock({"0.00", "0.09", "0.19"});
    for (const char* stop : {"100", "-1", "-0.5"}) {
        SCOPED_TRACE(stop);
        const DriverRun run = Play(dir, "a.wav", "0", stop);
        EXPECT_EQ(run.result, "1");
        EXPECT_EQ(run.out, PlayingLine("a.wav") + clock);
        EXPECT_TRUE(ReadFile(dir + "/play.raw") == expected);
    }
    const DriverRun run = Play(dir, "a.wav", "-2.5", "0.05");  // stop frame 2205
    EXPECT_EQ(run.result, "1");
    EXPECT_EQ(run.out, PlayingLine("a.wav") + Clock({"0.00"}));
    EXPECT_TRUE(ReadFile(dir + "/play.raw") == data.substr(0, kPeriod * 4));
}

TEST(Playback, StartAtOrPastStopOrEndPlaysNothing)
{
    const std::string dir = MakeTempDir();
    MakeWav(dir + "/a.wav", 8000, 2, 16, 8000, 4);
    for (const auto& span : std::vector<std::pair<const char*, const char*>>{
             {"0.5", "0.5"}, {"0.75", "0.25"}, {"1.0", "5"}, {"3", "-1"}}) {
        SCOPED_TRACE(span.first);
        const DriverRun run = Play(dir, "a.wav", span.first, span.second);
        EXPECT_EQ(run.result, "1");
        EXPECT_EQ(run.out, PlayingLine("a.wav"));
        EXPECT_EQ(ReadFile(dir + "/play.raw"), "");
    }
}

// Stereo frames reach the device unchanged; mono samples arrive on both channels. Both
// sample widths.
TEST(Playback, StereoUnchangedMonoDoubledAtBothWidths)
{
    const std::string dir = MakeTempDir();
    for (uint32_t bits : {16u, 24u}) {
        SCOPED_TRACE(bits);
        const uint32_t width = bits / 8;
        const std::string stereo = MakeWav(dir + "/s.wav", 48000, 2, bits, 9000, bits);
        DriverRun run = Play(dir, "s.wav", "0", "3600");
        EXPECT_EQ(run.result, "1");
        EXPECT_EQ(run.out, PlayingLine("s.wav") + Clock({"0.00", "0.09", "0.17"}));
        EXPECT_TRUE(ReadFile(dir + "/play.raw") ==
                    stereo + std::string((3 * kPeriod - 9000) * 2 * width, '\0'));

        const std::string mono = MakeWav(dir + "/m.wav", 48000, 1, bits, 5000, bits + 1);
        run = Play(dir, "m.wav", "0", "3600");
        EXPECT_EQ(run.result, "1");
        EXPECT_EQ(run.out, PlayingLine("m.wav") + Clock({"0.00", "0.09"}));
        EXPECT_TRUE(ReadFile(dir + "/play.raw") ==
                    Doubled(mono, width) + std::string((2 * kPeriod - 5000) * 2 * width, '\0'));
    }
}

// Mid-file chunks of a mono file: each chunk is read at its own absolute position.
TEST(Playback, MonoChunksComeFromTheirPositions)
{
    const std::string dir = MakeTempDir();
    const std::string mono = MakeWav(dir + "/m.wav", 22050, 1, 24, 30000, 9);
    const DriverRun run = Play(dir, "m.wav", "0.5", "0.9");  // frames 11025 to 19845
    EXPECT_EQ(run.out, PlayingLine("m.wav") + Clock({"0.50", "0.69", "0.87"}));
    EXPECT_TRUE(ReadFile(dir + "/play.raw") == Doubled(mono.substr(11025 * 3, 3 * kPeriod * 3), 3));
}

// Sample widths other than 2 or 3 bytes, channel counts other than 1 or 2 and a sample
// rate of 0 are refused before the device is opened (the device name here does not exist,
// so an open would have shown on standard error).
TEST(Playback, UnplayableFilesAreRefusedBeforeTheDevice)
{
    const std::string dir = MakeTempDir();
    struct Case {
        uint32_t rate, channels, bits;
        const char* message;
    };
    const char* const kLayout = ": only 16- or 24-bit mono or stereo files can be played\n";
    for (const Case& c : {Case{44100, 2, 8, kLayout}, Case{44100, 1, 32, kLayout},
                          Case{44100, 3, 16, kLayout}, Case{44100, 6, 24, kLayout},
                          Case{0, 2, 16, ": its sample rate is 0\n"}}) {
        SCOPED_TRACE(std::to_string(c.channels) + " x " + std::to_string(c.bits));
        MakeWav(dir + "/x.wav", c.rate, c.channels, c.bits, 100, 5);
        const DriverRun run = Play(dir, "x.wav", "0", "3600", "nosuchdevice");
        EXPECT_EQ(run.result, "0");
        EXPECT_EQ(run.out, std::string("Cannot play x.wav") + c.message);
        EXPECT_EQ(run.err, "");
    }
}

TEST(Playback, FileAndDeviceFailures)
{
    const std::string dir = MakeTempDir();
    DriverRun run = Play(dir, "missing.wav", "0", "1");
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.out, "The file called missing.wav cannot be found!\n");
    EXPECT_EQ(run.err, "");

    MakeWav(dir + "/a.wav", 44100, 2, 16, 1000, 6);
    run = Play(dir, "a.wav", "0", "1", "nosuchdevice");
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.substr(run.err.find("unable")),  // behind ALSA's own line
              "unable to open pcm device: No such file or directory\n"
                       "Could not open nosuchdevice: type u, then 4, to see the devices\n");

    // A device that refuses the sample format or two channels plays through the plug.
    run = Play(dir, "a.wav", "0", "1", "tbnofmt");
    EXPECT_EQ(run.result, "1");
    EXPECT_EQ(run.out, "tbnofmt does not take S16_LE: converting through plug\nPlaying a.wav ...\n\rclock = 0.00 sec");
    EXPECT_EQ(run.err, "");

    run = Play(dir, "a.wav", "0", "1", "tbquad");
    EXPECT_EQ(run.result, "1");
    EXPECT_EQ(run.out, "tbquad does not take 2 channels: converting through plug\nPlaying a.wav ...\n\rclock = 0.00 sec");
    EXPECT_EQ(run.err, "");

    run = Play(dir, "a.wav", "0", "1", "tbrefuse");
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Unable to set hardware parameters: Invalid argument\n");
    EXPECT_EQ(ReadFile(dir + "/play.raw"), "");
}

// RECORD through the virtual device "tbtest": its capture side delivers the interleaved
// frames of "capture.raw" one period (4096 frames) after another, and its playback side
// writes what "play last take" plays into "play.raw". Each run is one call in the test
// driver process, with the take menu answers on standard input; the tests compare the
// take file's bytes with the captured frames and the console transcript byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/drivers/run_driver.h"
#include "tests/e2e.h"

namespace {

constexpr uint32_t kPeriod = 4096;  // the period tbtest grants
const char* const kTake = "takebox_temp.wav";

uint32_t Hash(uint32_t x)
{
    x *= 2654435761u;
    x ^= x >> 15;
    x *= 2246822519u;
    x ^= x >> 13;
    return x;
}

// The test signal: channel 1 reaches magnitude 16384 (-6.02 dB) and channel 2 magnitude
// 3277 (-20.00 dB) in every period and stays below them elsewhere; 24-bit samples are the
// same values scaled by 256.
int32_t Sample(uint32_t channel, uint32_t frame)
{
    if (channel == 1)
        return frame % kPeriod == 0 ? -16384 : static_cast<int32_t>(Hash(frame) % 32767) - 16383;
    return frame % kPeriod == 7 ? 3277 : static_cast<int32_t>(Hash(frame ^ 0x5a5a5a5au) % 6553) - 3276;
}

std::string Encode(int32_t v, uint32_t width)
{
    const uint32_t u = static_cast<uint32_t>(width == 3 ? v * 256 : v);
    std::string s;
    for (uint32_t i = 0; i < width; i++)
        s += static_cast<char>((u >> (8 * i)) & 0xff);
    return s;
}

// Frames [first, first + count) of the signal: stereo interleaved, or channel 1 alone.
std::string Frames(uint32_t first, uint32_t count, uint32_t width, uint32_t channels)
{
    std::string s;
    s.reserve(static_cast<size_t>(count) * channels * width);
    for (uint32_t f = first; f < first + count; f++) {
        s += Encode(Sample(1, f), width);
        if (channels == 2)
            s += Encode(Sample(2, f), width);
    }
    return s;
}

void WriteCapture(const std::string& dir, uint32_t frames, uint32_t width)
{
    WriteFile(dir + "/capture.raw", Frames(0, frames, width, 2));
}

std::string Fmt(const char* format, float value)
{
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

// "Recording..." and the progress line of every block: the time left before the block.
std::string Progress(int32_t planned, uint32_t rate, int32_t blocks = -1)
{
    std::string s = "Recording...\n";
    int32_t done = 0;
    for (int32_t t = 0; t < planned && done != blocks; t += kPeriod, done++)
        s += Fmt("\rRemaining %.2f sec", static_cast<float>(planned - t) / static_cast<float>(rate));
    return s;
}

// The report after a take of the test signal (or of silence) and the take menu.
std::string Report(uint32_t width, uint32_t channels, bool silent = false)
{
    std::string s = "\n\n";
    if (silent) {
        const std::string level = width == 2 ? "-96" : "-144";
        s += "Channel 1 peak = " + level + " dB\n";
        if (channels == 2)
            s += "Channel 2 peak = " + level + " dB\n";
    } else {
        s += "Channel 1 peak = -6.02 dB\n";
        if (channels == 2)
            s += "Channel 2 peak = -20.00 dB\n";
    }
    return s + kTakeMenu;
}

// PLAY's transcript for chunks starting at frames first, first + 4096, ... below stop.
std::string Playing(uint32_t first, uint32_t stop, uint32_t rate)
{
    std::string s = std::string("Playing ") + kTake + " ...\n";
    for (uint32_t f = first; f < stop; f += kPeriod)
        s += Fmt("\rclock = %.2f sec", static_cast<float>(f) / static_cast<float>(rate));
    return s;
}

DriverRun Record(const std::string& dir, const std::string& input, uint32_t rate,
                 const std::string& duration, uint32_t channels, uint32_t bits,
                 const std::string& device = "tbtest", const std::string& shellPrefix = "",
                 const std::string& takePath = kTake, const std::string& append = "0")
{
    return RunDriver(dir,
                     {"record", device, std::to_string(rate), duration, std::to_string(channels),
                      std::to_string(bits), takePath, append},
                     input, shellPrefix);
}

}  // namespace

// 44100 Hz, 10 s, stereo, 16 bits: 108 blocks of 4096 frames (442368 frames), the last
// progress line shows 0.06 s; "1" keeps them all. End of input at the menu does the same.
TEST(Record, SaveKeepsWholeBlocksAndEndOfInputSaves)
{
    const std::string dir = MakeTempDir();
    WriteCapture(dir, 2 * 442368, 2);
    const std::string expectedFile = WavHeader(44100, 2, 16, 1764000) + Frames(0, 442368, 2, 2);
    const std::string transcript = Progress(441000, 44100) + Report(2, 2);
    std::string out;
    for (const char* input : {"1\n", "", "  \n"}) {
        SCOPED_TRACE(std::string("input '") + input + "'");
        const DriverRun run = Record(dir, input, 44100, "10", 2, 16);
        EXPECT_EQ(run.result, "1769472");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out, transcript);
        EXPECT_TRUE(ReadFile(dir + "/" + kTake) == expectedFile);
        out = run.out;
    }
    // Apart from the formula the transcript is built with: 108 progress lines, from
    // 10.00 down to 0.06.
    size_t count = 0;
    for (size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1))
        count++;
    EXPECT_EQ(count, 108u);
    EXPECT_EQ(out.compare(0, 33, "Recording...\n\rRemaining 10.00 sec"), 0);
    EXPECT_NE(out.find("\rRemaining 0.06 sec\n\n"), std::string::npos);
}

// "2" keeps the planned 441000 frames and records the next take right behind them, over
// the part of the first take's last block that ran past the plan; "3" records over the
// last take; "4" returns without it, its bytes left behind the counted data.
TEST(Record, ContinueRedoAndDelete)
{
    const std::string dir = MakeTempDir();
    WriteCapture(dir, 2 * 442368, 2);
    const std::string header = WavHeader(44100, 2, 16, 1764000);
    const std::string take = Progress(441000, 44100) + Report(2, 2);

    DriverRun run = Record(dir, "2\n1\n", 44100, "10", 2, 16);
    EXPECT_EQ(run.result, "3533472");  // 1764000 + 1769472
    EXPECT_EQ(run.out, take + take);
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) ==
                header + Frames(0, 441000, 2, 2) + Frames(442368, 442368, 2, 2));

    run = Record(dir, "3\n1\n", 44100, "10", 2, 16);
    EXPECT_EQ(run.result, "1769472");
    EXPECT_EQ(run.out, take + take);
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == header + Frames(442368, 442368, 2, 2));

    run = Record(dir, "4\n", 44100, "10", 2, 16);
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.out, take);
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == header + Frames(0, 442368, 2, 2));

    // "2", then "4": only the first take counts.
    run = Record(dir, "2\n4\n", 44100, "10", 2, 16);
    EXPECT_EQ(run.result, "1764000");
    EXPECT_EQ(run.out, take + take);
}

// A plan of 0 frames records no block: the silence lines at once, and nothing is counted,
// whatever the answers.
TEST(Record, PlanOfZeroFramesRecordsNothing)
{
    const std::string dir = MakeTempDir();
    WriteCapture(dir, kPeriod, 3);
    DriverRun run = Record(dir, "2\n1\n", 44100, "0.00001", 2, 16);
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.out, "Recording...\n" + Report(2, 2, true) + "Recording...\n" + Report(2, 2, true));
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == WavHeader(44100, 2, 16, 0));

    run = Record(dir, "1\n", 48000, "0", 1, 24);
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.out, "Recording...\n" + Report(3, 1, true));
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == WavHeader(48000, 1, 24, 0));
}

// "5" (and any word other than "1" to "4", "12" among them) plays the last take from its
// start for the take's duration and shows the same peaks again without recording.
TEST(Record, PlayLastTake)
{
    const std::string dir = MakeTempDir();
    WriteCapture(dir, 3 * 45056, 2);
    const std::string take = Progress(44100, 44100) + Report(2, 2);

    DriverRun run = Record(dir, "5\n1\n", 44100, "1", 2, 16);
    EXPECT_EQ(run.result, "180224");  // 11 blocks
    EXPECT_EQ(run.out, take + Playing(0, 44100, 44100) + Report(2, 2));
    EXPECT_TRUE(ReadFile(dir + "/play.raw") == Frames(0, 45056, 2, 2));

    // The second take begins 1 s into the file: played from there, 11 periods.
    run = Record(dir, "2\n5\n12\n1\n", 44100, "1", 2, 16);
    EXPECT_EQ(run.result, "356624");  // 176400 + 180224
    const std::string second = Playing(44100, 88200, 44100) + Report(2, 2);
    EXPECT_EQ(run.out, take + take + second + second);
    EXPECT_TRUE(ReadFile(dir + "/play.raw") == Frames(45056, 45056, 2, 2));
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) ==
                WavHeader(44100, 2, 16, 176400) + Frames(0, 44100, 2, 2) + Frames(45056, 45056, 2, 2));

    // After "3" the new take starts where the redone one did; end of input after a
    // playback keeps the take.
    run = Record(dir, "3\n5", 44100, "1", 2, 16);
    EXPECT_EQ(run.result, "180224");
    EXPECT_EQ(run.out, take + take + Playing(0, 44100, 44100) + Report(2, 2));
    EXPECT_TRUE(ReadFile(dir + "/play.raw") == Frames(45056, 45056, 2, 2));
}

// Mono opens the device with two channels and keeps and meters channel 1 only; played
// back, it sounds on both channels.
TEST(Record, MonoKeepsChannelOne)
{
    const std::string dir = MakeTempDir();
    WriteCapture(dir, 45056, 2);
    DriverRun run = Record(dir, "1\n", 44100, "1", 1, 16);
    EXPECT_EQ(run.result, "90112");
    EXPECT_EQ(run.out, Progress(44100, 44100) + Report(2, 1));
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) ==
                WavHeader(44100, 1, 16, 88200) + Frames(0, 45056, 2, 1));

    WriteCapture(dir, 24576, 3);
    run = Record(dir, "5\n1\n", 48000, "0.5", 1, 24);  // 24000 frames: 6 blocks
    EXPECT_EQ(run.result, "73728");
    EXPECT_EQ(run.out, Progress(24000, 48000) + Report(3, 1) + Playing(0, 24000, 48000) + Report(3, 1));
    const std::string mono = Frames(0, 24576, 3, 1);
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == WavHeader(48000, 1, 24, 72000) + mono);
    EXPECT_TRUE(ReadFile(dir + "/play.raw") == Doubled(mono, 3));
}

// The take file gets its fresh header before the device is opened, so a device failure
// leaves exactly that header behind.
TEST(Record, DeviceFailuresLeaveAFreshHeader)
{
    const std::string dir = MakeTempDir();
    WriteCapture(dir, kPeriod, 2);
    const std::string header = WavHeader(44100, 2, 16, 1764000);

    WriteFile(dir + "/" + kTake, "an old take that is longer than a header......");
    DriverRun run = Record(dir, "1\n", 44100, "10", 2, 16, "nosuchdevice");
    EXPECT_EQ(run.result, "-1");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.substr(run.err.find("unable")),  // behind ALSA's own line
              "unable to open pcm record device: No such file or directory\n"
                       "Could not open nosuchdevice: type u, then 4, to see the devices\n");
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == header);

    // A device that refuses the sample format or two channels records through the plug.
    for (const char* device : {"tbnofmt", "tbquad"}) {
        run = Record(dir, "1\n", 44100, "0.05", 2, 16, device);
        EXPECT_EQ(run.result, "16384");
        EXPECT_EQ(run.out.substr(0, run.out.find("Recording...")),
                  std::string(device) + " does not take " +
                      (device == std::string("tbquad") ? "2 channels" : "S16_LE") +
                      ": converting through plug\n");
        EXPECT_EQ(run.err, "");
    }

    run = Record(dir, "1\n", 44100, "10", 2, 16, "tbrefuse");
    EXPECT_EQ(run.result, "-1");
    EXPECT_EQ(run.out,
              "Could not set record hardware parameters: Invalid argument\n"
              "Returned Driver Parameters:\n"
              "\tBuf 1\tBuf 2\tRate\tChannels\n"
              "Record\t4096\t32768\t44100\t2\n"
              "-------------------------\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == header);
}

// Values no recording can use are refused with one line before the take file or the
// device is touched (the device named here does not exist, so an open would show).
TEST(Record, UnusableValuesAreRefused)
{
    const std::string dir = MakeTempDir();
    struct Case {
        uint32_t rate;
        const char* duration;
        uint32_t channels, bits;
        const char* message;
    };
    for (const Case& c : {
             Case{0, "10", 2, 16, "Cannot record at a sample rate of 0\n"},
             Case{44100, "10", 3, 16, "Cannot record 3 channels of 16 bits\n"},
             Case{44100, "10", 2, 20, "Cannot record 2 channels of 20 bits\n"},
             Case{44100, "-1", 2, 16, "Cannot record a duration of -1.00 sec\n"},
             Case{44100, "nan", 2, 16, "Cannot record a duration of nan sec\n"},
             // For an append, 384000000 frames of 6 bytes: past 2 GB. The longest take
             // named is the last whole period below 2 GB: 87381 periods of 4096 frames,
             // 7456.512 s.
             Case{48000, "8000", 2, 24,
                  "Cannot record 8000.00 sec: a recording must stay below 2 GB (at most 7456.51 sec at these settings)\n"},
             Case{48000, "inf", 1, 16,
                  "Cannot record inf sec: a recording must stay below 2 GB (at most 22369.53 sec at these settings)\n"},
             // At 11 Hz the first durations tried, read back as floats, plan too many
             // frames: the one named is a few steps lower.
             Case{11, "1e9", 2, 16,
                  "Cannot record 1000000000.00 sec: a recording must stay below 2 GB (at most 48806073.87 sec at these settings)\n"},
         }) {
        SCOPED_TRACE(c.message);
        const DriverRun run =
            Record(dir, "1\n", c.rate, c.duration, c.channels, c.bits, "nosuchdevice", "", kTake, "1");
        EXPECT_EQ(run.result, "-1");
        EXPECT_EQ(run.out, c.message);
        EXPECT_EQ(run.err, "");
        EXPECT_FALSE(FileExists(dir + "/" + kTake));
    }
    // The longest takes named pass both checks: the device is the next thing tried.
    for (const Case& c : {Case{48000, "7456.51", 2, 24, ""}, Case{48000, "22369.53", 1, 16, ""},
                          Case{11, "48806073.87", 2, 16, ""}}) {
        SCOPED_TRACE(c.duration);
        const DriverRun run =
            Record(dir, "1\n", c.rate, c.duration, c.channels, c.bits, "nosuchdevice", "", kTake, "1");
        EXPECT_EQ(run.result, "-1");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(LastLine(run.err), "Could not open nosuchdevice: type u, then 4, to see the devices\n");
        remove((dir + "/" + kTake).c_str());
    }
    // A take for a new file goes on in parts past 2 GB: only its frames must stay below
    // 2^31 (524287 periods of 4096 frames, 44739.15 s at 48000 Hz).
    for (const Case& c : {Case{48000, "8000", 2, 24, ""}, Case{48000, "44739.15", 2, 24, ""},
                          Case{48000, "50000", 2, 24,
                               "Cannot record 50000.00 sec: a take must stay below 2^31 frames (at most "
                               "44739.15 sec at these settings)\n"}}) {
        SCOPED_TRACE(c.duration);
        const DriverRun run = Record(dir, "1\n", c.rate, c.duration, c.channels, c.bits, "nosuchdevice");
        EXPECT_EQ(run.result, "-1");
        EXPECT_EQ(run.out, c.message);
        remove((dir + "/" + kTake).c_str());
    }

    // A take file that cannot be created.
    DriverRun run = Record(dir, "1\n", 44100, "10", 2, 16, "nosuchdevice", "", "nodir/take.wav");
    EXPECT_EQ(run.result, "-1");
    EXPECT_EQ(run.out, "Unable to open nodir/take.wav\n");
    EXPECT_EQ(run.err, "");

    // For an append, 357913440 planned frames of 6 bytes fit, but rounded up to whole
    // periods (357916672 frames) they would not: refused once the period is known.
    WriteCapture(dir, 0, 3);
    run = Record(dir, "1\n", 48000, "7456.53", 2, 24, "tbtest", "", kTake, "1");
    EXPECT_EQ(run.result, "-1");
    EXPECT_EQ(run.out,
              "Cannot record 7456.53 sec: a recording must stay below 2 GB (at most 7456.51 sec at these settings)\n");
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(ReadFile(dir + "/" + kTake) == WavHeader(48000, 2, 24, 357913440u * 6));
}

// A full disk (a file-size limit, with SIGXFSZ ignored so that the write fails with
// EFBIG): the failing block ends the take, the result counts only the whole frames that
// reached the file, "2" is refused since the take is incomplete, and "5" plays only the
// part that was written. The playback device here discards its frames: a play.raw under
// the same limit would fail too.
TEST(Record, WriteFailureCountsOnlyWrittenFrames)
{
    const std::string dir = MakeTempDir();
    WriteCapture(dir, 442368, 2);
    const std::string limit = "ulimit -f 100; trap '' XFSZ;";
    for (const char* input : {"2\n5\n1\n", "1\n"}) {
        SCOPED_TRACE(input);
        remove((dir + "/" + kTake).c_str());
        const DriverRun run = Record(dir, input, 44100, "10", 2, 16, "tbsink", limit);
        const std::string file = ReadFile(dir + "/" + kTake);
        ASSERT_GT(file.size(), 44u + kPeriod * 4);
        ASSERT_LT(file.size(), 44u + 441000u * 4);
        const uint32_t written = static_cast<uint32_t>(file.size() - 44) / 4;  // whole frames
        EXPECT_EQ(run.result, std::to_string(written * 4));
        EXPECT_TRUE(file == (WavHeader(44100, 2, 16, 1764000) + Frames(0, written, 2, 2)).substr(0, file.size()));

        const int32_t blocks = static_cast<int32_t>(written / kPeriod);  // written in full
        std::string expected = Progress(441000, 44100, blocks) +
                               "\nWrite to takebox_temp.wav failed: File too large\n" + Report(2, 2);
        if (input[0] == '2') {
            expected += "Cannot continue: the last take was not written in full\n" + kTakeMenu;
            expected += Playing(0, written, 44100) + Report(2, 2);
        }
        EXPECT_EQ(run.out, expected);
        EXPECT_EQ(run.err, "");
    }
}

namespace {

// The signed sample of `bits` bits little-endian at `at` (S24_LE: the low three of its four
// bytes; the fourth, a sign extension, is not read).
int64_t Sample(const std::string& data, size_t at, uint32_t bits)
{
    uint64_t v = 0;
    for (uint32_t b = bits / 8; b-- > 0;)
        v = v << 8 | static_cast<uint8_t>(data[at + b]);
    const uint64_t sign = uint64_t{1} << (bits - 1);
    return static_cast<int64_t>(v ^ sign) - static_cast<int64_t>(sign);
}

}  // namespace

// Devices that refuse what real interfaces refuse (interleaved access only, 32-bit samples
// only, four or eighteen channels, a fixed rate) record and play frame for frame: one that
// takes interleaved access only is read interleaved, the others go through ALSA's plug
// layer and say so once; a card at another rate is refused with a way on.
// Capture: every frame carries its index in its samples' top 16 bits, so a lost, repeated or
// altered frame shows. Playback: what reached the device is the file's samples scaled to its
// format in the first two channels (a mono file in both), the rest silent.
TEST(Record, DevicesThatRefuseLikeHardwareRecordAndPlayThroughThePlug)
{
    struct Profile {
        const char* device;
        const char* refused16;  // what a 16-bit stereo take is refused, and a 24-bit mono one
        const char* refused24;
        uint32_t channels;
        uint32_t bytes16, bits16;  // the device's samples when playing 16- and 24-bit files
        uint32_t bytes24, bits24;
    } profiles[] = {
        {"tbusb", nullptr, nullptr, 2, 2, 16, 3, 24},  // read interleaved: no conversion
        {"tbi2s", "S16_LE", "S24_3LE", 2, 4, 32, 4, 32},
        {"tbi2s24", "S16_LE", "S24_3LE", 2, 4, 24, 4, 24},  // the plug picks S24_LE
        {"tbquad24", "S16_LE", "2 channels", 4, 3, 24, 3, 24},
        {"tb18", "S16_LE", "S24_3LE", 18, 4, 32, 4, 32},
    };
    const std::string dir = MakeTempDir();
    const uint32_t kFrames = 5000;  // played: two chunks of 4096, the rest silence
    std::string stereo16, mono24;
    for (uint32_t i = 0; i < kFrames; i++) {
        stereo16 += Le16(static_cast<uint16_t>(i * 13 - 30000)) + Le16(static_cast<uint16_t>(7 - i));
        mono24 += Le32(i * 3331 - 8000000).substr(0, 3);
    }
    WriteFile(dir + "/s16.wav", WavHeader(44100, 2, 16, kFrames * 4) + stereo16);
    WriteFile(dir + "/m24.wav", WavHeader(44100, 1, 24, kFrames * 3) + mono24);
    for (const Profile& p : profiles) {
        SCOPED_TRACE(p.device);
        for (const uint32_t bits : {16u, 24u}) {
            const uint32_t channels = bits == 16 ? 2 : 1;
            const uint32_t width = bits / 8;
            const DriverRun run = Record(dir, "1\n", 44100, "0.1", channels, bits, p.device);
            EXPECT_EQ(run.result, std::to_string(8192 * channels * width));
            const char* refused = bits == 16 ? p.refused16 : p.refused24;
            EXPECT_EQ(run.out.substr(0, run.out.find("Recording...")),
                      refused == nullptr ? std::string()
                                         : std::string(p.device) + " does not take " + refused +
                                               ": converting through plug\n");
            const std::string take = ReadFile(dir + "/" + kTake).substr(44);
            uint32_t breaks = 0;
            int64_t last = -1;
            for (size_t at = 0; at + channels * width <= take.size(); at += channels * width) {
                int64_t index = 0;
                for (uint32_t c = channels; c-- > 0;)
                    index = index << 16 | (Sample(take, at + c * width, bits) >> (bits - 16) & 0xffff);
                breaks += last >= 0 && index != ((last + 1) & (channels == 2 ? 0xffffffff : 0xffff));
                last = index;
            }
            EXPECT_EQ(breaks, 0u);

            remove((dir + "/play.raw").c_str());
            const DriverRun play = RunDriver(dir, {"play", bits == 16 ? "s16.wav" : "m24.wav", p.device, "0", "1"});
            EXPECT_EQ(play.result, "1");
            const uint32_t bytes = bits == 16 ? p.bytes16 : p.bytes24;
            const uint32_t deviceBits = bits == 16 ? p.bits16 : p.bits24;
            const std::string played = ReadFile(dir + "/play.raw");
            ASSERT_EQ(played.size(), 8192u * p.channels * bytes);
            uint32_t wrong = 0;
            for (uint32_t i = 0; i < 8192; i++)
                for (uint32_t c = 0; c < p.channels; c++) {
                    int64_t want = 0;
                    if (i < kFrames && c < 2)
                        want = bits == 16 ? Sample(stereo16, (i * 2 + c) * 2, 16) : Sample(mono24, i * 3, 24);
                    want *= int64_t{1} << (deviceBits - bits);
                    wrong += Sample(played, (i * p.channels + c) * bytes, deviceBits) != want;
                }
            EXPECT_EQ(wrong, 0u);
        }
    }
    // A card fixed at 48000 Hz: converted in format, never resampled unasked.
    DriverRun run = Record(dir, "1\n", 44100, "0.1", 2, 16, "tbhw48");
    EXPECT_EQ(run.result, "-1");
    EXPECT_EQ(run.out, "tbhw48 does not take S16_LE: converting through plug\n"
                       "Cannot record at 44100 Hz: the capture device runs at 48000 Hz; try a device "
                       "that converts the rate, such as plug:tbhw48\n");
    run = RunDriver(dir, {"play", "s16.wav", "tbhw48", "0", "1"});
    EXPECT_EQ(run.result, "0");
    EXPECT_EQ(run.err, "Cannot play s16.wav at 44100 Hz: the device runs at 48000 Hz; try a device that "
                       "converts the rate, such as plug:tbhw48\n");
    run = Record(dir, "1\n", 48000, "0.1", 2, 16, "tbhw48");
    EXPECT_EQ(run.result, "32768");
}

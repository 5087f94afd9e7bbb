// Files over 2 GiB and over 4 GiB end to end: `t` reports them and `p` plays the right
// bytes near their ends. The files are sparse (the header, a truncate() to the full length
// and a few known bytes written high up with pwrite), so they take next to no disk space.
// On 32-bit ARM, where long is 32 bits, they need the 64-bit file offsets
// (_FILE_OFFSET_BITS=64): without them the program could not even open such a file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e.h"

static_assert(sizeof(off_t) == 8, "the sparse files need a 64-bit off_t");

namespace {

constexpr int64_t kPeriod = 4096;  // the period tbtest grants
constexpr int64_t kHeader = 44;

const std::string kBig = "\t1 big.wav\n";

struct Marker {
    int64_t offset;
    std::string bytes;
};

class LargeFile : public testing::Test {
protected:
    void SetUp() override { dir = MakeTempDir(); }

    // "big.wav": a 44-byte header declaring `declared` data bytes, zeros up to `length`
    // bytes, and the markers; the only track of the list.
    void MakeSparseWav(uint32_t rate, uint32_t channels, uint32_t declared, int64_t length,
                       const std::vector<Marker>& marks)
    {
        markers = marks;
        const std::string path = dir + "/big.wav";
        WriteFile(path, WavHeader(rate, channels, 16, declared));
        ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(length))) << strerror(errno);
        const int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0) << strerror(errno);
        for (const Marker& m : markers) {
            ASSERT_EQ(static_cast<ssize_t>(m.bytes.size()),
                      pwrite(fd, m.bytes.data(), m.bytes.size(), static_cast<off_t>(m.offset)))
                << strerror(errno);
        }
        ASSERT_EQ(0, close(fd));
        struct stat st;
        ASSERT_EQ(0, stat(path.c_str(), &st));
        ASSERT_EQ(length, static_cast<int64_t>(st.st_size));
        EXPECT_LT(static_cast<int64_t>(st.st_blocks) * 512, 1 << 20) << "the file is not sparse";
        WriteFile(dir + "/tlist.txt", "big.wav\n");
    }

    // `count` bytes of big.wav from `from` as written: zeros and the markers, with the
    // zeros of silence after the end of the file.
    std::string Bytes(int64_t from, int64_t count) const
    {
        std::string s(static_cast<size_t>(count), '\0');
        for (const Marker& m : markers) {
            for (size_t i = 0; i < m.bytes.size(); i++) {
                const int64_t at = m.offset + static_cast<int64_t>(i) - from;
                if (at >= 0 && at < count)
                    s[static_cast<size_t>(at)] = m.bytes[i];
            }
        }
        return s;
    }

    std::string dir;
    std::vector<Marker> markers;
};

// 2.5 GiB: 671096000 stereo 16-bit frames at 8000 Hz (83887 s), the data size declared
// in full (above 2^31, below 2^32). Playing from 83886 s to past the end reads from beyond
// the 2 GiB offset: chunks at frames 671088000 and 671092096, the second one cut by the
// end of the file after 3904 frames and filled up with silence.
TEST_F(LargeFile, Over2GiBIsReportedAndPlaysItsLastSecond)
{
    constexpr int64_t kFrames = 671096000;
    constexpr int64_t kLength = kHeader + kFrames * 4;  // 2684384044
    constexpr int64_t kFrom = kHeader + 671088000LL * 4;
    MakeSparseWav(8000, 2, static_cast<uint32_t>(kFrames * 4), kLength,
                  {{kFrom - 32, Pattern(32, 1)},  // just before the start frame: not played
                   {kFrom, Pattern(64, 2)},
                   {kHeader + 671092500LL * 4, Pattern(100, 3)},
                   {kLength - 64, Pattern(64, 4)}});
    WriteSettings(dir, 44100, 16, 2, 83886.0f, 90000.0f, 0, "");

    const RunResult r = RunTakebox(dir, "t c 1p q");
    const std::string show = Show(kBig, "83886.00", "90000.00");
    EXPECT_EQ(r.out, Start(kOpenedList) + show +
                         "\nFile: big.wav\n  channels: 2\n  bits: 16\n  samplerate: 8000\n"
                         "  length (sec): 83887.000\n\nEnter 'c' to continue\n\n" +
                         show + "Playing big.wav ...\n" + Clock({"83886.00", "83886.52"}) + show +
                         kSaving);
    EXPECT_EQ(r.status, 0);
    const std::string played = ReadFile(dir + "/play.raw");
    ASSERT_EQ(played.size(), static_cast<size_t>(2 * kPeriod * 4));
    EXPECT_TRUE(played == Bytes(kFrom, 2 * kPeriod * 4));
    EXPECT_EQ(played.substr(8000 * 4 - 64, 64), Pattern(64, 4));  // the file's last bytes
}

// 4.5 GiB: 2415872000 mono 16-bit frames at 8000 Hz (301984 s), more than 2^31 frames and
// more bytes than a 32-bit size field holds. The header declares 2^31 - 1 bytes (what
// FIX_SIZE writes for a file this long), so the frame count comes from the bytes behind
// the data offset: the whole file, not a count wrapped or cut at 2^31 or 2^32.
class Over4GiB : public LargeFile {
protected:
    static constexpr int64_t kFrames = 2415872000;
    static constexpr int64_t kLength = kHeader + kFrames * 2;  // 4831744044
    static constexpr int64_t kAt4GiB = int64_t{1} << 32;          // a byte offset
    static constexpr int64_t kFrame2To31 = kHeader + (int64_t{1} << 31) * 2;

    void SetUp() override
    {
        LargeFile::SetUp();
        MakeSparseWav(8000, 1, 2147483647u, kLength,
                      {{kHeader + 2147456000LL * 2, Pattern(40, 5)},
                       {kAt4GiB - 16, Pattern(32, 6)},  // across the 4 GiB offset
                       {kFrame2To31, Pattern(24, 7)},
                       {kHeader + 2147515000LL * 2, Pattern(40, 8)},
                       {kHeader + 2415840000LL * 2 - 16, Pattern(16, 9)},  // not played
                       {kHeader + 2415840000LL * 2, Pattern(48, 10)},
                       {kLength - 48, Pattern(48, 11)}});
    }
};

TEST_F(Over4GiB, IsReportedWithItsWholeLength)
{
    WriteSettings(dir, 44100, 16, 2, 0, 0, 0, "");
    const RunResult r = RunTakebox(dir, "t c q");
    const std::string show = Show(kBig, "0.00", "0.00");
    EXPECT_EQ(r.out, Start(kOpenedList) + show +
                         "\nFile: big.wav\n  channels: 1\n  bits: 16\n  samplerate: 8000\n"
                         "  length (sec): 301984.000\n\nEnter 'c' to continue\n\n" +
                         show + kSaving);
    EXPECT_EQ(r.status, 0);
}

// From 301980 s (frame 2415840000, past 2^31) to past the end: the last 32000 frames in
// eight chunks, the last 768 frames of the eighth one silence.
TEST_F(Over4GiB, PlaysItsLastSecondsPast2To31Frames)
{
    WriteSettings(dir, 44100, 16, 2, 301980.0f, 400000.0f, 0, "");
    const RunResult r = RunTakebox(dir, "1p q");
    const std::string show = Show(kBig, "301980.00", "400000.00");
    EXPECT_EQ(r.out, Start(kOpenedList) + show + "Playing big.wav ...\n" +
                         Clock({"301980.00", "301980.50", "301981.03", "301981.53", "301982.06",
                                "301982.56", "301983.06", "301983.59"}) +
                         show + kSaving);
    const std::string played = ReadFile(dir + "/play.raw");
    ASSERT_EQ(played.size(), static_cast<size_t>(8 * kPeriod * 4));
    EXPECT_TRUE(played == Doubled(Bytes(kHeader + 2415840000LL * 2, 8 * kPeriod * 2)));
    EXPECT_EQ(played.substr(32000 * 4 - 96, 96), Doubled(Pattern(48, 11)));  // the last bytes
}

// From 268432 s to 268440 s: frames 2147456000 to 2147520000, across frame 2^31 and the
// 4 GiB byte offset, in sixteen whole chunks of file data.
TEST_F(Over4GiB, PlaysAcrossFrame2To31AndThe4GiBOffset)
{
    WriteSettings(dir, 44100, 16, 2, 268432.0f, 268440.0f, 0, "");
    const RunResult r = RunTakebox(dir, "1p q");
    const std::string show = Show(kBig, "268432.00", "268440.00");
    EXPECT_EQ(r.out, Start(kOpenedList) + show + "Playing big.wav ...\n" +
                         Clock({"268432.00", "268432.50", "268433.03", "268433.53", "268434.06",
                                "268434.56", "268435.06", "268435.59", "268436.09", "268436.59",
                                "268437.12", "268437.62", "268438.16", "268438.66", "268439.16",
                                "268439.69"}) +
                         show + kSaving);
    const std::string played = ReadFile(dir + "/play.raw");
    ASSERT_EQ(played.size(), static_cast<size_t>(16 * kPeriod * 4));
    EXPECT_TRUE(played == Doubled(Bytes(kHeader + 2147456000LL * 2, 16 * kPeriod * 2)));
}

}  // namespace

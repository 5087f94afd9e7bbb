// A take longer than one WAV file holds, end to end: past 2 GB it goes on in a second
// part without a gap, and both parts are plain WAV files that other readers open.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

// Reads `count` 16-bit stereo frames of raw audio from `f` and checks that each carries
// the index `*next`, counting on; frames of silence (index 0 once frames with other
// indices came) are counted in *silence instead. Returns false at the first frame that is neither.
bool ReadIndices(FILE* f, uint64_t count, uint32_t* next, uint64_t* silence)
{
    std::vector<uint8_t> chunk(1 << 20);
    while (count > 0) {
        const size_t want = count < chunk.size() / 4 ? static_cast<size_t>(count) : chunk.size() / 4;
        if (fread(chunk.data(), 4, want, f) != want)
            return false;
        for (size_t i = 0; i < want; i++) {
            const uint32_t index = chunk[4 * i] | chunk[4 * i + 1] << 8 | chunk[4 * i + 2] << 16 |
                                   static_cast<uint32_t>(chunk[4 * i + 3]) << 24;
            if (index == *next)
                (*next)++;
            else if (index == 0 && *next > 0)  // only the padding reads as index 0 here
                (*silence)++;
            else
                return false;
        }
        count -= want;
    }
    return true;
}

}  // namespace

// 11250 s at 48000 Hz, 16-bit stereo: 540000256 frames in whole blocks, 2.16 GB. The take
// file fills at the most whole frames that keep it within 2^31 - 1 bytes (536870900), the
// next frame starts the second part; "5" plays the take through both parts, and on "1" the
// parts become gig.wav and gig-2.wav, both listed, each read back whole by sox and
// python's wave.
TEST(LongTake, PastTwoGigabytesTheTakeGoesOnInASecondPart)
{
    const std::string dir = MakeMemoryDir(5ull << 30);
    if (dir.empty())
        GTEST_SKIP() << "needs 5 GB free in /dev/shm";
    const uint32_t frames = 540000256;
    const uint32_t part = 536870900;
    ASSERT_TRUE(WriteIndexFrames(dir + "/capture.raw", frames));
    WriteSettings(dir, 48000, 16, 2, 0, 0, 11250, "gig.wav");
    WriteFile(dir + "/tlist.txt", "");

    const RunResult r = RunTakebox(dir, "r 5 1 q", "", "", 300);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("gig.wav is saved in 2 parts: gig.wav (11184.81 sec), gig-2.wav "
                         "(65.19 sec)\n"),
              std::string::npos)
        << r.out.substr(r.out.size() > 600 ? r.out.size() - 600 : 0);
    Shell("rm -f '" + dir + "/capture.raw'");  // room for the readers

    // The playback: part by part, each from the take's place in it to the take's planned
    // end (540000000 frames), in whole periods of 4096 frames. The virtual device keeps the
    // frames of the last playback, the second part's: its first 3129344 frames, in order.
    EXPECT_NE(r.out.find("Playing takebox_temp.wav ...\n"), std::string::npos);
    EXPECT_NE(r.out.find(" secPlaying takebox_temp-2.wav ...\n"), std::string::npos);
    FILE* played = fopen((dir + "/play.raw").c_str(), "rb");
    ASSERT_NE(played, nullptr);
    const uint32_t playedFrames = (540000000 - part + 4095) / 4096 * 4096;
    uint32_t next = part;
    uint64_t silence = 0;
    EXPECT_TRUE(ReadIndices(played, playedFrames, &next, &silence));
    EXPECT_EQ(next, part + playedFrames);
    EXPECT_EQ(silence, 0u);
    EXPECT_EQ(fgetc(played), EOF);
    fclose(played);
    Shell("rm -f '" + dir + "/play.raw'");

    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "gig.wav\ngig-2.wav\n");
    EXPECT_EQ(CheckIndexFrames(dir + "/gig.wav", 0, part), part);
    EXPECT_EQ(CheckIndexFrames(dir + "/gig-2.wav", part, frames - part), frames - part);
    EXPECT_FALSE(FileExists(dir + "/takebox_temp.wav"));
    EXPECT_FALSE(FileExists(dir + "/takebox_temp-2.wav"));
    for (const auto& p : {std::make_pair(std::string("gig.wav"), part),
                          std::make_pair(std::string("gig-2.wav"), frames - part)}) {
        const std::string path = dir + "/" + p.first;
        EXPECT_EQ(Shell("sox --i -s '" + path + "' 2>&1"), std::to_string(p.second) + "\n");
        EXPECT_EQ(Shell("python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); "
                        "n = w.getnframes(); w.setpos(n - 1); d = w.readframes(1); "
                        "print(w.getnchannels(), w.getsampwidth(), n, int.from_bytes(d, \"little\"))' '" +
                        path + "' 2>&1"),
                  "2 2 " + std::to_string(p.second) + " " +
                      std::to_string((p.first == "gig.wav" ? 0 : part) + p.second - 1) + "\n");
    }
}

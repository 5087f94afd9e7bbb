// A take longer than one WAV file holds, end to end: past 2 GB it goes on in a second
// part without a gap, and both parts are plain WAV files that other readers open.
#include <gtest/gtest.h>

#include <sys/statvfs.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

// A directory in memory, removed at the end of the test: the take is some gigabytes.
struct MemoryDir {
    std::string path;
    ~MemoryDir()
    {
        if (!path.empty())
            Shell("rm -rf '" + path + "'");
    }
};

// 16-bit stereo frames that each carry their index: the low 16 bits on channel 1, the
// high 16 bits on channel 2.
bool WriteIndexFrames(const std::string& path, uint32_t frames)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::vector<uint8_t> chunk(1 << 20);
    bool ok = true;
    for (uint32_t at = 0; at < frames && ok;) {
        const uint32_t n = frames - at < chunk.size() / 4 ? frames - at : chunk.size() / 4;
        for (uint32_t i = 0; i < n; i++, at++)
            for (int b = 0; b < 4; b++)
                chunk[4 * i + b] = static_cast<uint8_t>(at >> (8 * b));
        ok = fwrite(chunk.data(), 4, n, f) == n;
    }
    return fclose(f) == 0 && ok;
}

// Checks that the audio of `path` (behind its 44-byte header) is the frames with indices
// `first` to `first + frames - 1`, in order. Returns the first frame that is not, or
// `frames` when all are.
uint32_t CheckIndexFrames(const std::string& path, uint32_t first, uint32_t frames)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr || fseek(f, 44, SEEK_SET) != 0)
        return 0;
    std::vector<uint8_t> chunk(1 << 20);
    uint32_t at = 0;
    while (at < frames) {
        const size_t got = fread(chunk.data(), 4, chunk.size() / 4, f);
        if (got == 0)
            break;
        for (size_t i = 0; i < got && at < frames; i++, at++) {
            const uint32_t index = chunk[4 * i] | chunk[4 * i + 1] << 8 | chunk[4 * i + 2] << 16 |
                                   static_cast<uint32_t>(chunk[4 * i + 3]) << 24;
            if (index != first + at) {
                fclose(f);
                return at;
            }
        }
    }
    const bool atEnd = fgetc(f) == EOF;  // nothing behind the frames
    fclose(f);
    return atEnd ? at : 0;
}

}  // namespace

// 11250 s at 48000 Hz, 16-bit stereo: 540000256 frames in whole blocks, 2.16 GB. The take
// file fills at the most whole frames that keep it within 2^31 - 1 bytes (536870900), the
// next frame starts the second part, and on "1" the parts become gig.wav and gig-2.wav,
// both listed, each read back whole by sox and python's wave.
TEST(LongTake, PastTwoGigabytesTheTakeGoesOnInASecondPart)
{
    struct statvfs fs;
    if (statvfs("/dev/shm", &fs) != 0 ||
        static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < (5ull << 30))
        GTEST_SKIP() << "needs 5 GB free in /dev/shm";
    MemoryDir dir;
    char tmpl[] = "/dev/shm/takebox-long-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir.path = tmpl;
    const uint32_t frames = 540000256;
    const uint32_t part = 536870900;
    ASSERT_TRUE(WriteIndexFrames(dir.path + "/capture.raw", frames));
    WriteSettings(dir.path, 48000, 16, 2, 0, 0, 11250, "gig.wav");
    WriteFile(dir.path + "/tlist.txt", "");

    const RunResult r = RunTakebox(dir.path, "r 1 q");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("gig.wav is saved in 2 parts: gig.wav (11184.81 sec), gig-2.wav "
                         "(65.19 sec)\n"),
              std::string::npos)
        << r.out.substr(r.out.size() > 600 ? r.out.size() - 600 : 0);
    Shell("rm -f '" + dir.path + "/capture.raw'");  // room for the readers

    EXPECT_EQ(ReadFile(dir.path + "/tlist.txt"), "gig.wav\ngig-2.wav\n");
    EXPECT_EQ(CheckIndexFrames(dir.path + "/gig.wav", 0, part), part);
    EXPECT_EQ(CheckIndexFrames(dir.path + "/gig-2.wav", part, frames - part), frames - part);
    EXPECT_FALSE(FileExists(dir.path + "/takebox_temp.wav"));
    EXPECT_FALSE(FileExists(dir.path + "/takebox_temp-2.wav"));
    for (const auto& p : {std::make_pair(std::string("gig.wav"), part),
                          std::make_pair(std::string("gig-2.wav"), frames - part)}) {
        const std::string path = dir.path + "/" + p.first;
        EXPECT_EQ(Shell("sox --i -s '" + path + "' 2>&1"), std::to_string(p.second) + "\n");
        EXPECT_EQ(Shell("python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); "
                        "n = w.getnframes(); w.setpos(n - 1); d = w.readframes(1); "
                        "print(w.getnchannels(), w.getsampwidth(), n, int.from_bytes(d, \"little\"))' '" +
                        path + "' 2>&1"),
                  "2 2 " + std::to_string(p.second) + " " +
                      std::to_string((p.first == "gig.wav" ? 0 : part) + p.second - 1) + "\n");
    }
}

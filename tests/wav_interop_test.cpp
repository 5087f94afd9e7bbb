// The files Takebox writes read back with sox (and python's wave module where present),
// and the files sox writes read back through GetAttributes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e.h"
#include "wav/wav.h"

namespace {

// Standard output of a shell command, and whether it exited with 0.
std::string Shell(const std::string& cmd, bool* ok = nullptr)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        if (ok)
            *ok = false;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    if (ok)
        *ok = rc == 0;
    return out;
}

class WavInteropTest : public testing::Test {
protected:
    std::string dir = MakeTempDir();
    void SetUp() override
    {
        bool ok = false;
        Shell("sox --version >/dev/null 2>&1", &ok);
        ASSERT_TRUE(ok) << "sox is needed (scripts/install-deps test installs it)";
    }
    void TearDown() override { system(("rm -rf '" + dir + "'").c_str()); }
};

struct Layout {
    uint32_t rate, channels, bits, frames;
};

const Layout kLayouts[] = {
    {44100, 1, 16, 4410}, {44100, 2, 16, 12345}, {48000, 1, 24, 1000}, {48000, 2, 24, 4800},
    {96000, 2, 24, 7}, {8000, 2, 16, 0},
};

// A recording as Takebox leaves it: a header planned for ten seconds, fewer frames
// written, the data size patched; even layouts patch with the byte count, odd ones with -1.
std::string WriteTake(const std::string& path, const Layout& l, int index)
{
    EXPECT_EQ(1, MAKE_HEADER(path.c_str(), l.rate, l.channels, l.bits,
                             static_cast<int32_t>(l.rate * 10)));
    const uint32_t bytes = l.frames * l.channels * (l.bits / 8);
    const std::string samples = Pattern(bytes, l.frames);
    FILE* f = fopen(path.c_str(), "ab");
    EXPECT_NE(nullptr, f);
    fwrite(samples.data(), 1, samples.size(), f);
    fclose(f);
    EXPECT_EQ(1, FIX_SIZE(path.c_str(), index % 2 ? -1 : static_cast<int32_t>(bytes)));
    return samples;
}

TEST_F(WavInteropTest, SoxReadsTakeboxFiles)
{
    int index = 0;
    for (const Layout& l : kLayouts) {
        SCOPED_TRACE(testing::Message() << l.rate << "/" << l.channels << "/" << l.bits << "/"
                                        << l.frames);
        const std::string path = dir + "/take.wav";
        const std::string samples = WriteTake(path, l, index++);
        const std::string q = " '" + path + "' 2>&1";
        EXPECT_EQ(std::to_string(l.rate) + "\n", Shell("sox --i -r" + q));
        EXPECT_EQ(std::to_string(l.channels) + "\n", Shell("sox --i -c" + q));
        EXPECT_EQ(std::to_string(l.bits) + "\n", Shell("sox --i -b" + q));
        EXPECT_EQ(std::to_string(l.frames) + "\n", Shell("sox --i -s" + q));
        // sox decodes exactly the samples written, and warns about nothing.
        bool ok = false;
        EXPECT_EQ("", Shell("sox -V2 '" + path + "' -t raw '" + dir + "/out.raw' 2>&1", &ok));
        EXPECT_TRUE(ok);
        EXPECT_TRUE(ReadFile(dir + "/out.raw") == samples);
    }
}

TEST_F(WavInteropTest, PythonWaveReadsTakeboxFiles)
{
    bool ok = false;
    Shell("python3 -c 'import wave' >/dev/null 2>&1", &ok);
    if (!ok)
        GTEST_SKIP() << "python3 is not installed";
    // One python run reads every file: rate, channels, width, frames, bytes decoded.
    std::string args, want;
    int index = 0;
    for (const Layout& l : kLayouts) {
        const std::string path = dir + "/take" + std::to_string(index) + ".wav";
        const std::string samples = WriteTake(path, l, index++);
        args += " '" + path + "'";
        char line[128];
        snprintf(line, sizeof line, "%u %u %u %u %zu\n", l.rate, l.channels, l.bits / 8,
                 l.frames, samples.size());
        want += line;
    }
    WriteFile(dir + "/read.py",
              "import wave, sys\n"
              "for name in sys.argv[1:]:\n"
              "    w = wave.open(name, 'rb')\n"
              "    d = w.readframes(w.getnframes())\n"
              "    print(w.getframerate(), w.getnchannels(), w.getsampwidth(), w.getnframes(),"
              " len(d))\n");
    EXPECT_EQ(want, Shell("python3 '" + dir + "/read.py'" + args + " 2>&1"));
}

TEST_F(WavInteropTest, SoxFilesReadBack)
{
    struct Case {
        const char* options;
        uint32_t rate, channels, bits;
        bool extensible;
    } cases[] = {
        {"-t wav -b 16 -c 1 -r 44100", 44100, 1, 16, false},
        {"-t wav -b 16 -c 2 -r 48000", 48000, 2, 16, false},
        {"-t wavpcm -b 24 -c 1 -r 48000", 48000, 1, 24, false},
        {"-t wavpcm -b 24 -c 2 -r 96000", 96000, 2, 24, false},
        {"-t wav -b 24 -c 2 -r 48000", 48000, 2, 24, true},  // WAVE_FORMAT_EXTENSIBLE
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string path = dir + "/sox.wav";
        bool ok = false;
        Shell(std::string("sox -n -e signed-integer ") + c.options + " '" + path +
                  "' synth 0.25 sine 440 2>&1",
              &ok);
        ASSERT_TRUE(ok);
        const std::string bytes = ReadFile(path);
        ASSERT_GE(bytes.size(), 44u);
        const uint16_t formatTag = GetLE16(reinterpret_cast<const uint8_t*>(bytes.data()) + 20);
        EXPECT_EQ(c.extensible ? 0xfffe : 1, formatTag);

        uint32_t rate = 0, width = 0, channels = 0, offset = 0, frames = 0;
        EXPECT_EQ(1, GetAttributes(path.c_str(), &rate, &width, &channels, &offset, &frames, 0));
        EXPECT_EQ(c.rate, rate);
        EXPECT_EQ(c.bits / 8, width);
        EXPECT_EQ(c.channels, channels);
        EXPECT_EQ(bytes.find("data") + 8, offset);
        EXPECT_EQ(c.rate / 4, frames);
        EXPECT_EQ(std::to_string(frames) + "\n", Shell("sox --i -s '" + path + "'"));
    }
}

}  // namespace

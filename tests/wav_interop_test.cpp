// The files Takebox writes read back with sox (and python's wave module where present),
// and the files sox writes read back through GetAttributes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/e2e.h"
#include "wav/wav.h"

namespace {

class WavInteropTest : public testing::Test {
protected:
    std::string dir = MakeTempDir();
    void SetUp() override
    {
        bool ok = false;
        Shell("sox --version >/dev/null 2>&1", &ok);
        ASSERT_TRUE(ok) << "sox is needed (scripts/install-deps test installs it)";
    }
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

        FileAttributes a = {};
        EXPECT_EQ(1, GetAttributes(path.c_str(), &a, 0));
        EXPECT_EQ(c.rate, a.sampleRate);
        EXPECT_EQ(c.bits / 8, a.bytesPerSample);
        EXPECT_EQ(c.channels, a.channels);
        EXPECT_EQ(bytes.find("data") + 8, a.dataOffset);
        EXPECT_EQ(c.rate / 4, a.frameCount);
        EXPECT_EQ(std::to_string(a.frameCount) + "\n", Shell("sox --i -s '" + path + "'"));
    }
}

// Files as recorders and editors write them, with chunks before or after the audio, read
// by t and p and extended by recording at their end (44100 Hz, 0.05 s takes of one
// 4096-frame block).
struct ChunkFile {
    const char* name;
    uint32_t bits, channels;
    std::string bytes;    // the file
    std::string samples;  // its audio
    bool tail;            // other chunks follow the audio
};

std::string Chunk(const std::string& id, const std::string& body)
{
    const std::string pad(body.size() % 2, '\0');
    return id + Le32(static_cast<uint32_t>(body.size())) + body + pad;
}

ChunkFile MakeChunkFile(const char* name, uint32_t bits, uint32_t channels, uint32_t frames,
                        const std::string& before, const std::string& after)
{
    const std::string fmt = WavHeader(44100, channels, bits, 0).substr(12, 24);
    ChunkFile f{name, bits, channels, "", Pattern(frames * channels * bits / 8, frames),
                !after.empty()};
    const std::string chunks = before + fmt + Chunk("data", f.samples) + after;
    f.bytes = "RIFF" + Le32(4 + static_cast<uint32_t>(chunks.size())) + "WAVE" + chunks;
    return f;
}

// What reaches the two-channel device for `samples` of `width`-byte samples, padded with
// silence to whole periods of 4096 frames.
std::string Played(const std::string& samples, uint32_t channels, uint32_t width)
{
    std::string out = channels == 2 ? samples.substr(0, samples.size() / (2 * width) * 2 * width)
                                    : Doubled(samples, width);
    const size_t period = 4096 * 2 * width;
    return out + std::string((period - out.size() % period) % period, '\0');
}

TEST_F(WavInteropTest, ChunksBeforeAndAfterTheAudio)
{
    bool ok = false;
    Shell("python3 -c 'import wave' >/dev/null 2>&1", &ok);
    const bool python = ok;
    // "metadata" puts the bytes "data" at an even offset; the bext chunk holds the same
    // text and reaches past the first 128 KiB; an odd-sized data chunk has its pad byte.
    const std::string list = Chunk("LIST", "INFOICMT" + Le32(8) + "metadata");
    const std::string bext = Chunk("bext", "Session metadata" + std::string(132000, '\0'));
    const ChunkFile files[] = {
        MakeChunkFile("meta.wav", 16, 2, 1000, list, ""),
        MakeChunkFile("bext.wav", 16, 2, 1000, bext, ""),
        MakeChunkFile("pad.wav", 24, 1, 333, "", ""),
        MakeChunkFile("tail.wav", 24, 1, 333, "", list),
    };
    for (const ChunkFile& f : files) {
        SCOPED_TRACE(f.name);
        const std::string run = dir + "/" + f.name + ".d";
        ASSERT_EQ(0, system(("mkdir '" + run + "'").c_str()));
        const std::string path = run + "/" + f.name;
        WriteFile(path, f.bytes);
        WriteFile(run + "/tlist.txt", std::string(f.name) + "\n");
        WriteSettings(run, 44100, f.bits, static_cast<int>(f.channels), 0, 1, 0.05f, f.name);
        const std::string capture = Capture16(44100, 7);
        WriteFile(run + "/capture.raw", capture);
        const uint32_t width = f.bits / 8;
        // The device captures two channels; a mono take keeps channel 1.
        std::string take;
        for (size_t frame = 0; frame < 4096; frame++)
            take += capture.substr(frame * 2 * width, f.channels * width);

        const RunResult r = RunTakebox(run, f.tail ? "t c 1p r 4 c q" : "t c 1p r 4 1 q");
        const std::string show =
            Show("\t1 " + std::string(f.name) + "\n", "0.00", "1.00", "0.05", f.name);
        char report[160];
        snprintf(report, sizeof report,
                 "\nFile: %s\n  channels: %u\n  bits: %u\n  samplerate: 44100\n"
                 "  length (sec): %.3f\n\nEnter 'c' to continue\n\n",
                 f.name, f.channels, f.bits,
                 static_cast<float>(f.samples.size() / (f.channels * width)) / 44100.0f);
        const std::string recorded =
            f.tail ? "You cannot record at the end of " + std::string(f.name) +
                         ": other chunks follow its audio\nEnter 'c' to continue\n"
                   : "Recording...\n\rRemaining 0.05 sec" +
                         (f.channels == 2 ? kPeaks : "\n\nChannel 1 peak = -0.00 dB\n") +
                         kTakeMenu + "Append file is " + std::to_string(44 + take.size()) +
                         " bytes\n";
        EXPECT_EQ(Start(kOpenedList, f.name, "tbtest", 44100, static_cast<int>(f.bits),
                        static_cast<int>(f.channels)) +
                      show + report + show + "Playing " + f.name + " ...\n\rclock = 0.00 sec" +
                      show + ExistsMenuText(f.name) + recorded + show + kSaving,
                  r.out);
        EXPECT_TRUE(ReadFile(run + "/play.raw") == Played(f.samples, f.channels, width));
        if (f.tail) {
            EXPECT_TRUE(ReadFile(path) == f.bytes);
            continue;
        }

        // Only the sizes change, and the take follows the audio, frame-aligned.
        // An odd-sized data chunk keeps its pad byte behind the take.
        std::string want = f.bytes.substr(0, f.bytes.size() - f.samples.size() % 2) + take +
                           std::string((f.samples.size() + take.size()) % 2, '\0');
        const size_t sizeField = f.bytes.size() - f.samples.size() - f.samples.size() % 2 - 4;
        want.replace(4, 4, Le32(static_cast<uint32_t>(want.size() - 8)));
        want.replace(sizeField, 4, Le32(static_cast<uint32_t>(f.samples.size() + take.size())));
        EXPECT_TRUE(ReadFile(path) == want);
        const std::string frames =
            std::to_string((f.samples.size() + take.size()) / (f.channels * width));
        EXPECT_EQ(frames + "\n", Shell("sox --i -s '" + path + "' 2>&1"));
        EXPECT_EQ("", Shell("sox -V2 '" + path + "' -t raw '" + run + "/out.raw' 2>&1", &ok));
        EXPECT_TRUE(ReadFile(run + "/out.raw") == f.samples + take);
        if (python) {
            EXPECT_EQ(frames + " " + std::to_string(f.samples.size() + take.size()) + "\n",
                      Shell("python3 -c 'import wave,sys; w = wave.open(sys.argv[1]); "
                            "d = w.readframes(w.getnframes()); print(w.getnframes(), len(d))' '" +
                            path + "' 2>&1"));
        }
    }
}

}  // namespace

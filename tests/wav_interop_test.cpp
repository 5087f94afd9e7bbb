// The files Takebox writes read back with sox (and python's wave module where present),
// and the files sox writes read back through GetAttributes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// Files as recorders, editors and other libraries write them: chunks before or after the
// audio, samples narrower than their containers, RF64 with its ds64 chunk, big-endian RIFX,
// IMA ADPCM.
// Each is read by t and p and then extended by recording at its end (44100 Hz, 0.05 s
// takes of one 4096-frame block), or refused with the file left as it was.
struct ForeignFile {
    const char* name;
    uint32_t bits, channels;  // the recording settings of the session
    std::string bytes;        // the file
    std::string samples;      // its audio
    uint32_t frames;          // its frames, as t counts them
    uint32_t fileBits, fileChannels;
    std::string report;   // what t prints after the File line ("" the usual report)
    std::string play;     // what p prints ("" it plays)
    std::string refusal;  // what r 4 prints before the wait for "c" ("" it appends)
    size_t sizeField;     // where the 32-bit data size stands
    size_t ds64;          // where the ds64 chunk stands (0 none)
};

std::string Chunk(const std::string& id, const std::string& body)
{
    const std::string pad(body.size() % 2, '\0');
    return id + Le32(static_cast<uint32_t>(body.size())) + body + pad;
}

std::string Le64(uint64_t v)
{
    return Le32(static_cast<uint32_t>(v)) + Le32(static_cast<uint32_t>(v >> 32));
}

// A file of `frames` frames of `container`-byte samples holding `bits` bits each.
ForeignFile MakeFile(const char* name, uint32_t bits, uint32_t channels, uint32_t frames,
                     const std::string& before, const std::string& after,
                     uint32_t container = 0, bool rf64 = false)
{
    const uint32_t width = container != 0 ? container : (bits + 7) / 8;
    const uint32_t align = channels * width;
    const std::string fmt = Chunk("fmt ", Le16(1) + Le16(static_cast<uint16_t>(channels)) +
                                              Le32(44100) + Le32(44100 * align) +
                                              Le16(static_cast<uint16_t>(align)) +
                                              Le16(static_cast<uint16_t>(bits)));
    ForeignFile f{name, bits == 16 || bits == 24 ? bits : 16, channels <= 2 ? channels : 2,
                  "", Pattern(frames * align, frames), frames, bits, channels,
                  "", "", "", 0, 0};
    const std::string pad(f.samples.size() % 2, '\0');
    if (!rf64) {
        const std::string chunks = before + fmt + Chunk("data", f.samples) + after;
        f.bytes = "RIFF" + Le32(4 + static_cast<uint32_t>(chunks.size())) + "WAVE" + chunks;
    } else {
        // Every 32-bit size says "see ds64".
        const std::string chunks = fmt + "data" + Le32(0xffffffffu) + f.samples + pad + after;
        const uint64_t riff = 4 + 36 + chunks.size();
        f.bytes = "RF64" + Le32(0xffffffffu) + "WAVE" +
                  Chunk("ds64", Le64(riff) + Le64(f.samples.size()) + Le64(frames) + Le32(0)) +
                  chunks;
        f.ds64 = 12;
    }
    f.sizeField = f.bytes.size() - after.size() - pad.size() - f.samples.size() - 4;
    return f;
}

// IMA ADPCM as another program writes it: 6.6 s at 22050 Hz, 145530 frames of 4-bit
// samples in 289 blocks of 256 bytes (505 frames each), with its fact chunk or without.
// It cannot be played; t shows the fact chunk's length or none.
ForeignFile MakeAdpcm(const char* name, bool fact)
{
    const std::string fmt = Chunk("fmt ", Le16(0x11) + Le16(1) + Le32(22050) + Le32(11177) +
                                              Le16(256) + Le16(4) + Le16(2) + Le16(505));
    const std::string chunks = fmt + (fact ? Chunk("fact", Le32(145530)) : "") +
                               Chunk("data", Pattern(289 * 256, 289));
    const std::string riff = "RIFF" + Le32(4 + static_cast<uint32_t>(chunks.size())) + "WAVE";
    ForeignFile f{name, 16, 1, riff + chunks, "", 0, 4, 1, "", "", "", 0, 0};
    f.report = std::string("  channels: 1\n  bits: 4\n  samplerate: 22050\n  length (sec): ") +
               (fact ? "6.600\n" : "not known\n");
    f.play = "Cannot play " + std::string(name) +
             ": only 16- or 24-bit mono or stereo files can be played\n";
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

// The file after an append of `take`: the take behind the audio (over the pad byte), a
// pad byte behind an odd-sized data chunk, and the sizes: an RF64 file's in ds64.
std::string Appended(const ForeignFile& f, const std::string& take)
{
    const size_t data = f.samples.size() + take.size();
    std::string want = f.bytes.substr(0, f.sizeField + 4 + f.samples.size()) + take +
                       std::string(data % 2, '\0');
    const uint32_t frameBytes = f.channels * (f.bits / 8);
    if (f.ds64 == 0) {
        want.replace(4, 4, Le32(static_cast<uint32_t>(want.size() - 8)));
        want.replace(f.sizeField, 4, Le32(static_cast<uint32_t>(data)));
    } else {
        want.replace(f.ds64 + 8, 24, Le64(want.size() - 8) + Le64(data) + Le64(data / frameBytes));
    }
    return want;
}

// The readers other than sox that can open `path`: python's wave (RIFF only) and soundfile,
// each "frames bytes" or "frames". "" when none is installed.
std::string OtherReaders(const std::string& path, bool riff)
{
    std::string out;
    bool ok = false;
    if (riff) {
        const std::string wave = Shell("python3 -c 'import wave,sys; w = wave.open(sys.argv[1]); "
                                       "d = w.readframes(w.getnframes()); "
                                       "print(w.getnframes(), len(d))' '" + path + "' 2>&1", &ok);
        out += ok ? wave : "";
    }
    for (const char* python : {"python3", "/usr/bin/python3"}) {
        Shell(std::string(python) + " -c 'import soundfile' >/dev/null 2>&1", &ok);
        if (ok)
            return out + Shell(std::string(python) +
                               " -c 'import soundfile,sys; print(soundfile.info(sys.argv[1]).frames)' '" +
                               path + "' 2>&1");
    }
    return out;
}

TEST_F(WavInteropTest, FilesFromOtherPrograms)
{
    // "metadata" puts the bytes "data" at an even offset; the bext chunk holds the same
    // text and reaches past the first 128 KiB; an odd-sized data chunk has its pad byte.
    const std::string list = Chunk("LIST", "INFOICMT" + Le32(8) + "metadata");
    const std::string bext = Chunk("bext", "Session metadata" + std::string(132000, '\0'));
    const std::string cannot = ", and Takebox records only 16- or 24-bit PCM, mono or stereo\n";
    std::vector<ForeignFile> files = {
        MakeFile("meta.wav", 16, 2, 1000, list, ""),
        MakeFile("bext.wav", 16, 2, 1000, bext, ""),
        MakeFile("pad.wav", 24, 1, 333, "", ""),
        MakeFile("tail.wav", 24, 1, 333, "", list),
        MakeFile("wide.wav", 24, 2, 1000, "", "", 4),
        MakeFile("b20.wav", 20, 1, 1000, "", ""),
        MakeFile("b12.wav", 12, 4, 500, "", ""),
        MakeFile("rf64.wav", 24, 1, 333, "", "", 0, true),
        MakeFile("rf64tail.wav", 16, 2, 1000, "", list, 0, true),
        MakeFile("rifx.wav", 16, 2, 1000, "", ""),
        MakeAdpcm("ima.wav", true),
        MakeAdpcm("imanofact.wav", false),
    };
    files[3].refusal = files[8].refusal = "other chunks follow its audio\n";
    files[4].play = "Cannot play wide.wav: its samples are in containers wider than 3 bytes\n";
    files[4].refusal = "it holds 2 channels of 24-bit samples in 4-byte containers" + cannot;
    files[5].refusal = "it holds 1 channel of 20-bit samples" + cannot;
    files[6].play = "Cannot play b12.wav: only 16- or 24-bit mono or stereo files can be played\n";
    files[6].refusal = "it holds 4 channels of 12-bit samples" + cannot;
    files[10].refusal = files[11].refusal =
        "it holds 1 channel of compressed audio (format tag 17)" + cannot;
    ForeignFile& rifx = files[9];
    rifx.bytes.replace(0, 4, "RIFX");
    rifx.report = rifx.play = rifx.refusal =
        "Cannot read rifx.wav: big-endian WAV files (RIFX) are not supported\n";

    for (const ForeignFile& f : files) {
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

        const bool appends = f.refusal.empty();
        const RunResult r = RunTakebox(run, appends ? "t c 1p r 4 1 q" : "t c 1p r 4 c q");
        const std::string show =
            Show("\t1 " + std::string(f.name) + "\n", "0.00", "1.00", "0.05", f.name);
        char report[160];
        snprintf(report, sizeof report,
                 "  channels: %u\n  bits: %u\n  samplerate: 44100\n  length (sec): %.3f\n",
                 f.fileChannels, f.fileBits, static_cast<float>(f.frames) / 44100.0f);
        const std::string play =
            f.play.empty() ? "Playing " + std::string(f.name) + " ...\n\rclock = 0.00 sec" : f.play;
        const std::string refusal =
            f.refusal.find("Cannot read") == 0 || f.refusal.empty()
                ? f.refusal
                : "You cannot record at the end of " + std::string(f.name) + ": " + f.refusal;
        const std::string recorded =
            appends ? "Recording...\n\rRemaining 0.05 sec" +
                          (f.channels == 2 ? kPeaks : "\n\nChannel 1 peak = -0.00 dB\n") +
                          kTakeMenu + "Append file is " + std::to_string(44 + take.size()) +
                          " bytes\n"
                    : refusal + "Enter 'c' to continue\n";
        EXPECT_EQ(Start(kOpenedList, f.name, "tbtest", 44100, static_cast<int>(f.bits),
                        static_cast<int>(f.channels)) +
                      show + "\nFile: " + f.name + "\n" + (f.report.empty() ? report : f.report) +
                      "\nEnter 'c' to continue\n\n" + show + play + show +
                      ExistsMenuText(f.name) + recorded + show + kSaving,
                  r.out);
        // Playback plays the frames t counts, as 16- or 24-bit samples.
        const uint32_t fileWidth = (f.fileBits + 7) / 8;
        EXPECT_TRUE(ReadFile(run + "/play.raw") ==
                    (f.play.empty() ? Played(f.samples, f.fileChannels, fileWidth) : ""));
        if (!appends) {
            EXPECT_TRUE(ReadFile(path) == f.bytes);
            continue;
        }

        // Only the sizes change, and the take follows the audio, frame-aligned.
        const std::string want = Appended(f, take);
        EXPECT_TRUE(ReadFile(path) == want);
        const size_t data = f.samples.size() + take.size();
        const std::string frames = std::to_string(data / (f.channels * width));
        bool ok = false;
        EXPECT_EQ(frames + "\n", Shell("sox --i -s '" + path + "' 2>&1"));
        EXPECT_EQ("", Shell("sox -V2 '" + path + "' -t raw '" + run + "/out.raw' 2>&1", &ok));
        EXPECT_TRUE(ReadFile(run + "/out.raw") == f.samples + take);
        const std::string others = OtherReaders(path, f.ds64 == 0);
        const std::string wave = frames + " " + std::to_string(data) + "\n";
        EXPECT_TRUE(others == "" || others == wave || others == frames + "\n" ||
                    others == wave + frames + "\n")
            << others;
    }
}

}  // namespace

// WAV header, size patch, tag scan, attribute reader and take append.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "tests/e2e.h"
#include "wav/wav.h"

namespace {

struct Attrs {
    uint32_t rate = 111, bytes = 222, channels = 333, offset = 444, frames = 555;
};

// Output of GetAttributes, with the values it stored.
std::string Read(const std::string& path, Attrs* a, int32_t verbose, int* result)
{
    testing::internal::CaptureStdout();
    FileAttributes got = {a->rate, a->bytes, a->channels, a->offset, a->frames};
    *result = GetAttributes(path.c_str(), &got, verbose);
    *a = {got.sampleRate, got.bytesPerSample, got.channels, got.dataOffset, got.frameCount};
    return testing::internal::GetCapturedStdout();
}

std::string Capture(const std::function<void()>& run)
{
    testing::internal::CaptureStdout();
    run();
    return testing::internal::GetCapturedStdout();
}

uint32_t FieldAt(const std::string& bytes, size_t at)
{
    return GetLE32(reinterpret_cast<const uint8_t*>(bytes.data()) + at);
}

// Runs `op` in a child process whose files may not grow past `limit` bytes (writes past it
// fail with EFBIG instead of raising SIGXFSZ); returns op's result.
int WithFileSizeLimit(rlim_t limit, const std::function<int()>& op)
{
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit rl = {limit, limit};
        setrlimit(RLIMIT_FSIZE, &rl);
        if (freopen("/dev/null", "w", stdout) == nullptr)
            _exit(9);
        _exit(op());
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class WavTest : public testing::Test {
protected:
    std::string dir = MakeTempDir();
    std::string Path(const std::string& name) const { return dir + "/" + name; }
};

// ---------------------------------------------------------------- header and size patch

TEST_F(WavTest, HeaderForStereo24BitAt48k)
{
    const std::string path = Path("h.wav");
    ASSERT_EQ(1, MAKE_HEADER(path.c_str(), 48000, 2, 24, 480000));
    const unsigned char want[] = {
        0x52, 0x49, 0x46, 0x46, 0x24, 0xf2, 0x2b, 0x00, 0x57, 0x41, 0x56, 0x45, 0x66, 0x6d, 0x74,
        0x20, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x80, 0xbb, 0x00, 0x00, 0x00, 0x65,
        0x04, 0x00, 0x06, 0x00, 0x18, 0x00, 0x64, 0x61, 0x74, 0x61, 0x00, 0xf2, 0x2b, 0x00};
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(want), sizeof want), ReadFile(path));
}

TEST_F(WavTest, HeaderFieldsFollowTheFrameSize)
{
    struct Case {
        uint32_t rate, channels, bits;
        int32_t frames;
        uint16_t chField, align, bitsField;
        uint32_t byteRate, dataSize, riffSize;
    } cases[] = {
        {48000, 2, 24, 0, 2, 6, 24, 288000, 0, 36},
        {44100, 2, 12, 100, 2, 2, 8, 88200, 200, 236},           // 12 bits stored as 8
        {44100, 65538, 16, 10, 2, 4, 16, 176400, 40, 76},        // channels modulo 65536
        {44100, 1, 20, 3, 1, 2, 16, 88200, 6, 42},               // 20 bits stored as 16
        {48000, 2, 24, -5, 2, 6, 24, 288000, 0, 36},             // a negative plan: nothing
        {48000, 2, 24, 400000000, 2, 6, 24, 288000, 2147483647u, 2147483647u},  // capped
        {4294967295u, 65535, 24, 1, 65535, 0xfffd, 24, 2147483647u, 196605, 196641},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << "/" << c.channels << "/" << c.bits << "/"
                                        << c.frames);
        const std::string path = Path("f.wav");
        ASSERT_EQ(1, MAKE_HEADER(path.c_str(), c.rate, c.channels, c.bits, c.frames));
        const std::string h = ReadFile(path);
        ASSERT_EQ(44u, h.size());
        EXPECT_EQ("RIFF" + Le32(c.riffSize) + "WAVEfmt " + Le32(16) + Le16(1) +
                      Le16(c.chField) + Le32(c.rate) + Le32(c.byteRate) + Le16(c.align) +
                      Le16(c.bitsField) + "data" + Le32(c.dataSize),
                  h);
        // The layout reader gives the written fields back.
        WavLayout w;
        const int fd = open(path.c_str(), O_RDONLY);
        ReadWavLayout(fd, 4, &w);
        close(fd);
        EXPECT_TRUE(w.riffWave && w.hasFormat && w.hasDataSize && w.formatTag == 1 &&
                    w.channels == c.chField && w.sampleRate == c.rate &&
                    w.byteRate == c.byteRate && w.blockAlign == c.align &&
                    w.bitsPerSample == c.bitsField && w.dataChunk == 36 &&
                    w.dataOffset == 44 && w.dataSize == c.dataSize);
    }
}

TEST_F(WavTest, HeaderWriteFailures)
{
    const std::string missing = Path("no/such/dir.wav");
    int rc = -1;
    EXPECT_EQ("Unable to open " + missing + "\n",
              Capture([&] { rc = MAKE_HEADER(missing.c_str(), 44100, 2, 16, 10); }));
    EXPECT_EQ(0, rc);
    // A full disk: the header is buffered, the flush fails.
    EXPECT_EQ(0, MAKE_HEADER("/dev/full", 44100, 2, 16, 10));
}

TEST_F(WavTest, FixSizePatchesDataAndRiffSize)
{
    const std::string planned = WavHeader(48000, 2, 24, 2880000);
    struct Case {
        const char* name;
        std::string bytes;
        int32_t size;
        uint32_t dataSize, riffSize;
    } cases[] = {
        {"bare header, computed", planned, -1, 0, 36},
        {"1000 data bytes, computed", planned + Pattern(1000, 1), -1, 1000, 1036},
        {"1000 data bytes, given", planned + Pattern(1000, 2), 600, 600, 1036},
        {"size below -1 is written as 0", planned + Pattern(12, 3), -7, 0, 48},
        {"the largest size", planned, 2147483647, 2147483647u, 36},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path("fix.wav");
        WriteFile(path, c.bytes);
        EXPECT_EQ("", Capture([&] { EXPECT_EQ(1, FIX_SIZE(path.c_str(), c.size)); }));
        std::string want = c.bytes;
        want.replace(4, 4, Le32(c.riffSize));
        want.replace(40, 4, Le32(c.dataSize));
        EXPECT_EQ(want, ReadFile(path));
    }
}

TEST_F(WavTest, FixSizeOddFiles)
{
    const std::string path = Path("odd.wav");
    // The file ends inside the size field: no data bytes, and the field is completed.
    WriteFile(path, "RIFF" + Le32(99) + "WAVEdata" + "\x07\x07");
    EXPECT_EQ(1, FIX_SIZE(path.c_str(), -1));
    EXPECT_EQ("RIFF" + Le32(12) + "WAVEdata" + Le32(0), ReadFile(path));

    // A data tag inside bytes 4 to 7 leaves no RIFF size to keep.
    WriteFile(path, "RIFFdata" + Le32(0) + Pattern(8, 4));
    EXPECT_EQ(1, FIX_SIZE(path.c_str(), -1));
    EXPECT_EQ("RIFFdata" + Le32(8) + Pattern(8, 4), ReadFile(path));

    // No data tag: message, nothing written.
    const std::string noData = "RIFF" + Le32(36) + "WAVEfmt " + std::string(30, '\0');
    WriteFile(path, noData);
    int rc = -1;
    EXPECT_EQ("Can't find data block in wave file!\n",
              Capture([&] { rc = FIX_SIZE(path.c_str(), -1); }));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(noData, ReadFile(path));

    const std::string missing = Path("missing.wav");
    EXPECT_EQ("Unable to open " + missing + "\n",
              Capture([&] { rc = FIX_SIZE(missing.c_str(), -1); }));
    EXPECT_EQ(0, rc);
    EXPECT_FALSE(FileExists(missing));

    // Completing the size field would grow the file past what may be written.
    WriteFile(path, "RIFF" + Le32(99) + "WAVEdata");
    EXPECT_EQ(0, WithFileSizeLimit(16, [&] { return FIX_SIZE(path.c_str(), -1); }));
}

// Files over 2 GiB and over 4 GiB (sparse): sizes are capped, frame counts clamped.
TEST_F(WavTest, HugeFiles)
{
    const std::string path = Path("huge.wav");
    ASSERT_EQ(1, MAKE_HEADER(path.c_str(), 8000, 1, 8, 0));
    if (truncate(path.c_str(), 5LL << 30) != 0)
        GTEST_SKIP() << "no room for a sparse 5 GiB file";
    EXPECT_EQ(1, FIX_SIZE(path.c_str(), -1));
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    char head[44];
    ASSERT_EQ(44u, fread(head, 1, 44, f));
    fclose(f);
    const std::string h(head, 44);
    EXPECT_EQ(2147483647u, FieldAt(h, 4));
    EXPECT_EQ(2147483647u, FieldAt(h, 40));

    Attrs a;
    int rc = 0;
    Read(path, &a, 0, &rc);
    EXPECT_EQ(1, rc);
    EXPECT_EQ(4294967295u, a.frames);
}

// ---------------------------------------------------------------- tag scan

TEST_F(WavTest, TagScanProbesEvenOffsetsFrom2To131072)
{
    struct Case {
        size_t at;  // where "data" is placed in a file of zeros
        size_t length;
        int found;
    } cases[] = {
        {2, 6, 1},
        {131072, 131076, 1},
        {131072, 200000, 1},
        {131074, 131078, 0},
        {1001, 2000, 0},
        {0, 2000, 0},
        {1000, 1003, 0},  // fewer bytes left than the tag has
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "tag at " << c.at << ", length " << c.length);
        std::string bytes(c.length, '\0');
        bytes.replace(c.at, std::min<size_t>(4, c.length - c.at),
                      std::string("data").substr(0, c.length - c.at));
        const std::string path = Path("scan.bin");
        WriteFile(path, bytes);
        const int f = open(path.c_str(), O_RDONLY);
        ASSERT_LE(0, f);
        uint32_t offset = 7;
        EXPECT_EQ(c.found, FindChunkTag(f, "data", 4, &offset));
        EXPECT_EQ(c.found ? c.at : 7u, offset);
        close(f);
    }
}

TEST_F(WavTest, TagScanTakesTheFirstOccurrence)
{
    // The scan takes "data" inside a LIST chunk before the real data chunk as the data
    // tag, and "fmt" compares 3 bytes; the reader walks the chunk list past it.
    const std::string wav = WavHeader(44100, 2, 16, 8).substr(0, 36) + "LIST" + Le32(8) +
                            "xxdata00" + "data" + Le32(8) + Pattern(8, 5);
    const std::string path = Path("list.wav");
    WriteFile(path, wav);
    const int f = open(path.c_str(), O_RDONLY);
    ASSERT_LE(0, f);
    uint32_t offset = 0;
    EXPECT_EQ(1, FindChunkTag(f, "data", 4, &offset));
    EXPECT_EQ(46u, offset);
    EXPECT_EQ(1, FindChunkTag(f, "fmt", 3, &offset));
    EXPECT_EQ(12u, offset);
    EXPECT_EQ(0, FindChunkTag(f, "fmtx", 4, &offset));
    close(f);

    Attrs a;
    int rc = 0;
    Read(path, &a, 0, &rc);
    EXPECT_EQ(60u, a.offset);
}

// A RIFF/WAVE file of the given chunks, and a LIST chunk holding `text`.
std::string Riff(const std::string& chunks)
{
    return "RIFF" + Le32(4 + static_cast<uint32_t>(chunks.size())) + "WAVE" + chunks;
}

std::string List(const std::string& text)
{
    const std::string body = "INFOICMT" + Le32(static_cast<uint32_t>(text.size())) + text;
    return "LIST" + Le32(static_cast<uint32_t>(body.size())) + body;
}

TEST_F(WavTest, ChunkWalkAndItsFallback)
{
    const std::string fmt = WavHeader(44100, 2, 16, 0).substr(12, 24);
    const std::string audio = "data" + Le32(8) + Pattern(8, 20);
    const std::string meta = List("metadata");  // "data" at offset 36 of a file
    struct Case {
        const char* name;
        std::string bytes;
        const char* tag;
        int found;
        uint32_t offset;
        int32_t followed;
    } cases[] = {
        {"walked past \"data\" in a LIST", Riff(meta + fmt + audio), "data", 1, 64, 0},
        {"fmt walked to, 3 bytes compared", Riff(meta + fmt + audio), "fmt", 1, 40, 1},
        {"a body past the end: the scan", Riff("LIST" + Le32(999) + meta.substr(8) + fmt + audio),
         "data", 1, 36, 0},
        {"an id that is no text: the scan", Riff(meta + "\x01\x02" + fmt.substr(2) + audio),
         "data", 1, 36, 0},
        {"a whole list without data", Riff(meta + fmt), "data", 0, 0, 0},
        {"audio past the scan's range", Riff(fmt + "bext" + Le32(140001) +
         std::string(140002, '\0') + audio), "data", 1, 140046, 0},
        {"unpatched take", WavHeader(44100, 2, 16, 10000) + Pattern(100, 21), "data", 1, 36, 0},
        {"LIST after the audio", Riff(fmt + audio + meta), "data", 1, 36, 1},
        {"odd data, pad byte, LIST", WavHeader(44100, 1, 24, 9) + Pattern(9, 22) + '\0' + meta,
         "data", 1, 36, 1},
        {"odd last chunk without its pad", Riff(fmt + audio + "id3 " + Le32(3) + "abc"), "data",
         1, 36, 1},
        {"a stray byte after the LIST", Riff(fmt + audio + meta) + "x", "data", 1, 36, 0},
        {"a header whose body runs past the end", Riff(fmt + audio) + "LIST" + Le32(99) + "xx",
         "data", 1, 36, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path("walk.wav");
        WriteFile(path, c.bytes);
        const int f = open(path.c_str(), O_RDONLY);
        ASSERT_LE(0, f);
        uint32_t offset = 0;
        int32_t followed = 7;
        EXPECT_EQ(c.found, LocateChunk(f, c.tag, strlen(c.tag), &offset, &followed));
        EXPECT_EQ(c.offset, offset);
        EXPECT_EQ(c.followed, followed);
        close(f);
        if (strcmp(c.tag, "data") == 0) {
            EXPECT_EQ(c.followed, ChunksFollowAudio(path.c_str()));
        }
    }
}

TEST_F(WavTest, PatchAndAppendAtTheWalkedDataChunk)
{
    const std::string fmt = WavHeader(44100, 2, 16, 0).substr(12, 24);
    const std::string meta = List("metadata");
    const std::string path = Path("meta.wav");
    const std::string before = Riff(meta + fmt + "data" + Le32(99) + Pattern(8, 23));
    WriteFile(path, before);
    EXPECT_EQ(1, FIX_SIZE(path.c_str(), 8));
    std::string want = before;
    want.replace(68, 4, Le32(8));
    EXPECT_EQ(want, ReadFile(path));

    // Chunks after the audio: -1 keeps the declared size, and nothing is appended.
    const std::string tail = Riff(fmt + "data" + Le32(8) + Pattern(8, 24) + meta);
    WriteFile(path, tail);
    EXPECT_EQ(1, FIX_SIZE(path.c_str(), -1));
    WriteFile(Path("take.wav"), WavHeader(44100, 2, 16, 8) + Pattern(8, 25));
    int rc = -1;
    EXPECT_EQ("Append file is 52 bytes\nOther chunks follow the audio in " + path +
                  ": nothing appended\n",
              Capture([&] { rc = APPEND(path.c_str(), Path("take.wav").c_str(), 8); }));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(tail, ReadFile(path));
}

// ---------------------------------------------------------------- attribute reader

TEST_F(WavTest, AttributeReport)
{
    const std::string path = Path("ten.wav");
    WriteFile(path, WavHeader(44100, 2, 16, 1764000) + std::string(1764000, '\0'));
    Attrs a;
    int rc = 0;
    EXPECT_EQ("\nFile: " + path +
                  "\n  channels: 2\n  bits: 16\n  samplerate: 44100\n  length (sec): 10.000\n",
              Read(path, &a, 1, &rc));
    EXPECT_EQ(1, rc);
    EXPECT_EQ(44100u, a.rate);
    EXPECT_EQ(2u, a.bytes);
    EXPECT_EQ(2u, a.channels);
    EXPECT_EQ(44u, a.offset);
    EXPECT_EQ(441000u, a.frames);

    Attrs quiet;
    EXPECT_EQ("", Read(path, &quiet, 2, &rc));
    EXPECT_EQ(1, rc);
    EXPECT_EQ(441000u, quiet.frames);
}

TEST_F(WavTest, FrameCountRule)
{
    struct Case {
        const char* name;
        uint32_t channels, bits, declared, behind, frames;
    } cases[] = {
        {"declared size covers the bytes", 2, 24, 6000, 6000, 1000},
        {"unpatched header, fewer frames", 2, 24, 2880000, 600, 100},
        {"10 trailing bytes", 2, 16, 1000, 1010, 252},
        {"1001-byte size", 2, 16, 1001, 1001, 250},
        {"declared size too small", 1, 16, 2, 1000, 500},
        {"no bytes behind the offset", 1, 16, 2000, 0, 0},
        {"20 bits take 3 bytes", 1, 20, 9, 9, 3},
        {"12 bits take 2 bytes", 2, 12, 8, 8, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path("rule.wav");
        WriteFile(path, WavHeader(48000, c.channels, c.bits, c.declared) + Pattern(c.behind, 6));
        Attrs a;
        int rc = 0;
        EXPECT_EQ("", Read(path, &a, 0, &rc));
        EXPECT_EQ(1, rc);
        EXPECT_EQ(c.frames, a.frames);
        EXPECT_EQ((c.bits + 7) / 8, a.bytes);
    }

    // Written by MAKE_HEADER for 1000 frames, 100 recorded, then patched to 100 frames.
    const std::string path = Path("take.wav");
    ASSERT_EQ(1, MAKE_HEADER(path.c_str(), 48000, 2, 24, 1000));
    WriteFile(path, ReadFile(path) + Pattern(600, 7));
    ASSERT_EQ(1, FIX_SIZE(path.c_str(), 600));
    Attrs a;
    int rc = 0;
    Read(path, &a, 0, &rc);
    EXPECT_EQ(100u, a.frames);
}

TEST_F(WavTest, AttributesOfOtherFormatChunks)
{
    // Format tag 3 and a 40-byte fmt chunk are read at the same positions.
    std::string fmt = "fmt " + Le32(40) + Le16(3) + Le16(1) + Le32(96000) + Le32(384000) +
                      Le16(4) + Le16(32) + std::string(24, '\x01');
    const std::string path = Path("float.wav");
    WriteFile(path, "RIFF" + Le32(0) + "WAVE" + fmt + "data" + Le32(40) + Pattern(40, 8));
    Attrs a;
    int rc = 0;
    EXPECT_EQ("", Read(path, &a, 0, &rc));
    EXPECT_EQ(1, rc);
    EXPECT_EQ(96000u, a.rate);
    EXPECT_EQ(4u, a.bytes);
    EXPECT_EQ(1u, a.channels);
    EXPECT_EQ(68u, a.offset);
    EXPECT_EQ(10u, a.frames);
}

TEST_F(WavTest, AttributeFailures)
{
    const Attrs untouched;
    struct Case {
        const char* name;
        std::string bytes;  // empty: no file
        int result;
        std::string out;    // after "\nFile: <path>\n" unless the file is missing
        Attrs want;
    } cases[] = {
        {"missing file", "", 0, "", untouched},
        {"no format chunk", "RIFF" + Le32(4) + "WAVE" + std::string(40, '\0'), 0,
         "Can't find format chunk in wave file!\n", untouched},
        {"format chunk cut short", "RIFF" + Le32(4) + "WAVEfmt " + Le32(16) + Le16(1), 0,
         "Can't find format chunk in wave file!\n", untouched},
        {"no data chunk", WavHeader(22050, 1, 16, 0).substr(0, 36) + "LIST" + Le32(0), 0,
         "  channels: 1\n  bits: 16\n  samplerate: 22050\nCan't find data block in wave file!\n",
         {22050, 2, 1, 444, 555}},
        {"no channels", WavHeader(8000, 0, 16, 4) + Pattern(4, 9), 0,
         "  channels: 0\n  bits: 16\n  samplerate: 8000\n"
         "Can't count frames: the frame size in wave file is 0!\n",
         {8000, 2, 0, 44, 555}},
        {"0 bits", WavHeader(8000, 2, 0, 4) + Pattern(4, 9), 0,
         "  channels: 2\n  bits: 0\n  samplerate: 8000\n"
         "Can't count frames: the frame size in wave file is 0!\n",
         {8000, 0, 2, 44, 555}},
        {"ends inside the size field", WavHeader(8000, 1, 16, 0).substr(0, 42), 1,
         "  channels: 1\n  bits: 16\n  samplerate: 8000\n  length (sec): 0.000\n",
         {8000, 2, 1, 44, 0}},
        {"rate 0", WavHeader(0, 1, 16, 8) + Pattern(8, 10), 1,
         "  channels: 1\n  bits: 16\n  samplerate: 0\n  length (sec): 0.000\n",
         {0, 2, 1, 44, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Path(c.bytes.empty() ? "missing.wav" : "bad.wav");
        if (!c.bytes.empty())
            WriteFile(path, c.bytes);
        Attrs a;
        int rc = -1;
        const std::string out = Read(path, &a, 1, &rc);
        EXPECT_EQ(c.bytes.empty() ? "The file called " + path + " cannot be found!\n"
                                  : "\nFile: " + path + "\n" + c.out,
                  out);
        EXPECT_EQ(c.result, rc);
        EXPECT_EQ(c.want.rate, a.rate);
        EXPECT_EQ(c.want.bytes, a.bytes);
        EXPECT_EQ(c.want.channels, a.channels);
        EXPECT_EQ(c.want.offset, a.offset);
        EXPECT_EQ(c.want.frames, a.frames);
    }
}

// ---------------------------------------------------------------- take append

TEST_F(WavTest, AppendCopiesTheCountFromTheDataOffset)
{
    const std::string takeData = Pattern(12000, 11);
    const std::string take = WavHeader(48000, 2, 16, 12000) + takeData;
    // The target holds 40 bytes more than its header declares: the take goes behind them.
    const std::string target = WavHeader(48000, 2, 16, 100) + Pattern(140, 12);
    struct Case {
        int32_t count;
        size_t appended;
    } cases[] = {{0, 0}, {-5, 0}, {1, 1}, {4096, 4096}, {4097, 4097}, {8192, 8192},
                 {10000, 10000}, {12000, 12000}, {20000, 12000}};  // short source
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        WriteFile(Path("target.wav"), target);
        WriteFile(Path("take.wav"), take);
        int rc = -1;
        EXPECT_EQ("Append file is 12044 bytes\n", Capture([&] {
                      rc = APPEND(Path("target.wav").c_str(), Path("take.wav").c_str(), c.count);
                  }));
        EXPECT_EQ(1, rc);
        // An odd-sized data chunk gets its pad byte.
        const std::string pad((140 + c.appended) % 2, '\0');
        EXPECT_EQ(target + takeData.substr(0, c.appended) + pad, ReadFile(Path("target.wav")));
        EXPECT_EQ(take, ReadFile(Path("take.wav")));
    }
}

TEST_F(WavTest, AppendRefusals)
{
    const std::string target = WavHeader(48000, 1, 16, 4) + Pattern(4, 13);
    const std::string take = WavHeader(48000, 1, 16, 8) + Pattern(8, 14);
    const std::string noTag = "RIFF" + Le32(36) + "WAVEfmt " + std::string(28, '\0');
    struct Case {
        const char* name;
        std::string target, source;  // empty: no file
        std::string out;             // "%s" stands for the missing file's path
    } cases[] = {
        {"target without a data tag, source not scanned", noTag, noTag,
         "Append file is 44 bytes\nCan't find data block in wave file!\n"},
        {"source without a data tag", target, noTag,
         "Append file is 44 bytes\nCan't find data block in wave file!\n"},
        {"missing target", "", take, "Unable to open %s\n"},
        {"missing source", target, "", "Unable to open %s\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        remove(Path("t.wav").c_str());
        remove(Path("s.wav").c_str());
        if (!c.target.empty())
            WriteFile(Path("t.wav"), c.target);
        if (!c.source.empty())
            WriteFile(Path("s.wav"), c.source);
        int rc = -1;
        const std::string out =
            Capture([&] { rc = APPEND(Path("t.wav").c_str(), Path("s.wav").c_str(), 8); });
        std::string want = c.out;
        if (want.find("%s") != std::string::npos)
            want.replace(want.find("%s"), 2, Path(c.target.empty() ? "t.wav" : "s.wav"));
        EXPECT_EQ(want, out);
        EXPECT_EQ(0, rc);
        EXPECT_EQ(c.target.empty(), !FileExists(Path("t.wav")));
        EXPECT_EQ(c.source.empty(), !FileExists(Path("s.wav")));
        if (!c.target.empty()) {
            EXPECT_EQ(c.target, ReadFile(Path("t.wav")));
        }
        if (!c.source.empty()) {
            EXPECT_EQ(c.source, ReadFile(Path("s.wav")));
        }
    }
}

TEST_F(WavTest, AppendReportsAShortWrite)
{
    const std::string target = WavHeader(48000, 1, 16, 4) + Pattern(4, 15);
    WriteFile(Path("t.wav"), target);
    WriteFile(Path("s.wav"), WavHeader(48000, 1, 16, 10000) + Pattern(10000, 16));
    // Room for one block behind the target's 48 bytes, not for two.
    EXPECT_EQ(0, WithFileSizeLimit(48 + 6000, [&] {
                  return APPEND(Path("t.wav").c_str(), Path("s.wav").c_str(), 10000);
              }));
    EXPECT_EQ(48 + 6000u, ReadFile(Path("t.wav")).size());
    EXPECT_EQ(1, WithFileSizeLimit(48 + 10000, [&] {
                  return APPEND(Path("t.wav").c_str(), Path("s.wav").c_str(), 4000);
              }));
}

}  // namespace

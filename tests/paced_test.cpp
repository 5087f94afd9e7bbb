// The paced test devices over the clock module "takeboxclock": RECORD on "tbcount" keeps
// every frame through a stalled disk, and keeps time through a real overrun when its
// process is stopped for longer than the device buffer; the devices that grant another
// rate ("tbrate48") and that are unplugged after three periods ("tbfail") behave as such a card would towards a program that calls ALSA directly.
#include <gtest/gtest.h>

#include <alsa/asoundlib.h>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "tests/drivers/run_driver.h"
#include "tests/e2e.h"

namespace {

constexpr snd_pcm_uframes_t kPeriod = 4096;

// `frames` stereo 16-bit frames, channel 1 at 16384 (-6.02 dB), channel 2 at 3277
// (-20.00 dB), the same in every frame, so that every block read shows both peaks.
std::string SteadyFrames(uint32_t frames)
{
    std::string frame = Le16(16384) + Le16(3277);
    std::string s;
    s.reserve(static_cast<size_t>(frames) * frame.size());
    for (uint32_t i = 0; i < frames; i++)
        s += frame;
    return s;
}

// Opens `device` for `stream` with RECORD's request (two channels, 16 bits, planes, a
// period of 4096 frames in a buffer of 32768) at 44100 Hz; the rate granted in *rate.
snd_pcm_t* OpenStereo(const char* device, snd_pcm_stream_t stream, unsigned int* rate)
{
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, device, stream, 0) < 0)
        return nullptr;
    snd_pcm_hw_params_t* params = nullptr;
    snd_pcm_hw_params_alloca(&params);
    snd_pcm_hw_params_any(pcm, params);
    snd_pcm_hw_params_set_access(pcm, params, SND_PCM_ACCESS_RW_NONINTERLEAVED);
    snd_pcm_hw_params_set_format(pcm, params, SND_PCM_FORMAT_S16_LE);
    snd_pcm_hw_params_set_channels(pcm, params, 2);
    *rate = 44100;
    snd_pcm_hw_params_set_rate_near(pcm, params, rate, nullptr);
    snd_pcm_uframes_t period = kPeriod;
    snd_pcm_uframes_t buffer = 8 * kPeriod;
    snd_pcm_hw_params_set_period_size_near(pcm, params, &period, nullptr);
    snd_pcm_hw_params_set_buffer_size_near(pcm, params, &buffer);
    if (snd_pcm_hw_params(pcm, params) < 0 || snd_pcm_hw_params_get_rate(params, rate, nullptr) < 0) {
        snd_pcm_close(pcm);
        return nullptr;
    }
    return pcm;
}

// The transcript of a take of 2 s at 44100 Hz (22 blocks) up to its peak lines, and the
// lines after them, from what a run printed: each "RX" taken out of it, counted in *rx.
// The peaks of the frame indices of "tbcount" depend on when the take started.
void SplitReport(std::string out, std::string* progress, std::string* afterPeaks, int* rx)
{
    *rx = 0;
    for (size_t at = out.find("\nRX\n"); at != std::string::npos; at = out.find("\nRX\n")) {
        out.erase(at, 4);
        ++*rx;
    }
    const size_t peaks = out.find("\n\nChannel 1 peak = ");
    const size_t second = out.find("Channel 2 peak = ", peaks == std::string::npos ? 0 : peaks);
    const size_t rest = second == std::string::npos ? std::string::npos : out.find('\n', second);
    *progress = out.substr(0, peaks);
    *afterPeaks = rest == std::string::npos ? out : out.substr(rest + 1);
}

std::string TwoSecondProgress()
{
    std::string expected = "Recording...\n";
    char line[64];
    for (int32_t t = 0; t < 88200; t += static_cast<int32_t>(kPeriod)) {
        snprintf(line, sizeof line, "\rRemaining %.2f sec", static_cast<float>(88200 - t) / 44100.0f);
        expected += line;
    }
    return expected;
}

}  // namespace

// A 2 s take at 44100 Hz whose fifth write to the take file is held up 1.5 s (by strace),
// twice the device buffer of 32768 frames: the ring takes the blocks meanwhile, and the take
// holds every frame the device delivered, in place, with no dropout.
TEST(Paced, AStalledDiskLosesNoFrame)
{
    bool ok = false;
    Shell("strace -f -qq -o /dev/null true 2>/dev/null", &ok);
    if (!ok)
        GTEST_SKIP() << "strace cannot trace here (not installed, or ptrace not allowed)";
    const std::string dir = MakeTempDir();
    // LeakSanitizer cannot run under ptrace: in the sanitizer build the traced driver goes
    // without the leak check (the other tests keep it).
    const DriverRun run = RunDriver(dir, {"record", "tbcount", "44100", "2", "2", "16", "take.wav"}, "1\n",
                                    "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" "
                                    "strace -f -qq -o /dev/null -e trace=pwrite64 "
                                    "-e inject=pwrite64:delay_enter=1500000:when=5 env");
    EXPECT_EQ(run.result, "360448");  // 22 blocks of 4096 stereo 16-bit frames
    EXPECT_EQ(run.err, "");
    std::string progress;
    std::string afterPeaks;
    int rx = 0;
    SplitReport(run.out, &progress, &afterPeaks, &rx);
    EXPECT_EQ(rx, 0) << run.out;
    EXPECT_EQ(progress, TwoSecondProgress());
    EXPECT_EQ(afterPeaks, kTakeMenu);  // no dropout line
    const std::string take = ReadFile(dir + "/take.wav");
    ASSERT_EQ(take.size(), 44u + 360448u);
    EXPECT_EQ(take.substr(0, 44), WavHeader(44100, 2, 16, 352800));
    const Timeline t = TimelineOf(take.substr(44), 2);
    EXPECT_EQ(t.zeros, 0u);
    EXPECT_EQ(t.shift, 0u);
    EXPECT_TRUE(t.rising);
}

// The same take with the process stopped for 1.5 s once its first block is in: the device
// overruns, and the time it dropped is written as zeros where it was played. The read at the
// overrun ends its block at the frames it had ("RX" on a line of its own): no frame of the
// block before is repeated. The frames after the silence stand where the device played them
// (to within 64 frames, 1.5 ms: the device's clock and ALSA's start time stamps are read
// apart, by 10 frames under an emulator; a lost or repeated block would be 4096), and the
// report says the dropout.
TEST(Paced, StoppedRecordingWritesTheLostTimeAsSilence)
{
    const std::string dir = MakeTempDir();
    const std::string pause =
        " & p=$!; i=0; until grep -q Remaining .stdout || [ $i -ge 600 ]; do sleep 0.05; "
        "i=$((i+1)); done; pkill -STOP -P $p; sleep 1.5; pkill -CONT -P $p; wait $p";
    const DriverRun run = RunDriver(dir, {"record", "tbcount", "44100", "2", "2", "16", "take.wav"}, "1\n",
                                    "", pause);
    EXPECT_EQ(run.result, "360448");  // the take keeps its length in whole blocks
    EXPECT_EQ(run.err, "");
    std::string progress;
    std::string afterPeaks;
    int rx = 0;
    SplitReport(run.out, &progress, &afterPeaks, &rx);
    EXPECT_EQ(rx, 1) << run.out;
    EXPECT_EQ(progress, TwoSecondProgress());
    const std::string take = ReadFile(dir + "/take.wav");
    ASSERT_EQ(take.size(), 44u + 360448u);
    const Timeline t = TimelineOf(take.substr(44), 2);
    EXPECT_EQ(t.zeroRuns, 1u);
    EXPECT_GT(t.zeros, 0u);
    EXPECT_LE(t.shift, 64u);
    EXPECT_TRUE(t.rising);
    char line[96];
    snprintf(line, sizeof line, "Dropouts: 1, %.2f sec of silence in this take\n",
             static_cast<double>(t.zeros) / 44100.0);
    EXPECT_EQ(afterPeaks, line + std::string(kTakeMenu));
}

// "tbrate48" grants 48000 Hz for a request of 44100. "tbfail" moves three periods and
// then fails every read, write, wait and prepare with -ENODEV, through the file plugin.
TEST(Paced, RateDeviceAndUnpluggedDevice)
{
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/capture.raw", SteadyFrames(8 * kPeriod));
    char here[4096] = {};
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);  // the devices' files are relative to it
    ASSERT_EQ(setenv("ALSA_CONFIG_PATH", TAKEBOX_SYSTEM_ALSA_CONF ":" TAKEBOX_ALSA_CONF, 1), 0);

    unsigned int rate = 0;
    snd_pcm_t* pcm = OpenStereo("tbrate48", SND_PCM_STREAM_CAPTURE, &rate);
    ASSERT_NE(pcm, nullptr);
    EXPECT_EQ(rate, 48000u);
    snd_pcm_close(pcm);

    int16_t left[kPeriod];
    int16_t right[kPeriod];
    void* planes[2] = {left, right};
    for (snd_pcm_stream_t stream : {SND_PCM_STREAM_CAPTURE, SND_PCM_STREAM_PLAYBACK}) {
        SCOPED_TRACE(stream == SND_PCM_STREAM_CAPTURE ? "capture" : "playback");
        pcm = OpenStereo("tbfail", stream, &rate);
        ASSERT_NE(pcm, nullptr);
        EXPECT_EQ(rate, 44100u);
        for (int block = 0; block < 3; block++) {
            const snd_pcm_sframes_t moved = stream == SND_PCM_STREAM_CAPTURE
                                                ? snd_pcm_readn(pcm, planes, kPeriod)
                                                : snd_pcm_writen(pcm, planes, kPeriod);
            EXPECT_EQ(moved, static_cast<snd_pcm_sframes_t>(kPeriod)) << "block " << block;
        }
        for (int attempt = 0; attempt < 2; attempt++) {
            const snd_pcm_sframes_t moved = stream == SND_PCM_STREAM_CAPTURE
                                                ? snd_pcm_readn(pcm, planes, kPeriod)
                                                : snd_pcm_writen(pcm, planes, kPeriod);
            EXPECT_EQ(moved, -ENODEV) << "attempt " << attempt;
        }
        EXPECT_EQ(snd_pcm_wait(pcm, 10000), -ENODEV);
        EXPECT_EQ(snd_pcm_prepare(pcm), -ENODEV);
        EXPECT_EQ(snd_pcm_state(pcm), SND_PCM_STATE_DISCONNECTED);
        snd_pcm_close(pcm);
    }
    // The capture side read the file's frames.
    EXPECT_EQ(left[0], 16384);
    EXPECT_EQ(right[0], 3277);

    unsetenv("ALSA_CONFIG_PATH");
    EXPECT_EQ(chdir(here), 0);
}

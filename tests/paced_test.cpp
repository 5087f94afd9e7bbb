// The paced test devices over the clock module "takeboxclock": RECORD on "tbpaced" meets a
// real overrun when its process is stopped for longer than the device buffer, and the
// devices that grant another rate ("tbrate48") and that are unplugged after three periods
// ("tbfail") behave as such a card would towards a program that calls ALSA directly.
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

}  // namespace

// A 2 s take at 44100 Hz (22 blocks): once the first block is in, the driver is stopped
// for 1.5 s, twice the device buffer of 32768 frames. The read after it reports the
// overrun ("RX"), the take goes on to its planned length and counts whole blocks.
TEST(Paced, StoppedRecordingOverrunsAndGoesOn)
{
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/capture.raw", SteadyFrames(24 * kPeriod));
    const std::string pause =
        " & p=$!; i=0; until grep -q Remaining .stdout || [ $i -ge 600 ]; do sleep 0.05; "
        "i=$((i+1)); done; pkill -STOP -P $p; sleep 1.5; pkill -CONT -P $p; wait $p";
    const DriverRun run = RunDriver(dir, {"record", "tbpaced", "44100", "2", "2", "16", "take.wav"},
                                    "1\n", "", pause);
    EXPECT_EQ(run.result, "360448");  // 22 blocks of 4096 stereo 16-bit frames
    EXPECT_EQ(run.err, "");
    // The transcript of an uninterrupted take, with "RX" on a line of its own among the
    // progress lines.
    std::string out = run.out;
    const size_t rx = out.find("RX\n");
    ASSERT_NE(rx, std::string::npos) << out;
    out.erase(rx, 3);
    EXPECT_EQ(out.find("RX\n"), std::string::npos) << run.out;
    std::string expected = "Recording...\n";
    char line[64];
    for (int32_t t = 0; t < 88200; t += static_cast<int32_t>(kPeriod)) {
        snprintf(line, sizeof line, "\rRemaining %.2f sec", static_cast<float>(88200 - t) / 44100.0f);
        expected += line;
    }
    expected += "\n\nChannel 1 peak = -6.02 dB\nChannel 2 peak = -20.00 dB\n" + std::string(kTakeMenu);
    EXPECT_EQ(out, expected);
    // Every block holds the steady frames, the one read at the overrun too (the buffer
    // keeps the block before it).
    EXPECT_TRUE(ReadFile(dir + "/take.wav") == WavHeader(44100, 2, 16, 352800) + SteadyFrames(22 * kPeriod));
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
    ASSERT_EQ(setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" TAKEBOX_ALSA_CONF, 1), 0);

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

// Takes and playback through a desktop's sound server, the real daemons started headless
// for the test (tests/servers/sound-server): PulseAudio, and PipeWire with WirePlumber. The
// server's source is a steady 440 Hz tone; its sink's monitor holds what was played.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>

#include "e2e.h"

namespace {

const std::string kServer = TAKEBOX_SOURCE_DIR "/tests/servers/sound-server";

struct Server {
    std::string name;
    std::string dir;
    std::string env;  // the shell prefix of a client
};

// Starts the server in a fresh directory; a daemon that cannot start fails the test.
bool StartServer(Server* server, const std::string& name)
{
    server->name = name;
    server->dir = MakeTempDir() + "/" + name;
    bool ok = false;
    const std::string prefix = "SOUND_SERVER_OWNER=" + std::to_string(getpid()) +
                               " SOUND_SERVER_PLUGIN_DIR=" TAKEBOX_PIPEWIRE_ALSA " ";
    const std::string said = Shell(prefix + kServer + " start " + name + " " + server->dir + " 2>&1", &ok);
    EXPECT_TRUE(ok) << said;
    server->env = "export $(" + kServer + " env " + server->dir + "); TAKEBOX_SERVER_ALSA=$ALSA_CONFIG_PATH; ";
    return ok;
}

void StopServer(const Server& server)
{
    Shell(kServer + " stop " + server.dir + " >/dev/null 2>&1");
}

// The signed sample of `width` bytes at `at`, as a fraction of full scale.
double SampleAt(const std::string& data, size_t at, uint32_t width)
{
    uint32_t v = 0;
    for (uint32_t b = width; b-- > 0;)
        v = v << 8 | static_cast<uint8_t>(data[at + b]);
    const uint32_t sign = 1u << (8 * width - 1);
    return (static_cast<double>(v ^ sign) - sign) / sign;
}

// Channel 1 of interleaved frames as it sounds: the loudest sample, the frequency by its
// zero crossings, and the splices: places where the samples leave the tone's own course
// (for a sine x[n+1] + x[n-1] = 2 cos(w) x[n]), counted after the first tenth of a second
// (a server's stream may begin with silence and its resampler's ringing).
struct Tone {
    double peak = 0;
    double hertz = 0;
    uint32_t splices = 0;
};
Tone ToneOf(const std::string& data, uint32_t rate, uint32_t channels, uint32_t width,
            double toneHz)
{
    Tone t;
    const size_t frameBytes = channels * width;
    const size_t frames = data.size() / frameBytes;
    const size_t skip = rate / 10;
    if (frames < skip + 3)
        return t;
    uint32_t crossings = 0;
    for (size_t i = skip; i < frames; i++) {
        const double x = SampleAt(data, i * frameBytes, width);
        t.peak = std::fmax(t.peak, std::fabs(x));
        if (i > skip && (SampleAt(data, (i - 1) * frameBytes, width) < 0) != (x < 0))
            crossings++;
    }
    t.hertz = crossings / 2.0 / (static_cast<double>(frames - skip) / rate);
    const double c = 2 * std::cos(2 * M_PI * toneHz / rate);
    for (size_t i = skip + 1; i + 1 < frames; i++) {
        const double residual = SampleAt(data, (i + 1) * frameBytes, width) +
                                SampleAt(data, (i - 1) * frameBytes, width) -
                                c * SampleAt(data, i * frameBytes, width);
        t.splices += std::fabs(residual) > 0.05 * t.peak;
    }
    return t;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A 4 s take into take.wav as a person at the console records it, and what it shows.
RunResult RecordTake(const Server& server, const std::string& device, unsigned rate,
                     unsigned bits, int channels, const std::string& prefix = "",
                     const std::string& wrapper = "")
{
    const std::string dir = MakeTempDir();
    WriteSettings(dir, rate, bits, channels, 0, 0, 4, "take.wav", device);
    RunResult run = RunTakebox(dir, "r\n1\nq\n", server.env + prefix, wrapper, 60);
    run.out += "\n[dir " + dir + "]";
    return run;
}

std::string TakeData(const RunResult& run)
{
    const size_t at = run.out.rfind("[dir ");
    return ReadFile(run.out.substr(at + 5, run.out.size() - at - 6) + "/take.wav");
}

}  // namespace

// For each server, through "default" and the server's own device, at 44100/16/2,
// 48000/24/2 and 48000/16/1: a 4 s take reaches its menu in about its time and is kept
// whole, the tone in it without a splice; the stop key ends a take; a file played reaches
// the sink at its length; the server killed mid-take or mid-playback fails it with one
// line, the program going on and recording again once the server is back; and a server
// that stops answering stops a take within the stall bound, the take kept.
TEST(SoundServer, TakesAndPlaybackThroughPulseAudioAndPipeWire)
{
    if (std::string(TAKEBOX_EMULATOR) != "") {
        printf("[ SKIPPED  ] the servers' ALSA plugins here are the build machine's, not armhf's\n");
        return;
    }
    if (!Shell("command -v pulseaudio pipewire wireplumber pactl pw-cat dbus-daemon").size()) {
        printf("[ SKIPPED  ] the sound servers are not installed (scripts/install-deps test)\n");
        return;
    }
    struct Format {
        unsigned rate, bits;
        int channels;
    } const formats[] = {{44100, 16, 2}, {48000, 24, 2}, {48000, 16, 1}};
    for (const std::string name : {"pulse", "pipewire"}) {
        SCOPED_TRACE(name);
        Server server;
        if (!StartServer(&server, name))
            continue;
        for (const std::string& device : {std::string("default"), name}) {
            for (const Format& f : formats) {
                SCOPED_TRACE(device + " " + std::to_string(f.rate) + "/" + std::to_string(f.bits) +
                             "/" + std::to_string(f.channels));
                const auto started = std::chrono::steady_clock::now();
                const RunResult run = RecordTake(server, device, f.rate, f.bits, f.channels);
                const double wall = Seconds(started);
                EXPECT_NE(run.out.find(kTakeMenu), std::string::npos) << run.out;
                EXPECT_EQ(run.out.find("plug"), std::string::npos);
                EXPECT_EQ(run.out.find("RX"), std::string::npos);
                EXPECT_LT(wall, 7.0);
                const std::string take = TakeData(run);
                const uint32_t width = f.bits / 8;
                const uint32_t frameBytes = width * static_cast<uint32_t>(f.channels);
                ASSERT_GT(take.size(), 44u);
                const size_t frames = (take.size() - 44) / frameBytes;
                EXPECT_GE(frames, 4u * f.rate);
                EXPECT_LT(frames, 4u * f.rate + 8192);
                const Tone tone = ToneOf(take.substr(44), f.rate, static_cast<uint32_t>(f.channels), width, 440);
                EXPECT_GT(tone.peak, 0.2);
                EXPECT_NEAR(tone.hertz, 440, 3);
                EXPECT_EQ(tone.splices, 0u);
                printf("%s %s %u/%u/%d: %.3f s in %.2f s\n", name.c_str(), device.c_str(), f.rate, f.bits,
                       f.channels, static_cast<double>(frames) / f.rate, wall);
            }
        }

        // The stop key a second into the take: the menu, the blocks recorded kept.
        RunResult run = RecordTake(server, name, 48000, 16, 2, "", "timeout -s INT 1");
        EXPECT_NE(run.out.find(kTakeMenu), std::string::npos) << run.out;
        std::string take = TakeData(run);
        EXPECT_GT(take.size(), 44u + 4 * 4096u);
        EXPECT_LT(take.size(), 44u + 4 * 48000u * 3);

        // A 2 s file of 1000 Hz played: the sink's monitor hears it for about 2 s.
        const std::string dir = MakeTempDir();
        std::string samples;
        for (uint32_t i = 0; i < 96000; i++) {
            const uint16_t v = static_cast<uint16_t>(
                static_cast<int16_t>(std::lround(16000 * std::sin(2 * M_PI * 1000 * i / 48000.0))));
            samples += Le16(v) + Le16(v);
        }
        WriteFile(dir + "/tone.wav", WavHeader(48000, 2, 16, 96000 * 4) + samples);
        WriteFile(dir + "/tlist.txt", "tone.wav\n");
        WriteSettings(dir, 48000, 16, 2, 0, 10, 4, "take.wav", name);
        const std::string monitor = "(" + kServer + " monitor " + server.dir + " 4.5 " + dir + "/heard.raw >/dev/null 2>&1 &);" +
                                    " for i in $(seq 40); do [ -s heard.raw ] && break; sleep 0.05; done;";
        auto started = std::chrono::steady_clock::now();
        run = RunTakebox(dir, "p\n1\nq\n", server.env + monitor, "", 60);
        const double played = Seconds(started);
        EXPECT_NE(run.out.find("Playing tone.wav ...\n"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("Playback stopped"), std::string::npos);
        EXPECT_LT(played, 4.0);
        sleep(3);  // the monitor's end, 4.5 s after it began
        const std::string heard = ReadFile(dir + "/heard.raw");
        uint32_t loud = 0;  // 10 ms stretches with the tone in them
        for (size_t at = 0; at + 1920 <= heard.size(); at += 1920) {
            double peak = 0;
            for (size_t s = at; s < at + 1920; s += 4)
                peak = std::fmax(peak, std::fabs(SampleAt(heard, s, 2)));
            loud += peak > 0.25;
        }
        EXPECT_NEAR(loud / 100.0, 2.0, 0.15) << heard.size() << " bytes heard";
        printf("%s: a 2 s file played in %.2f s, heard for %.2f s\n", name.c_str(), played, loud / 100.0);

        // The server killed 2 s into a take: one line, the take kept, the program goes on.
        const std::string kill = "(sleep 2; " + kServer + " kill " + server.dir + ") & ";
        run = RecordTake(server, name, 48000, 16, 2, kill);
        EXPECT_NE(run.out.find("Recording stopped: the capture device failed: "), std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find(kTakeMenu), std::string::npos);
        EXPECT_NE(run.out.find(kSaving), std::string::npos);
        take = TakeData(run);
        EXPECT_GT(take.size(), 44u + 48000u * 4);
        EXPECT_LT(take.size(), 44u + 3 * 48000u * 4);
        StopServer(server);
        ASSERT_TRUE(StartServer(&server, name));
        run = RecordTake(server, name, 48000, 16, 2);
        EXPECT_NE(run.out.find(kTakeMenu), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("stopped"), std::string::npos);

        // The same for a playback: killed a second into a 2 s file.
        started = std::chrono::steady_clock::now();
        run = RunTakebox(dir, "p\n1\nq\n", server.env + "(sleep 1; " + kServer + " kill " + server.dir + ") & ", "", 60);
        EXPECT_NE(run.out.find("Playback stopped: the playback device failed: "), std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find(kSaving), std::string::npos);
        EXPECT_LT(Seconds(started), 9.0);
        StopServer(server);

        // A server that stops answering 2 s into a take: the take stops 5 s later with one
        // line and is kept; the program goes on to save and quit.
        ASSERT_TRUE(StartServer(&server, name));
        started = std::chrono::steady_clock::now();
        run = RecordTake(server, name, 48000, 16, 2, "(sleep 2; " + kServer + " freeze " + server.dir + ") & ");
        EXPECT_NE(run.out.find("Recording stopped: the capture device failed: nothing moved for 5 seconds\n"),
                  std::string::npos)
            << run.out;
        EXPECT_NE(run.out.find(kSaving), std::string::npos);
        EXPECT_LT(Seconds(started), 12.0);
        take = TakeData(run);
        EXPECT_GT(take.size(), 44u + 48000u * 4);
        Shell(kServer + " thaw " + server.dir);
        StopServer(server);
    }
}

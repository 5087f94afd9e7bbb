// Interruptions end to end, with real signals: Ctrl-C (SIGINT) at every kind of read, in a
// take and in a playback; hangups at reads and termination requests that keep the take and
// save (a hangup during a take: detached_take_test.cpp);
// keys typed ahead at a terminal; and devices that run at another rate or fail mid-way.
// The takes that are stopped run on "tbpaced", which keeps real time.
#include <gtest/gtest.h>

#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

const std::string kPrompt = "Filename: song.wav\n";  // the last line before each command word
constexpr uint32_t kBlockBytes = 4096 * 4;  // one stereo 16-bit block

// Frames of a WAV file as sox and python's wave module read it, from its header.
void ExpectFrames(const std::string& path, uint32_t frames)
{
    EXPECT_EQ(Shell("sox --i -s '" + path + "' 2>&1"), std::to_string(frames) + "\n");
    EXPECT_EQ(Shell("python3 -c 'import wave,sys; w = wave.open(sys.argv[1]); "
                    "print(w.getnframes(), len(w.readframes(w.getnframes())))' '" + path + "' 2>&1"),
              std::to_string(frames) + " " + std::to_string(frames * 4) + "\n");
}

// Proves that the next read waits for the keyboard: a help text, "c", then "q".
void ExpectTheNextReadWaits(LiveRun* run)
{
    ASSERT_TRUE(WaitFor(run, kPrompt));
    Type(run, "h\n");
    ASSERT_TRUE(WaitFor(run, kAskC));
    Type(run, "c\nq\n");
}

}  // namespace

// A signal while the program waits for a word ends that read as the end of input would.
// Ctrl-C is then consumed and the program goes on; a hangup or termination request ends
// the session, saving the take in hand, the list and the settings.
TEST(Interruption, SignalsAtReads)
{
    struct Case {
        const char* moment;
        int signal;
        float duration;      // of the settings; 0 asks for it
        bool targetExists;   // song.wav holds an old take
        const char* typed;   // what reaches the read
        std::string waitFor;
        bool goesOn;         // the program reads on after the signal
        bool keepsTake;      // the take in hand is saved into song.wav and listed
    } cases[] = {
        {"command prompt", SIGINT, 0.2f, false, "", "", false, false},
        {"take menu", SIGINT, 0.2f, false, "r\n", "5 = play last take\n", true, true},
        {"duration prompt", SIGINT, 0, false, "r\n", kAskDuration, true, false},
        {"exists menu", SIGINT, 0.2f, true, "r\n", "5 = return without recording\n", true, false},
        {"wait for c", SIGINT, 0.2f, false, "h\n", kAskC, true, false},
        {"take menu", SIGTERM, 0.2f, false, "r\n", "5 = play last take\n", false, true},
        {"exists menu", SIGHUP, 0.2f, true, "r\n", "5 = return without recording\n", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.moment) + ", signal " + std::to_string(c.signal));
        Session s = NewSession(c.duration, "song.wav", "", 44100, 16, 2, "tbtest");
        const std::string old = WavHeader(44100, 2, 16, 4) + "oldy";
        if (c.targetExists)
            WriteFile(s.dir + "/song.wav", old);
        LiveRun run;
        ASSERT_TRUE(StartLive(&run, s.dir));
        ASSERT_TRUE(WaitFor(&run, kPrompt));
        Type(&run, c.typed);
        ASSERT_TRUE(WaitFor(&run, c.waitFor));
        SendSignal(&run, c.signal);
        if (c.goesOn)
            ExpectTheNextReadWaits(&run);
        EXPECT_EQ(FinishLive(&run), 0);
        EXPECT_EQ(run.out.size() >= kSaving.size() ? run.out.substr(run.out.size() - kSaving.size()) : "",
                  kSaving);
        EXPECT_TRUE(FileExists(s.dir + "/rcbox.txt"));
        if (c.keepsTake) {
            EXPECT_EQ(ReadFile(s.dir + "/song.wav"),
                      WavHeader(44100, 2, 16, 3 * kBlockBytes) + s.capture.substr(0, 3 * kBlockBytes));
            EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "song.wav\n");
        } else {
            EXPECT_EQ(ReadFile(s.dir + "/song.wav"), c.targetExists ? old : "");
        }
    }
}

// A signal about a second into a 10 s take: the take is the whole blocks recorded, with a
// true header. Ctrl-C leads to the take menu ("2" then a second stopped take, "1" keeps
// both); a termination request keeps the take and ends the program, the setting changed
// before the take saved.
TEST(Interruption, SignalsDuringATake)
{
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE("signal " + std::to_string(sig));
        Session s = NewSession(10, "song.wav", "", 44100, 16, 2, "tbpaced");
        LiveRun run;
        ASSERT_TRUE(StartLive(&run, s.dir));
        ASSERT_TRUE(WaitFor(&run, kPrompt));
        Type(&run, "i\n2.5\nr\n");
        ASSERT_TRUE(WaitFor(&run, "Remaining 9.0"));
        SendSignal(&run, sig);
        if (sig == SIGINT) {
            // "2": a second take goes right behind the blocks of the first, and is stopped too.
            ASSERT_TRUE(WaitFor(&run, kPeaks + kTakeMenu));
            Type(&run, "2\n");
            ASSERT_TRUE(WaitFor(&run, "Remaining 9.0"));
            SendSignal(&run, SIGINT);
            ASSERT_TRUE(WaitFor(&run, kPeaks + kTakeMenu));
            Type(&run, "1\n");
            ExpectTheNextReadWaits(&run);
        }
        EXPECT_EQ(FinishLive(&run), 0);
        const std::string take = ReadFile(s.dir + "/song.wav");
        ASSERT_GE(take.size(), 44u);
        const uint32_t bytes = static_cast<uint32_t>(take.size() - 44);
        EXPECT_EQ(bytes % kBlockBytes, 0u);
        EXPECT_GE(bytes, 10 * kBlockBytes);
        EXPECT_LT(bytes, 107 * kBlockBytes);  // 108 blocks make the whole take
        EXPECT_TRUE(take == WavHeader(44100, 2, 16, bytes) + s.capture.substr(0, bytes));
        ExpectFrames(s.dir + "/song.wav", bytes / 4);
        EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "song.wav\n");
        EXPECT_NE(ReadFile(s.dir + "/rcbox.txt").find("i\t2.500\n"), std::string::npos);
        EXPECT_FALSE(FileExists(s.dir + "/takebox_temp.wav"));
    }
}

// Ctrl-C stops a playback at once; the command goes on as after a whole playback: "p"
// returns to the prompt, "a" too without playing the next track, "5 = play last take" to
// the take menu, where "1" keeps the take.
TEST(Interruption, CtrlCDuringAPlayback)
{
    Session s = NewSession(3, "song.wav", "", 44100, 16, 2, "tbpaced", 10);
    WriteFile(s.dir + "/long.wav", WavHeader(44100, 2, 16, 441000 * 4) + Capture16(441000, 3));
    WriteFile(s.dir + "/tlist.txt", "long.wav\nlong.wav\n");
    LiveRun run;
    ASSERT_TRUE(StartLive(&run, s.dir));
    ASSERT_TRUE(WaitFor(&run, kPrompt));
    Type(&run, "p\n1\n");
    ASSERT_TRUE(WaitFor(&run, "clock = 0.5"));
    SendSignal(&run, SIGINT);
    ASSERT_TRUE(WaitFor(&run, kPrompt));
    EXPECT_LT(ReadFile(s.dir + "/play.raw").size(), 441000u * 4);
    // "a" stops the whole list.
    Type(&run, "a\n");
    ASSERT_TRUE(WaitFor(&run, "clock = 0.5"));
    SendSignal(&run, SIGINT);
    ASSERT_TRUE(WaitFor(&run, kPrompt));
    EXPECT_EQ(run.out.find("\nTrack 2\n"), std::string::npos);

    Type(&run, "r\n");
    ASSERT_TRUE(WaitFor(&run, kTakeMenu));
    Type(&run, "5\n");
    ASSERT_TRUE(WaitFor(&run, "clock = 0.5"));
    SendSignal(&run, SIGINT);
    ASSERT_TRUE(WaitFor(&run, kPeaks + kTakeMenu));
    Type(&run, "1\n");
    ExpectTheNextReadWaits(&run);
    EXPECT_EQ(FinishLive(&run), 0);
    // 3 s at 44100 Hz: 132300 frames, 33 whole blocks.
    EXPECT_TRUE(ReadFile(s.dir + "/song.wav") ==
                WavHeader(44100, 2, 16, 33 * kBlockBytes) + s.capture.substr(0, 33 * kBlockBytes));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "long.wav\nlong.wav\nsong.wav\n");
}

// A "4" typed while the take runs would delete it: at a terminal it is dropped before the
// take menu reads, and the "1" typed after the menu keeps the take. Through a pipe, the
// same keys are the user's script: "4" deletes the take, "1" is a word of no command.
TEST(Interruption, KeysTypedDuringATake)
{
    for (bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipe");
        if (terminal && !HavePseudoTerminals()) {
            // A bare chroot without /dev/pts, say: the pipe case still runs.
            printf("[ SKIPPED  ] no pseudo-terminal on this machine: the terminal case is left out\n");
            continue;
        }
        Session s = NewSession(2, "song.wav", "", 44100, 16, 2, "tbpaced");
        LiveRun run;
        ASSERT_TRUE(StartLive(&run, s.dir, terminal));
        ASSERT_TRUE(WaitFor(&run, kPrompt));
        Type(&run, "r\n");
        ASSERT_TRUE(WaitFor(&run, "Remaining 1.9"));
        Type(&run, "4\n");
        ASSERT_TRUE(WaitFor(&run, kTakeMenu));
        Type(&run, "1\n");
        ASSERT_TRUE(WaitFor(&run, kPrompt));
        Type(&run, "q\n");
        EXPECT_EQ(FinishLive(&run), 0);
        EXPECT_EQ(FileExists(s.dir + "/song.wav"), terminal);
    }
}

// A device that runs at 48000 Hz only: a take at 44100 Hz is refused before it starts (the
// take file keeps its header only, sized empty), and so is a 44100 Hz file, with a device named that
// converts the rate; that device plays it.
TEST(Interruption, DeviceAtAnotherRate)
{
    Session s = NewSession(0.2f, "song.wav", "", 44100, 16, 2, "tbrate48");
    const std::string samples = Capture16(4410, 5);
    WriteFile(s.dir + "/a.wav", WavHeader(44100, 2, 16, 4410 * 4) + samples);
    WriteFile(s.dir + "/tlist.txt", "a.wav\n");
    RunResult r = RunTakebox(s.dir, "r o 1 1p q");
    EXPECT_NE(r.out.find(kPrompt + "Cannot record at 44100 Hz: the capture device runs at 48000 Hz; try a device "
                                   "that converts the rate, such as plug:tbrate48\n" +
                         "\nTrack List:"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, "Cannot play a.wav at 44100 Hz: the device runs at 48000 Hz; try a device that "
                     "converts the rate, such as plug:tbrate48\n");
    EXPECT_EQ(ReadFile(s.dir + "/takebox_temp.wav"), WavHeader(44100, 2, 16, 0));
    EXPECT_FALSE(FileExists(s.dir + "/song.wav"));
    EXPECT_EQ(ReadFile(s.dir + "/play.raw"), "");

    WriteSettings(s.dir, 44100, 16, 2, 0, 1, 0.2f, "song.wav", "plug:tbrate48");
    r = RunTakebox(s.dir, "1p q");
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Playing a.wav ...\n\rclock = 0.00 sec"), std::string::npos) << r.out;
}

// A device unplugged after three blocks: the take ends at its last whole block with one
// line, the report and the menu follow, "2" is refused, and "1" keeps the three blocks
// with a true header. A playback on it ends with one line.
TEST(Interruption, DeviceThatFails)
{
    Session s = NewSession(1, "song.wav", "", 44100, 16, 2, "tbfail", 1);
    WriteFile(s.dir + "/a.wav", WavHeader(44100, 2, 16, 44100 * 4) + Capture16(44100, 5));
    WriteFile(s.dir + "/tlist.txt", "a.wav\n");
    RunResult r = RunTakebox(s.dir, "r 2 1 1p q");
    const std::string take = "Recording...\n\rRemaining 1.00 sec\rRemaining 0.91 sec\rRemaining 0.81 sec\n"
                             "Recording stopped: the capture device failed: No such device\n" +
                             kPeaks + kTakeMenu +
                             "Cannot continue: the last take was not written in full\n" + kTakeMenu;
    EXPECT_NE(r.out.find(kPrompt + take + "\nTrack List:"), std::string::npos) << r.out;
    EXPECT_TRUE(ReadFile(s.dir + "/song.wav") ==
                WavHeader(44100, 2, 16, 3 * kBlockBytes) + s.capture.substr(0, 3 * kBlockBytes));
    ExpectFrames(s.dir + "/song.wav", 3 * 4096);
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "a.wav\nsong.wav\n");
    EXPECT_NE(r.out.find("Playing a.wav ...\n\rclock = 0.00 sec\rclock = 0.09 sec\rclock = 0.19 sec\n"
                         "Playback stopped: the playback device failed: No such device\n"),
              std::string::npos)
        << r.out;
}

// Levels for a person at a terminal, on the paced device with channel 1 clipping (a full-
// scale sample every 1000 frames) and channel 2 quiet: "m" meters live until Enter and
// writes nothing; a take (eleven blocks: 46 full-scale samples) redraws one live line (remaining time, a bar and dB a channel,
// the disk's time) and reports the clips; playing with In and Out at 0 says why nothing
// plays. Through pipes the same session shows none of it: "m" gives one second of peaks.
TEST(Interruption, LevelsOnATerminalAndNotThroughPipes)
{
    std::string capture;
    for (uint32_t i = 0; i < 441000; i++)
        capture += Le16(i % 1000 == 0 ? 32767 : static_cast<uint16_t>(i % 200 - 100)) +
                   Le16(static_cast<uint16_t>(i % 40 - 20));
    const std::string peaks = "Channel 1 peak = -0.00 dB\nChannel 2 peak = -64.29 dB\n";
    const std::string hint = "Nothing to play: set an out point with o (In 0.00, Out 0.00)\n";
    for (const bool terminal : {true, false}) {
        SCOPED_TRACE(terminal ? "terminal" : "pipes");
        if (terminal && !HavePseudoTerminals()) {
            printf("[ SKIPPED  ] no pseudo-terminal on this machine: the terminal case is left out\n");
            continue;
        }
        Session s = NewSession(1.0f, "song.wav", "a.wav\n", 44100, 16, 2, "tbpaced");
        WriteFile(s.dir + "/capture.raw", capture);
        WriteFile(s.dir + "/a.wav", WavHeader(44100, 2, 16, 4000) + Pattern(4000, 3));
        LiveRun run;
        ASSERT_TRUE(StartLive(&run, s.dir, terminal));
        ASSERT_TRUE(WaitFor(&run, kPrompt));
        Type(&run, "m\n");
        if (terminal) {
            ASSERT_TRUE(WaitFor(&run, "\r1[########]  -0.0dB! 2[-"));
            ASSERT_TRUE(WaitFor(&run, "-64.3dB  disk "));
            ASSERT_TRUE(WaitFor(&run, "\033[K"));
            Type(&run, "\n");
            ASSERT_TRUE(WaitFor(&run, "\n\nTrack List:"));  // the line ended at Enter
        } else {
            ASSERT_TRUE(WaitFor(&run, peaks + "\nTrack List:"));
        }
        EXPECT_FALSE(FileExists(s.dir + "/takebox_temp.wav"));
        ASSERT_TRUE(WaitFor(&run, kPrompt));
        Type(&run, "1p\n");
        ASSERT_TRUE(WaitFor(&run, "Playing a.wav ...\n"));
        ASSERT_TRUE(WaitFor(&run, kPrompt));
        EXPECT_EQ(run.out.find(hint) != std::string::npos, terminal);
        const size_t takeAt = run.out.size();
        Type(&run, "r\n");
        ASSERT_TRUE(WaitFor(&run, kTakeMenu));
        const std::string take = run.out.substr(takeAt);
        if (terminal) {
            // Redrawn: each draw clears to the end of the line, and stays within 79 columns.
            size_t draws = 0;
            for (size_t at = take.find("\rRemaining "); at != std::string::npos;
                 at = take.find("\rRemaining ", at + 1), draws++) {
                const size_t end = take.find("\033[K", at);
                ASSERT_NE(end, std::string::npos);
                const std::string line = take.substr(at + 1, end - at - 1);
                EXPECT_LE(line.size(), 79u);
                EXPECT_NE(line.find("dB! 2["), std::string::npos) << line;
                EXPECT_NE(line.find(" disk "), std::string::npos) << line;
            }
            EXPECT_GE(draws, 2u);  // about ten a second
            EXPECT_NE(take.find("\n\n" + peaks + "Channel 1 clipped: 46 samples at full scale\n" + kTakeMenu),
                      std::string::npos)
                << take;
        } else {
            EXPECT_EQ(take.substr(take.find("\n\n")), "\n\n" + peaks + kTakeMenu);
            EXPECT_EQ(take.find("\033["), std::string::npos);
        }
        Type(&run, "1\nq\n");
        EXPECT_EQ(FinishLive(&run), 0);
    }
}

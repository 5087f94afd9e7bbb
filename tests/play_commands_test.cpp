// Play and check commands end to end, through the virtual playback device.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e.h"

namespace {

const std::string kTracks = "\t1 ten.wav\n\t2 gone.wav\n";

// A list of a 10 s stereo 16-bit file and a missing one.
std::string TwoTracks(std::string* data = nullptr)
{
    std::string dir = MakeTempDir();
    WriteSettings(dir, 44100, 16, 2, 0, 0, 0, "");
    WriteFile(dir + "/tlist.txt", "ten.wav\ngone.wav\n");
    std::string samples = Pattern(441000 * 4, 5);
    WriteFile(dir + "/ten.wav", WavHeader(44100, 2, 16, 441000 * 4) + samples);
    if (data != nullptr)
        *data = samples;
    return dir;
}

const std::string kGone = "The file called gone.wav cannot be found!\n";
const std::string kEmpty = "The file called  cannot be found!\n";
const std::string kTen = "Playing ten.wav ...\n";

}  // namespace

TEST(PlayCommands, NumbersAndTheRememberedTrack)
{
    std::string dir = TwoTracks();
    // pp before any play is track 1; 2p, then pp again; p asks (010 is octal 8, 0x1 is 1);
    // 010p is track 10; up sets track 0 and plays nothing.
    RunResult r = RunTakebox(dir, "pp 2p pp p 010 p 0x1 010p p2 up 1p5 q");
    std::string expect = Start(kOpenedList) + Show(kTracks);
    expect += kTen + Show(kTracks);
    expect += kGone + Show(kTracks);
    expect += kGone + Show(kTracks);
    expect += "Enter track number:\n" + kEmpty + Show(kTracks);
    expect += "Enter track number:\n" + kTen + Show(kTracks);
    expect += kEmpty + Show(kTracks);
    expect += kGone + Show(kTracks);
    expect += Show(kTracks);
    expect += kTen + Show(kTracks) + kSaving;
    EXPECT_EQ(r.out, expect);
    EXPECT_EQ(ReadFile(dir + "/play.raw"), "");  // in and out at 0: nothing reaches the device
}

TEST(PlayCommands, QpAndXpEndTheProgramWithSaving)
{
    for (const char* word : {"qp", "xp"}) {
        std::string dir = TwoTracks();
        RunResult r = RunTakebox(dir, std::string("i 1 ") + word + " d 5 q");
        EXPECT_EQ(r.out, Start(kOpenedList) + Show(kTracks) +
                             "Enter start time in seconds:\n" + Show(kTracks, "1.00") + kSaving)
            << word;
        EXPECT_NE(ReadFile(dir + "/rcbox.txt").find("i\t1.000\n"), std::string::npos);
    }
}

TEST(PlayCommands, PlayAllPlaysTheSpanOfEveryTrack)
{
    std::string data;
    std::string dir = TwoTracks(&data);
    RunResult r = RunTakebox(dir, "i 1 o 1.2 a q");
    std::string expect = Start(kOpenedList) + Show(kTracks) +
                         "Enter start time in seconds:\n" + Show(kTracks, "1.00") +
                         "Enter stop time in seconds:\n" + Show(kTracks, "1.00", "1.20") +
                         "Playing all!\n\nTrack 1\n" + kTen +
                         "\rclock = 1.00 sec\rclock = 1.09 sec\rclock = 1.19 sec" + "\nTrack 2\n" + kGone +
                         Show(kTracks, "1.00", "1.20") + kSaving;
    EXPECT_EQ(r.out, expect);
    // Frames 44100 to 52920 in whole periods: three chunks from frame 44100.
    EXPECT_EQ(ReadFile(dir + "/play.raw"), data.substr(44100 * 4, 3 * 4096 * 4));
}

TEST(PlayCommands, EmptyListPlaysAndChecksNothing)
{
    std::string dir = MakeTempDir();
    WriteSettings(dir, 44100, 16, 2, 0, 0, 0, "");
    RunResult r = RunTakebox(dir, "a t c q");
    EXPECT_EQ(r.out, Start(kNewList) + Show("") + "Playing all!\n" + Show("") +
                         "\nEnter 'c' to continue\n\n" + Show("") + kSaving);
}

TEST(CheckCommand, ReportsEveryListedFileAndWaits)
{
    std::string dir = TwoTracks();
    RunResult r = RunTakebox(dir, "t x c q");
    EXPECT_EQ(r.out, Start(kOpenedList) + Show(kTracks) +
                         "\nFile: ten.wav\n  channels: 2\n  bits: 16\n  samplerate: 44100\n"
                         "  length (sec): 10.000\n" +
                         kGone + "\nEnter 'c' to continue\n\nEnter 'c' to continue\n\n" + Show(kTracks) +
                         kSaving);
}

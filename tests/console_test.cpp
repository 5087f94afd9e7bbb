// Whole-transcript tests of start-up, the command loop and shutdown.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e.h"

namespace {

std::string Block(int channels, int rate, int bits, const std::string& device,
                  const std::string& file)
{
    return "-----------------------------\nCurrent Recording Parameters:\n"
           "   Channels: " + std::to_string(channels) + "\n   Sample rate: " + std::to_string(rate) +
           "\n   Bits: " + std::to_string(bits) + "\n   Device: " + device + "\n   File: " + file +
           "\n-----------------------------\n\n";
}

// The display before each prompt; `tracks` already formatted as "\t1 a.wav\n"...
std::string Show(const std::string& tracks, const std::string& in = "0.00",
                 const std::string& out = "0.00", const std::string& dur = "0.00",
                 const std::string& name = "")
{
    return "\nTrack List:\n" + tracks + "\nPlayback:\tIn " + in + "\t\tOut " + out +
           "\nRecording: \tDur " + dur + "\tFilename: " + name + "\n";
}

std::string Values(const std::string& in = "0.00", const std::string& out = "0.00",
                   const std::string& dur = "0.00", const std::string& name = "")
{
    return "Playback:\tIn " + in + "\t\tOut " + out + "\nRecording: \tDur " + dur +
           "\tFilename: " + name + "\n";
}

// Start-up with a settings file naming "tlist.txt" and default values.
std::string StartWithSettings(const std::string& listMessage, const std::string& file = "")
{
    return kBanner + kReading + Block(2, 44100, 16, "default", file) + listMessage + kTypeH;
}

const std::string kNewList = "Creating a new list: tlist.txt\n";
const std::string kDefaultSettings =
    "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\ttlist.txt\n";

}  // namespace

TEST(StartUp, WithoutSettingsAsksForTheListAndSavesOnQuit)
{
    std::string dir = MakeTempDir();
    RunResult r = RunTakebox(dir, "mylist\nq\n");
    EXPECT_EQ(r.out, kBanner + kAskList + Block(2, 44100, 16, "default", "") +
                         "Creating a new list: mylist\n" + kTypeH + Show("") + kSaving);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
              "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\tmylist\n");
    EXPECT_TRUE(FileExists(dir + "/mylist"));
    EXPECT_EQ(ReadFile(dir + "/mylist"), "");
}

TEST(StartUp, SettingsWithoutListStillAskForIt)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", "sr\t48000\nrname\tsong.wav\n");
    WriteFile(dir + "/songs.txt", "a.wav\nb.wav\n");
    RunResult r = RunTakebox(dir, "songs.txt q");
    EXPECT_EQ(r.out, kBanner + kReading + kAskList + Block(2, 48000, 16, "default", "song.wav") +
                         "Opening existing list: songs.txt\n" + kTypeH +
                         Show("\t1 a.wav\n\t2 b.wav\n", "0.00", "0.00", "0.00", "song.wav") + kSaving);
}

TEST(StartUp, IllegalChannelsAndBitsAreCorrectedInOrder)
{
    struct Case {
        const char* settings;
        std::string messages;
        int channels, bits;
    } cases[] = {
        {"ch\t3\nbits\t8\n",
         "Channels were set to illegal value, setting to 2.\nBits were set to illegal value, setting to 16.\n", 2, 16},
        {"ch\t0\nbits\t32\n",
         "Channels were set to illegal value, setting to 2.\nBits were set to illegal value, setting to 16.\n", 2, 16},
        {"ch\t1\nbits\t24\n", "", 1, 24},
        {"ch\t-1\nbits\t24\n", "Channels were set to illegal value, setting to 2.\n", 2, 24},
    };
    for (const Case& c : cases) {
        std::string dir = MakeTempDir();
        WriteFile(dir + "/rcbox.txt", c.settings);
        RunResult r = RunTakebox(dir, "tl.txt\nq\n");
        EXPECT_EQ(r.out, kBanner + kReading + kAskList + c.messages +
                             Block(c.channels, 44100, c.bits, "default", "") +
                             "Creating a new list: tl.txt\n" + kTypeH + Show("") + kSaving)
            << c.settings;
        std::string saved = ReadFile(dir + "/rcbox.txt");
        EXPECT_NE(saved.find("bits\t" + std::to_string(c.bits) + "\nch\t" + std::to_string(c.channels) + "\n"),
                  std::string::npos);
    }
}

TEST(StartUp, EndOfInputAnywhereEndsAsQuitDoes)
{
    std::string dir = MakeTempDir();
    RunResult r = RunTakebox(dir, "");  // ends at the list prompt: the default list stays
    EXPECT_EQ(r.out, kBanner + kAskList + Block(2, 44100, 16, "default", "") +
                         "Creating a new list: tlist.txt\n" + kTypeH + Show("") + kSaving);
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"), kDefaultSettings);

    // At the exit question, at number prompts, in menus and waits.
    for (const char* input : {"x", "i", "F", "L 2", "u", "u 1", "h", "t", "f", "-", "d", "p"}) {
        std::string d = MakeTempDir();
        WriteFile(d + "/rcbox.txt", kDefaultSettings);
        RunResult e = RunTakebox(d, input);
        EXPECT_EQ(e.status, 0) << input;
        EXPECT_EQ(e.out.substr(e.out.size() - kSaving.size()), kSaving) << input;
        EXPECT_TRUE(FileExists(d + "/tlist.txt")) << input;
    }
}

TEST(Loop, PointsDurationAndJumps)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    RunResult r = RunTakebox(dir, "l j J i 10 o 15 j J i 2 o 10 J d 2.5 o 1e1 l q");
    std::string expect = StartWithSettings(kNewList) + Show("");
    expect += Values();                                                   // after l
    expect += Values();                                                   // j from 0, 0
    expect += Values();                                                   // J from 0, 0
    expect += "Enter start time in seconds:\n" + Values("10.00");
    expect += "Enter stop time in seconds:\n" + Values("10.00", "15.00");
    expect += Values("15.00", "20.00");                                   // j
    expect += Values("10.00", "15.00");                                   // J
    expect += "Enter start time in seconds:\n" + Values("2.00", "15.00");
    expect += "Enter stop time in seconds:\n" + Values("2.00", "10.00");
    expect += Values("0.00", "2.00");                                     // J clamps at 0
    expect += "Enter record duration in seconds:\n" + Values("0.00", "2.00", "2.50");
    expect += "Enter stop time in seconds:\n" + Values("0.00", "10.00", "2.50");
    expect += Show("", "0.00", "10.00", "2.50");                          // l again shows it
    expect += kSaving;
    EXPECT_EQ(r.out, expect);
    EXPECT_NE(ReadFile(dir + "/rcbox.txt").find("i\t0.000\no\t10.000\nd\t2.500\n"), std::string::npos);
}

TEST(Loop, RecordFileNamesFromTheKeyboardAndTheList)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    WriteFile(dir + "/tlist.txt", "one.wav\ntwo\n");
    std::string longWord(300, 'w');
    RunResult r = RunTakebox(dir, "f song.wav F 2 F 3 F 0 f " + longWord + " q");
    const std::string tracks = "\t1 one.wav\n\t2 two\n";
    const std::string cut = std::string(123, 'w') + ".wav";
    std::string expect = StartWithSettings("Opening existing list: tlist.txt\n") + Show(tracks);
    expect += "Enter recording file name:\n" + Show(tracks, "0.00", "0.00", "0.00", "song.wav.wav");
    expect += "Select a file in list for record filename (1-2)\n" + Show(tracks, "0.00", "0.00", "0.00", "two");
    expect += "Select a file in list for record filename (1-2)\n" + Show(tracks, "0.00", "0.00", "0.00", "two");
    expect += "Select a file in list for record filename (1-2)\n" + Show(tracks, "0.00", "0.00", "0.00", "two");
    expect += "Enter recording file name:\n" + Show(tracks, "0.00", "0.00", "0.00", cut);
    expect += kSaving;
    EXPECT_EQ(r.out, expect);
    EXPECT_NE(ReadFile(dir + "/rcbox.txt").find("rname\t" + cut + "\n"), std::string::npos);
}

TEST(Loop, RemoveAndReloadTracks)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    WriteFile(dir + "/tlist.txt", "a.wav\nb.wav\nc.wav\n");
    WriteFile(dir + "/other.txt", "z.wav\n");
    RunResult r = RunTakebox(dir, "- 1 - 5 - 0 L 3 L 1 - 3 L 2 new.txt L 2 other.txt q");
    const std::string abc = "\t1 a.wav\n\t2 b.wav\n\t3 c.wav\n", bc = "\t1 b.wav\n\t2 c.wav\n";
    const std::string menu1 = "1 = Load list from file: tlist.txt\n2 = Enter new file name and load list\n3 = Return\n";
    const std::string menuNew = "1 = Load list from file: new.txt\n2 = Enter new file name and load list\n3 = Return\n";
    std::string expect = StartWithSettings("Opening existing list: tlist.txt\n") + Show(abc);
    expect += "Enter a track (1-3) to remove from list or '0' to return\n" + Show(bc);
    expect += "Enter a track (1-2) to remove from list or '0' to return\n" + Show(bc);
    expect += "Enter a track (1-2) to remove from list or '0' to return\n" + Show(bc);
    expect += menu1 + Show(bc);
    expect += menu1 + "Opening existing list: tlist.txt\n" + Show(abc);  // unsaved removal lost
    expect += "Enter a track (1-3) to remove from list or '0' to return\n" + Show("\t1 a.wav\n\t2 b.wav\n");
    expect += menu1 + "Enter file name containing list\nCreating a new list: new.txt\n" +
              Show("\t1 a.wav\n\t2 b.wav\n");
    expect += menuNew + "Enter file name containing list\nOpening existing list: other.txt\n" +
              Show("\t1 z.wav\n");
    expect += kSaving;
    EXPECT_EQ(r.out, expect);
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "a.wav\nb.wav\nc.wav\n");  // never saved there
    EXPECT_EQ(ReadFile(dir + "/other.txt"), "z.wav\n");
    EXPECT_FALSE(FileExists(dir + "/new.txt"));
}

TEST(Loop, RecordSettingsMenu)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    RunResult r = RunTakebox(dir, "u 2 3 x 1x 48000 4 hw:7 2 3 1 5 q");
    auto menu = [](int rate, int bits, int ch, const std::string& dev) {
        return "Record Settings\n1 = change samplerate: " + std::to_string(rate) +
               "\n2 = toggle bit depth: " + std::to_string(bits) + "\n3 = toggle channels: " +
               std::to_string(ch) + "\n4 = change soundcard: " + dev + "\n5 = done\n";
    };
    std::string expect = StartWithSettings(kNewList) + Show("");
    expect += menu(44100, 16, 2, "default");
    expect += menu(44100, 24, 2, "default");                       // 2
    expect += menu(44100, 24, 1, "default");                       // 3
    expect += menu(44100, 24, 1, "default");                       // x: no number
    expect += "Enter samplerate:\n" + menu(48000, 24, 1, "default");  // 1x is choice 1
    expect += "Enter soundcard device name:\n" + menu(48000, 24, 1, "hw:7");
    expect += menu(48000, 16, 1, "hw:7");                          // 2
    expect += menu(48000, 16, 2, "hw:7");                          // 3
    expect += "Enter samplerate:\n";                               // 1, rate "5" stored and closes
    expect += Show("") + kSaving;
    EXPECT_EQ(r.out, expect);
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
              "dv\thw:7\nsr\t5\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\ttlist.txt\n");
}

TEST(Loop, HelpWaitsForC)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    RunResult r = RunTakebox(dir, "h C cc c q");
    const std::string wait = "\nEnter 'c' to continue\n";
    EXPECT_EQ(r.out, StartWithSettings(kNewList) + Show("") + HelpText() + wait + wait + wait + Show("") + kSaving);
}

TEST(Loop, SaveWritesListAndSettingsAtOnce)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    WriteFile(dir + "/tlist.txt", "\n\na.wav\r\nb.wav");
    RunResult r = RunTakebox(dir, "i 1.5 s x y");
    const std::string tracks = "\t1 a.wav\r\n\t2 b.wav\n";
    EXPECT_EQ(r.out, StartWithSettings("Opening existing list: tlist.txt\n") + Show(tracks) +
                         "Enter start time in seconds:\n" + Show(tracks, "1.50") +
                         "Saved track list (tlist.txt)\nSaved settings\n" + Show(tracks, "1.50") +
                         "Exit without saving list and settings? (y,n)\n");
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "a.wav\r\nb.wav\n");
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
              "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t1.500\no\t0.000\nd\t0.000\ntlist\ttlist.txt\n");
}

TEST(Shutdown, OnlyAnExactYLeavesWithoutSaving)
{
    for (const char* answer : {"y", "n", "Y", "yes"}) {
        std::string dir = MakeTempDir();
        WriteFile(dir + "/rcbox.txt", kDefaultSettings);
        RunResult r = RunTakebox(dir, std::string("d 3 x ") + answer + "\n");
        bool leave = std::string(answer) == "y";
        EXPECT_EQ(r.out, StartWithSettings(kNewList) + Show("") + "Enter record duration in seconds:\n" +
                             Show("", "0.00", "0.00", "3.00") +
                             "Exit without saving list and settings? (y,n)\n" + (leave ? "" : kSaving))
            << answer;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(FileExists(dir + "/tlist.txt"), !leave) << answer;
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt").find("d\t3.000") != std::string::npos, !leave) << answer;
    }
}

TEST(Shutdown, ASaveThatCannotCompleteLeavesTheOldFilesIntact)
{
    std::string dir = MakeTempDir();
    std::string list;
    for (int i = 0; i < 50; i++)
        list += "take" + std::to_string(i) + ".wav\n";
    const std::string settings = kDefaultSettings + "rname\told.wav\n";
    WriteFile(dir + "/rcbox.txt", settings);
    WriteFile(dir + "/tlist.txt", list);
    // No file may grow: every write fails part-way, as on a full disk.
    RunResult r = RunTakebox(dir, "- 1 f new i 4 s q", "ulimit -f 0; trap '' XFSZ;");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Unable to open tlist.txt\nUnable to open rcbox.txt\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Saved track list"), std::string::npos);
    EXPECT_EQ(r.out.find("Saved settings"), std::string::npos);
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), list);
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"), settings);
    EXPECT_FALSE(FileExists(dir + "/tlist.txt.tmp"));
    EXPECT_FALSE(FileExists(dir + "/rcbox.txt.tmp"));
}

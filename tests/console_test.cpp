// Whole-transcript tests of start-up, the command loop and shutdown.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/e2e.h"

namespace {

// The names in a directory, hidden ones included.
std::set<std::string> Entries(const std::string& dir)
{
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

int Mode(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::string LinkTarget(const std::string& path)
{
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

const std::string kDefaultSettings =
    "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\ttlist.txt\n";

}  // namespace

TEST(StartUp, WithoutSettingsAsksForTheListAndSavesOnQuit)
{
    std::string dir = MakeTempDir();
    RunResult r = RunTakebox(dir, "mylist\nq\n");
    EXPECT_EQ(r.out, kBanner + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
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
    EXPECT_EQ(r.out, kBanner + kReading + kAskList + ParamsBlock(2, "48000", 16, "default", "song.wav") +
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
                             ParamsBlock(c.channels, "44100", c.bits, "default", "") +
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
    EXPECT_EQ(r.out, kBanner + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
                         kNewList + kTypeH + Show("") + kSaving);
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
    std::string expect = Start(kNewList, "", "default") + Show("");
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
    std::string expect = Start(kOpenedList, "", "default") + Show(tracks);
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
    std::string expect = Start(kOpenedList, "", "default") + Show(abc);
    expect += "Enter a track (1-3) to remove from list or '0' to return\n" + Show(bc);
    expect += "Enter a track (1-2) to remove from list or '0' to return\n" + Show(bc);
    expect += "Enter a track (1-2) to remove from list or '0' to return\n" + Show(bc);
    expect += menu1 + Show(bc);
    expect += menu1 + kOpenedList + Show(abc);  // unsaved removal lost
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
    std::string expect = Start(kNewList, "", "default") + Show("");
    expect += SettingsMenu("44100", 16, 2, "default");
    expect += SettingsMenu("44100", 24, 2, "default");             // 2
    expect += SettingsMenu("44100", 24, 1, "default");             // 3
    expect += SettingsMenu("44100", 24, 1, "default");             // x: no number
    expect += "Enter samplerate:\n" + SettingsMenu("48000", 24, 1, "default");  // 1x is choice 1
    expect += "Enter soundcard device name:\n" + SettingsMenu("48000", 24, 1, "hw:7");
    expect += SettingsMenu("48000", 16, 1, "hw:7");                // 2
    expect += SettingsMenu("48000", 16, 2, "hw:7");                // 3
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
    EXPECT_EQ(r.out, Start(kNewList, "", "default") + Show("") + HelpText() + wait + wait + wait + Show("") + kSaving);
}

TEST(Loop, SaveWritesListAndSettingsAtOnce)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    WriteFile(dir + "/tlist.txt", "\n\na.wav\nb.wav");
    RunResult r = RunTakebox(dir, "i 1.5 s x y");
    const std::string tracks = "\t1 a.wav\n\t2 b.wav\n";
    EXPECT_EQ(r.out, Start(kOpenedList, "", "default") + Show(tracks) +
                         "Enter start time in seconds:\n" + Show(tracks, "1.50") +
                         "Saved track list (tlist.txt)\nSaved settings\n" + Show(tracks, "1.50") +
                         "Exit without saving list and settings? (y,n)\n");
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "a.wav\nb.wav\n");
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
        EXPECT_EQ(r.out, Start(kNewList, "", "default") + Show("") + "Enter record duration in seconds:\n" +
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
    EXPECT_NE(r.out.find("Write to tlist.txt failed: File too large\n"
                         "Write to rcbox.txt failed: File too large\n"),
              std::string::npos);
    EXPECT_EQ(r.out.find("Saved track list"), std::string::npos);
    EXPECT_EQ(r.out.find("Saved settings"), std::string::npos);
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), list);
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"), settings);
    EXPECT_EQ(Entries(dir), (std::set<std::string>{"rcbox.txt", "tlist.txt"}));  // no temporary left
}

TEST(Shutdown, SavesKeepLinksPermissionsAndOtherFiles)
{
    // The list and the settings reached through symbolic links (one a chain of two) in
    // another directory, with their own permissions, beside files named like temporaries.
    std::string dir = MakeTempDir();
    std::string real = dir + "/real";
    ASSERT_EQ(mkdir(real.c_str(), 0755), 0);
    WriteFile(real + "/list.txt", "a.wav\nb.wav\n");
    WriteFile(real + "/settings.txt", kDefaultSettings);
    ASSERT_EQ(chmod((real + "/list.txt").c_str(), 0640), 0);
    ASSERT_EQ(chmod((real + "/settings.txt").c_str(), 0604), 0);
    ASSERT_EQ(symlink("real/list.txt", (dir + "/tlist.txt").c_str()), 0);
    ASSERT_EQ(symlink("real/settings.txt", (dir + "/hop").c_str()), 0);
    ASSERT_EQ(symlink("hop", (dir + "/rcbox.txt").c_str()), 0);
    for (const char* mine : {"/tlist.txt.tmp", "/rcbox.txt.tmp", "/real/list.txt.tmp", "/real/settings.txt.tmp"})
        WriteFile(dir + mine, mine);
    RunResult r = RunTakebox(dir, "- 1 i 2 s q");
    EXPECT_NE(r.out.find("Saved track list (tlist.txt)\nSaved settings\n"), std::string::npos);
    EXPECT_EQ(LinkTarget(dir + "/tlist.txt"), "real/list.txt");
    EXPECT_EQ(LinkTarget(dir + "/hop"), "real/settings.txt");
    EXPECT_EQ(LinkTarget(dir + "/rcbox.txt"), "hop");
    EXPECT_EQ(ReadFile(real + "/list.txt"), "b.wav\n");
    EXPECT_NE(ReadFile(real + "/settings.txt").find("\ni\t2.000\n"), std::string::npos);
    EXPECT_EQ(Mode(real + "/list.txt"), 0640);
    EXPECT_EQ(Mode(real + "/settings.txt"), 0604);
    for (const char* mine : {"/tlist.txt.tmp", "/rcbox.txt.tmp", "/real/list.txt.tmp", "/real/settings.txt.tmp"})
        EXPECT_EQ(ReadFile(dir + mine), mine);
    EXPECT_EQ(Entries(real), (std::set<std::string>{"list.txt", "list.txt.tmp", "settings.txt", "settings.txt.tmp"}));

    // New files get the permissions a plain write gives them; a link to a list that does
    // not exist yet makes it where the link points.
    dir = MakeTempDir();
    ASSERT_EQ(mkdir((dir + "/lists").c_str(), 0755), 0);
    ASSERT_EQ(symlink("lists/new.txt", (dir + "/tlist.txt").c_str()), 0);
    r = RunTakebox(dir, "", "umask 027;");
    EXPECT_EQ(LinkTarget(dir + "/tlist.txt"), "lists/new.txt");
    EXPECT_EQ(ReadFile(dir + "/lists/new.txt"), "");
    EXPECT_EQ(Mode(dir + "/lists/new.txt"), 0640);
    EXPECT_EQ(Mode(dir + "/rcbox.txt"), 0640);
}

TEST(TextFiles, CrLfLineEndsLeaveNoCrInNamesOrValues)
{
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt",
              "dv\tdefault\r\nsr\t44100\r\nbits\t16\r\nch\t2\r\ni\t0.000\r\no\t0.000\r\nd\t0.000\r\n"
              "tlist\tl.txt\r\nrname\tbass.wav\r\n");
    WriteFile(dir + "/l.txt", "a.wav\r\nb.wav\r\n");
    WriteFile(dir + "/a.wav", WavHeader(44100, 2, 16, 441 * 4) + Pattern(441 * 4, 1));
    RunResult r = RunTakebox(dir, "t c F 2 s q");
    const std::string tracks = "\t1 a.wav\n\t2 b.wav\n";
    std::string expect = Start("Opening existing list: l.txt\n", "bass.wav", "default") + Show(tracks, "0.00", "0.00", "0.00", "bass.wav");
    expect += "\nFile: a.wav\n  channels: 2\n  bits: 16\n  samplerate: 44100\n  length (sec): 0.010\n"
              "The file called b.wav cannot be found!\n\nEnter 'c' to continue\n\n" +
              Show(tracks, "0.00", "0.00", "0.00", "bass.wav");
    expect += "Select a file in list for record filename (1-2)\n" + Show(tracks, "0.00", "0.00", "0.00", "b.wav");
    expect += "Saved track list (l.txt)\nSaved settings\n" + Show(tracks, "0.00", "0.00", "0.00", "b.wav") + kSaving;
    EXPECT_EQ(r.out, expect);
    EXPECT_EQ(ReadFile(dir + "/l.txt"), "a.wav\nb.wav\n");
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
              "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\ntlist\tl.txt\nrname\tb.wav\n");
}

TEST(TextFiles, AWavFileIsNeverTakenForAList)
{
    const std::string wav = WavHeader(44100, 2, 16, 4000) + Pattern(4000, 2);
    const std::string isWav = "demo.wav is a WAV file, not a track list\n";
    const std::string menu = "1 = Load list from file: tlist.txt\n2 = Enter new file name and load list\n3 = Return\n";
    const std::string a = "\t1 a.wav\n";
    struct Case {
        const char* name;
        std::string settings, input, out;
        const char* savedList;  // the list path in the saved settings
    } cases[] = {
        {"at the list prompt", "", "demo.wav mine q",
         kBanner + kAskList + isWav + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
             "Creating a new list: mine\n" + kTypeH + Show("") + kSaving,
         "mine"},
        {"named by the settings", "tlist\tdemo.wav\n", "demo.wav tlist.txt q",
         kBanner + kReading + isWav + kAskList + isWav + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
             kOpenedList + kTypeH + Show(a) + kSaving,
         "tlist.txt"},
        {"named by the settings, then end of input", "tlist\tdemo.wav\n", "",
         kBanner + kReading + isWav + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
             kOpenedList + kTypeH + Show(a) + kSaving,
         "tlist.txt"},
        {"at L", kDefaultSettings, "- 1 L 2 demo.wav L 2 demo.wav",
         Start(kOpenedList, "", "default") + Show(a) +
             "Enter a track (1-1) to remove from list or '0' to return\n" + Show("") + menu +
             "Enter file name containing list\n" + isWav + Show("") + menu +
             "Enter file name containing list\n" + isWav + Show("") + kSaving,
         "tlist.txt"},
    };
    for (const Case& c : cases) {
        std::string dir = MakeTempDir();
        if (!c.settings.empty())
            WriteFile(dir + "/rcbox.txt", c.settings);
        WriteFile(dir + "/tlist.txt", "a.wav\n");
        WriteFile(dir + "/demo.wav", wav);
        RunResult r = RunTakebox(dir, c.input);
        EXPECT_EQ(r.out, c.out) << c.name;
        EXPECT_EQ(ReadFile(dir + "/demo.wav"), wav) << c.name;
        EXPECT_NE(ReadFile(dir + "/rcbox.txt").find(std::string("\ntlist\t") + c.savedList + "\n"),
                  std::string::npos)
            << c.name;
    }
}

TEST(Loop, NumberPromptsActOnlyOnANumberTypedThere)
{
    // Text that is no number does nothing at F, L or -, whatever an earlier prompt read.
    std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", kDefaultSettings);
    WriteFile(dir + "/tlist.txt", "a.wav\nb.wav\nc.wav\n");
    RunResult r = RunTakebox(dir, "- 1 - abc L zz F zz q");
    const std::string bc = "\t1 b.wav\n\t2 c.wav\n";
    std::string expect = Start(kOpenedList, "", "default") + Show("\t1 a.wav\n\t2 b.wav\n\t3 c.wav\n");
    expect += "Enter a track (1-3) to remove from list or '0' to return\n" + Show(bc);
    expect += "Enter a track (1-2) to remove from list or '0' to return\n" + Show(bc);
    expect += Show(bc);  // abc: the next command word
    expect += "1 = Load list from file: tlist.txt\n2 = Enter new file name and load list\n3 = Return\n" +
              Show(bc) + Show(bc);
    expect += "Select a file in list for record filename (1-2)\n" + Show(bc) + Show(bc) + kSaving;
    EXPECT_EQ(r.out, expect);
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "b.wav\nc.wav\n");
}

// On a terminal the device prompt lists the devices that can capture, a number from the
// list picks one, and a line says what the chosen device offers or why it does not open.
// Through pipes it is as it was (the transcripts above).
TEST(Console, TheDevicePromptListsTheDevicesOnATerminal)
{
    if (!HavePseudoTerminals()) {
        printf("[ SKIPPED  ] no pseudo-terminal on this machine\n");
        return;
    }
    const Session s = NewSession(0.05f, "song.wav");
    LiveRun run;
    ASSERT_TRUE(StartLive(&run, s.dir, true));
    ASSERT_TRUE(WaitFor(&run, "Filename: song.wav\n"));
    Type(&run, "u\n4\n");
    // "default" first; the test devices that describe themselves among the defined ones (a
    // machine's own configuration or cards may add more).
    ASSERT_TRUE(WaitFor(&run, "5 = done\n 1 = default  the system's default device\n"));
    ASSERT_TRUE(WaitFor(&run, "Enter soundcard device name:\n"));
    auto numberOf = [&](const std::string& entry) {
        const size_t at = run.out.rfind(" = " + entry + "\n");
        const size_t start = run.out.rfind('\n', at);
        return at == std::string::npos ? std::string("0") : run.out.substr(start + 1, at - start - 1);
    };
    const std::string quad = numberOf("tbquad  Four inputs");
    const std::string test = numberOf("tbtest  Takebox test device");
    ASSERT_NE(quad, "0");
    ASSERT_NE(test, "0");
    Type(&run, quad + "\n");
    ASSERT_TRUE(WaitFor(&run, "tbquad opens for capture: 4 channels, "));
    ASSERT_TRUE(WaitFor(&run, " Hz, S16_LE S24_3LE S24_LE S32_LE\n"));
    ASSERT_TRUE(WaitFor(&run, "4 = change soundcard: tbquad\n"));
    Type(&run, "4\nnosuchdevice\n");
    ASSERT_TRUE(WaitFor(&run, "Enter soundcard device name:\n"));
    // libasound's own complaint does not reach the terminal; the device is not taken.
    ASSERT_TRUE(WaitFor(&run, "nosuchdevice does not open for capture: No such file or directory\n"
                              "The device stays tbquad\n"));
    EXPECT_EQ(run.out.find("ALSA lib"), std::string::npos);
    Type(&run, "4\n" + test + "\n5\nq\n");
    ASSERT_TRUE(WaitFor(&run, "tbtest opens for capture: "));
    EXPECT_EQ(FinishLive(&run), 0);
    EXPECT_NE(ReadFile(s.dir + "/rcbox.txt").find("dv\ttbtest\n"), std::string::npos);
}

// Hostile and failing conditions end to end: standard input that ends at any prompt,
// words far longer than any field, a file-size limit that fills the "disk" while a take
// is written, settings and list files of random bytes, and listed files that are no
// playable WAV files. The program must end normally (status 0) in every case, keep what
// was recorded and never damage a file the user did not choose to replace.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {


// The whole take: header with the final data size, then the captured bytes.
std::string Take(const std::string& capture, uint32_t bytes)
{
    return WavHeader(44100, 2, 16, bytes) + capture.substr(0, bytes);
}

}  // namespace

// Input that ends at any prompt, menu or wait ends the program as "q" does: list and
// settings are saved as they stand, and a take that was recorded before the end is kept
// in its target.
TEST(Hostile, EndOfInputAtEveryPromptEndsPromptlyAndSaves)
{
    const std::string capture = Capture16(44100, 11);
    const std::string base = SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.000", "tlist.txt", "");
    const std::string withName = SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.050", "tlist.txt", "song.wav");
    const std::string noDuration = SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.000", "tlist.txt", "song.wav");
    const std::string old = WavHeader(48000, 2, 16, 400) + Pattern(400, 9);  // cannot be extended
    struct Case {
        const char* where;
        std::string settings;  // "" for no settings file
        std::string list;      // list file before the run
        bool target;           // song.wav exists before the run
        std::string input;
        std::string savedSettings;
        std::string savedList;
        std::string transcriptEnd;
        std::string kept = "";       // a new target whose takes were recorded before the end
        std::string keptBytes = "";  // and what it holds
    } cases[] = {
        {"list-name prompt", "", "", false, "",
         SettingsText("default", 44100, 16, 2, "0.000", "0.000", "0.000", "tlist.txt", ""), "", kSaving},
        {"command prompt", base, "a.wav\nb.wav\n", false, "", base, "a.wav\nb.wav\n", Show("\t1 a.wav\n\t2 b.wav\n") + kSaving},
        {"i prompt", base, "", false, "o 3 i",
         SettingsText("tbtest", 44100, 16, 2, "0.000", "3.000", "0.000", "tlist.txt", ""), "",
         "Enter start time in seconds:\n" + Show("", "0.00", "3.00") + kSaving},
        {"o prompt", base, "", false, "i 2 o",
         SettingsText("tbtest", 44100, 16, 2, "2.000", "0.000", "0.000", "tlist.txt", ""), "",
         "Enter stop time in seconds:\n" + Show("", "2.00") + kSaving},
        {"d prompt", base, "", false, "d", base, "", "Enter record duration in seconds:\n" + Show("") + kSaving},
        {"F prompt", base, "a.wav\n", false, "F", base, "a.wav\n",
         "Select a file in list for record filename (1-1)\n" + Show("\t1 a.wav\n") + kSaving},
        {"L prompt", base, "a.wav\n", false, "L", base, "a.wav\n",
         "3 = Return\n" + Show("\t1 a.wav\n") + kSaving},
        {"- prompt, after a removal", base, "a.wav\nb.wav\n", false, "- 1 -", base, "b.wav\n",
         "Enter a track (1-1) to remove from list or '0' to return\n" + Show("\t1 b.wav\n") + kSaving},
        {"p prompt", base, "", false, "p", base, "", "Enter track number:\n" + Show("") + kSaving},
        {"f prompt", base, "", false, "f", base, "", "Enter recording file name:\n" + Show("") + kSaving},
        {"L file-name prompt", base, "a.wav\n", false, "L 2", base, "a.wav\n",
         "Enter file name containing list\n" + Show("\t1 a.wav\n") + kSaving},
        {"u menu, after a toggle", base, "", false, "u 2",
         SettingsText("tbtest", 44100, 24, 2, "0.000", "0.000", "0.000", "tlist.txt", ""), "",
         "5 = done\n" + Show("") + kSaving},
        {"u samplerate prompt", base, "", false, "u 1", base, "", "Enter samplerate:\n" + Show("") + kSaving},
        {"u device prompt", base, "", false, "u 4", base, "", "Enter soundcard device name:\n" + Show("") + kSaving},
        {"h wait", base, "", false, "h", base, "", "\nEnter 'c' to continue\n" + Show("") + kSaving},
        {"t wait", base, "", false, "t", base, "", "\nEnter 'c' to continue\n\n" + Show("") + kSaving},
        {"x question", base, "", false, "x", base, "", "Exit without saving list and settings? (y,n)\n" + kSaving},
        {"record name prompt", base, "", false, "r", base, "", "Enter the recording file name:\n" + Show("") + kSaving},
        {"duration prompt", noDuration, "", false, "r", noDuration, "",
         kAskDuration + Show("", "0.00", "0.00", "0.00", "song.wav") + kSaving},
        {"exists menu", withName, "song.wav\n", true, "r", withName, "song.wav\n",
         "5 = return without recording\n" + Show("\t1 song.wav\n", "0.00", "0.00", "0.05", "song.wav") + kSaving},
        {"new name prompt", withName, "song.wav\n", true, "r 2", withName, "song.wav\n",
         "Enter a new filename:\n" + Show("\t1 song.wav\n", "0.00", "0.00", "0.05", "song.wav") + kSaving},
        {"wait after a mismatch", withName, "song.wav\n", true, "r 4", withName, "song.wav\n",
         "You cannot record into this file until you change the recording samplerate to 48000\n" + kAskC +
             Show("\t1 song.wav\n", "0.00", "0.00", "0.05", "song.wav") + kSaving},
        {"take menu after a new name", withName, "song.wav\n", true, "r 2 fresh",
         SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.050", "tlist.txt", "fresh.wav"),
         "song.wav\nfresh.wav\n",
         kTake005 + Show("\t1 song.wav\n\t2 fresh.wav\n", "0.00", "0.00", "0.05", "fresh.wav") + kSaving, "fresh.wav",
         Take(capture, 16384)},
        {"take menu after continue", withName, "", false, "r 2", withName, "song.wav\n",
         kTake005 + kTake005 + Show("\t1 song.wav\n", "0.00", "0.00", "0.05", "song.wav") + kSaving, "song.wav",
         // The first take's planned 2205 frames, then the second take's whole block, read
         // from where the first take's block ended.
         WavHeader(44100, 2, 16, 2205 * 4 + 16384) + capture.substr(0, 2205 * 4) + capture.substr(16384, 16384)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        const std::string dir = MakeTempDir();
        if (!c.settings.empty())
            WriteFile(dir + "/rcbox.txt", c.settings);
        if (!c.list.empty())
            WriteFile(dir + "/tlist.txt", c.list);
        if (c.target)
            WriteFile(dir + "/song.wav", old);
        WriteFile(dir + "/capture.raw", capture);
        const RunResult t = RunTakebox(dir, c.input);
        EXPECT_EQ(t.status, 0);
        const std::string& out = t.out;
        ASSERT_GE(out.size(), c.transcriptEnd.size());
        EXPECT_EQ(out.substr(out.size() - c.transcriptEnd.size()), c.transcriptEnd);
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"), c.savedSettings);
        EXPECT_TRUE(FileExists(dir + "/tlist.txt"));
        EXPECT_EQ(ReadFile(dir + "/tlist.txt"), c.savedList);
        if (c.target) {
            EXPECT_EQ(ReadFile(dir + "/song.wav"), old);
        }
        if (!c.kept.empty()) {
            EXPECT_TRUE(ReadFile(dir + "/" + c.kept) == c.keptBytes);
            EXPECT_FALSE(FileExists(dir + "/takebox_temp.wav"));
        }
    }
}

namespace {

std::string Word(char c)
{
    return std::string(10000, c);
}

}  // namespace

// Words of 10,000 characters at every prompt: text fields are cut to their capacity
// (list path 255 bytes, device 47, record name 127 with its ".wav"), numbers saturate,
// menus and waits take such words as no choice, and the program saves and ends normally.
TEST(Hostile, TenThousandCharacterWordsAtEveryPrompt)
{
    const std::string list255(255, 'L'), device47(47, 'D'), name127 = std::string(123, 'F') + ".wav";
    const std::string maxRate = "2147483647";
    {
        SCOPED_TRACE("list name, f, u and its prompts, i, d, x");
        const std::string dir = MakeTempDir();
        const std::string input = Word('L') + " f " + Word('F') + " u 4 " + Word('D') + " 1 " + Word('9') +
                                  " " + Word('1') + " 5 i " + Word('9') + " d 1e" + Word('9') + " x " +
                                  Word('y') + "\n";
        const RunResult t = RunTakebox(dir, input);
        std::string expect = kBanner + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
                             "Creating a new list: " + list255 + "\n" + kTypeH + Show("");
        expect += "Enter recording file name:\n" + Show("", "0.00", "0.00", "0.00", name127);
        expect += SettingsMenu("44100", 16, 2, "default") + "Enter soundcard device name:\n";
        expect += SettingsMenu("44100", 16, 2, device47) + "Enter samplerate:\n";
        expect += SettingsMenu(maxRate, 16, 2, device47);  // the rate is no choice: shown again
        expect += SettingsMenu(maxRate, 16, 2, device47);  // nor is a word of ones
        expect += Show("", "0.00", "0.00", "0.00", name127);
        expect += "Enter start time in seconds:\n" + Show("", "inf", "0.00", "0.00", name127);
        expect += "Enter record duration in seconds:\n" + Show("", "inf", "0.00", "inf", name127);
        expect += "Exit without saving list and settings? (y,n)\n" + kSaving;
        EXPECT_EQ(t.out, expect);
        EXPECT_EQ(t.status, 0);
        const std::string saved = SettingsText(device47, 2147483647u, 16, 2, "inf", "0.000", "inf", list255, name127);
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"), saved);
        EXPECT_TRUE(FileExists(dir + "/" + list255));
        EXPECT_EQ(ReadFile(dir + "/" + list255), "");

        // The saved values are read back as they were stored.
        const RunResult again = RunTakebox(dir, "q");
        EXPECT_EQ(again.out, kBanner + kReading + ParamsBlock(2, maxRate, 16, device47, name127) +
                                     "Opening existing list: " + list255 + "\n" + kTypeH +
                                     Show("", "inf", "0.00", "inf", name127) + kSaving);
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"), saved);
    }
    {
        SCOPED_TRACE("F, L, -, p, play form, L file name, h and t waits, o");
        const std::string dir = MakeTempDir();
        const std::string base = SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.000", "tlist.txt", "");
        WriteFile(dir + "/rcbox.txt", base);
        WriteFile(dir + "/tlist.txt", "a.wav\nb.wav\n");
        const std::string input = "F " + Word('9') + " L 0x" + Word('f') + " - -" + Word('9') + " " +
                                  Word('p') + " p " + Word('9') + " L 2 " + Word('T') + " h " + Word('c') +
                                  " c t " + Word('c') + " c o " + Word('a') + " q";
        const RunResult t = RunTakebox(dir, input);
        const std::string ab = "\t1 a.wav\n\t2 b.wav\n";
        const std::string list255t(255, 'T');
        const std::string missingA = "The file called a.wav cannot be found!\n";
        std::string expect = Start(kOpenedList) + Show(ab);
        expect += "Select a file in list for record filename (1-2)\n" + Show(ab);
        expect += "1 = Load list from file: tlist.txt\n2 = Enter new file name and load list\n3 = Return\n" + Show(ab);
        expect += "Enter a track (1-2) to remove from list or '0' to return\n" + Show(ab);
        expect += missingA + Show(ab);  // the play form without a number plays track 1
        expect += "Enter track number:\n" + Show(ab);
        expect += "1 = Load list from file: tlist.txt\n2 = Enter new file name and load list\n3 = Return\n"
                  "Enter file name containing list\nCreating a new list: " + list255t + "\n" + Show(ab);
        expect += HelpText() + "\nEnter 'c' to continue\n\nEnter 'c' to continue\n" + Show(ab);
        expect += missingA + "The file called b.wav cannot be found!\n" +
                  "\nEnter 'c' to continue\n\nEnter 'c' to continue\n\n" + Show(ab);
        expect += "Enter stop time in seconds:\n" + Show(ab);  // the word is no number ...
        expect += Show(ab);                                     // ... and then no command
        expect += kSaving;
        EXPECT_EQ(t.out, expect);
        EXPECT_EQ(t.status, 0);
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
                  SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.000", list255t, ""));
        EXPECT_EQ(ReadFile(dir + "/" + list255t), "a.wav\nb.wav\n");
        EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "a.wav\nb.wav\n");
    }
    {
        SCOPED_TRACE("record name, duration, take menu, exists menu, new name");
        const std::string dir = MakeTempDir();
        WriteFile(dir + "/rcbox.txt", SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.000", "tlist.txt", ""));
        const std::string capture = Capture16(44100, 11);
        WriteFile(dir + "/capture.raw", capture);
        const std::string input = "r " + Word('n') + " " + Word('a') + " 0.05 " + Word('1') + " 1 r " +
                                  Word('x') + " 2 " + Word('m') + " 4 q";
        const RunResult t = RunTakebox(dir, input);
        const std::string n = std::string(123, 'n') + ".wav", m = std::string(123, 'm') + ".wav";
        std::string expect = Start(kNewList) + Show("");
        expect += "Enter the recording file name:\n" + kAskDuration + kAskDuration + kTake005;
        // A long answer at the take menu is cut and plays the last take like any other word.
        expect += "Playing takebox_temp.wav ...\n\rclock = 0.00 sec" + kPeaks + kTakeMenu;
        expect += Show("\t1 " + n + "\n", "0.00", "0.00", "0.05", n);
        expect += ExistsMenuText(n) + ExistsMenuText(n) + "Enter a new filename:\n" + kTake005;
        expect += Show("\t1 " + n + "\n", "0.00", "0.00", "0.05", m) + kSaving;
        EXPECT_EQ(t.out, expect);
        EXPECT_EQ(t.status, 0);
        EXPECT_EQ(ReadFile(dir + "/" + n), Take(capture, 16384));
        EXPECT_FALSE(FileExists(dir + "/" + m));
        EXPECT_EQ(ReadFile(dir + "/play.raw"), capture.substr(0, 16384));
        EXPECT_EQ(ReadFile(dir + "/tlist.txt"), n + "\n");
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
                  SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.050", "tlist.txt", m));
    }
    {
        SCOPED_TRACE("wait after a mismatch");
        const std::string dir = MakeTempDir();
        WriteFile(dir + "/rcbox.txt", SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.050", "tlist.txt", "old.wav"));
        const std::string old = WavHeader(44100, 1, 16, 40) + Pattern(40, 4);
        WriteFile(dir + "/old.wav", old);
        const RunResult t = RunTakebox(dir, "r 4 " + Word('c') + " c q");
        EXPECT_EQ(t.out, Start(kNewList, "old.wav") + Show("", "0.00", "0.00", "0.05", "old.wav") +
                                 ExistsMenuText("old.wav") +
                                 "You cannot record into this file until you change the recording channels to 1\n" +
                                 kAskC + kAskC + Show("", "0.00", "0.00", "0.05", "old.wav") + kSaving);
        EXPECT_EQ(ReadFile(dir + "/old.wav"), old);
    }
}

// A full disk (a file-size limit with SIGXFSZ ignored, so writes fail with EFBIG) while a
// take is written into the take file. The recording says that the write failed; what was
// written can be kept with "1" (the user replaces the target knowingly) or dropped with
// "4", which leaves the target byte for byte; an append that cannot be written leaves the
// target as it was and the take in the take file.
TEST(Hostile, AFullDiskWhileRecordingDamagesNothingUnasked)
{
    const std::string capture = Capture16(44100, 11);
    const std::string target = WavHeader(44100, 2, 16, 29956) + Pattern(29956, 8);
    const std::string settings = SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.050", "tlist.txt", "song.wav");
    const std::string tracks = "\t1 song.wav\n";
    const std::string before = Start(kOpenedList, "song.wav") + Show(tracks, "0.00", "0.00", "0.05", "song.wav") +
                               ExistsMenuText("song.wav");
    const std::string after = Show(tracks, "0.00", "0.00", "0.05", "song.wav");
    // 8 KiB per file: the header and 2037 whole frames of the first block reach the take
    // file (8148 of 16384 bytes), then the write fails.
    const std::string limit8k = "ulimit -f 8; trap '' XFSZ;";
    const std::string failedTake =
        "Recording...\nWrite to takebox_temp.wav failed: File too large\n" + kPeaks + kTakeMenu;
    const uint32_t kept = 8148;
    struct Case {
        const char* what;
        std::string limit;
        std::string input;
        std::string transcript;
        std::string targetAfter;
        std::string takeAfter;  // the take file left behind: "" none, "-" an empty one
        std::string recovered = "";  // takebox_recovered_1.wav, "" none
    } cases[] = {
        {"replace, then delete the take", limit8k, "r 1 4 q", before + failedTake + after + kSaving, target,
         WavHeader(44100, 2, 16, 0)},
        {"replace, then keep the written part", limit8k, "r 1 1 q", before + failedTake + after + kSaving,
         Take(capture, kept), ""},
        // Nobody chose to erase song.wav: the take is set aside instead.
        {"replace, then end of input", limit8k, "r 1",
         before + failedTake + "song.wav was not replaced: the take is kept as takebox_recovered_1.wav\n" +
             Show(tracks + "\t2 takebox_recovered_1.wav\n", "0.00", "0.00", "0.05", "song.wav") + kSaving,
         target, "", Take(capture, kept)},
        {"append, then keep the written part", limit8k, "r 4 1 q",
         before + failedTake + "Append file is 8192 bytes\n"
                  "Unable to append the take to song.wav; the take is kept in takebox_temp.wav\n" + after + kSaving,
         target, WavHeader(44100, 2, 16, kept) + capture.substr(0, kept)},
        {"no room even for the header", "ulimit -f 0; trap '' XFSZ;", "r 1 q",
         before + "Write to takebox_temp.wav failed: File too large\n" + after + kSaving +
             "Write to tlist.txt failed: File too large\nWrite to rcbox.txt failed: File too large\n",
         target, "-"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = MakeTempDir();
        WriteFile(dir + "/rcbox.txt", settings);
        WriteFile(dir + "/tlist.txt", "song.wav\n");
        WriteFile(dir + "/song.wav", target);
        WriteFile(dir + "/capture.raw", capture);
        const RunResult t = RunTakebox(dir, c.input, c.limit);
        EXPECT_EQ(t.status, 0);
        EXPECT_EQ(t.out, c.transcript);
        EXPECT_TRUE(ReadFile(dir + "/song.wav") == c.targetAfter);
        EXPECT_EQ(FileExists(dir + "/takebox_temp.wav"), !c.takeAfter.empty());
        EXPECT_TRUE(ReadFile(dir + "/takebox_temp.wav") == (c.takeAfter == "-" ? "" : c.takeAfter));
        EXPECT_TRUE(ReadFile(dir + "/takebox_recovered_1.wav") == c.recovered);
        EXPECT_EQ(ReadFile(dir + "/tlist.txt"),
                  c.recovered.empty() ? "song.wav\n" : "song.wav\ntakebox_recovered_1.wav\n");
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"), settings);
    }
}

namespace {

// The names a list text yields: lines up to the first zero byte within the first
// 131072 bytes, empty lines skipped, each cut to 127 bytes, at most 1022 of them.
std::vector<std::string> ListNames(const std::string& text)
{
    std::string loaded = text.substr(0, 131072);
    loaded = loaded.substr(0, loaded.find('\0'));
    std::vector<std::string> names;
    size_t at = 0;
    while (at < loaded.size() && names.size() < 1022) {
        size_t end = loaded.find('\n', at);
        if (end == std::string::npos)
            end = loaded.size();
        std::string name = loaded.substr(at, std::min<size_t>(end - at, 127));
        name.erase(name.find_last_not_of('\r') + 1);  // CRs at its end are no part of a name
        if (!name.empty())
            names.push_back(name);
        at = end + 1;
    }
    return names;
}

bool IsDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

// Settings and list files of random bytes (zero bytes, carriage returns, long lines,
// 200 KB): the program starts, shows what it could make of them, and ends normally.
TEST(Hostile, SettingsAndListFilesOfRandomBytes)
{
    const std::string noise = Pattern(200 * 1024, 21);
    {
        SCOPED_TRACE("random settings file");
        const std::string dir = MakeTempDir();
        WriteFile(dir + "/rcbox.txt", noise);
        const RunResult t = RunTakebox(dir, "mylist q");
        EXPECT_EQ(t.out, kBanner + kReading + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
                                 "Creating a new list: mylist\n" + kTypeH + Show("") + kSaving);
        EXPECT_EQ(t.status, 0);
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
                  SettingsText("default", 44100, 16, 2, "0.000", "0.000", "0.000", "mylist", ""));
    }
    {
        SCOPED_TRACE("settings with hostile values, then random bytes");
        const std::string dir = MakeTempDir();
        const std::string text = "dv\t" + std::string(300, 'D') + "\r\nsr\t99999999999999999999\nbits\t24\r\n"
                                 "ch\t\n\n1\ni\tnan\no\t-inf\nd\t1e40\ntlist\t" + std::string(400, 'T') +
                                 "\nrname\t" + std::string(200, 'R') + "\r\n" + noise;
        WriteFile(dir + "/rcbox.txt", text);
        // The sample rate is held at the largest the field holds (shown as a signed number);
        // the duration is infinite, so the recording is refused before any device is opened.
        const RunResult t = RunTakebox(dir, "r q");
        const std::string device47(47, 'D'), list255(255, 'T'), name127(127, 'R');
        const std::string shown = Show("", "nan", "-inf", "inf", name127);
        EXPECT_EQ(t.out, Start("Creating a new list: " + list255 + "\n", name127, device47, -1, 24, 1) + shown +
                             "Cannot record inf sec: a take must stay below 2^31 frames (at most 0.49 sec at these settings)\n" +
                             shown + kSaving);
        EXPECT_EQ(t.status, 0);
        EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
                  SettingsText(device47, 4294967295u, 24, 1, "nan", "-inf", "inf", list255, name127));
        EXPECT_EQ(ReadFile(dir + "/" + list255), "");
    }
    const std::string settings = SettingsText("tbtest", 44100, 16, 2, "0.000", "0.000", "0.000", "tlist.txt", "");
    {
        SCOPED_TRACE("random list file");
        const std::string dir = MakeTempDir();
        WriteFile(dir + "/rcbox.txt", settings);
        WriteFile(dir + "/tlist.txt", noise);
        const RunResult t = RunTakebox(dir, "q");
        std::string tracks, saved;
        int n = 1;
        for (const std::string& name : ListNames(noise)) {
            tracks += "\t" + std::to_string(n++) + " " + name + "\n";
            saved += name + "\n";
        }
        EXPECT_EQ(t.out, Start("Opening existing list: tlist.txt\nList file is too large. 73728 bytes not loaded\n") +
                                 Show(tracks) + kSaving);
        EXPECT_EQ(t.status, 0);
        EXPECT_TRUE(ReadFile(dir + "/tlist.txt") == saved);
    }
    {
        SCOPED_TRACE("random list file without zero bytes, checked and played");
        const std::string dir = MakeTempDir();
        std::string text = noise;
        for (char& c : text)
            if (c == '\0' || c == '/')
                c = 'N';  // many names, none of them reaching into a directory
        WriteFile(dir + "/rcbox.txt", settings);
        WriteFile(dir + "/tlist.txt", text);
        const RunResult t = RunTakebox(dir, "t c a q");
        const std::vector<std::string> names = ListNames(text);
        ASSERT_GT(names.size(), 300u);
        std::string tracks, saved, checked, played = "Playing all!\n";
        for (size_t i = 0; i < names.size(); i++) {
            const std::string missing = "The file called " + names[i] + " cannot be found!\n";
            tracks += "\t" + std::to_string(i + 1) + " " + names[i] + "\n";
            saved += names[i] + "\n";
            checked += missing;
            played += "\nTrack " + std::to_string(i + 1) + "\n" + missing;
        }
        EXPECT_TRUE(t.out == Start("Opening existing list: tlist.txt\nList file is too large. 73728 bytes not loaded\n") +
                                     Show(tracks) + checked + "\nEnter 'c' to continue\n\n" + Show(tracks) + played +
                                     Show(tracks) + kSaving);
        EXPECT_EQ(t.status, 0);
        EXPECT_TRUE(ReadFile(dir + "/tlist.txt") == saved);
    }
    {
        // Neither is opened for reading: the settings file is not read, and says nothing.
        SCOPED_TRACE("settings file and list file that are directories");
        const std::string dir = MakeTempDir();
        ASSERT_EQ(mkdir((dir + "/rcbox.txt").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir + "/adir").c_str(), 0755), 0);
        const RunResult t = RunTakebox(dir, "adir q");
        EXPECT_EQ(t.out, kBanner + kAskList + ParamsBlock(2, "44100", 16, "default", "") +
                                 "Creating a new list: adir\n" + kTypeH + Show("") + kSaving +
                                 "Unable to open adir\nUnable to open rcbox.txt\n");
        EXPECT_EQ(t.status, 0);
        EXPECT_TRUE(IsDirectory(dir + "/rcbox.txt"));
        EXPECT_TRUE(IsDirectory(dir + "/adir"));
    }
}

// A list naming a directory, an empty file, a 43-byte file (a header cut short by one
// byte) and a file without a data tag, with in and out points that would play a second:
// "p", the play form, "a" and "t" each report what they find and nothing is played.
TEST(Hostile, ListedFilesThatAreNoPlayableWavFiles)
{
    const std::string dir = MakeTempDir();
    WriteFile(dir + "/rcbox.txt", SettingsText("tbtest", 44100, 16, 2, "0.000", "1.000", "0.000", "tlist.txt", ""));
    WriteFile(dir + "/tlist.txt", "adir\nempty.wav\nshort.wav\nnodata.wav\n");
    ASSERT_EQ(mkdir((dir + "/adir").c_str(), 0755), 0);
    WriteFile(dir + "/empty.wav", "");
    WriteFile(dir + "/short.wav", WavHeader(44100, 2, 16, 0).substr(0, 43));
    std::string nodata = WavHeader(44100, 2, 16, 400) + std::string(400, '\0');
    nodata.replace(36, 4, "DATA");
    WriteFile(dir + "/nodata.wav", nodata);

    const RunResult t = RunTakebox(dir, "p 1 2p 3p 4p a t c q");
    const std::string tracks = "\t1 adir\n\t2 empty.wav\n\t3 short.wav\n\t4 nodata.wav\n";
    const std::string shown = Show(tracks, "0.00", "1.00");
    const std::string noFormat = "Can't find format chunk in wave file!\n";
    const std::string isDir = "The file called adir cannot be found! It is a directory, not a regular file\n";
    const std::string noData = "Can't find data block in wave file!\n";
    const std::string playShort = "Playing short.wav ...\n";  // no frames: no clock line
    const std::string attributes = "  channels: 2\n  bits: 16\n  samplerate: 44100\n";
    std::string expect = Start(kOpenedList) + shown;
    expect += "Enter track number:\n" + isDir + shown;
    expect += noFormat + shown;
    expect += playShort + shown;
    expect += noData + shown;
    expect += "Playing all!\n\nTrack 1\n" + isDir + "\nTrack 2\n" + noFormat + "\nTrack 3\n" + playShort +
              "\nTrack 4\n" + noData + shown;
    expect += isDir + "\nFile: empty.wav\n" + noFormat + "\nFile: short.wav\n" + attributes +
              "  length (sec): 0.000\n" + "\nFile: nodata.wav\n" + attributes + noData +
              "\nEnter 'c' to continue\n\n" + shown;
    expect += kSaving;
    EXPECT_EQ(t.out, expect);
    EXPECT_EQ(t.err, "");
    EXPECT_EQ(t.status, 0);
    EXPECT_EQ(ReadFile(dir + "/play.raw"), "");
    EXPECT_EQ(ReadFile(dir + "/short.wav"), WavHeader(44100, 2, 16, 0).substr(0, 43));
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "adir\nempty.wav\nshort.wav\nnodata.wav\n");
}

namespace {

// What lies under a name when a run starts, put there by someone else.
enum Planted { kLinkToFile, kDanglingLink, kFifo, kDirectory };

const char* const kPlantedKind[] = {"a symbolic link", "a symbolic link", "a FIFO", "a directory"};

// Puts `what` under `path`; a link leads into `elsewhere`, to its file "victim" or to the
// "ghost" that does not exist.
void Plant(const std::string& path, Planted what, const std::string& elsewhere)
{
    int rc = 0;
    if (what == kLinkToFile)
        rc = symlink((elsewhere + "/victim").c_str(), path.c_str());
    if (what == kDanglingLink)
        rc = symlink((elsewhere + "/ghost").c_str(), path.c_str());
    if (what == kFifo)
        rc = mkfifo(path.c_str(), 0644);
    if (what == kDirectory)
        rc = mkdir(path.c_str(), 0755);
    ASSERT_EQ(rc, 0) << path;
}

// Whether `path` is still the entry Plant put there (a link still leading where it led).
bool StillPlanted(const std::string& path, Planted what, const std::string& elsewhere)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return false;
    if (what == kFifo)
        return S_ISFIFO(st.st_mode);
    if (what == kDirectory)
        return S_ISDIR(st.st_mode);
    char target[512];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    target[n > 0 ? n : 0] = '\0';
    return S_ISLNK(st.st_mode) &&
           target == elsewhere + (what == kLinkToFile ? "/victim" : "/ghost");
}

}  // namespace

// A working directory someone else prepared: links into another directory, FIFOs and
// directories under the program's own names and under the names the user gives. Each run
// ends by itself with status 0 and says what it found; nothing outside the working
// directory is written or created; an entry in the way of the program's own files is moved
// aside whole (a link stays a link), and a take still goes to a regular file.
TEST(Hostile, APreparedDirectoryNeverTurnsTakeboxAgainstItsUser)
{
    const std::string take = Capture16(44100, 7).substr(0, 16384);
    const std::string gig = WavHeader(44100, 2, 16, 4000) + Pattern(4000, 8);
    struct Case {
        const char* name;    // the entry planted
        std::string input;
        std::string line;    // what the run says of it ("%k": what was planted)
        std::string aside;   // where it is moved ("" it stays)
        std::string result;  // the file the take goes to ("" none) and its bytes
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {"takebox_temp.wav", "r 1 q", "Found %k named takebox_temp.wav: moved aside to "
         "takebox_unreadable_1.wav\n", "takebox_unreadable_1.wav", "new.wav",
         WavHeader(44100, 2, 16, 16384) + take},
        {"takebox_append.txt", "r 4 1 q", "Found %k named takebox_append.txt: moved aside to "
         "takebox_unreadable_1.txt\n", "takebox_unreadable_1.txt", "gig.wav",
         WavHeader(44100, 2, 16, 4000 + 16384) + Pattern(4000, 8) + take},
        // A take left by a crash is recovered under the next free name.
        {"takebox_recovered_1.wav", "q", "Recovered an unsaved take: takebox_recovered_2.wav "
         "(0.09 sec)\n", "", "takebox_recovered_2.wav", WavHeader(44100, 2, 16, 16384) + take},
        {"takebox_unreadable_1.wav", "r 1 q", "Found a FIFO named takebox_temp.wav: moved "
         "aside to takebox_unreadable_2.wav\n", "", "new.wav",
         WavHeader(44100, 2, 16, 16384) + take},
    };
    for (const Case& c : cases) {
        for (Planted what : {kLinkToFile, kDanglingLink, kFifo, kDirectory}) {
            SCOPED_TRACE(std::string(c.name) + " is " + kPlantedKind[what] +
                         (what == kDanglingLink ? " (dangling)" : ""));
            const bool append = c.input == "r 4 1 q";
            const Session s = NewSession(0.05f, append ? "gig.wav" : "new.wav");
            const std::string elsewhere = MakeTempDir();
            WriteFile(elsewhere + "/victim", "not Takebox's");
            if (append)
                WriteFile(s.dir + "/gig.wav", gig);
            if (c.name == std::string("takebox_recovered_1.wav"))
                WriteFile(s.dir + "/takebox_temp.wav", WavHeader(44100, 2, 16, 441000) + take);
            if (c.name == std::string("takebox_unreadable_1.wav")) {
                ASSERT_EQ(mkfifo((s.dir + "/takebox_temp.wav").c_str(), 0644), 0);
            }
            Plant(s.dir + "/" + c.name, what, elsewhere);

            const RunResult r = RunTakebox(s.dir, c.input);
            EXPECT_EQ(r.status, 0);
            std::string line = c.line;
            const size_t k = line.find("%k");
            if (k != std::string::npos)
                line.replace(k, 2, kPlantedKind[what]);
            EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
            EXPECT_EQ(Shell("ls -A '" + elsewhere + "'"), "victim\n");
            EXPECT_EQ(ReadFile(elsewhere + "/victim"), "not Takebox's");
            EXPECT_TRUE(StillPlanted(s.dir + "/" + (c.aside.empty() ? c.name : c.aside), what,
                                     elsewhere));
            struct stat st;
            ASSERT_EQ(lstat((s.dir + "/" + c.result).c_str(), &st), 0);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_TRUE(ReadFile(s.dir + "/" + c.result) == c.bytes);
        }
    }

    // The names the user gives, as FIFOs: a track, the list file, the settings file.
    struct Named {
        const char* name;
        std::string input;
        std::string line;
    } named[] = {
        {"fifo.wav", "t c 1p q",
         "The file called fifo.wav cannot be found! It is a FIFO, not a regular file\n"},
        {"tlist.txt", "q", "Creating a new list: tlist.txt\n"},
        {"rcbox.txt", "tlist.txt q", "Enter the name of a new or existing wavefile list:\n"},
    };
    for (const Named& n : named) {
        SCOPED_TRACE(n.name);
        const Session s = NewSession(0.05f, "new.wav", "fifo.wav\n");
        remove((s.dir + "/" + n.name).c_str());
        ASSERT_EQ(mkfifo((s.dir + "/" + n.name).c_str(), 0644), 0);
        const RunResult r = RunTakebox(s.dir, n.input);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.out.find(n.line), std::string::npos) << r.out;
        struct stat st;
        EXPECT_TRUE(lstat((s.dir + "/" + n.name).c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    }
}

// Another user's entry under the take file's name in a sticky directory cannot be moved
// aside: the recording is refused with one line and nothing is written.
TEST(Hostile, AnEntryThatCannotBeMovedAsideRefusesTheRecording)
{
    const Session s = NewSession(0.05f, "new.wav");
    ASSERT_EQ(chmod(s.dir.c_str(), 01777), 0);
    const std::string other = OtherUser(s.dir);
    if (other.empty())
        GTEST_SKIP() << "the program cannot be run as another user here";
    ASSERT_EQ(mkfifo((s.dir + "/takebox_temp.wav").c_str(), 0644), 0);
    const RunResult r = RunTakebox(s.dir, "r q", "", other);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Nothing is recorded: a FIFO named takebox_temp.wav is in the way and "
                         "cannot be moved aside: Operation not permitted\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Recording..."), std::string::npos);
    EXPECT_FALSE(FileExists(s.dir + "/new.wav"));
    EXPECT_EQ(Shell("cd '" + s.dir + "' && ls | grep takebox_ || true"), "takebox_temp.wav\n");
}

// The record command end to end: the console transcript and the bytes of the target,
// recorded through the virtual capture device from a known "capture.raw".
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e.h"

namespace {

// One take of 0.2 s at 44100 Hz: planned 8820 frames, three blocks of 4096.
const std::string kTake02 =
    "Recording...\n\rRemaining 0.20 sec\rRemaining 0.11 sec\rRemaining 0.01 sec" + kPeaks + kTakeMenu;

std::string SoxInfo(const std::string& path, const char* option)
{
    return Shell(std::string("sox --i ") + option + " '" + path + "' 2>&1");
}

}  // namespace

TEST(RecordCommand, NewTargetAsksForNameAndDurationAndIsListedAtOnce)
{
    Session s = NewSession(0, "");
    RunResult r = RunTakebox(s.dir, "r song 0 -2 abc 0.2 1 x y");
    EXPECT_EQ(r.out, Start(kNewList, "") + Show("") +
                         "Enter the recording file name:\n" + kAskDuration + kAskDuration +
                         kAskDuration + kAskDuration + kTake02 +
                         Show("\t1 song.wav\n", "0.00", "0.00", "0.20", "song.wav") +
                         "Exit without saving list and settings? (y,n)\n");
    EXPECT_EQ(ReadFile(s.dir + "/song.wav"), WavHeader(44100, 2, 16, 49152) + s.capture.substr(0, 49152));
    EXPECT_FALSE(FileExists(s.dir + "/takebox_temp.wav"));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "song.wav\n");  // written before any s or q
    EXPECT_EQ(SoxInfo(s.dir + "/song.wav", "-r"), "44100\n");
    EXPECT_EQ(SoxInfo(s.dir + "/song.wav", "-c"), "2\n");
    EXPECT_EQ(SoxInfo(s.dir + "/song.wav", "-b"), "16\n");
    EXPECT_EQ(SoxInfo(s.dir + "/song.wav", "-s"), "12288\n");
}

TEST(RecordCommand, ReplacingAListedTargetKeepsTheListAsItWas)
{
    Session s = NewSession(0.05f, "song.wav", "other.wav\nsong.wav\n");
    WriteFile(s.dir + "/song.wav", "old contents");
    RunResult r = RunTakebox(s.dir, "r 1 1 q");
    const std::string tracks = "\t1 other.wav\n\t2 song.wav\n";
    EXPECT_EQ(r.out, Start(kOpenedList, "song.wav") +
                         Show(tracks, "0.00", "0.00", "0.05", "song.wav") + ExistsMenuText("song.wav") + kTake005 +
                         Show(tracks, "0.00", "0.00", "0.05", "song.wav") + kSaving);
    EXPECT_EQ(ReadFile(s.dir + "/song.wav"), WavHeader(44100, 2, 16, 16384) + s.capture.substr(0, 16384));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "other.wav\nsong.wav\n");
}

TEST(RecordCommand, ExistsMenuChoices)
{
    Session s = NewSession(0.05f, "a.wav", "a.wav\n");
    std::string old = WavHeader(44100, 2, 16, 16) + std::string(16, '\x01');
    WriteFile(s.dir + "/a.wav", old);
    // 12 and q show the menu again, 3 plays (nothing: 0 to 3600 s of 4 frames is one
    // chunk), 5 returns silently; then 2 with a new name records at once.
    RunResult r = RunTakebox(s.dir, "r 12 q 3 5 r 2 b 1 q");
    const std::string a = "\t1 a.wav\n";
    EXPECT_EQ(r.out, Start(kOpenedList, "a.wav") + Show(a, "0.00", "0.00", "0.05", "a.wav") +
                         ExistsMenuText("a.wav") + ExistsMenuText("a.wav") + ExistsMenuText("a.wav") +
                         "Playing a.wav ...\nPlaying a.wav ...\n\rclock = 0.00 sec" + ExistsMenuText("a.wav") +
                         Show(a, "0.00", "0.00", "0.05", "a.wav") + ExistsMenuText("a.wav") + "Enter a new filename:\n" +
                         kTake005 + Show(a + "\t2 b.wav\n", "0.00", "0.00", "0.05", "b.wav") + kSaving);
    EXPECT_EQ(ReadFile(s.dir + "/a.wav"), old);
    EXPECT_EQ(ReadFile(s.dir + "/b.wav"), WavHeader(44100, 2, 16, 16384) + s.capture.substr(0, 16384));
    EXPECT_EQ(ReadFile(s.dir + "/play.raw"), std::string(16, '\x01') + std::string(4096 * 4 - 16, '\0'));
}

TEST(RecordCommand, AppendToAMatchingTarget)
{
    Session s = NewSession(0.05f, "old.wav", "old.wav\n");
    std::string oldData = Pattern(4000, 3);  // 1000 stereo 16-bit frames
    std::string old = WavHeader(44100, 2, 16, 4000) + oldData;
    WriteFile(s.dir + "/old.wav", old);
    RunResult r = RunTakebox(s.dir, "r 4 1 q");
    const std::string tracks = "\t1 old.wav\n";
    EXPECT_EQ(r.out, Start(kOpenedList, "old.wav") + Show(tracks, "0.00", "0.00", "0.05", "old.wav") +
                         ExistsMenuText("old.wav") + kTake005 + "Append file is 16428 bytes\n" +
                         Show(tracks, "0.00", "0.00", "0.05", "old.wav") + kSaving);
    std::string now = ReadFile(s.dir + "/old.wav");
    EXPECT_EQ(now, WavHeader(44100, 2, 16, 20384) + oldData + s.capture.substr(0, 16384));
    EXPECT_FALSE(FileExists(s.dir + "/takebox_temp.wav"));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "old.wav\n");
    EXPECT_EQ(SoxInfo(s.dir + "/old.wav", "-s"), "5096\n");
}

TEST(RecordCommand, MismatchedTargetIsNeverChanged)
{
    struct Case {
        unsigned rate, bits;
        int channels;
        std::string messages;
    } cases[] = {
        {48000, 16, 2,
         "You cannot record into this file until you change the recording samplerate to 48000\n"},
        {48000, 24, 1,
         "You cannot record into this file until you change the recording samplerate to 48000\n"
         "You cannot record into this file until you change the recording bit depth to 24\n"
         "You cannot record into this file until you change the recording channels to 1\n"},
    };
    for (const Case& c : cases) {
        Session s = NewSession(0.05f, "old.wav", "old.wav\n");
        std::string old = WavHeader(c.rate, c.channels, c.bits, 60) + Pattern(60, 1);
        WriteFile(s.dir + "/old.wav", old);
        RunResult r = RunTakebox(s.dir, "r 4 x C c q");
        const std::string tracks = "\t1 old.wav\n";
        EXPECT_EQ(r.out, Start(kOpenedList, "old.wav") + Show(tracks, "0.00", "0.00", "0.05", "old.wav") +
                             ExistsMenuText("old.wav") + c.messages +
                             "Enter 'c' to continue\nEnter 'c' to continue\nEnter 'c' to continue\n" +
                             Show(tracks, "0.00", "0.00", "0.05", "old.wav") + kSaving);
        EXPECT_EQ(ReadFile(s.dir + "/old.wav"), old);
        EXPECT_FALSE(FileExists(s.dir + "/takebox_temp.wav"));
    }
}

TEST(RecordCommand, ADeletedTakeStaysDeleted)
{
    Session s = NewSession(0.2f, "kept.wav");
    RunResult r = RunTakebox(s.dir, "r 2 4 t c q");
    std::string out = r.out;
    EXPECT_NE(out.find(kTake02 + kTake02 + Show("\t1 kept.wav\n", "0.00", "0.00", "0.20", "kept.wav")), std::string::npos);
    EXPECT_NE(out.find("\nFile: kept.wav\n  channels: 2\n  bits: 16\n  samplerate: 44100\n  length (sec): 0.200\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(s.dir + "/kept.wav"), WavHeader(44100, 2, 16, 35280) + s.capture.substr(0, 35280));
}

TEST(RecordCommand, CaptureDeviceThatCannotBeOpenedChangesNothing)
{
    Session s = NewSession(0.05f, "old.wav", "old.wav\n");
    WriteSettings(s.dir, 44100, 16, 2, 0, 0, 0.05f, "new.wav", "nosuchdevice");
    RunResult r = RunTakebox(s.dir, "r q");
    EXPECT_NE(r.err.find("unable to open pcm record device: "), std::string::npos);
    EXPECT_FALSE(FileExists(s.dir + "/new.wav"));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "old.wav\n");
    EXPECT_EQ(ReadFile(s.dir + "/takebox_temp.wav"), WavHeader(44100, 2, 16, 0));
}

TEST(RecordCommand, AnAppendThatRunsOutOfSpaceLosesNothing)
{
    Session s = NewSession(0.05f, "old.wav", "old.wav\n");
    std::string old = WavHeader(44100, 2, 16, 4000) + Pattern(4000, 3);
    WriteFile(s.dir + "/old.wav", old);
    // Files may grow to 18 KiB: the take (16428 bytes) fits, the appended target does not.
    RunResult r = RunTakebox(s.dir, "r 4 1 q", "ulimit -f 18; trap '' XFSZ;");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Append file is 16428 bytes\n"
                         "Unable to append the take to old.wav; the take is kept in takebox_temp.wav\n"),
              std::string::npos);
    EXPECT_EQ(ReadFile(s.dir + "/old.wav"), old);
    EXPECT_EQ(ReadFile(s.dir + "/takebox_temp.wav").substr(44), s.capture.substr(0, 16384));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "old.wav\n");
}

TEST(RecordCommand, EndOfInputAtTheTakeMenuKeepsTheTake)
{
    Session s = NewSession(0.05f, "eof.wav");
    RunResult r = RunTakebox(s.dir, "r");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(r.out.size() - kSaving.size()), kSaving);
    EXPECT_EQ(ReadFile(s.dir + "/eof.wav"), WavHeader(44100, 2, 16, 16384) + s.capture.substr(0, 16384));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "eof.wav\n");
}

TEST(RecordCommand, TheTakeFileIsNeverATarget)
{
    const std::string refused = "takebox_temp.wav is the take file; choose another name\n";
    // Less than a frame behind the header: no take that start-up would recover.
    const std::string oldTake = WavHeader(44100, 2, 16, 8) + Pattern(3, 4);
    struct Case {
        const char* name;      // the record name in the settings
        bool takeExists;
        std::string input, out;  // the transcript between the first display and the last
        const char* finalName;
    } cases[] = {
        {"takebox_temp.wav", false, "r", refused, "takebox_temp.wav"},
        {"./takebox_temp.wav", true, "r", "./" + refused, "./takebox_temp.wav"},
        {"", false, "r takebox_temp", "Enter the recording file name:\n" + refused, "takebox_temp.wav"},
        {"a.wav", true, "r 2 takebox_temp 2 ./takebox_temp 5",
         ExistsMenuText("a.wav") + "Enter a new filename:\n" + refused + ExistsMenuText("a.wav") +
             "Enter a new filename:\n./" + refused + ExistsMenuText("a.wav"),
         "a.wav"},
    };
    for (const Case& c : cases) {
        Session s = NewSession(0.05f, c.name, "a.wav\n");
        const std::string a = WavHeader(44100, 2, 16, 16) + Pattern(16, 5);
        WriteFile(s.dir + "/a.wav", a);
        if (c.takeExists)
            WriteFile(s.dir + "/takebox_temp.wav", oldTake);
        RunResult r = RunTakebox(s.dir, c.input + " q");
        EXPECT_EQ(r.out, Start(kOpenedList, c.name) + Show("\t1 a.wav\n", "0.00", "0.00", "0.05", c.name) +
                             c.out + Show("\t1 a.wav\n", "0.00", "0.00", "0.05", c.finalName) + kSaving)
            << c.name << " " << c.input;
        EXPECT_EQ(FileExists(s.dir + "/takebox_temp.wav"), c.takeExists);
        if (c.takeExists) {
            EXPECT_EQ(ReadFile(s.dir + "/takebox_temp.wav"), oldTake);
        }
        EXPECT_EQ(ReadFile(s.dir + "/a.wav"), a);
        EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "a.wav\n");
    }
}

TEST(RecordCommand, ADurationWordThatIsNoNumberIsDroppedOnce)
{
    // A lone sign, a word and a signed word are each dropped; the next word is the duration.
    for (const char* junk : {"-", "+", "abc", "-abc", "."}) {
        Session s = NewSession(0, "song.wav");
        RunResult r = RunTakebox(s.dir, std::string("r ") + junk + " 0.05 1 q");
        EXPECT_EQ(r.out, Start(kNewList, "song.wav") + Show("", "0.00", "0.00", "0.00", "song.wav") +
                             kAskDuration + kAskDuration + kTake005 +
                             Show("\t1 song.wav\n", "0.00", "0.00", "0.05", "song.wav") + kSaving)
            << junk;
    }
}

TEST(RecordCommand, AListPathThatARecordingMadeIsNeverWritten)
{
    // The list path names the file the recording creates: the list is not saved over it.
    Session s = NewSession(0.05f, "x.wav");
    WriteFile(s.dir + "/rcbox.txt", "dv\ttbtest\nd\t0.05\ntlist\tx.wav\nrname\tx.wav\n");
    RunResult r = RunTakebox(s.dir, "r 1 L 1 q");
    const std::string notSaved = "x.wav is a WAV file, not a track list; the list was not saved\n";
    EXPECT_EQ(r.out, Start("Creating a new list: x.wav\n", "x.wav") + Show("", "0.00", "0.00", "0.05", "x.wav") + kTake005 +
                         notSaved + Show("\t1 x.wav\n", "0.00", "0.00", "0.05", "x.wav") +
                         "1 = Load list from file: x.wav\n2 = Enter new file name and load list\n3 = Return\n" +
                         "x.wav is a WAV file, not a track list\n" + Show("\t1 x.wav\n", "0.00", "0.00", "0.05", "x.wav") +
                         kSaving + notSaved);
    EXPECT_EQ(ReadFile(s.dir + "/x.wav"), WavHeader(44100, 2, 16, 16384) + s.capture.substr(0, 16384));
}

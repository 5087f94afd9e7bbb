// A take whose terminal hangs up, end to end on real pseudo-terminals: it records on to
// its planned end and is kept; a later copy in its directory names it, shows its meter on
// a terminal, and stops it at "s"; another user's copy can do neither.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "tests/e2e.h"

namespace {

const std::string kPrompt = "Filename: song.wav\n";
const std::string kRunning = "Takebox is already running in this directory\n";
const std::string kOffer = "Enter: leave it recording; s: stop the take now and keep it\n";
constexpr uint32_t kBlockBytes = 4096 * 4;  // one stereo 16-bit block

// Starts a take of the session's length on a terminal and hangs the terminal up in its
// first second.
void RecordAndHangUp(LiveRun* run, const Session& s, const std::string& typed)
{
    ASSERT_TRUE(StartLive(run, s.dir, true));
    ASSERT_TRUE(WaitFor(run, kPrompt));
    Type(run, typed);
    ASSERT_TRUE(WaitFor(run, "Remaining "));
    HangUp(run);
}

// A copy started through a pipe, once the take listens: it does so from its first block
// after the hangup.
RunResult WatchThroughPipe(const std::string& dir, const std::string& input)
{
    RunResult watch;
    for (int tries = 0; tries < 50; tries++) {
        watch = RunTakebox(dir, input);
        if (watch.out != kRunning)
            break;
        usleep(100000);
    }
    return watch;
}

// The status lines of a copy that found the take, with what it typed answered by `outcome`.
std::regex StatusTranscript(const std::string& outcome)
{
    return std::regex(kRunning + "Recording song\\.wav: 0:00:0\\d recorded, 0:00:0\\d left\n" +
                      kOffer + outcome);
}

std::string Names(const std::string& dir)
{
    return Shell("ls -A '" + dir + "'");
}

}  // namespace

// A hangup a moment into a 3 s take: the take records its whole planned length (33 blocks)
// and is kept as at the end of input, the settings changed before it saved, and the
// program ends with 0. An "erase and record over" take that nobody confirmed replaces
// nothing: it is kept aside.
TEST(DetachedTake, HangupLetsTheTakeRecordToItsEnd)
{
    if (!HavePseudoTerminals())
        GTEST_SKIP() << "no pseudo-terminal on this machine";
    for (bool exists : {false, true}) {
        SCOPED_TRACE(exists ? "erase and record over" : "new target");
        Session s = NewSession(3, "song.wav", "", 44100, 16, 2, "tbpaced");
        const std::string old = WavHeader(44100, 2, 16, 4) + "oldy";
        if (exists)
            WriteFile(s.dir + "/song.wav", old);
        LiveRun run;
        RecordAndHangUp(&run, s, exists ? "i\n2.5\nr\n1\n" : "i\n2.5\nr\n");
        EXPECT_EQ(FinishLive(&run), 0);
        const std::string take =
            WavHeader(44100, 2, 16, 33 * kBlockBytes) + s.capture.substr(0, 33 * kBlockBytes);
        const std::string kept = exists ? "takebox_recovered_1.wav" : "song.wav";
        EXPECT_TRUE(ReadFile(s.dir + "/" + kept) == take);
        EXPECT_EQ(ReadFile(s.dir + "/song.wav"), exists ? old : take);
        EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), kept + "\n");
        EXPECT_NE(ReadFile(s.dir + "/rcbox.txt").find("i\t2.500\n"), std::string::npos);
        EXPECT_FALSE(FileExists(s.dir + "/takebox_temp.wav"));
    }
}

// A copy through a pipe and one on a terminal (with the take's meter line) leave the take
// recording; "s" from a third stops it at once, kept in whole blocks. No copy touches a file.
TEST(DetachedTake, ALaterCopySeesTheTakeAndStopsIt)
{
    if (!HavePseudoTerminals())
        GTEST_SKIP() << "no pseudo-terminal on this machine";
    Session s = NewSession(8, "song.wav", "", 44100, 16, 2, "tbpaced");
    LiveRun run;
    RecordAndHangUp(&run, s, "r\n");
    const RunResult piped = WatchThroughPipe(s.dir, "");
    EXPECT_TRUE(std::regex_match(piped.out, StatusTranscript("The take goes on recording\n")))
        << piped.out;
    EXPECT_EQ(piped.status, 0);
    const std::string names = Names(s.dir);

    LiveRun watch;
    ASSERT_TRUE(StartLive(&watch, s.dir, true));
    ASSERT_TRUE(WaitFor(&watch, kOffer, 10));
    ASSERT_TRUE(WaitFor(&watch, "\rRemaining ", 10));
    ASSERT_TRUE(WaitFor(&watch, "dB", 10));
    EXPECT_TRUE(WaitFor(&watch, " disk ", 10));
    Type(&watch, "\n");
    EXPECT_TRUE(WaitFor(&watch, "\r\033[KThe take goes on recording\n", 10));
    EXPECT_EQ(FinishLive(&watch), 0);
    EXPECT_EQ(watch.out.substr(0, kRunning.size()), kRunning);

    const RunResult stop = RunTakebox(s.dir, "s\n");
    EXPECT_TRUE(std::regex_match(stop.out, StatusTranscript("The take stops now and is kept\n")))
        << stop.out;
    EXPECT_EQ(Names(s.dir), names);
    EXPECT_EQ(FinishLive(&run, 10), 0);
    const std::string take = ReadFile(s.dir + "/song.wav");
    ASSERT_GE(take.size(), 44u);
    const uint32_t bytes = static_cast<uint32_t>(take.size() - 44);
    EXPECT_EQ(bytes % kBlockBytes, 0u);
    EXPECT_LT(bytes, 87 * kBlockBytes);  // 87 blocks make the whole take
    EXPECT_TRUE(take == WavHeader(44100, 2, 16, bytes) + s.capture.substr(0, bytes));
    EXPECT_EQ(ReadFile(s.dir + "/tlist.txt"), "song.wav\n");
}

// Another user's copy in the same directory is told only that Takebox runs there, and its
// "s" does not stop the take.
TEST(DetachedTake, AnotherUserCannotStopTheTake)
{
    if (!HavePseudoTerminals())
        GTEST_SKIP() << "needs pseudo-terminals";
    Session s = NewSession(3, "song.wav", "", 44100, 16, 2, "tbpaced");
    ASSERT_EQ(chmod(s.dir.c_str(), 0755), 0);  // the other user may open the directory
    const std::string otherUser = OtherUser(s.dir);
    if (otherUser.empty())
        GTEST_SKIP() << "the program cannot be run as another user here";
    LiveRun run;
    RecordAndHangUp(&run, s, "r\n");
    ASSERT_NE(WatchThroughPipe(s.dir, "").out, kRunning);  // the take listens
    const RunResult other =
        RunTakebox(s.dir, "s\n", "", otherUser);
    EXPECT_EQ(other.out, kRunning);
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(FinishLive(&run), 0);
    EXPECT_TRUE(ReadFile(s.dir + "/song.wav") ==
                WavHeader(44100, 2, 16, 33 * kBlockBytes) + s.capture.substr(0, 33 * kBlockBytes));
}

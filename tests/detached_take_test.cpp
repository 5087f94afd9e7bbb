// A take whose terminal hangs up, end to end on real pseudo-terminals: it records on to
// its planned end and is kept.
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e.h"

namespace {

const std::string kPrompt = "Filename: song.wav\n";
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

// The take file between recordings, end to end: a run that keeps nothing leaves an
// empty take, a take that cannot be saved keeps only its kept audio, an unsaved take
// found at start-up or at "r" is moved to a file of its own and listed, and a second
// copy of the program in the same directory touches nothing.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e.h"

namespace {

// What python's wave module and sox make of a file: channels, sample width, rate and
// frames; and sox's sample count.
std::string Readers(const std::string& path)
{
    return Shell("python3 -c 'import sys, wave; w = wave.open(sys.argv[1]); "
                 "print(w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes())' '" +
                 path + "'; sox --i -s '" + path + "' 2>&1");
}

// A session: settings for takes (0.05 s) into `recordName`, a list, and capture data.
std::string NewDir(const std::string& recordName, const std::string& list, float duration = 0.05f,
                   const std::string& device = "tbtest", unsigned bits = 16, int channels = 2)
{
    const Session s = NewSession(duration, recordName, "", 44100, bits, channels, device);
    WriteFile(s.dir + "/tlist.txt", list);  // also an empty one: an existing list
    return s.dir;
}

// Every file of the directory but the harness's own (names starting with a dot).
std::map<std::string, std::string> Files(const std::string& dir)
{
    std::map<std::string, std::string> files;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = d != nullptr ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            files[e->d_name] = ReadFile(dir + "/" + e->d_name);
    if (d != nullptr)
        closedir(d);
    return files;
}

const std::string kCapture = Capture16(44100, 7);

std::string Le64(uint64_t v)
{
    return Le32(static_cast<uint32_t>(v)) + Le32(static_cast<uint32_t>(v >> 32));
}

// An RF64 file of 16-bit stereo `audio` whose 32-bit sizes say "see ds64".
std::string Rf64(const std::string& audio)
{
    return "RF64" + Le32(0xffffffffu) + "WAVEds64" + Le32(28) + Le64(72 + audio.size()) +
           Le64(audio.size()) + Le64(audio.size() / 4) + Le32(0) +
           WavHeader(44100, 2, 16, 0).substr(12, 24) + "data" + Le32(0xffffffffu) + audio;
}

}  // namespace

// What a recording run leaves in the take file when it keeps nothing, and when the
// kept takes cannot be saved (a target in a directory that does not exist; an append
// past a file-size limit): the take's header sized for exactly the kept audio, the
// deleted take behind it gone. The next "r" recovers the kept audio before anything else.
TEST(TakeFile, OnlyKeptAudioStaysAndTheNextRecordingRecoversIt)
{
    const std::string kept = kCapture.substr(0, 2205 * 4);  // "2" keeps the planned frames
    const std::string recovered = "Recovered an unsaved take: takebox_recovered_1.wav (0.05 sec)\n";
    const std::string old = WavHeader(44100, 2, 16, 20000) + Pattern(20000, 3);
    struct Case {
        const char* what;
        std::string target;  // record name; "old.wav" exists
        std::string limit;
        std::string input;
        std::string failure;      // the lines after the second take's menu
        std::string afterSecond;  // the second "r" up to its take menu
    } cases[] = {
        {"rename into a missing directory", "nodir/x.wav", "", "r 2 4 r 4 q",
         "Unable to move takebox_temp.wav to nodir/x.wav: No such file or directory\n", kTake005},
        // 25 KiB per file: the two takes fit in the take file (25248 bytes), the target
        // with the kept take does not (28864 bytes).
        {"append past a file-size limit", "old.wav", "ulimit -f 25; trap '' XFSZ;", "r 4 2 4 r 5 q",
         "Append file is 25248 bytes\n"
         "Unable to append the take to old.wav; the take is kept in takebox_temp.wav\n",
         ExistsMenuText("old.wav")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = NewDir(c.target, "old.wav\n");
        WriteFile(dir + "/old.wav", old);
        const RunResult r = RunTakebox(dir, c.input, c.limit);
        const std::string menu = c.target == "old.wav" ? ExistsMenuText("old.wav") : "";
        const std::string tracks = "\t1 old.wav\n";
        const std::string listed = tracks + "\t2 takebox_recovered_1.wav\n";
        const std::string shown = Show(tracks, "0.00", "0.00", "0.05", c.target);
        EXPECT_EQ(r.out, Start(kOpenedList, c.target) + shown + menu + kTake005 + kTake005 +
                             c.failure + shown + recovered + c.afterSecond +
                             Show(listed, "0.00", "0.00", "0.05", c.target) + kSaving);
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(ReadFile(dir + "/takebox_recovered_1.wav") ==
                    WavHeader(44100, 2, 16, 2205 * 4) + kept);
        EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "old.wav\ntakebox_recovered_1.wav\n");
        EXPECT_TRUE(ReadFile(dir + "/old.wav") == old);
        if (c.target == "old.wav") {
            EXPECT_FALSE(FileExists(dir + "/takebox_temp.wav"));
        } else {
            // The second run deleted its only take ("4"): the header alone, sized empty.
            EXPECT_TRUE(ReadFile(dir + "/takebox_temp.wav") == WavHeader(44100, 2, 16, 0));
        }
    }
}

// Start-up finds the take file as a crash, a power cut or "kill -9" left it: the header
// still claims the planned length. Audio behind it (whole frames; a partial last frame is
// cut off) goes to the first free takebox_recovered_N.wav with true sizes, is listed, and
// the list file is rewritten at once (the run leaves with "x y": no save at the end).
// A file that is no WAV file is moved aside; a header with less than a frame behind it,
// or a file shorter than a header, is left alone.
TEST(TakeFile, StartUpRecoversAnUnsavedTake)
{
    const std::string audio = Pattern(1000 * 4, 5);  // 1000 stereo 16-bit frames
    const std::string planned = WavHeader(44100, 2, 16, 441000 * 4);
    const std::string junk = "not a wave file" + Pattern(100, 2);
    struct Case {
        const char* what;
        std::string take;
        bool firstTaken;  // takebox_recovered_1.wav exists already
        std::string line;
        std::string newFile;  // its name, and what it holds
        std::string newBytes;
        std::string takeAfter;  // "" for none
    } cases[] = {
        {"audio behind a stale header", planned + audio + "xyz", false,
         "Recovered an unsaved take: takebox_recovered_1.wav (0.02 sec)\n",
         "takebox_recovered_1.wav", WavHeader(44100, 2, 16, 4000) + audio, ""},
        {"the first name taken", planned + audio, true,
         "Recovered an unsaved take: takebox_recovered_2.wav (0.02 sec)\n",
         "takebox_recovered_2.wav", WavHeader(44100, 2, 16, 4000) + audio, ""},
        {"no WAV file", junk, false,
         "takebox_temp.wav is no readable WAV file: moved aside to takebox_unreadable_1.wav\n",
         "takebox_unreadable_1.wav", junk, ""},
        {"a header and part of a frame", planned + "xyz", false, "", "", "", planned + "xyz"},
        {"shorter than a header", "RIFF", false, "", "", "", "RIFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string dir = NewDir("", "a.wav\n");
        WriteFile(dir + "/takebox_temp.wav", c.take);
        if (c.firstTaken)
            WriteFile(dir + "/takebox_recovered_1.wav", "an earlier recovery");
        const RunResult r = RunTakebox(dir, "x y");
        const bool listed = c.newFile.find("recovered") != std::string::npos;
        const std::string tracks = "\t1 a.wav\n" + (listed ? "\t2 " + c.newFile + "\n" : "");
        EXPECT_EQ(r.out, Start(kOpenedList + c.line) + Show(tracks, "0.00", "0.00", "0.05") +
                             "Exit without saving list and settings? (y,n)\n");
        EXPECT_EQ(ReadFile(dir + "/tlist.txt"), listed ? "a.wav\n" + c.newFile + "\n" : "a.wav\n");
        if (!c.newFile.empty()) {
            EXPECT_TRUE(ReadFile(dir + "/" + c.newFile) == c.newBytes);
        }
        if (listed) {
            EXPECT_EQ(Readers(dir + "/" + c.newFile), "2 2 44100 1000\n1000\n");
        }
        if (c.firstTaken) {
            EXPECT_EQ(ReadFile(dir + "/takebox_recovered_1.wav"), "an earlier recovery");
        }
        EXPECT_EQ(FileExists(dir + "/takebox_temp.wav"), !c.takeAfter.empty());
        EXPECT_TRUE(ReadFile(dir + "/takebox_temp.wav") == c.takeAfter);
    }
}

// A new "r" after a recovery records into its own target and leaves the recovered
// file as it is.
TEST(TakeFile, ARecordingAfterARecoveryLeavesTheRecoveredFileAlone)
{
    const std::string dir = NewDir("new.wav", "");
    const std::string audio = Pattern(1000 * 4, 5);
    WriteFile(dir + "/takebox_temp.wav", WavHeader(44100, 2, 16, 441000 * 4) + audio);
    const RunResult r = RunTakebox(dir, "r 1 q");
    const std::string one = "\t1 takebox_recovered_1.wav\n";
    const std::string recovered =
        "Recovered an unsaved take: takebox_recovered_1.wav (0.02 sec)\n";
    EXPECT_EQ(r.out, Start(kOpenedList + recovered, "new.wav") +
                         Show(one, "0.00", "0.00", "0.05", "new.wav") + kTake005 +
                         Show(one + "\t2 new.wav\n", "0.00", "0.00", "0.05", "new.wav") + kSaving);
    EXPECT_TRUE(ReadFile(dir + "/takebox_recovered_1.wav") ==
                WavHeader(44100, 2, 16, 4000) + audio);
    EXPECT_TRUE(ReadFile(dir + "/new.wav") ==
                WavHeader(44100, 2, 16, 16384) + kCapture.substr(0, 16384));
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "takebox_recovered_1.wav\nnew.wav\n");
}

// A second copy started in the directory of a running one says so in one line, ends
// with status 0 and changes no file (not even a take it would otherwise recover). The
// first copy, waiting at its prompt, is not disturbed.
TEST(TakeFile, ASecondCopyInTheSameDirectoryTouchesNothing)
{
    const std::string dir = NewDir("song.wav", "a.wav\n");
    LiveRun first;
    ASSERT_TRUE(StartLive(&first, dir));
    ASSERT_TRUE(WaitFor(&first, kTypeH));

    WriteFile(dir + "/takebox_temp.wav", WavHeader(44100, 2, 16, 441000 * 4) + Pattern(4000, 5));
    const std::map<std::string, std::string> before = Files(dir);
    const RunResult second = RunTakebox(dir, "r 1 q");
    EXPECT_EQ(second.out, "Takebox is already running in this directory\n");
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(second.status, 0);
    EXPECT_TRUE(Files(dir) == before);

    Type(&first, "q\n");
    EXPECT_EQ(FinishLive(&first), 0);
    EXPECT_EQ(first.out.substr(first.out.size() - kSaving.size()), kSaving);
}

// "kill -9" during a take on the paced device, then a new start: the audio written so
// far is recovered (announced with its length, true sizes, listed), and a new "r"
// records into its own target and leaves the recovered file alone.
TEST(TakeFile, ATakeKilledMidwayIsRecoveredAtTheNextStart)
{
    const std::string dir = NewDir("song.wav", "a.wav\n", 10.0f, "tbpaced");
    WriteFile(dir + "/capture.raw", Capture16(441000, 7));
    LiveRun run;
    ASSERT_TRUE(StartLive(&run, dir));
    Type(&run, "r\n");
    // Killed once three blocks (0.28 s) of the 10 s take are in the take file.
    const std::string take = dir + "/takebox_temp.wav";
    for (int i = 0; i < 600 && ReadFile(take).size() < 44 + 3 * 16384; i++)
        usleep(100000);
    SendSignal(&run, SIGKILL);
    EXPECT_EQ(FinishLive(&run), -1);  // killed: no exit of its own
    const std::string killed = ReadFile(take);
    ASSERT_GE(killed.size(), 44u + 3 * 16384);
    EXPECT_TRUE(killed.substr(0, 44) == WavHeader(44100, 2, 16, 441000 * 4));  // the planned sizes
    const uint32_t frames = static_cast<uint32_t>(killed.size() - 44) / 4;
    const std::string recovered =
        WavHeader(44100, 2, 16, frames * 4) + killed.substr(44, frames * 4);

    const RunResult r = RunTakebox(dir, "d 0.05 r 1 q");
    char line[128];
    snprintf(line, sizeof line, "Recovered an unsaved take: takebox_recovered_1.wav (%.2f sec)\n",
             static_cast<double>(static_cast<float>(frames) / 44100.0f));
    const std::string two = "\t1 a.wav\n\t2 takebox_recovered_1.wav\n";
    EXPECT_EQ(r.out, Start(kOpenedList + line, "song.wav", "tbpaced") +
                         Show(two, "0.00", "0.00", "10.00", "song.wav") +
                         "Enter record duration in seconds:\n" +
                         Show(two, "0.00", "0.00", "0.05", "song.wav") + kTake005 +
                         Show(two + "\t3 song.wav\n", "0.00", "0.00", "0.05", "song.wav") +
                         kSaving);
    EXPECT_TRUE(ReadFile(dir + "/takebox_recovered_1.wav") == recovered);
    EXPECT_EQ(Readers(dir + "/takebox_recovered_1.wav"),
              "2 2 44100 " + std::to_string(frames) + "\n" + std::to_string(frames) + "\n");
    EXPECT_EQ(ReadFile(dir + "/tlist.txt"), "a.wav\ntakebox_recovered_1.wav\nsong.wav\n");
    EXPECT_FALSE(FileExists(take));
}

namespace {

// One system call of an strace log (-f -y): the thread, the name and the text after it.
struct TracedCall {
    std::string pid;
    std::string name;
    std::string args;
};

std::vector<TracedCall> ReadTrace(const std::string& path)
{
    std::vector<TracedCall> calls;
    std::istringstream lines(ReadFile(path));
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        const size_t name = line.find_first_not_of(' ', space);  // thread ids are padded
        const size_t paren = line.find('(', name);
        if (name == std::string::npos || paren == std::string::npos || line[name] == '<' ||
            line[name] == '+' || line[name] == '-')
            continue;  // a resumed call, an exit or a signal
        calls.push_back({line.substr(0, space), line.substr(name, paren - name),
                         line.substr(paren + 1)});
    }
    return calls;
}

// The file of the session directory a call works on ("" for none): its first quoted path
// when relative or inside `dir`, else the file behind its first descriptor ("." the
// directory itself).
std::string SessionFile(const TracedCall& c, const std::string& dir)
{
    const size_t quote = c.args.find('"');
    const size_t fd = c.args.find('<');
    if (quote != std::string::npos &&
        (fd == std::string::npos || c.name == "openat" || quote < fd)) {
        std::string path = c.args.substr(quote + 1, c.args.find('"', quote + 1) - quote - 1);
        if (path.compare(0, dir.size() + 1, dir + "/") == 0)
            path = path.substr(dir.size() + 1);
        return path[0] == '/' ? "" : path;
    }
    if (fd == std::string::npos)
        return "";
    const std::string path = c.args.substr(fd + 1, c.args.find('>', fd) - fd - 1);
    if (path == dir)
        return ".";
    return path.compare(0, dir.size() + 1, dir + "/") == 0 ? path.substr(dir.size() + 1) : "";
}

// Where a traced pwrite64 wrote: its last argument, before the result or before
// "<unfinished ...>" (-1 when it cannot be read).
long long WriteOffset(const TracedCall& c)
{
    size_t end = c.args.rfind(" <unfinished");
    if (end == std::string::npos)
        end = c.args.rfind(") = ");
    const size_t comma = end == std::string::npos ? end : c.args.rfind(", ", end);
    return comma == std::string::npos ? -1 : std::atoll(c.args.c_str() + comma + 2);
}

bool Is(const std::string& name, std::initializer_list<const char*> names)
{
    for (const char* n : names)
        if (name == n)
            return true;
    return false;
}

// Whether strace can trace the program here; says so when it cannot (no ptrace, or under
// an emulator).
bool StraceTraces()
{
    bool ok = false;
    Shell("strace -f -o /dev/null true 2>&1", &ok);
    if (std::string(TAKEBOX_EMULATOR) != "" || !ok) {
        printf("skipped: strace cannot trace here (no ptrace, or under an emulator)\n");
        return false;
    }
    return true;
}

// LeakSanitizer stops the world with ptrace, which a traced program cannot do.
const std::string kUntraced = "env ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" ";

const char* const kChanging =
    "write,pwrite64,openat,truncate,ftruncate,rename,renameat,renameat2,link,linkat,unlink,"
    "unlinkat,fchmod,fsync,fdatasync";

// The power-loss order of a clean run: no file of the session is waiting to be synced when
// a name changes, and the directory is synced after each rename or link before the next.
// Returns what broke the order ("" none).
std::string CheckSyncOrder(const std::vector<TracedCall>& calls, const std::string& dir)
{
    std::set<std::string> dirty;
    std::string unsynced;  // a rename or link the directory has not been synced after
    for (const TracedCall& c : calls) {
        const std::string file = SessionFile(c, dir);
        if (file.empty())
            continue;
        const bool move = Is(c.name, {"rename", "renameat", "renameat2", "link", "linkat"});
        if (Is(c.name, {"write", "pwrite64", "truncate", "ftruncate"}))
            dirty.insert(file);
        else if (Is(c.name, {"fsync", "fdatasync"}) && file == ".")
            unsynced.clear();
        else if (Is(c.name, {"fsync", "fdatasync"}))
            dirty.erase(file);
        if ((move || Is(c.name, {"unlink", "unlinkat"})) && !dirty.empty())
            return c.name + "(" + c.args + " with " + *dirty.begin() + " not synced";
        if (move && !unsynced.empty())
            return c.name + "(" + c.args + " before the directory was synced after " + unsynced;
        if (move)
            unsynced = c.name + "(" + c.args;
    }
    return unsynced.empty() ? "" : unsynced + " never followed by a directory sync";
}

}  // namespace

// Killed (SIGKILL) at every call that changes a file of the session, in each operation
// that writes one, then started again and quit: every file is its old bytes or its new
// ones, the take is in exactly one place once it is recorded (at most one before), every
// listed name exists and every recovered take is listed, and nothing temporary is left (a
// take file without audio may stay). A new target is listed after it got the take: a kill
// in between leaves it whole but not listed.
// The clean runs also show the power-loss order: data synced before a name changes, the
// directory synced after.
TEST(TakeFile, AKillAtAnyCallLeavesEveryFileWhole)
{
    if (!StraceTraces())
        return;
    const std::string take = kCapture.substr(0, 4096 * 4);  // "1" keeps the whole block
    const std::string old = WavHeader(44100, 2, 16, 20000) + Pattern(20000, 3);
    const std::string taken = WavHeader(44100, 2, 16, 16384) + take;
    const std::string appended = WavHeader(44100, 2, 16, 36384) + Pattern(20000, 3) + take;
    // A 24-bit mono take behind an odd-sized data chunk: the take goes over the pad byte and
    // a new one follows it.
    std::string take24;
    for (size_t frame = 0; frame < 4096; frame++)
        take24 += kCapture.substr(frame * 6, 3);
    const std::string odd = WavHeader(44100, 1, 24, 999) + Pattern(999, 3) + '\0';
    std::string padded = WavHeader(44100, 1, 24, 999 + 12288) + Pattern(999, 3) + take24 + '\0';
    padded.replace(4, 4, Le32(static_cast<uint32_t>(padded.size() - 8)));
    struct Case {
        const char* what;
        std::string input;
        std::string target;  // the file the operation writes
        std::string before;  // its bytes before ("" none) and after a clean run
        std::string after;
        std::string takeFile;  // the take file at the start ("" none)
        unsigned bits = 16;
        int channels = 2;
    } cases[] = {
        {"new take", "r 1 q", "new.wav", "", taken, ""},
        {"replace", "r 1 1 q", "song.wav", old, taken, ""},
        {"append", "r 4 1 q", "song.wav", old, appended, ""},
        {"RF64 append", "r 4 1 q", "song.wav", Rf64(Pattern(20000, 3)),
         Rf64(Pattern(20000, 3) + take), ""},
        {"pad byte append", "r 4 1 q", "song.wav", odd, padded, "", 24, 1},
        {"save", "d 3 s q", "song.wav", old, old, ""},
        {"start-up recovery", "q", "song.wav", old, old, WavHeader(44100, 2, 16, 441000) + take},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string& kept = c.bits == 16 ? take : take24;
        auto setUp = [&]() {
            const std::string dir = NewDir(c.target, c.before.empty() ? "" : c.target + "\n",
                                           0.05f, "tbtest", c.bits, c.channels);
            if (!c.before.empty())
                WriteFile(dir + "/" + c.target, c.before);
            if (!c.takeFile.empty())
                WriteFile(dir + "/takebox_temp.wav", c.takeFile);
            return dir;
        };
        const std::string clean = setUp();
        const std::string settingsBefore = ReadFile(clean + "/rcbox.txt");
        RunTakebox(clean, c.input, "",
                   kUntraced + "strace -f -y -qq -e trace=" + kChanging + " -o .trace");
        const std::vector<TracedCall> calls = ReadTrace(clean + "/.trace");
        EXPECT_EQ(CheckSyncOrder(calls, clean), "");
        const std::string settingsAfter = ReadFile(clean + "/rcbox.txt");
        EXPECT_TRUE(ReadFile(clean + "/" + c.target) == c.after);

        // Kill points: the n-th call of a name in its thread, as strace counts them; the take
        // is recorded once the last block of audio went to the take file (behind its header:
        // the header and the sizes are written with pwrite64 too).
        std::map<std::pair<std::string, std::string>, int> counted;
        std::vector<std::pair<std::string, int>> kills;
        std::set<std::pair<std::string, int>> seen;
        size_t recorded = 0;
        for (const TracedCall& call : calls) {
            const int n = ++counted[{call.pid, call.name}];
            const std::string file = SessionFile(call, clean);
            if (call.name == "pwrite64" && file == "takebox_temp.wav" &&
                WriteOffset(call) >= 44)
                recorded = kills.size() + 1;
            if (file.empty() ||
                (call.name == "openat" && call.args.find("O_CREAT") == std::string::npos &&
                 call.args.find("O_TRUNC") == std::string::npos))
                continue;
            if (seen.insert({call.name, n}).second)
                kills.push_back({call.name, n});
        }
        if (!c.takeFile.empty())
            recorded = 0;  // the take is there from the start
        printf("%s: %zu kill points\n", c.what, kills.size());
        for (size_t k = 0; k < kills.size(); k++) {
            const std::string at = kills[k].first + ":when=" + std::to_string(kills[k].second);
            SCOPED_TRACE("killed at " + at);
            const std::string dir = setUp();
            const RunResult killed = RunTakebox(dir, c.input, "",
                       kUntraced + "strace -f -qq -e trace=" + kills[k].first +
                           " -e inject=" + at + ":signal=SIGKILL -o /dev/null");
            EXPECT_EQ(killed.status, 128 + SIGKILL);
            RunTakebox(dir, "q");
            const std::map<std::string, std::string> files = Files(dir);
            const std::string target = files.count(c.target) ? files.at(c.target) : "";
            EXPECT_TRUE(target == c.before || target == c.after);
            std::vector<std::string> listed;
            std::istringstream list(ReadFile(dir + "/tlist.txt"));
            for (std::string name; std::getline(list, name);) {
                EXPECT_TRUE(files.count(name)) << name << " is listed";
                EXPECT_EQ(std::count(listed.begin(), listed.end(), name), 0) << name << " twice";
                listed.push_back(name);
            }
            int places = target == c.after && c.after != c.before ? 1 : 0;
            for (const auto& f : files) {
                if (f.first.compare(0, 18, "takebox_recovered_") != 0)
                    continue;
                places++;
                const std::string audio = f.second.substr(std::min<size_t>(44, f.second.size()));
                EXPECT_TRUE(f.second == WavHeader(44100, c.channels, c.bits, audio.size()) + audio &&
                            kept.compare(0, audio.size(), audio) == 0 &&
                            (k < recorded || audio == kept))
                    << f.first << " holds " << audio.size() << " bytes";
                EXPECT_EQ(std::count(listed.begin(), listed.end(), f.first), 1) << f.first;
            }
            EXPECT_LE(places, 1);
            if (c.input[0] == 'r' ? k >= recorded : !c.takeFile.empty()) {
                EXPECT_EQ(places, 1);
            }
            EXPECT_LE(files.count("takebox_temp.wav") ? files.at("takebox_temp.wav").size() : 0,
                      44u);
            EXPECT_FALSE(files.count("takebox_append.txt"));
            const std::string settings = ReadFile(dir + "/rcbox.txt");
            EXPECT_TRUE(settings == settingsBefore || settings == settingsAfter);
            EXPECT_EQ(Shell("cd '" + dir +
                            "' && ls -a | grep -E '^\\.(tlist|rcbox)\\.txt\\.' || true"),
                      "");
        }
    }
}

// A failure once the target holds the take and its sizes (here the sync of the emptied take
// file) never cuts the take back off: the target keeps it, and the next start clears the
// take file and the journal.
TEST(TakeFile, AnAppendWhoseTakeFileCannotBeEmptiedKeepsTheTake)
{
    if (!StraceTraces())
        return;
    const std::string dir = NewDir("song.wav", "song.wav\n");
    WriteFile(dir + "/song.wav", WavHeader(44100, 2, 16, 20000) + Pattern(20000, 3));
    // The main thread's third fdatasync: the target's audio, its sizes, then the take file.
    const RunResult r = RunTakebox(dir, "r 4 1 q", "",
        kUntraced + "strace -qq -e trace=fdatasync -e inject=fdatasync:error=EIO:when=3 "
                    "-o /dev/null");
    EXPECT_NE(r.out.find("The take is appended to song.wav; takebox_temp.wav is cleared at "
                         "the next start or recording\n"), std::string::npos) << r.out;
    EXPECT_NE(RunTakebox(dir, "q").out.find("Completed the append to song.wav that was cut "
                                            "short\n"), std::string::npos);
    const std::map<std::string, std::string> files = Files(dir);
    EXPECT_TRUE(files.at("song.wav") == WavHeader(44100, 2, 16, 36384) + Pattern(20000, 3) +
                                            kCapture.substr(0, 4096 * 4));
    EXPECT_FALSE(files.count("takebox_append.txt"));
    EXPECT_FALSE(files.count("takebox_temp.wav"));
    EXPECT_FALSE(files.count("takebox_recovered_1.wav"));
}

namespace {

// What a two-part take left in `dir` once the program was started again and quit: the
// files that hold its audio (gig.wav and its parts, the recovered takes), each a whole WAV
// file with true sizes. Returns the frames they hold in a row from the take's first, every
// frame at its place and none twice, or -1 when a file is torn, a frame is missing or
// repeated, a listed name is missing, a recovered take is not listed, or audio is left in
// a take file. A published part may be unlisted: it is listed after it got its audio.
int64_t TakeFramesInPlace(const std::string& dir)
{
    std::istringstream list(ReadFile(dir + "/tlist.txt"));
    std::set<std::string> listed;
    for (std::string name; std::getline(list, name);)
        listed.insert(name);
    std::vector<std::pair<uint32_t, std::pair<uint32_t, std::string>>> pieces;  // first, n, path
    for (const std::string& name : listed)
        if (!FileExists(dir + "/" + name))
            return -1;
    DIR* d = opendir(dir.c_str());
    bool lost = false;
    while (dirent* e = d != nullptr ? readdir(d) : nullptr) {
        const std::string name = e->d_name;
        const std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 44)
            continue;
        const bool recovered = name.compare(0, 18, "takebox_recovered_") == 0;
        if (name.compare(0, 12, "takebox_temp") == 0 || (recovered && !listed.count(name))) {
            lost = true;  // audio nobody finds in the list
            continue;
        }
        if (!recovered && name.compare(0, 3, "gig") != 0)
            continue;
        FILE* f = fopen(path.c_str(), "rb");
        unsigned char h[48] = {};
        const bool read = f != nullptr && fread(h, 1, 48, f) == 48;
        if (f != nullptr)
            fclose(f);
        const uint32_t data = static_cast<uint32_t>(st.st_size) - 44;
        if (!read || std::string(reinterpret_cast<char*>(h), 44) != WavHeader(48000, 2, 16, data) ||
            data % 4 != 0)
            return -1;
        const uint32_t first = h[44] | h[45] << 8 | h[46] << 16 | static_cast<uint32_t>(h[47]) << 24;
        pieces.push_back({first, {data / 4, path}});
    }
    if (d != nullptr)
        closedir(d);
    if (lost)
        return -1;
    std::sort(pieces.begin(), pieces.end());
    int64_t frames = 0;
    for (const auto& piece : pieces) {
        const uint32_t n = piece.second.first;
        if (piece.first != frames || CheckIndexFrames(piece.second.second, piece.first, n) != n)
            return -1;
        frames += n;
    }
    return frames;
}

}  // namespace

// A take of 2.16 GB in two parts (see the long take's test), killed (SIGKILL) in its second
// part and at every kind of call of its save that changes a file, then started again and
// quit: every frame recorded is in exactly one listed file, in order, every file whole.
// The save is traced from the take menu on (strace attached to the running program), so
// that the 2 GB before it go at full speed.
TEST(TakeFile, ATwoPartTakeSurvivesAKillAtAnyMoment)
{
    if (!StraceTraces())
        return;
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "each kill point records 2 GB: the uninstrumented suite runs it";
#endif
    const std::string base = MakeMemoryDir(7ull << 30);
    if (base.empty())
        GTEST_SKIP() << "needs 7 GB free in /dev/shm";
    const uint32_t frames = 540000256;
    const uint32_t part = 536870900;
    ASSERT_TRUE(WriteIndexFrames(base + "/capture.raw", frames));
    auto setUp = [&]() {
        const std::string dir = MakeTempDirIn(base);
        EXPECT_EQ(link((base + "/capture.raw").c_str(), (dir + "/capture.raw").c_str()), 0);
        WriteSettings(dir, 48000, 16, 2, 0, 0, 11250, "gig.wav");
        WriteFile(dir + "/tlist.txt", "");
        return dir;
    };
    auto settle = [&](const std::string& dir) {
        RunTakebox(dir, "q");
        remove((dir + "/capture.raw").c_str());
        const int64_t kept = TakeFramesInPlace(dir);
        Shell("rm -rf '" + dir + "'");
        return kept;
    };
    // Records the take, then saves it with `strace` (its options) attached to the program.
    // Returns the program's exit status.
    auto save = [&](const std::string& dir, const std::string& strace) {
        LiveRun run;
        EXPECT_TRUE(StartLive(&run, dir));
        Type(&run, "r\n");
        EXPECT_TRUE(WaitFor(&run, "5 = play last take\n", 300));
        const std::string pid = std::to_string(run.pid);
        Shell(kUntraced + "strace -f -qq -p " + pid + " " + strace + " >/dev/null 2>&1 &");
        for (int i = 0; i < 500 && Shell("grep -s '^TracerPid:' /proc/" + pid +
                                         "/status | tr -d ' \\t'") == "TracerPid:0\n";
             i++)
            usleep(10000);
        Type(&run, "1\nq\n");
        return FinishLive(&run, 300);
    };

    // Killed while the second part records: both parts are recovered, in order.
    {
        const std::string dir = setUp();
        LiveRun run;
        ASSERT_TRUE(StartLive(&run, dir));
        Type(&run, "r 1 q\n");
        struct stat st;
        for (int i = 0; i < 300000 && stat((dir + "/takebox_temp-2.wav").c_str(), &st) != 0; i++)
            usleep(1000);
        SendSignal(&run, SIGKILL);
        FinishLive(&run);
        const int64_t kept = settle(dir);
        EXPECT_GE(kept, part);
        EXPECT_LT(kept, frames);
    }

    // The save: each kind of call of the main thread on each file of the take (the list
    // and the directory among them), at its first. The settings' save is the one-part
    // test's.
    const std::string clean = setUp();
    save(clean, "-y -e trace=" + std::string(kChanging) + " -o '" + base + "/save.trace'");
    const std::vector<TracedCall> calls = ReadTrace(base + "/save.trace");
    EXPECT_EQ(settle(clean), frames);
    std::map<std::pair<std::string, std::string>, int> counted;
    std::set<std::pair<std::string, std::string>> seen;
    std::vector<std::pair<std::string, int>> kills;
    for (const TracedCall& call : calls) {
        const int n = ++counted[{call.pid, call.name}];
        const std::string file = SessionFile(call, clean);
        if (call.pid != calls[0].pid || file.empty() || file == "rcbox.txt" ||
            file.compare(0, 7, ".rcbox.") == 0 || !seen.insert({call.name, file}).second)
            continue;
        kills.push_back({call.name, n});
    }
    printf("two-part save: %zu kill points\n", kills.size());
    EXPECT_GT(kills.size(), 8u);
    for (const auto& kill : kills) {
        const std::string at = kill.first + ":when=" + std::to_string(kill.second);
        SCOPED_TRACE("killed at " + at);
        const std::string dir = setUp();
        const int status = save(dir, "-e trace=" + kill.first + " -e inject=" + at +
                                         ":signal=SIGKILL -o /dev/null");
        EXPECT_EQ(status, -1);  // killed
        EXPECT_EQ(settle(dir), frames);
    }
}

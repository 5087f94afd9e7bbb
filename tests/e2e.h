// Helpers for end-to-end tests: run build/takebox in a temporary directory with
// scripted standard input and the virtual ALSA devices, and read back what it left.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RunResult {
    std::string out;  // whole standard output
    std::string err;  // whole standard error
    int status;       // exit status, or -1 when the program did not exit normally
};

// A fresh empty directory under the system temporary directory, removed when the test
// process ends (each test runs in a process of its own) unless TAKEBOX_KEEP_TEST_DIRS=1.
std::string MakeTempDir();
// The same under `parent`; and one in memory (/dev/shm) with `bytes` free, or "" where
// there is no such room.
std::string MakeTempDirIn(const std::string& parent);
std::string MakeMemoryDir(uint64_t bytes);

// Runs the program in `dir` with `input` as standard input. `shellPrefix` is run in the
// same shell first (for example "ulimit -f 100; trap '' XFSZ;"; one that sets
// TAKEBOX_SERVER_ALSA gives the program that ALSA configuration instead of the virtual
// devices'); `wrapper` is a command that runs the program (for example strace with its
// options).
RunResult RunTakebox(const std::string& dir, const std::string& input,
                     const std::string& shellPrefix = "", const std::string& wrapper = "",
                     int seconds = 60);

// A run of the program that a test talks to while it runs: it waits for a text on the
// console, then types or sends a signal. Standard input is a pipe, or with `terminal` a
// pseudo-terminal (no echo, no carriage return added to line feeds) whose foreground job
// the program is; standard error goes to the terminal, or else to `err` at the end.
struct LiveRun {
    int pid = -1;
    int input = -1;    // the program's standard input: a pipe, or the terminal's master side
    int output = -1;   // its standard output
    std::string out;   // all output read so far
    size_t seen = 0;   // where WaitFor looks next: just past the text it last found
    std::string err;   // standard error, read by FinishLive (pipe runs only)
    std::string dir;
    LiveRun() = default;
    LiveRun(const LiveRun&) = delete;
    LiveRun& operator=(const LiveRun&) = delete;
    ~LiveRun();  // a program still running (a test that failed early) is killed
};

// Starts the program (through TAKEBOX_EMULATOR) in `dir` with the virtual devices.
// The wrapper that runs the program as another user (nobody), for the tests of what such a
// user cannot do; "" when that cannot be done here: not root, no setpriv, or the program,
// its test devices or `dir` out of that user's reach (a build under a private directory).
std::string OtherUser(const std::string& dir);

// Whether this machine hands out pseudo-terminals (a bare chroot without /dev/pts does not).
bool HavePseudoTerminals();
bool StartLive(LiveRun* run, const std::string& dir, bool terminal = false);
// Reads output until `text` appears after what the last wait found. False when the
// program ends or `seconds` pass first.
bool WaitFor(LiveRun* run, const std::string& text, int seconds = 60);
void Type(LiveRun* run, const std::string& text);
void SendSignal(LiveRun* run, int signal);
// Closes the master side of a terminal run, as a dropped connection does: the kernel hangs
// up the terminal and sends the program SIGHUP. Its output is not read from then on.
void HangUp(LiveRun* run);
// Waits for the program to end (the test ends it: "q", a signal), reading the rest of its
// output; its input stays open until then, so no end of input is seen. Kills it after
// `seconds`. Returns its exit status, or -1 when it did not exit normally.
int FinishLive(LiveRun* run, int seconds = 60);

std::string ReadFile(const std::string& path);
// Standard output of a shell command, and whether it exited with 0.
std::string Shell(const std::string& cmd, bool* ok = nullptr);
void WriteFile(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);

// A settings file as the program writes it; no list or record name line when empty.
std::string SettingsText(const std::string& device, unsigned rate, unsigned bits, int channels,
                         const std::string& in, const std::string& out, const std::string& dur,
                         const std::string& list, const std::string& name);
// Writes a settings file: recording values, device "tbtest" and list "tlist.txt".
void WriteSettings(const std::string& dir, unsigned rate, unsigned bits, int channels,
                   float in, float out, float duration, const std::string& recordName,
                   const std::string& device = "tbtest");

// A working directory for a recording session: the settings (stereo 16-bit at `rate`,
// the duration, out point and record name, the device), a list file when `list` is given,
// and 12 s of Capture16 data (seed 7) in capture.raw.
struct Session {
    std::string dir;
    std::string capture;
};
Session NewSession(float duration, const std::string& recordName, const std::string& list = "",
                   unsigned rate = 44100, unsigned bits = 16, int channels = 2,
                   const std::string& device = "tbtest", float out = 0);

// Little-endian sample data helpers.
std::string Le16(uint16_t v);
std::string Le32(uint32_t v);
// A 44-byte PCM header as the program writes it.
std::string WavHeader(uint32_t rate, uint32_t channels, uint32_t bits, uint32_t dataBytes);
// Each sample of a mono plane of `width`-byte samples doubled into left and right.
std::string Doubled(const std::string& mono, uint32_t width = 2);
// Deterministic test samples: `bytes` bytes of a pattern seeded by `seed`.
std::string Pattern(uint32_t bytes, uint32_t seed);

// The timeline of stereo sample data (`width`-byte samples) recorded from the device
// "tbcount", whose every frame carries its index in device time (in the top 16 bits of
// each sample, channel 1 the low bits):
// the frames, the frames of zeros (silence for a dropout) and their runs, how far the other
// frames stand from the place their index gives them (the index less the first frame's,
// at most), and whether each carries a later index than the one before it (no repeat).
struct Timeline {
    uint64_t frames = 0;
    uint64_t zeros = 0;
    uint32_t zeroRuns = 0;
    uint64_t shift = 0;
    bool rising = true;
};
Timeline TimelineOf(const std::string& data, uint32_t width);

// A take of gigabytes, checked without holding it: WriteIndexFrames writes `frames`
// 16-bit stereo frames that each carry their index (the low 16 bits on channel 1, the
// high 16 bits on channel 2) to `path`; CheckIndexFrames checks that the audio of the WAV
// file `path` (behind its 44-byte header) is the frames with indices `first` to
// `first + frames - 1` and nothing more, and returns how many are in place (`frames` when
// all are).
bool WriteIndexFrames(const std::string& path, uint32_t frames);
uint32_t CheckIndexFrames(const std::string& path, uint32_t first, uint32_t frames);

// Stereo 16-bit capture data: quiet noise (seeded by `seed`) with one sample of 16384 on
// channel 1 and -3277 on channel 2 in every 4096-frame block, so every take of whole
// blocks meters -6.02 and -20.00 dB.
std::string Capture16(uint32_t frames, uint32_t seed);

// Console texts that several transcripts share.
inline const std::string kBanner = "\nTakebox 1.05 by Marlo Fenwick\n\n";
inline const std::string kReading = "Reading rcbox.txt file\n";
inline const std::string kAskList = "Enter the name of a new or existing wavefile list:\n";
inline const std::string kNewList = "Creating a new list: tlist.txt\n";
inline const std::string kOpenedList = "Opening existing list: tlist.txt\n";
inline const std::string kAskC = "Enter 'c' to continue\n";
inline const std::string kTypeH = "Type h at any time to get a list of commands\n";
inline const std::string kSaving = "Saving list and parameters\n";
inline const std::string kAskDuration = "Enter the length of recording time in seconds:\n";
inline const std::string kTakeMenu =
    "\n1 = save recording and return\n2 = continue recording\n3 = redo last take\n"
    "4 = delete last take and return\n5 = play last take\n";
// The report after a take of Capture16 data, and one take of 0.05 s at 44100 Hz
// (2205 planned frames, one block of 4096).
inline const std::string kPeaks = "\n\nChannel 1 peak = -6.02 dB\nChannel 2 peak = -20.00 dB\n";
inline const std::string kTake005 = "Recording...\n\rRemaining 0.05 sec" + kPeaks + kTakeMenu;

// Console texts that several transcripts share: the help summary, and the menu shown
// for a recording target that exists.
std::string HelpText();
std::string ExistsMenuText(const std::string& name);

// The recording parameters as start-up shows them.
std::string ParamsBlock(int channels, const std::string& rate, int bits, const std::string& device,
                        const std::string& file);
// Start-up with a settings file: banner, parameters, the list message and the help hint.
std::string Start(const std::string& listMessage, const std::string& file = "",
                  const std::string& device = "tbtest", int rate = 44100, int bits = 16,
                  int channels = 2);
// The menu of "u" with the values it shows.
std::string SettingsMenu(const std::string& rate, int bits, int channels, const std::string& device);
// The values shown before each command word, and with the track list (`tracks` already
// formatted as "\t1 a.wav\n"...) before them.
std::string Values(const std::string& in = "0.00", const std::string& out = "0.00",
                   const std::string& dur = "0.00", const std::string& name = "");
std::string Show(const std::string& tracks, const std::string& in = "0.00",
                 const std::string& out = "0.00", const std::string& dur = "0.00",
                 const std::string& name = "");
// The clock text of a playback whose chunks begin at the given times (two decimals).
std::string Clock(const std::vector<std::string>& times);

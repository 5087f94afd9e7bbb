#include "tests/e2e.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstddef>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::vector<std::string> gTempDirs;

// Removes the directories this test process made, unless they are asked to be kept
// for a look after a failure (TAKEBOX_KEEP_TEST_DIRS=1).
void RemoveTempDirs()
{
    const char* keep = getenv("TAKEBOX_KEEP_TEST_DIRS");
    if (keep != nullptr && keep[0] == '1')
        return;
    for (const std::string& dir : gTempDirs)
        if (system(("rm -rf '" + dir + "'").c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir.c_str());
}

}  // namespace

std::string MakeTempDir()
{
    return MakeTempDirIn("/tmp");
}

std::string MakeMemoryDir(uint64_t bytes)
{
    struct statvfs fs;
    if (statvfs("/dev/shm", &fs) != 0 || static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize < bytes)
        return "";
    return MakeTempDirIn("/dev/shm");
}

std::string MakeTempDirIn(const std::string& parent)
{
    std::string tmpl = parent + "/takebox-test-XXXXXX";
    char* dir = mkdtemp(&tmpl[0]);
    if (dir == nullptr) {
        perror("mkdtemp");
        abort();
    }
    if (gTempDirs.empty())
        atexit(RemoveTempDirs);
    gTempDirs.push_back(dir);
    return dir;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string Shell(const std::string& cmd, bool* ok)
{
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) {
        if (ok)
            *ok = false;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    if (ok)
        *ok = rc == 0;
    return out;
}

RunResult RunTakebox(const std::string& dir, const std::string& input,
                     const std::string& shellPrefix, const std::string& wrapper, int seconds)
{
    // Standard output and error go through pipes to files written by processes outside
    // the subshell, so limits set by the prefix (ulimit -f) bind the program alone.
    WriteFile(dir + "/.stdin", input);
    std::string script = "cd '" + dir + "' || exit 1\n"
                         "( " + shellPrefix + "\n"
                         "  export ALSA_CONFIG_PATH=${TAKEBOX_SERVER_ALSA:-" TAKEBOX_SYSTEM_ALSA_CONF ":" TAKEBOX_ALSA_CONF "}\n"
                         "  exec timeout -s KILL " + std::to_string(seconds) + " " + wrapper + " " TAKEBOX_EMULATOR " " TAKEBOX_BIN " ) < .stdin 2> >(cat > .stderr) | cat > .stdout\n"
                         "echo \"${PIPESTATUS[0]}\" > .status\n"
                         "wait\n";
    WriteFile(dir + "/.script", script);
    int rc = system(("bash '" + dir + "/.script'").c_str());
    RunResult result;
    result.out = ReadFile(dir + "/.stdout");
    result.err = ReadFile(dir + "/.stderr");
    std::string status = ReadFile(dir + "/.status");
    result.status = (rc != -1 && !status.empty()) ? atoi(status.c_str()) : -1;
    for (const char* name : {"/.stdin", "/.stdout", "/.stderr", "/.status", "/.script"})
        remove((dir + name).c_str());
    return result;
}

std::string SettingsText(const std::string& device, unsigned rate, unsigned bits, int channels,
                         const std::string& in, const std::string& out, const std::string& dur,
                         const std::string& list, const std::string& name)
{
    std::string s = "dv\t" + device + "\nsr\t" + std::to_string(rate) + "\nbits\t" +
                    std::to_string(bits) + "\nch\t" + std::to_string(channels) + "\ni\t" + in +
                    "\no\t" + out + "\nd\t" + dur + "\n";
    if (!list.empty())
        s += "tlist\t" + list + "\n";
    if (!name.empty())
        s += "rname\t" + name + "\n";
    return s;
}

void WriteSettings(const std::string& dir, unsigned rate, unsigned bits, int channels,
                   float in, float out, float duration, const std::string& recordName,
                   const std::string& device)
{
    auto value = [](float v) {
        char text[64];
        snprintf(text, sizeof text, "%.3f", v);
        return std::string(text);
    };
    WriteFile(dir + "/rcbox.txt", SettingsText(device, rate, bits, channels, value(in), value(out),
                                               value(duration), "tlist.txt", recordName));
}

Session NewSession(float duration, const std::string& recordName, const std::string& list,
                   unsigned rate, unsigned bits, int channels, const std::string& device, float out)
{
    Session s;
    s.dir = MakeTempDir();
    WriteSettings(s.dir, rate, bits, channels, 0, out, duration, recordName, device);
    if (!list.empty())
        WriteFile(s.dir + "/tlist.txt", list);
    s.capture = Capture16(44100 * 12, 7);
    WriteFile(s.dir + "/capture.raw", s.capture);
    return s;
}

std::string Le16(uint16_t v)
{
    std::string s(2, '\0');
    s[0] = static_cast<char>(v & 0xff);
    s[1] = static_cast<char>(v >> 8);
    return s;
}

Timeline TimelineOf(const std::string& data, uint32_t width)
{
    Timeline t;
    const size_t frameBytes = 2 * static_cast<size_t>(width);
    uint64_t first = 0;
    uint64_t last = 0;
    bool seen = false;
    bool inZeros = false;
    for (size_t at = 0; at + frameBytes <= data.size(); at += frameBytes, t.frames++) {
        // Channel c carries bits 16c to 16c + 15 of the index in the top 16 bits of its sample.
        uint64_t index = 0;
        for (size_t c = 2; c-- > 0;) {
            const size_t top = at + (c + 1) * width - 2;
            const uint64_t bits = static_cast<uint8_t>(data[top]) |
                                  static_cast<uint64_t>(static_cast<uint8_t>(data[top + 1])) << 8;
            index = index << 16 | bits;
        }
        if (index == 0) {
            t.zeros++;
            t.zeroRuns += inZeros ? 0 : 1;
            inZeros = true;
            continue;
        }
        inZeros = false;
        if (!seen)
            first = index - t.frames;  // where the take's first frame would stand
        else if (index <= last)
            t.rising = false;
        seen = true;
        last = index;
        const uint64_t place = first + t.frames;
        const uint64_t shift = index > place ? index - place : place - index;
        t.shift = shift > t.shift ? shift : t.shift;
    }
    return t;
}

std::string Le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xff);
    return s;
}

std::string WavHeader(uint32_t rate, uint32_t channels, uint32_t bits, uint32_t dataBytes)
{
    uint32_t bytes = bits / 8;
    return "RIFF" + Le32(dataBytes + 36) + "WAVEfmt " + Le32(16) + Le16(1) +
           Le16(static_cast<uint16_t>(channels)) + Le32(rate) + Le32(rate * channels * bytes) +
           Le16(static_cast<uint16_t>(channels * bytes)) + Le16(static_cast<uint16_t>(bits)) +
           "data" + Le32(dataBytes);
}

std::string Doubled(const std::string& mono, uint32_t width)
{
    std::string s;
    for (size_t i = 0; i + width <= mono.size(); i += width)
        s += mono.substr(i, width) + mono.substr(i, width);
    return s;
}

std::string Pattern(uint32_t bytes, uint32_t seed)
{
    std::string s(bytes, '\0');
    uint32_t x = seed * 2654435761u + 12345u;
    for (uint32_t i = 0; i < bytes; i++) {
        x = x * 1664525u + 1013904223u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

std::string Capture16(uint32_t frames, uint32_t seed)
{
    std::string noise = Pattern(frames * 4, seed);
    std::string data(frames * 4, '\0');
    for (uint32_t i = 0; i < frames; i++) {
        for (uint32_t c = 0; c < 2; c++) {
            uint32_t r = static_cast<uint8_t>(noise[i * 4 + c * 2]) |
                         static_cast<uint32_t>(static_cast<uint8_t>(noise[i * 4 + c * 2 + 1])) << 8;
            int32_t v = static_cast<int32_t>(r % 2001) - 1000;
            if (i % 4096 == 100)
                v = c == 0 ? 16384 : -3277;
            data.replace(i * 4 + c * 2, 2, Le16(static_cast<uint16_t>(v)));
        }
    }
    return data;
}

std::string HelpText()
{
    return "\nList Commands\n\n   'l' to hide or show track list\n   'L' to reload track list from file\n"
           "   '-' to remove a track from the list\n\nRecording Commands\n\n   'r' to record\n"
           "   'd' to set recording duration\n   'f' to enter filename for recording\n"
           "   'F' to select file in list to record to\n   'u' to adjust recording hardware settings\n"
           "   'm' to show the input level meter\n"
           "\nPlayback Commands\n\n   'p' to play a track, or 2p for track 2, etc\n"
           "   'a' to play all playlist tracks in order\n   'i' to set in point of playback\n"
           "   'o' to set out point of playback\n   'j' to jump forward: out-point becomes in-point\n"
           "   'J' to jump backward: in-point becomes out-point\n   't' to check attributes of files in list\n"
           "\n   's' to save file list and settings\n   'q' to quit and save\n"
           "   'x' to exit without saving list or parameters\n";
}

std::string ExistsMenuText(const std::string& name)
{
    return name + " exists\n1 = erase and record over " + name + "\n2 = enter a different name\n3 = play " +
           name + "\n4 = record at the end of " + name + "\n5 = return without recording\n";
}

std::string ParamsBlock(int channels, const std::string& rate, int bits, const std::string& device,
                        const std::string& file)
{
    return "-----------------------------\nCurrent Recording Parameters:\n"
           "   Channels: " + std::to_string(channels) + "\n   Sample rate: " + rate +
           "\n   Bits: " + std::to_string(bits) + "\n   Device: " + device + "\n   File: " + file +
           "\n-----------------------------\n\n";
}

std::string Start(const std::string& listMessage, const std::string& file, const std::string& device,
                  int rate, int bits, int channels)
{
    return kBanner + kReading + ParamsBlock(channels, std::to_string(rate), bits, device, file) +
           listMessage + kTypeH;
}

std::string SettingsMenu(const std::string& rate, int bits, int channels, const std::string& device)
{
    return "Record Settings\n1 = change samplerate: " + rate + "\n2 = toggle bit depth: " +
           std::to_string(bits) + "\n3 = toggle channels: " + std::to_string(channels) +
           "\n4 = change soundcard: " + device + "\n5 = done\n";
}

std::string Values(const std::string& in, const std::string& out, const std::string& dur,
                   const std::string& name)
{
    return "Playback:\tIn " + in + "\t\tOut " + out + "\nRecording: \tDur " + dur +
           "\tFilename: " + name + "\n";
}

std::string Show(const std::string& tracks, const std::string& in, const std::string& out,
                 const std::string& dur, const std::string& name)
{
    return "\nTrack List:\n" + tracks + "\n" + Values(in, out, dur, name);
}

std::string Clock(const std::vector<std::string>& times)
{
    std::string s;
    for (const std::string& t : times)
        s += "\rclock = " + t + " sec";
    return s;
}

namespace {

double Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// In the child: the program through the emulator (a command line of words), with the
// signals as a shell leaves them for a foreground job.
[[noreturn]] void ExecTakebox(const std::string& dir)
{
    if (chdir(dir.c_str()) != 0)
        _exit(127);
    setenv("ALSA_CONFIG_PATH", TAKEBOX_SYSTEM_ALSA_CONF ":" TAKEBOX_ALSA_CONF, 1);
    for (int sig : {SIGINT, SIGHUP, SIGTERM, SIGPIPE, SIGTTOU, SIGTTIN})
        signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::vector<std::string> words;
    std::istringstream emulator(TAKEBOX_EMULATOR);
    for (std::string w; emulator >> w;)
        words.push_back(w);
    words.push_back(TAKEBOX_BIN);
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Reads what output is there, waiting at most `timeout` ms: 1 read some, 0 none came,
// -1 the output has ended.
int ReadSome(LiveRun* run, int timeout)
{
    struct pollfd p = {run->output, POLLIN, 0};
    const int ready = poll(&p, 1, timeout);
    if (ready == 0 || (ready < 0 && errno == EINTR))
        return 0;
    char buf[4096];
    const ssize_t n = read(run->output, buf, sizeof buf);
    if (n > 0) {
        run->out.append(buf, static_cast<size_t>(n));
        return 1;
    }
    return n < 0 && errno == EINTR ? 0 : -1;  // a terminal gives EIO once the program has gone
}

}  // namespace

std::string OtherUser(const std::string& dir)
{
    const std::string wrapper = "setpriv --reuid=65534 --regid=65534 --clear-groups";
    bool ok = false;
    Shell("[ \"$(id -u)\" = 0 ] && command -v setpriv >/dev/null && " + wrapper +
              " sh -c 'test -x \"$1\" && test -r \"$2\" && test -r \"$3/rcbox.txt\"' sh " TAKEBOX_BIN
              " " TAKEBOX_ALSA_CONF " '" + dir + "'",
          &ok);
    return ok ? wrapper : "";
}

bool HavePseudoTerminals()
{
    const int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0)
        return false;
    const bool usable = grantpt(fd) == 0 && unlockpt(fd) == 0 && ptsname(fd) != nullptr &&
                        access(ptsname(fd), F_OK) == 0;
    close(fd);
    return usable;
}

bool StartLive(LiveRun* run, const std::string& dir, bool terminal)
{
    signal(SIGPIPE, SIG_IGN);  // typing to a program that has ended must not end the test
    run->dir = dir;
    if (terminal) {
        int master = -1;
        const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
        if (pid < 0)
            return false;
        if (pid == 0) {
            struct termios t;
            tcgetattr(STDIN_FILENO, &t);
            t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            t.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
            tcsetattr(STDIN_FILENO, TCSANOW, &t);
            ExecTakebox(dir);
        }
        run->pid = pid;
        run->input = master;
        run->output = master;
        return true;
    }
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0)
        return false;
    const pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int err = open((dir + "/.stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1], err})
            close(fd);
        ExecTakebox(dir);
    }
    close(in[0]);
    close(out[1]);
    run->pid = pid;
    run->input = in[1];
    run->output = out[0];
    return true;
}

bool WaitFor(LiveRun* run, const std::string& text, int seconds)
{
    const double end = Now() + seconds;
    for (;;) {
        const size_t at = run->out.find(text, run->seen);
        if (at != std::string::npos) {
            run->seen = at + text.size();
            return true;
        }
        if (Now() > end || ReadSome(run, 100) < 0)
            return false;
    }
}

void Type(LiveRun* run, const std::string& text)
{
    if (write(run->input, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fprintf(stderr, "could not type to the program\n");
}

void SendSignal(LiveRun* run, int signal)
{
    kill(run->pid, signal);
}

void HangUp(LiveRun* run)
{
    if (run->input >= 0)
        close(run->input);
    run->input = -1;
    run->output = -1;
}

int FinishLive(LiveRun* run, int seconds)
{
    const bool terminal = run->input == run->output;
    const double end = Now() + seconds;
    int status = 0;
    pid_t done = 0;
    bool open = true;
    while ((done = waitpid(run->pid, &status, WNOHANG)) == 0) {
        if (Now() > end) {
            kill(run->pid, SIGKILL);
            waitpid(run->pid, &status, 0);
            done = -1;
            break;
        }
        if (open)
            open = ReadSome(run, 100) >= 0;
        else
            usleep(10000);
    }
    while (open && ReadSome(run, 0) > 0) {
    }
    if (!terminal)
        close(run->input);
    close(run->output);
    run->input = -1;
    run->output = -1;
    if (!terminal)
        run->err = ReadFile(run->dir + "/.stderr");
    run->pid = -1;
    return done > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

LiveRun::~LiveRun()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (input >= 0 && input != output)
        close(input);
    if (output >= 0)
        close(output);
}

bool WriteIndexFrames(const std::string& path, uint32_t frames)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    std::vector<uint8_t> chunk(1 << 20);
    bool ok = true;
    for (uint32_t at = 0; at < frames && ok;) {
        const uint32_t n = frames - at < chunk.size() / 4 ? frames - at : chunk.size() / 4;
        for (uint32_t i = 0; i < n; i++, at++)
            for (int b = 0; b < 4; b++)
                chunk[4 * i + b] = static_cast<uint8_t>(at >> (8 * b));
        ok = fwrite(chunk.data(), 4, n, f) == n;
    }
    return fclose(f) == 0 && ok;
}

uint32_t CheckIndexFrames(const std::string& path, uint32_t first, uint32_t frames)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr || fseek(f, 44, SEEK_SET) != 0)
        return 0;
    std::vector<uint8_t> chunk(1 << 20);
    uint32_t at = 0;
    while (at < frames) {
        const size_t got = fread(chunk.data(), 4, chunk.size() / 4, f);
        if (got == 0)
            break;
        for (size_t i = 0; i < got && at < frames; i++, at++) {
            const uint32_t index = chunk[4 * i] | chunk[4 * i + 1] << 8 | chunk[4 * i + 2] << 16 |
                                   static_cast<uint32_t>(chunk[4 * i + 3]) << 24;
            if (index != first + at) {
                fclose(f);
                return at;
            }
        }
    }
    const bool atEnd = fgetc(f) == EOF;  // nothing behind the frames
    fclose(f);
    return atEnd ? at : 0;
}


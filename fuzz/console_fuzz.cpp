// libFuzzer target for the whole program: the input is what the user types. Each input
// runs start-up, the command loop and shutdown in a private working directory that holds
// a settings file naming the virtual device "tbtest" of the tests (playback into
// play.raw, capture from capture.raw), two short WAV files and a list naming them. The
// directory is set back to these files before every input; play.raw is a link to
// /dev/null. An input may bring its own settings file (see LLVMFuzzerTestOneInput).
//
// Every input ends within a bounded time:
// - one command's recording or playback is bounded by a file-size limit: a take ends at
//   its first write past the limit (SIGXFSZ is ignored, so the write fails with EFBIG),
//   and the files that can be played are the short seed files or takes cut by the limit;
// - an input of many such commands is bounded by a processor-time budget, after which
//   the session ends as after a termination request: the take or playback in hand stops,
//   every read is the end of input, and the program finishes the command it is in and
//   leaves.
//
// The program writes wherever the input names a file ("../x", "/x"). Where the kernel
// offers Landlock, this process may write only beneath TMPDIR (the private directory is
// there), beneath the corpus and artifact directories given to libFuzzer, and /dev/null.
#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "console/console.h"
#include "term/term.h"

#ifndef TAKEBOX_ALSA_CONF
#error "TAKEBOX_ALSA_CONF names tests/alsa/takebox-test.conf"
#endif

namespace {

constexpr rlim_t kFileSizeLimit = 128u << 10;  // bytes of any one file the program writes
constexpr int kInputSeconds = 1;               // processor time before input ends

int gHome = -1;     // the directory the fuzzer was started in
int gDevNull = -1;  // read end for standard input once the budget is spent

// The working directory is three levels below the private directory, so that names
// going up with ".." still land in directories of this target, which are cleared too.
std::string gBase;                    // private directory, holds the input file
std::vector<std::string> gLevels;     // gBase/a, gBase/a/b, gBase/a/b/work (working dir)
std::string gInputPath;

struct SeedFile {
    const char* name;
    std::string bytes;
};
std::vector<SeedFile> gSeeds;

std::string Le16(uint32_t v)
{
    return std::string{static_cast<char>(v & 0xffu), static_cast<char>((v >> 8) & 0xffu)};
}

std::string Le32(uint32_t v)
{
    return Le16(v & 0xffffu) + Le16(v >> 16);
}

// A PCM WAV file of `frames` frames of a pattern.
std::string Wav(uint32_t rate, uint32_t channels, uint32_t bits, uint32_t frames)
{
    const uint32_t frameBytes = channels * bits / 8;
    const uint32_t dataBytes = frames * frameBytes;
    std::string s = "RIFF" + Le32(36 + dataBytes) + "WAVEfmt " + Le32(16) + Le16(1) +
                    Le16(channels) + Le32(rate) + Le32(rate * frameBytes) + Le16(frameBytes) +
                    Le16(bits) + "data" + Le32(dataBytes);
    for (uint32_t i = 0; i < dataBytes; i++)
        s += static_cast<char>((i * 37u + i / 256u) & 0xffu);
    return s;
}

// Removes every entry of `dir` but `keep`.
void ClearDirectory(const std::string& dir, const char* keep)
{
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        abort();
    std::vector<std::string> names;
    while (const dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        if (keep != nullptr && strcmp(e->d_name, keep) == 0)
            continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    for (const std::string& name : names) {
        const std::string path = dir + "/" + name;
        if (remove(path.c_str()) != 0)
            abort();  // the program makes no directories: everything here is a file
    }
}

void WriteFile(const std::string& path, const void* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        abort();
    if (size > 0 && fwrite(data, 1, size, f) != size)
        abort();
    if (fclose(f) != 0)
        abort();
}

void ResetFiles()
{
    ClearDirectory(gBase, "a");
    ClearDirectory(gLevels[0], "b");
    ClearDirectory(gLevels[1], "work");
    ClearDirectory(gLevels[2], nullptr);
    for (const SeedFile& seed : gSeeds)
        WriteFile(gLevels[2] + "/" + seed.name, seed.bytes.data(), seed.bytes.size());
    // Playback output is thrown away: ALSA's file plugin asserts in its drain when a
    // write to its output file failed, as one past the file-size limit would.
    if (symlink("/dev/null", (gLevels[2] + "/play.raw").c_str()) != 0)
        abort();
}

void RemoveAll()
{
    ClearDirectory(gLevels[2], nullptr);
    ClearDirectory(gLevels[1], nullptr);
    ClearDirectory(gLevels[0], nullptr);
    ClearDirectory(gBase, nullptr);
    rmdir(gLevels[2].c_str());
    rmdir(gLevels[1].c_str());
    rmdir(gLevels[0].c_str());
    rmdir(gBase.c_str());
}

// The budget is spent: the session ends as a termination request ends it (the program's
// console reader then reads nothing more, whatever it holds), and standard input reads as
// at its end.
// Only a flag and dup2, both async-signal-safe.
void EndInput(int)
{
    RaiseSessionEnd();
    dup2(gDevNull, STDIN_FILENO);
}

void SetBudget(int seconds)
{
    struct itimerval t = {};
    t.it_value.tv_sec = seconds;
    if (setitimer(ITIMER_PROF, &t, nullptr) != 0)
        abort();
}

// Write access for the Landlock rules: everything that creates, changes or removes a file.
uint64_t WriteAccess(int abi)
{
    uint64_t access = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                      LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_CHAR |
                      LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_MAKE_REG |
                      LANDLOCK_ACCESS_FS_MAKE_SOCK | LANDLOCK_ACCESS_FS_MAKE_FIFO |
                      LANDLOCK_ACCESS_FS_MAKE_BLOCK | LANDLOCK_ACCESS_FS_MAKE_SYM;
#ifdef LANDLOCK_ACCESS_FS_REFER
    if (abi >= 2)
        access |= LANDLOCK_ACCESS_FS_REFER;
#endif
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
    if (abi >= 3)
        access |= LANDLOCK_ACCESS_FS_TRUNCATE;
#endif
    return access;
}

// Allows writing beneath `path` (a directory, or a single file). Missing paths are skipped.
void AllowWrite(int ruleset, const std::string& path, uint64_t access)
{
    const int fd = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        struct landlock_path_beneath_attr rule = {};
        rule.parent_fd = fd;
        rule.allowed_access = S_ISDIR(st.st_mode)
                                  ? access
                                  : access & (LANDLOCK_ACCESS_FS_WRITE_FILE
#ifdef LANDLOCK_ACCESS_FS_TRUNCATE
                                              | LANDLOCK_ACCESS_FS_TRUNCATE
#endif
                                             );
        if (syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0)
            abort();
    }
    close(fd);
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Confines this process's writes (see the top of the file). Without Landlock the target
// runs unconfined, with a warning.
void ConfineWrites(int argc, char** argv, const std::string& tmp)
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                             LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) {
        fprintf(stderr, "console_fuzz: no Landlock here; the program's writes are not confined\n");
        return;
    }
    const uint64_t access = WriteAccess(static_cast<int>(abi));
    struct landlock_ruleset_attr attr = {};
    attr.handled_access_fs = access;
    // Only the first field: every ABI version knows it.
    const int ruleset = static_cast<int>(
        syscall(SYS_landlock_create_ruleset, &attr, sizeof attr.handled_access_fs, 0));
    if (ruleset < 0)
        abort();
    AllowWrite(ruleset, tmp, access);
    AllowWrite(ruleset, "/dev/null", access);
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg.rfind("-artifact_prefix=", 0) == 0) {
            const std::string prefix = arg.substr(strlen("-artifact_prefix="));
            AllowWrite(ruleset, !prefix.empty() && prefix.back() == '/' ? prefix : Parent(prefix),
                       access);
        } else if (arg.rfind("-exact_artifact_path=", 0) == 0) {
            AllowWrite(ruleset, Parent(arg.substr(strlen("-exact_artifact_path="))), access);
        } else if (arg.rfind("-", 0) != 0) {
            AllowWrite(ruleset, arg, access);  // a corpus directory (or an input file)
        }
    }
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_landlock_restrict_self, ruleset, 0) != 0)
        abort();
    close(ruleset);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // The virtual devices of the tests, loaded after the system configuration, before
    // anything reaches ALSA.
    if (setenv("ALSA_CONFIG_PATH", "/usr/share/alsa/alsa.conf:" TAKEBOX_ALSA_CONF, 1) != 0)
        abort();

    // TMPDIR may name a memory file system (/dev/shm) for speed.
    const char* tmpEnv = getenv("TMPDIR");
    const std::string tmp = tmpEnv != nullptr && *tmpEnv != '\0' ? tmpEnv : "/tmp";
    std::string tmpl = tmp + "/takebox-console-fuzz-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr)
        abort();
    gBase = tmpl;
    gLevels = {gBase + "/a", gBase + "/a/b", gBase + "/a/b/work"};
    for (const std::string& level : gLevels)
        if (mkdir(level.c_str(), 0700) != 0)
            abort();
    gInputPath = gBase + "/input";
    atexit(RemoveAll);

    std::string capture;
    for (uint32_t i = 0; i < 24576; i++)
        capture += static_cast<char>((i * 13u) & 0xffu);
    gSeeds = {
        {"rcbox.txt",
         "dv\ttbtest\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.050\n"
         "tlist\ttlist.txt\nrname\tnew.wav\n"},
        {"tlist.txt", "stereo16.wav\nmono24.wav\nmissing.wav\n"},
        {"stereo16.wav", Wav(44100, 2, 16, 4410)},
        {"mono24.wav", Wav(48000, 1, 24, 2400)},
        {"capture.raw", capture},
    };
    // The fuzzer's own paths stay relative to where it was started: each input runs in
    // the working directory and comes back.
    gHome = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    gDevNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (gHome < 0 || gDevNull < 0)
        abort();

    // Any one file the program writes (takes, play.raw, lists) stops growing at the limit.
    struct rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0)
        abort();
    limit.rlim_cur = kFileSizeLimit;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        abort();

    struct sigaction budget = {};
    budget.sa_handler = EndInput;
    budget.sa_flags = SA_RESTART;
    sigemptyset(&budget.sa_mask);
    if (sigaction(SIGPROF, &budget, nullptr) != 0)
        abort();

    ConfineWrites(*argc, *argv, tmp);

    // The console output is not looked at; TAKEBOX_FUZZ_SHOW=1 keeps it, to follow what
    // an input does when it is run on its own.
    const char* show = getenv("TAKEBOX_FUZZ_SHOW");
    if ((show == nullptr || strcmp(show, "1") != 0) && freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A write past the file-size limit fails with EFBIG instead of ending the process.
    // Set here, since libFuzzer installs its own handler after LLVMFuzzerInitialize.
    signal(SIGXFSZ, SIG_IGN);
    ResetFiles();
    // An input that begins with a zero byte brings its own settings file: the bytes up to
    // the next zero byte (none: no settings file at all, so start-up asks for a list),
    // and the rest is what the user types.
    if (size > 0 && data[0] == 0) {
        const uint8_t* end = static_cast<const uint8_t*>(memchr(data + 1, 0, size - 1));
        const size_t settings = end == nullptr ? size - 1 : static_cast<size_t>(end - data) - 1;
        const std::string path = gLevels[2] + "/rcbox.txt";
        if (settings == 0)
            remove(path.c_str());
        else
            WriteFile(path, data + 1, settings);
        const size_t skip = end == nullptr ? size : settings + 2;
        data += skip;
        size -= skip;
    }
    WriteFile(gInputPath, data, size);
    if (freopen(gInputPath.c_str(), "r", stdin) == nullptr)
        abort();
    clearerr(stdin);
    // The program reads standard input through its own buffer, which RunTakebox empties
    // at its start; the end of the last input's session is forgotten here.
    ResetStopFlags();
    if (chdir(gLevels[2].c_str()) != 0)
        abort();

    // The program's two tables, as main has them.
    static char trackTable[kTableBytes];
    static char listText[kTableBytes + 1];
    AppState state;
    InitAppState(&state, trackTable, listText);
    SetBudget(kInputSeconds);
    const int status = RunTakebox(&state);
    SetBudget(0);
    if (status != 0)
        abort();
    if (fchdir(gHome) != 0)
        abort();
    return 0;
}

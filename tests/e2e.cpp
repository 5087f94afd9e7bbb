#include "tests/e2e.h"

#include <sys/stat.h>

#include <cstdio>
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
    char tmpl[] = "/tmp/takebox-test-XXXXXX";
    char* dir = mkdtemp(tmpl);
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

RunResult RunTakebox(const std::string& dir, const std::string& input,
                     const std::string& shellPrefix)
{
    // Standard output and error go through pipes to files written by processes outside
    // the subshell, so limits set by the prefix (ulimit -f) bind the program alone.
    WriteFile(dir + "/.stdin", input);
    std::string script = "cd '" + dir + "' || exit 1\n"
                         "( " + shellPrefix + "\n"
                         "  export ALSA_CONFIG_PATH=/usr/share/alsa/alsa.conf:" TAKEBOX_ALSA_CONF "\n"
                         "  exec timeout -s KILL 60 " TAKEBOX_EMULATOR " " TAKEBOX_BIN " ) < .stdin 2> >(cat > .stderr) | cat > .stdout\n"
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

void WriteSettings(const std::string& dir, unsigned rate, unsigned bits, int channels,
                   float in, float out, float duration, const std::string& recordName,
                   const std::string& device)
{
    char text[1024];
    snprintf(text, sizeof text, "dv\t%s\nsr\t%u\nbits\t%u\nch\t%i\ni\t%.3f\no\t%.3f\nd\t%.3f\ntlist\ttlist.txt\n",
             device.c_str(), rate, bits, channels, in, out, duration);
    std::string all = text;
    if (!recordName.empty())
        all += "rname\t" + recordName + "\n";
    WriteFile(dir + "/rcbox.txt", all);
}

std::string Le16(uint16_t v)
{
    std::string s(2, '\0');
    s[0] = static_cast<char>(v & 0xff);
    s[1] = static_cast<char>(v >> 8);
    return s;
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

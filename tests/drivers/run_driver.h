// Runs the audio engine's test driver (one PLAY or RECORD call) in a directory with the
// virtual ALSA devices, scripted standard input and an optional shell prefix, and reads
// back what it printed and returned.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "tests/e2e.h"

struct DriverRun {
    std::string out;     // whole standard output
    std::string err;     // whole standard error
    int status;          // exit status of the driver, -1 when it did not exit normally
    std::string result;  // the engine's result as printed by the driver ("" when none)
};

inline std::string ShellQuote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

// The device "tbrefuse": "tbtest" with every hardware-parameter install refused by the
// hook module built with the tests (ALSA needs the module's absolute path).
inline void WriteHookConf(const std::string& dir)
{
    WriteFile(dir + "/.hooks.conf",
              "pcm.tbrefuse {\n"
              "    type hooks\n"
              "    slave.pcm \"tbtest\"\n"
              "    hooks.0 { type \"tbrefuse\" }\n"
              "}\n"
              "pcm_hook_type.tbrefuse {\n"
              "    install \"takebox_refuse_install\"\n"
              "    lib \"" TAKEBOX_REFUSE_HOOK "\"\n"
              "}\n");
}

// A shell suffix runs after the driver's command line: one that starts with "&" runs it
// in the background (the pid in $! is that of `timeout`, whose child is the driver, or
// the emulator that runs it) and must end by waiting for it.
inline DriverRun RunDriver(const std::string& dir, const std::vector<std::string>& args,
                           const std::string& input = "", const std::string& shellPrefix = "",
                           const std::string& shellSuffix = "")
{
    WriteHookConf(dir);
    WriteFile(dir + "/.stdin", input);
    remove((dir + "/driver.result").c_str());
    std::string cmd = "cd " + ShellQuote(dir) + " && { " + shellPrefix +
                      " ALSA_CONFIG_PATH=" TAKEBOX_SYSTEM_ALSA_CONF ":" TAKEBOX_ALSA_CONF ":" +
                      ShellQuote(dir + "/.hooks.conf") + " timeout -s KILL 60 " TAKEBOX_EMULATOR " " TAKEBOX_AUDIO_DRIVER;
    for (const std::string& a : args)
        cmd += " " + ShellQuote(a);
    cmd += " < .stdin > .stdout 2> .stderr" + shellSuffix + "; }";
    const int rc = system(cmd.c_str());
    DriverRun run;
    run.out = ReadFile(dir + "/.stdout");
    run.err = ReadFile(dir + "/.stderr");
    run.status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
    run.result = ReadFile(dir + "/driver.result");
    if (!run.result.empty() && run.result.back() == '\n')
        run.result.pop_back();
    remove((dir + "/.stdin").c_str());
    remove((dir + "/.stdout").c_str());
    remove((dir + "/.stderr").c_str());
    return run;
}

// The last line of a text (libasound prints its own diagnostics before ours on stderr).
inline std::string LastLine(const std::string& text)
{
    if (text.empty())
        return text;
    const size_t end = text.size() - (text.back() == '\n' ? 1 : 0);
    const size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1);
}

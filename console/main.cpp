// Takebox: record and play WAV files from the console.
#include <csignal>

#include "console/console.h"
#include "term/term.h"

namespace {

void OnStopKey(int)
{
    RaiseStopKey();
}

void OnHangup(int)
{
    RaiseHangup();
}

void OnSessionEnd(int)
{
    RaiseSessionEnd();
}

// SA_RESTART keeps file writes and ALSA's own reads from being cut short; the loops test
// the flags between blocks, and the console's reader waits where the signals end it.
// A hangup or Ctrl-C that was ignored when the program started (nohup, a job started in
// the background) stays ignored.
void Catch(int signal, void (*handler)(int), bool keepIgnored)
{
    struct sigaction now = {};
    if (keepIgnored && sigaction(signal, nullptr, &now) == 0 && now.sa_handler == SIG_IGN)
        return;
    struct sigaction act = {};
    act.sa_handler = handler;
    act.sa_flags = SA_RESTART;
    sigemptyset(&act.sa_mask);
    sigaction(signal, &act, nullptr);
}

void InstallSignalHandlers()
{
    Catch(SIGINT, OnStopKey, true);
    Catch(SIGHUP, OnHangup, true);
    Catch(SIGTERM, OnSessionEnd, false);
    // A console that is gone must not end the program before it has saved.
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main()
{
    InstallSignalHandlers();
    // The two tables live for the whole run; the text buffer has a spare terminator byte.
    static char trackTable[kTableBytes];
    static char listText[kTableBytes + 1];
    AppState state;
    InitAppState(&state, trackTable, listText);
    // One Takebox per working directory: a second copy says so and touches nothing. When
    // the first records on after its terminal hung up, the second shows that take and can
    // stop it.
    if (!LockWorkingDirectory()) {
        WatchDetachedTake();
        return 0;
    }
    return RunTakebox(&state);
}

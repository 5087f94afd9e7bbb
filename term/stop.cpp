// The stop key and the end of a session. Ctrl-C asks the running take or playback to
// stop, or ends the one read that waits for a word; a hangup or a termination request
// does the same and, from then on, every read is the end of input. The signal handlers
// only raise these flags; the loops test them between blocks and chunks.
#include "term/term.h"

#include <pthread.h>

#include <csignal>

namespace {

volatile sig_atomic_t gStopKey = 0;     // Ctrl-C not yet acted on
volatile sig_atomic_t gSessionEnd = 0;  // SIGHUP or SIGTERM seen

}  // namespace

int StopPending()
{
    return gStopKey != 0 || gSessionEnd != 0;
}

int SessionEnded()
{
    return gSessionEnd != 0;
}

void ClearStopKey()
{
    gStopKey = 0;
}

void RaiseStopKey()
{
    gStopKey = 1;
}

void RaiseSessionEnd()
{
    gSessionEnd = 1;
}

void ResetStopFlags()
{
    gStopKey = 0;
    gSessionEnd = 0;
}

void BlockStopSignals(sigset_t* before)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, before);
}

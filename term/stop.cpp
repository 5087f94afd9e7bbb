// The stop key and the end of a session. Ctrl-C asks the running take or playback to
// stop, or ends the one read that waits for a word; a hangup or a termination request
// does the same and, from then on, every read is the end of input. A take is the one
// exception: a dropped connection is no decision, so a hangup lets it record to its end.
// The signal handlers only raise these flags; the loops test them between blocks and
// chunks.
#include "term/term.h"

#include <pthread.h>

#include <atomic>
#include <csignal>

namespace {

volatile sig_atomic_t gStopKey = 0;    // Ctrl-C not yet acted on
volatile sig_atomic_t gTerminate = 0;  // SIGTERM seen
volatile sig_atomic_t gHangup = 0;     // SIGHUP seen
// Not set by a signal handler: the capture thread sets them, and the writer thread reads
// them through StopPending.
std::atomic<int> gTakeStop{0};    // a later copy asked the detached take to stop
std::atomic<int> gRecording{0};   // a take is recording: a hangup does not stop it

}  // namespace

int StopPending()
{
    return gStopKey != 0 || gTerminate != 0 || gTakeStop.load() != 0 ||
           (gHangup != 0 && gRecording.load() == 0);
}

int SessionEnded()
{
    return gTerminate != 0 || gHangup != 0;
}

int HangupSeen()
{
    return gHangup != 0;
}

void ClearStopKey()
{
    gStopKey = 0;
    gTakeStop.store(0);
}

void RaiseStopKey()
{
    gStopKey = 1;
}

void RaiseSessionEnd()
{
    gTerminate = 1;
}

void RaiseHangup()
{
    gHangup = 1;
}

void RaiseTakeStop()
{
    gTakeStop.store(1);
}

void SetTakeRecording(int recording)
{
    gRecording.store(recording != 0 ? 1 : 0);
}

void ResetStopFlags()
{
    gStopKey = 0;
    gTerminate = 0;
    gHangup = 0;
    gTakeStop.store(0);
    gRecording.store(0);
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

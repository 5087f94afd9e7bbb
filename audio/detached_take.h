// A take whose terminal hung up: it records on to its planned end with its output going
// nowhere, and a later copy of the program can watch its meter and stop it.
#pragma once

#include <chrono>
#include <cstdint>

#include "audio/record_run.h"
#include "term/detached.h"

namespace audio {

struct DetachedTake {
    bool on = false;
    WatchChannel channel = {};
    std::chrono::steady_clock::time_point sent = {};  // when the last status went out
    int64_t diskBytes = -1;  // room on the disk, measured when the take had...
    int32_t diskFrom = 0;    // ...this many frames
};

// Leaves the lost terminal, starts the meter where no terminal ran it, and opens the
// channel for later copies.
void DetachTake(RecordRun* run, const Take& take, DetachedTake* away);
// Once a block: serves the copies that watch, with a status about ten times a second.
void ServeDetachedTake(RecordRun* run, const Take& take, DetachedTake* away);
// At the end of the take: the channel closes, so that no copy finds a take that is over.
void EndDetachedTake(DetachedTake* away);

}  // namespace audio

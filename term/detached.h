// A take whose terminal is gone: its output goes nowhere, and a later copy of the program
// started in the same directory can see how far it is and stop it. The two copies meet on
// a Unix socket in the abstract namespace, named after the working directory, so that
// nothing of it lies in the directory and a copy killed outright leaves nothing behind.
// Either side deals only with the same user, or root.
#pragma once

#include <cstdint>

enum : uint32_t {
    kStatusMagic = 0x54424b31,  // "TBK1": a status of this layout
    kStatusNameBytes = 128,     // as the record file name
};

// What a detached take tells a later copy, about ten times a second. Fixed-width fields
// only, so that any build on the machine reads it alike.
struct TakeStatus {
    uint32_t magic;
    uint32_t rate;
    uint32_t recorded;  // frames of the take so far
    uint32_t planned;   // frames the take is to hold
    uint32_t width;     // bytes per sample
    uint32_t channels;
    int32_t shown[2];   // the meter: the peak of the last interval, per channel
    int32_t held[2];    // the peak held
    uint32_t clips[2];  // samples at full scale since the take started
    int32_t diskSeconds;  // recording time left on the disk; -1 unknown
    char name[kStatusNameBytes];  // the target
};

enum : int32_t { kMaxWatchers = 4 };

// The detached take's side: the listening socket and the copies it serves.
struct WatchChannel {
    int listenFd;
    int watchers[kMaxWatchers];  // -1: a free place
    char name[kStatusNameBytes];
};

// The name a detached take is shown under (the recording's target), given before it starts.
void NameTheTake(const char* name);

// Puts /dev/null in place of standard output and standard error, so that nothing is
// written to a terminal that hung up (no wait, no error). From the main thread only.
void DropLostTerminal();

// Starts listening for later copies. Returns 1 when it listens; 0 when it cannot (the
// take goes on all the same). Never waits.
int OpenWatchChannel(WatchChannel* channel);
// Without waiting: takes in the copies that came (another user's is turned away), sends
// each the status when one is given, and reads their answers; an "s" raises the take stop
// (RaiseTakeStop). A copy that left, or cannot keep up, is let go.
void ServeWatchers(WatchChannel* channel, const TakeStatus* status);
void CloseWatchChannel(WatchChannel* channel);

// The later copy's side. ConnectToTake: 1 with *fd connected to the detached take of this
// directory, run by this user or root; 0 when there is none. ReceiveStatus: waits up to
// `timeoutMs` for a status and keeps the latest that came; 1 a status, 0 none yet, -1 the
// take ended or turned this copy away. AskTakeToStop: 1 when the take got the "s".
int ConnectToTake(int* fd);
int ReceiveStatus(int fd, TakeStatus* status, int timeoutMs);
int AskTakeToStop(int fd);

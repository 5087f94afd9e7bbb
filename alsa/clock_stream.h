// The clock module's stream (clock_plugin.cpp: the stream callbacks; clock_options.cpp:
// the device's options and its opening).
#pragma once

#ifndef PIC
#define PIC  // a shared module: the plain versioned-symbol form of SND_DLSYM_BUILD_VERSION
#endif
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/timerfd.h>
#include <unistd.h>


namespace clock_module {

inline constexpr unsigned int kMinRate = 1000;
inline constexpr unsigned int kMaxRate = 768000;
inline constexpr uint64_t kNanosPerSecond = 1000000000u;

// What a device profile restricts: see the options at the top of clock_plugin.cpp.
struct Profile {
    unsigned int access;       // the one access it takes; 0: every one
    unsigned int formats[8];   // the sample formats it takes
    unsigned int formatCount;  // 0: the usual ones
    unsigned int channels;     // the one channel count it takes; 0: 1 or 2
};

// One open stream. Frame counts are 64-bit and count from the last prepare; ALSA's own
// positions (appl_ptr, hw_ptr) wrap at the boundary, the position reported to it at the
// buffer size.
struct ClockStream {
    snd_pcm_ioplug_t io;
    int timer;                      // timerfd, CLOCK_MONOTONIC: the poll descriptor
    unsigned int onlyRate;          // 0: any rate
    bool failing;                   // fail_after given
    uint64_t failAfter;             // frames that move before the device fails
    bool failed;                    // the device is gone
    snd_pcm_uframes_t boundary;     // where appl_ptr wraps (from the software parameters)
    bool running;
    struct timespec start;          // CLOCK_MONOTONIC at the start of the stream
    uint64_t hwFrames;              // position last reported
    uint64_t applFrames;            // frames the application has moved since the prepare
    snd_pcm_uframes_t lastAppl;     // appl_ptr when applFrames was last brought up to date
    uint64_t earlierFrames;         // frames moved before the last prepare
    bool indexSignal;               // signal index given
    Profile profile;                // what it takes
    struct timespec opened;         // CLOCK_MONOTONIC when the device was opened
    uint64_t startIndex;            // the clock's frames from the opening to the start
};

// The callbacks of an open stream.
extern const snd_pcm_ioplug_callback_t kClockCallbacks;

}  // namespace clock_module

// The disk ring of a recording run: the blocks on their way from the capture thread to the
// take file, and the writer thread that writes them. A disk that stalls costs no audio for
// as long as the ring lasts (at least 10 s); the frames of a dropout (blocks the full ring
// could not take, or frames the device dropped) are written as zeros at their place, so
// the frames after it sit where they were played.
#pragma once

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "audio/handles.h"
#include "wav/wav.h"

namespace audio {

// One block in the ring: where it goes in the take file, and its peaks.
struct RingSlot {
    int32_t at;      // frame of the take file's sample data where the block begins
    int32_t frames;  // a whole period, or less after an overrun or at the end of the take
    int32_t peak1;
    int32_t peak2;
};

// The ring between the capture thread and the writer: one producer, one consumer, shared
// state under `lock`. The capture thread fills the slot behind the queued ones and queues
// it; the writer writes the oldest one and frees it. The take fields are set by the capture
// thread while the writer is idle (at the start of a take) and then kept by the writer.
struct DiskRing {
    std::mutex lock;
    std::condition_variable changed;
    uint8_t* bytes = nullptr;  // count slots of slotBytes each
    RingSlot* slots = nullptr;
    uint32_t count = 0;
    size_t slotBytes = 0;
    uint32_t first = 0;   // the oldest queued slot
    uint32_t queued = 0;  // slots queued and not yet written
    bool quit = false;    // the run is over: the writer ends once the ring is empty
    std::chrono::steady_clock::time_point woken;  // when the capture thread last woke the writer
    // Fixed for the run, for the writer; set before AllocateRing. The take goes on in parts
    // (see PartFrames): part 0 is the take file, opened by the run; the writer creates the
    // others when the take reaches them, and the run closes them all at its end.
    int fds[kMaxTakeParts] = {-1, -1, -1, -1, -1, -1, -1, -1};
    const char* takePath = nullptr;
    uint32_t bits = 0;
    int32_t partFrames = 0;
    uint32_t frameBytes = 0;
    uint32_t width = 0;
    int32_t channels = 0;
    int32_t block = 0;
    uint32_t rate = 0;
    const uint8_t* zeros = nullptr;  // one block of zeros: the frames of a dropout
    uint8_t* plane = nullptr;        // one plane, for metering a block cut short by a failed write
    // The take in hand.
    int32_t next = 0;    // the frame up to which it is in the file without a gap
    int32_t handed = 0;  // the frame up to which it has been handed to the disk
    int32_t end = -1;    // where the take ended (-1 while it records): the writer fills the
                         // file up to it with zeros, hands it to the disk and sets `drained`
    bool drained = false;
    bool failed = false;  // a write failed: the take ends at `next`
    int error = 0;        // its errno
    int32_t failedPart = 0;  // the part it went to
    int32_t peak1 = 0;    // peaks of the frames in the file
    int32_t peak2 = 0;
};

// What the capture thread sees of the writer: the frames of the take in the file without
// a gap (from the take's first frame), whether the take is all in the file, whether a
// write failed, its errno and its part, and the peaks of the frames in the file.
struct WriterState {
    int32_t written;
    bool drained;
    bool failed;
    int error;
    int32_t failedPart;
    int32_t peak1;
    int32_t peak2;
};

// The ring's slots for at least 10 s of blocks at the ring's rate (at most 32 MiB; locked
// in memory where the system allows it, so that no page fault waits for the disk) in
// `ringArea`, and the writer's block of zeros and plane in `writerArea`. Returns 0 when
// memory runs out; the caller says so.
int AllocateRing(DiskRing* ring, BufferGuard* ringArea, BufferGuard* writerArea);

// Starts the writer, or says why it cannot (0).
int StartWriter(DiskRing* ring, pthread_t* writer);
// Ends the writer once it has written all that is queued.
void StopWriter(DiskRing* ring, pthread_t writer);
// Closes the parts the writer opened (not the take file itself), saying a close that
// failed.
void ClosePartFiles(DiskRing* ring);

// Sets the writer up for a take that begins at frame `at`; it is idle between takes.
void BeginTake(DiskRing* ring, int32_t at);

// The slot for the next block, or nullptr when the ring is full. A full ring is waited
// for until `until` at the latest (a time past gives no wait), in steps of 100 ms so that
// the stop key is seen. Leaves in *seen the writer's state, for the take that began at
// frame `origin`.
uint8_t* NextSlot(DiskRing* ring, int32_t origin, std::chrono::steady_clock::time_point until,
                  WriterState* seen);
// Queues the slot NextSlot gave, now holding `frames` frames for frame `at` of the file.
void QueueSlot(DiskRing* ring, int32_t at, int32_t frames, int32_t peak1, int32_t peak2);

// Ends the take at frame `end`: the writer fills the file up to it, then the take is
// drained.
void EndTake(DiskRing* ring, int32_t end);
// The writer's state, for the take that began at frame `origin`.
void ReadWriter(DiskRing* ring, int32_t origin, WriterState* seen);
// Waits for word from the writer (it is half empty, drained or failed), 100 ms at most.
void AwaitWriter(DiskRing* ring);

// The line of a write to the take file (or its close) that failed with `error`.
void ShowWriteFailure(const char* path, int error);

}  // namespace audio

// The take file keeper: every step of the take file's life after a recording run. The
// kept takes become a new file, replace one, or are appended to one (under a journal),
// or are set aside as a recovered file; a run that keeps nothing leaves the header only;
// audio found behind the header after a crash is recovered. Each step is ordered so that
// a crash or a power cut at any point leaves the take in exactly one place and every
// file whole.
#pragma once

#include <cstdint>

#include "store/store.h"
#include "wav/wav.h"

// The track list a kept take joins: the table, its text buffer, the list file's path and
// the count of names, as the list's own functions take them.
struct TrackListRef {
    char* table;
    char* text;
    const char* path;
    int32_t* count;
};

// Cuts the take file to its header plus `keptBytes` sample bytes, writes the sizes of
// that length and syncs it, so that audio deleted behind the kept takes cannot come back.
// A take file that is missing or holds no readable header is left as it is. Returns 1
// when done (or nothing was there), 0 with a message when the take file could not be cut.
int CutTakeFile(const char* takePath, int32_t keptBytes);

// Makes the kept takes the file `target` (new, or replacing it) and lists it. Returns 1
// when done; 0 when the take stays in the take file (a message says why).
// A take in parts has its first part made the target and every other given the next
// free "<stem>-N.wav" beside it, listed after it, with one line naming each part.
int PublishTake(const char* takePath, const char* target, int64_t keptBytes,
                const TrackListRef& list);

// Appends the kept takes to `target`, whose format `attributes` describes, and lists it.
// Returns 1 when the target holds the take (a take file that could not be emptied is
// cleared at the next start or recording); 0 when the target was left byte for byte as it
// was and the take stays in the take file (a message says why).
int AppendTake(const char* takePath, const char* target, int32_t keptBytes,
               const FileAttributes* attributes, const TrackListRef& list);

// Keeps the kept takes as the next free takebox_recovered_N.wav, listed, and says that
// `target` was not replaced: a take nobody chose to save never erases a file.
void SetTakeAside(const char* takePath, const char* target, int64_t keptBytes,
                  const TrackListRef& list);

// Readies the take file's name for a recording: a link, FIFO, device or directory under it
// (or under the journal's name) is moved aside with one line, and a take left in it is
// recovered (RecoverTake). Returns 1 when the recording may go on, 0 when not (said).
int PrepareTakeFile(const char* takePath, const TrackListRef& list);

// Removes what PrepareTakeFile left under the take file's name (a header without audio),
// so that the recording creates the take file new. Returns 1 when the name is free, 0
// when not (said).
int ClearTakeName(const char* takePath);

// Settles what a crash left: an append cut short is finished or undone, and an unsaved
// take in the take file is moved to the next free takebox_recovered_N.wav, with its sizes
// set from the whole frames present, and listed. A take file that is no readable WAV file
// is moved aside. Returns 1 when the take file may be written over, 0 when it still holds
// audio that could not be moved.
int RecoverTake(const char* takePath, const TrackListRef& list);

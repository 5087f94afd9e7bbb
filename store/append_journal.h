// The append journal (store/append_journal.cpp): what a start after a crash needs to
// finish or undo an append. It is written and synced before the target is touched; the
// take file keeper acts on it.
#pragma once

#include <cstdint>

#include "store/store.h"

// The journal's name in the working directory.
inline constexpr const char* kJournal = "takebox_append.txt";

// What a start after a crash needs to finish or undo an append: the target's bytes that
// the append changes, and where the take goes.
struct AppendJournal {
    char target[kRecordNameCap];
    int64_t length;        // the target's length before the append
    int64_t start;         // where the take's first byte goes: the end, or the pad byte
    int64_t takeBytes;     // the take's sample bytes
    uint32_t dataSize;     // the target's data size after the append
    int64_t sizeField;     // offset of the target's data size field
    uint32_t oldDataSize;  // that field before the append
    uint32_t oldRiffSize;  // the RIFF size before the append
    int32_t pad;           // the pad byte the take writes over, -1 none
    int64_t ds64;          // offset of an RF64 file's ds64 chunk, 0 none
    uint64_t oldDs64[3];   // its RIFF size, data size and sample count before the append
    uint64_t samples;      // its sample count after the append
};

// The target's length once the take and, behind an odd-sized data chunk, its pad byte
// went in.
int64_t AppendedEnd(const AppendJournal& j);

// The journal's facts for appending `takeBytes` to `target`, whose data size becomes
// `dataSize`. The take goes to the very end of the target; only the pad byte of an
// odd-sized data chunk is written over. Returns 1 when the target could be read.
int PlanAppend(const char* target, int32_t takeBytes, uint32_t dataSize, AppendJournal* j);

// Writes the journal and syncs it and its directory. Returns 1 when done, 0 with errno set.
int WriteJournal(const AppendJournal& j);

// Reads the journal. Returns 1 when it holds an append, 0 when there is none, -1 when
// it was cut short while it was written (the target was not touched yet).
int ReadJournal(AppendJournal* j);

// Puts the target back as the journal found it: its old length, pad byte and sizes,
// synced. Returns 1 when done (or the target is gone), 0 with errno set.
int RollBack(const AppendJournal& j);

// Whether the target holds the whole take behind its old bytes: its length is the planned
// one and its last bytes are the take file's audio, or the take file was already emptied.
bool HoldsWholeTake(const AppendJournal& j, const char* takePath);

// Writes the target's sizes after an append whose take reached it whole, and syncs them.
// Returns 1 when done, 0 (said) when they did not reach the file.
int PatchAppendSizes(const AppendJournal& j);

// The take file's parts (store/take_parts.cpp): a take longer than one WAV file holds goes
// on in "takebox_temp-2.wav" and so on (PartName), each a plain file of whole frames.
#pragma once

#include <cstdint>

#include "store/take_keeper.h"

// What a take of `kept` bytes looks like in parts: its frame size and rate, the bytes a
// part holds, and the parts it fills (at least 1).
struct TakeShape {
    uint32_t frameBytes;
    uint32_t rate;
    int64_t partBytes;
    int32_t parts;
};

// Reads the shape from the take file. Returns 0 when it holds no readable header.
int ReadTakeShape(const char* takePath, int64_t kept, TakeShape* shape);

// The bytes of `kept` that part `part` holds.
int64_t PartKept(const TakeShape& shape, int64_t kept, int32_t part);

// Cuts every part of the take file to its share of `kept` bytes and removes the parts
// behind them (those a deleted take began), leaving the shape in *shape. Returns 1 when
// done, 0 (said) when a part could not be cut or removed.
int CutParts(const char* takePath, int64_t kept, TakeShape* shape);

// Gives the parts behind the first the names beside `target` ("<stem>-2.wav" and on, the
// next free number where a name exists), lists them, and says every part with its length
// in one line. Returns 1 when every part was moved; a part that could not be is said, and
// the next start recovers it.
int MoveParts(const char* takePath, const char* target, const TakeShape& shape, int64_t kept,
              const TrackListRef& list);

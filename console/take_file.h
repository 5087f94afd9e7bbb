// The take file between recordings: a run that keeps nothing leaves its header only, a
// take that could not be saved is cut to what was kept, and audio found behind the
// header (after a crash, a power cut or a failed save) is moved to a file of its own.
#pragma once

#include <cstdint>

#include "console/console.h"

// Cuts the take file to its header plus `keptBytes` sample bytes and writes the sizes
// of that length, so that audio deleted behind the kept takes cannot come back. A take
// file that is missing or holds no readable header is left as it is.
void CutTakeFile(const char* takePath, int32_t keptBytes);

// Moves an unsaved take found in the take file to a new name (takebox_recovered_N.wav),
// sets its sizes from the whole frames present, lists it and rewrites the list file.
// A take file that is no readable WAV file is moved aside. Returns 1 when the take file
// may be written over, 0 when it still holds audio that could not be moved.
int RecoverTake(AppState* state);

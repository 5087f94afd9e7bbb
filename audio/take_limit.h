// The longest take a recording can hold: below 2 GB for a take appended to a file, below
// 2^31 frames for one that goes on in parts.
#pragma once

#include <cstdint>

// Prints the line that refuses a take of `duration` seconds, naming the longest duration
// that passes both limits at these settings: the planned frames, and the planned frames
// rounded up to whole periods of `period` frames. With `frameBytes` 0 the limit is 2^31
// frames (a take in parts), else 2 GB of frames of that size behind the header.
void ShowTakeTooLong(float duration, uint32_t rate, uint32_t frameBytes, uint32_t period);

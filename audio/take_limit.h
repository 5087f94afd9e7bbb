// The longest take a recording can hold below 2 GB.
#pragma once

#include <cstdint>

// Prints the line that refuses a take of `duration` seconds past 2 GB, naming the
// longest duration that passes both limits at these settings: the planned frames, and
// the planned frames rounded up to whole periods of `period` frames.
void ShowTakeTooLong(float duration, uint32_t rate, uint32_t frameBytes, uint32_t period);

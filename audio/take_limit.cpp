// The longest take a recording can hold: below 2 GB, or below 2^31 frames.
#include "audio/take_limit.h"

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "audio/audio.h"
#include "wav/wav.h"

void ShowTakeTooLong(float duration, uint32_t rate, uint32_t frameBytes, uint32_t period)
{
    // The take file, header and sample data, stays within INT32_MAX bytes, and a take is
    // recorded in whole periods: the planned frames may reach the last whole period
    // that fits.
    // A take in parts holds frames up to INT32_MAX: as 2 GB of one-byte frames, headerless.
    const int64_t header = frameBytes == 0 ? 0 : static_cast<int64_t>(kHeaderBytes);
    const int64_t unit = frameBytes == 0 ? 1 : frameBytes;
    int64_t longest = 0;  // in hundredths of a second
    if (rate > 0 && period > 0) {
        const int64_t fitting = (static_cast<int64_t>(INT32_MAX) - header) / unit;
        const int64_t maxPlanned = fitting / period * period;
        longest = maxPlanned * 100 / rate;
    }
    // The duration is shown as typed back, and a typed duration becomes planned frames
    // in single precision: step down until the text read back as a float passes. At
    // large values the step grows, since a hundredth no longer changes the float.
    char text[32] = "0.00";
    int64_t step = 1;
    while (longest > 0) {
        snprintf(text, sizeof text, "%" PRId64 ".%02" PRId64, longest / 100, longest % 100);
        const float product = static_cast<float>(rate) * strtof(text, nullptr);
        const int64_t planned = FloatToInt32(product);
        const int64_t blocks = (planned + period - 1) / period;
        if (product < 2147483648.0f && header + blocks * period * unit <= INT32_MAX)
            break;
        longest = longest > step ? longest - step : 0;
        step *= 2;
    }
    if (longest == 0)
        snprintf(text, sizeof text, "0.00");  // nothing longer fits
    if (frameBytes == 0)
        printf("Cannot record %.2f sec: a take must stay below 2^31 frames "
               "(at most %s sec at these settings)\n",
               static_cast<double>(duration), text);
    else
        printf("Cannot record %.2f sec: a recording must stay below 2 GB "
               "(at most %s sec at these settings)\n",
               static_cast<double>(duration), text);
}

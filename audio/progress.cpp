// The progress of a take on the console: a progress line per block through pipes, the
// live line with the meter on a terminal, and the line of an overrun.
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "audio/audio.h"
#include "audio/record_run.h"
#include "term/term.h"

namespace audio {

namespace {

// The live line of a terminal: the remaining seconds, the meter, and the time the disk still
// holds at these settings. Drawn at most ten times a second; a take starts, and an overrun
// starts again, with `drawn` cleared, so that its first line is drawn at once.
void DrawLiveLine(RecordRun* run, int32_t shown)
{
    const auto at = std::chrono::steady_clock::now();
    if (at - run->drawn < std::chrono::milliseconds(100))
        return;
    run->drawn = at;
    char seconds[32];
    FormatSeconds(seconds, sizeof seconds,
                  static_cast<float>(run->planned - shown) / static_cast<float>(run->rate));
    char lead[48];
    snprintf(lead, sizeof lead, "Remaining %s sec", seconds);
    const int64_t bytesPerSecond = static_cast<int64_t>(run->rate) * run->frameBytes;
    const int64_t left = run->diskBytes - static_cast<int64_t>(shown) * run->frameBytes;
    ShowMeterLine(&run->meter, lead,
                  run->diskBytes < 0 ? -1 : (left > 0 ? left / bytesPerSecond : 0));
}

}  // namespace

void ShowProgress(RecordRun* run, int32_t written, bool rest, bool quiet, int32_t* shown)
{
    const int32_t before = *shown;
    while (*shown < written && (rest || written - *shown >= run->block)) {
        if (!quiet && !run->terminal && ConsoleHasRoom())
            ShowSeconds("\rRemaining ", static_cast<float>(run->planned - *shown) /
                                            static_cast<float>(run->rate));
        *shown += run->block;
    }
    if (run->terminal && !quiet && *shown > before)
        DrawLiveLine(run, *shown);
}

void ShowOverrun()
{
    if (ConsoleHasRoom()) {
        printf("\nRX\n");
        fflush(stdout);
    }
}

}  // namespace audio

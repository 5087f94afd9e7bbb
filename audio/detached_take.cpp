// A take that goes on after a hangup. Everything here runs in the capture thread between
// blocks, and nothing here waits.
#include "audio/detached_take.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "audio/audio.h"

namespace audio {

void DetachTake(RecordRun* run, const Take& take, DetachedTake* away)
{
    DropLostTerminal();
    away->on = true;
    if (run->terminal) {
        away->diskBytes = run->diskBytes;  // the meter has run since the take started
        away->diskFrom = 0;
    } else {
        StartMeter(&run->meter, run->width, run->channels);
        away->diskBytes = DiskRoomBytes();
        away->diskFrom = take.frames;
    }
    // The meter's intervals are the status's from now on, not the live line's.
    run->terminal = false;
    run->detached = true;
    away->sent = {};
    OpenWatchChannel(&away->channel);
}

void ServeDetachedTake(RecordRun* run, const Take& take, DetachedTake* away)
{
    // About ten a second: blocks come every 85 to 93 ms at the usual rates, so a wait of
    // 100 ms would send every other one.
    const auto now = std::chrono::steady_clock::now();
    if (now - away->sent < std::chrono::milliseconds(75)) {
        ServeWatchers(&away->channel, nullptr);
        return;
    }
    away->sent = now;
    NextMeterInterval(&run->meter);
    TakeStatus status;
    memset(&status, 0, sizeof status);
    status.magic = kStatusMagic;
    status.rate = run->rate;
    status.recorded = static_cast<uint32_t>(take.frames);
    status.planned = static_cast<uint32_t>(run->planned);
    status.width = run->width;
    status.channels = static_cast<uint32_t>(run->channels);
    for (int32_t k = 0; k < 2; k++) {
        status.shown[k] = run->meter.channel[k].shown;
        status.held[k] = run->meter.channel[k].held;
        status.clips[k] = run->meter.channel[k].clips;
    }
    status.diskSeconds = -1;
    if (away->diskBytes >= 0) {
        const int64_t bytesPerSecond = static_cast<int64_t>(run->rate) * run->frameBytes;
        const int64_t left = away->diskBytes -
                             static_cast<int64_t>(take.frames - away->diskFrom) * run->frameBytes;
        const int64_t seconds = left > 0 ? left / bytesPerSecond : 0;
        status.diskSeconds = seconds > INT32_MAX ? INT32_MAX : static_cast<int32_t>(seconds);
    }
    ServeWatchers(&away->channel, &status);
}

void EndDetachedTake(DetachedTake* away)
{
    if (away->on)
        CloseWatchChannel(&away->channel);
    away->on = false;
}

}  // namespace audio

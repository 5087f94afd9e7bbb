// The live level meter for a person at a terminal: per channel the peak of the last
// interval as a bar and in dB, a peak held for about two seconds, a clip mark, and the
// recording time left on the disk.
#include "audio/audio.h"

#include <sys/statvfs.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "term/term.h"

namespace {

constexpr int32_t kBarCells = 8;
constexpr float kBarFloorDb = -48.0f;  // the bar's empty end: 6 dB a cell

// Whether a sample is full scale: the largest or the smallest value of its width.
inline bool FullScale(const uint8_t* p, uint32_t width)
{
    if (width == 2)
        return (p[0] == 0xff && p[1] == 0x7f) || (p[0] == 0x00 && p[1] == 0x80);
    return (p[0] == 0xff && p[1] == 0xff && p[2] == 0x7f) ||
           (p[0] == 0x00 && p[1] == 0x00 && p[2] == 0x80);
}

// Cells of the bar that a level fills: a cell lights once the level reaches its lower
// edge (the first at the floor), so the whole bar is full scale.
int32_t Cells(float db)
{
    if (!(db >= kBarFloorDb))
        return 0;
    const float steps = (db - kBarFloorDb) / (-kBarFloorDb / static_cast<float>(kBarCells));
    return steps >= static_cast<float>(kBarCells - 1) ? kBarCells : static_cast<int32_t>(steps) + 1;
}

}  // namespace

void StartMeter(LevelMeter* meter, uint32_t width, int32_t channels)
{
    memset(meter, 0, sizeof *meter);
    meter->width = width;
    meter->channels = channels == 1 ? 1 : 2;
}

void MeterBlock(LevelMeter* meter, int32_t channel, int32_t peak, const uint8_t* samples,
                uint32_t frames, uint32_t stride)
{
    if (channel < 0 || channel >= meter->channels || (meter->width != 2 && meter->width != 3))
        return;
    MeterChannel* c = &meter->channel[channel];
    if (peak > c->peak)
        c->peak = peak;
    // Only a block whose peak reached full scale holds such samples: the others are not
    // looked at again.
    if (peak < (meter->width == 2 ? 32767 : 8388607))
        return;
    for (uint32_t i = 0; i < frames; i++)
        if (FullScale(samples + static_cast<size_t>(i) * stride, meter->width))
            c->clips++;
}

void NextMeterInterval(LevelMeter* meter)
{
    for (int32_t n = 0; n < meter->channels; n++) {
        MeterChannel* c = &meter->channel[n];
        if (c->peak >= c->held || c->heldFor >= kMeterHoldIntervals) {
            c->held = c->peak;
            c->heldFor = 0;
        } else {
            c->heldFor++;
        }
        c->shown = c->peak;
        c->peak = 0;
    }
}

int FormatMeterLine(char* out, uint32_t cap, const LevelMeter* meter, const char* lead,
                    int64_t diskSeconds)
{
    if (cap == 0)
        return 0;
    char line[160];
    int n = snprintf(line, sizeof line, "%s", lead);
    for (int32_t k = 0; k < meter->channels && n >= 0 && n < static_cast<int>(sizeof line); k++) {
        const MeterChannel& c = meter->channel[k];
        char bar[kBarCells + 1];
        const int32_t filled = Cells(LevelDb(c.shown, meter->width));
        const int32_t held = Cells(LevelDb(c.held, meter->width));
        for (int32_t i = 0; i < kBarCells; i++)
            bar[i] = i < filled ? '#' : '-';
        if (held > filled)
            bar[held - 1] = '|';  // the held peak
        bar[kBarCells] = '\0';
        n += snprintf(line + n, sizeof line - static_cast<size_t>(n), "%s%i[%s]%6.1fdB%s",
                      n > 0 ? " " : "", static_cast<int>(k + 1), bar,
                      static_cast<double>(LevelDb(c.shown, meter->width)),
                      c.clips > 0 ? "!" : " ");
    }
    if (diskSeconds >= 0 && n >= 0 && n < static_cast<int>(sizeof line)) {
        char disk[32];
        FormatHours(disk, sizeof disk, diskSeconds);
        snprintf(line + n, sizeof line - static_cast<size_t>(n), " disk %s", disk);
    }
    // At most 79 columns: the line never wraps on an 80-column terminal.
    const uint32_t limit = cap - 1 < kMeterColumns ? cap - 1 : kMeterColumns;
    size_t length = strlen(line);
    if (length > limit)
        length = limit;
    memcpy(out, line, length);
    out[length] = '\0';
    return static_cast<int>(length);
}

void ShowMeterLine(LevelMeter* meter, const char* lead, int64_t diskSeconds)
{
    NextMeterInterval(meter);
    if (!ConsoleHasRoom())
        return;
    char line[kMeterColumns + 1];
    FormatMeterLine(line, sizeof line, meter, lead, diskSeconds);
    printf("\r%s\033[K", line);
    fflush(stdout);
}

int FormatHours(char* out, uint32_t cap, int64_t seconds)
{
    return snprintf(out, cap, "%lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                    static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
}

int64_t DiskRoomBytes()
{
    struct statvfs fs;
    if (statvfs(".", &fs) != 0)
        return -1;
    const uint64_t bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    return bytes > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(bytes);
}

int64_t DiskSeconds(uint32_t rate, uint32_t width, int32_t channels)
{
    const uint64_t bytesPerSecond =
        static_cast<uint64_t>(rate) * width * static_cast<uint64_t>(channels == 1 ? 1 : 2);
    const int64_t room = DiskRoomBytes();
    if (bytesPerSecond == 0 || room < 0)
        return -1;
    return static_cast<int64_t>(static_cast<uint64_t>(room) / bytesPerSecond);
}

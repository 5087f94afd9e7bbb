// A copy started where another runs: when that one records a take whose terminal hung up,
// this copy names the take, shows its meter on a terminal, and can stop it. It touches no
// file and leaves the take alone unless told "s".
#include "console/console.h"

#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "audio/audio.h"
#include "term/detached.h"
#include "term/term.h"

namespace {

// The take sends a status ten times a second; one that sent none in two seconds has
// turned this copy away (another user's) or is ending.
constexpr int kFirstStatusTries = 20;
constexpr int kStatusWaitMs = 100;

enum WatchEnd { kLeaveIt, kStopIt, kTakeEnded };

float SecondsOf(uint32_t frames, uint32_t rate)
{
    return static_cast<float>(frames) / static_cast<float>(rate);
}

void ShowTakeLine(const TakeStatus& status)
{
    const uint32_t left = status.planned > status.recorded ? status.planned - status.recorded : 0;
    char recorded[32];
    char remaining[32];
    FormatHours(recorded, sizeof recorded, status.recorded / status.rate);
    FormatHours(remaining, sizeof remaining,
                (static_cast<int64_t>(left) + status.rate - 1) / status.rate);
    printf("Recording %s: %s recorded, %s left\n", status.name, recorded, remaining);
}

// The take's live line as its own terminal showed it. The status carries the meter after
// its interval: given as the interval's peak and the held peak, ShowMeterLine's step to
// the next interval shows them as they are.
void DrawStatus(const TakeStatus& status)
{
    LevelMeter meter;
    StartMeter(&meter, status.width, static_cast<int32_t>(status.channels));
    for (int32_t k = 0; k < 2; k++) {
        meter.channel[k].peak = status.shown[k];
        meter.channel[k].held = status.held[k];
        meter.channel[k].clips = status.clips[k];
    }
    const uint32_t left = status.planned > status.recorded ? status.planned - status.recorded : 0;
    char seconds[32];
    FormatSeconds(seconds, sizeof seconds, SecondsOf(left, status.rate));
    char lead[48];
    snprintf(lead, sizeof lead, "Remaining %s sec", seconds);
    ShowMeterLine(&meter, lead, status.diskSeconds);
}

// The first word of the line typed ("" for Enter alone). Returns 0 at end of input.
int ReadLineWord(char* word, uint32_t cap)
{
    int c = ReadChar();
    while (c == ' ' || c == '\t')
        c = ReadChar();
    uint32_t n = 0;
    while (c != EOF && !isspace(c)) {
        if (n + 1 < cap)
            word[n++] = static_cast<char>(c);
        c = ReadChar();
    }
    word[n] = '\0';
    EndRead();
    return c != EOF || n > 0;
}

// On a terminal: the take's meter until a line is typed.
WatchEnd WatchOnTerminal(int fd, TakeStatus* status, char* word, uint32_t cap)
{
    for (;;) {
        DrawStatus(*status);
        while (!InputWaiting() && !StopPending()) {
            const int got = ReceiveStatus(fd, status, kStatusWaitMs);
            if (got < 0) {
                printf("\r\033[KThe take has ended\n");
                return kTakeEnded;
            }
            if (got > 0)
                break;
        }
        if (InputWaiting() || StopPending())
            break;
    }
    const int typed = ReadLineWord(word, cap);
    printf("\r\033[K");  // the typed line echoed below it; the live line stays above
    return typed && strcmp(word, "s") == 0 ? kStopIt : kLeaveIt;
}

}  // namespace

void WatchDetachedTake()
{
    int fd = -1;
    if (!ConnectToTake(&fd))
        return;
    TakeStatus status;
    int got = 0;
    for (int i = 0; i < kFirstStatusTries && got == 0 && !StopPending(); i++)
        got = ReceiveStatus(fd, &status, kStatusWaitMs);
    if (got <= 0 || status.rate == 0) {
        close(fd);
        return;
    }
    ShowTakeLine(status);
    puts("Enter: leave it recording; s: stop the take now and keep it");
    char word[kWordCap] = {};
    WatchEnd end = kLeaveIt;
    if (isatty(STDOUT_FILENO))
        end = WatchOnTerminal(fd, &status, word, sizeof word);
    else if (ReadWord(word, sizeof word) && strcmp(word, "s") == 0)
        end = kStopIt;
    if (end == kStopIt)
        puts(AskTakeToStop(fd) ? "The take stops now and is kept" : "The take has ended");
    else if (end == kLeaveIt)
        puts("The take goes on recording");
    close(fd);
}

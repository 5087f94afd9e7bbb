// The commands that play tracks and check the listed files.
#include "console/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "audio/audio.h"
#include "term/term.h"
#include "wav/wav.h"

namespace {

const char* TrackName(const AppState* s, int32_t number)
{
    return s->trackTable + static_cast<size_t>(number - 1) * kSlotBytes;
}

}  // namespace

int PlayTrack(AppState* s, int32_t number)
{
    // Any slot of the table may be named; one past the list is empty and reported missing.
    if (number < 1 || number > kTableSlots)
        return 0;
    const int played = PLAY(TrackName(s, number), s->device, s->inPoint, s->outPoint);
    // A new session starts with both points at 0, which plays nothing: a person at the
    // terminal is told why.
    if (played == 1 && s->inPoint == 0.0f && s->outPoint == 0.0f && isatty(STDOUT_FILENO))
        printf("Nothing to play: set an out point with o (In %.2f, Out %.2f)\n",
               static_cast<double>(s->inPoint), static_cast<double>(s->outPoint));
    return played;
}

void PlayPrompt(AppState* s)
{
    puts("Enter track number:");
    if (ReadInteger(&s->lastTrack) < 0)
        return;
    PlayTrack(s, s->lastTrack);
}

void PlayForm(AppState* s, char* word)
{
    // "2p", "p2" and "2p5" play track 2; the word is cut in place to its number, so "qp"
    // leaves "q" behind for the loop's end test.
    char* first = word;
    while (*first == 'p')
        first++;
    char* end = strchr(first, 'p');
    if (end != nullptr)
        *end = '\0';
    memmove(word, first, strlen(first) + 1);
    if (word[0] != '\0')
        s->lastTrack = TextInteger(word);
    PlayTrack(s, s->lastTrack);
}

void PlayAll(AppState* s)
{
    puts("Playing all!");
    for (int32_t n = 1; n <= s->trackCount; n++) {
        printf("\nTrack %i\n", n);
        if (PlayTrack(s, n) == 2)
            break;  // the stop key stops the whole list
    }
}

void CheckTracks(AppState* s)
{
    for (int32_t n = 1; n <= s->trackCount; n++) {
        FileAttributes attributes = {};
        GetAttributes(TrackName(s, n), &attributes, 1);
    }
    WaitForC("\nEnter 'c' to continue");
    printf("\n");
}

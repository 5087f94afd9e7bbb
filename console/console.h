// Console: the program's values, start-up, the command loop and the commands.
#pragma once

#include <cstdint>

#include "store/store.h"
#include "store/take_keeper.h"

enum : int32_t {
    kWordCap = 256,  // command word and answer words; longer words are cut
    kTakePathCap = 32,
};

struct AppState {
    char device[kDeviceCap];
    uint32_t sampleRate;
    uint32_t bits;
    int32_t channels;
    float inPoint;
    float outPoint;
    float duration;
    char listPath[kListPathCap];
    char recordName[kRecordNameCap];
    int32_t trackCount;
    int32_t lastTrack;
    int32_t listHidden;
    int32_t saveOnExit;
    int32_t listNamed;
    char settingsPath[16];
    char takePath[kTakePathCap];
    char* trackTable;  // kTableBytes, owned by main
    char* listText;    // kTableBytes + 1 spare byte for the terminator, owned by main
};

// The track list of `state`, as the take file keeper adds to it.
inline TrackListRef ListOf(AppState* state)
{
    return {state->trackTable, state->listText, state->listPath, &state->trackCount};
}

// Fills `state` with the initial values; the two buffers are given by the caller.
void InitAppState(AppState* state, char* trackTable, char* listText);

// Start-up (banner, settings, list name, format check, parameters, list), the command
// loop, and shutdown. Returns the exit status (0).
int RunTakebox(AppState* state);

// Integer (%i: 0x hex, leading 0 octal) and decimal prompts. Return 1 when a number was
// read; 0 when the input holds no number there (*value unchanged, the text left unread
// for the next word); -1 at end of input.
int ReadInteger(int32_t* value);
int ReadDecimal(float* value);
// Drops the characters up to the next white space (none when it comes first): the rest
// of a word that a number prompt could not read.
void DropWordRest();
// Reads a file name and appends ".wav", whatever the name ends with (cut to fit).
// Returns 0 at end of input.
int ReadRecordName(char* recordName);
// Prints `prompt` and reads words until the word is exactly "c"; the prompt is shown
// before each. Returns 1 at the "c", 0 at end of input.
int WaitForC(const char* prompt);

// In a copy that found another running in its directory: when that one records a take
// whose terminal hung up, names it with the time recorded and left, shows its meter on a
// terminal, and stops it at "s". Prints nothing when there is no such take.
void WatchDetachedTake();

// Commands that reach audio files.
void RecordCommand(AppState* state);
// Plays one track between the in and out points; PLAY's result (0 for no such slot).
int PlayTrack(AppState* state, int32_t number);
void PlayPrompt(AppState* state);
void PlayForm(AppState* state, char* word);
void PlayAll(AppState* state);
void CheckTracks(AppState* state);
void Help();
void RecordSettingsMenu(AppState* state, char* word);

// Takebox: record and play WAV files from the console.
#include "console/console.h"

int main()
{
    // The two tables live for the whole run; the text buffer has a spare terminator byte.
    static char trackTable[kTableBytes];
    static char listText[kTableBytes + 1];
    AppState state;
    InitAppState(&state, trackTable, listText);
    // One Takebox per working directory: a second copy says so and touches nothing.
    if (!LockWorkingDirectory())
        return 0;
    return RunTakebox(&state);
}

// Takebox: record and play WAV files from the console.
#include "console/console.h"
#include "console/take_file.h"

int main()
{
    // One Takebox per working directory: a second copy says so and touches nothing.
    if (!LockWorkingDirectory())
        return 0;
    // The two tables live for the whole run; the text buffer has a spare terminator byte.
    static char trackTable[kTableBytes];
    static char listText[kTableBytes + 1];
    AppState state;
    InitAppState(&state, trackTable, listText);
    return RunTakebox(&state);
}

// Test driver for the audio engine: runs one PLAY or RECORD call with the arguments of
// its command line, in the working directory, and writes the call's result as a decimal
// line to "driver.result" there, so that standard output holds exactly what the engine
// printed.
//   takebox_audio_driver play <file> <device> <start> <stop>
//   takebox_audio_driver record <device> <rate> <duration> <channels> <bits> <takePath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"

static int WriteResult(long result)
{
    FILE* f = fopen("driver.result", "w");
    if (f == nullptr)
        return 2;
    fprintf(f, "%ld\n", result);
    return fclose(f) == 0 ? 0 : 2;
}

int main(int argc, char** argv)
{
    if (argc == 6 && strcmp(argv[1], "play") == 0) {
        const int result = PLAY(argv[2], argv[3], strtof(argv[4], nullptr), strtof(argv[5], nullptr));
        fflush(stdout);
        return WriteResult(result);
    }
    if ((argc == 8 || argc == 9) && strcmp(argv[1], "record") == 0) {
        const int32_t append = argc == 9 ? atoi(argv[8]) : 0;
        const int32_t result = RECORD(argv[2], static_cast<uint32_t>(strtoul(argv[3], nullptr, 10)),
                                      strtof(argv[4], nullptr), atoi(argv[5]), atoi(argv[6]),
                                      append, argv[7]);
        fflush(stdout);
        return WriteResult(result);
    }
    fprintf(stderr, "usage: %s play FILE DEVICE START STOP\n"
                    "       %s record DEVICE RATE DURATION CHANNELS BITS TAKEPATH [APPEND]\n",
            argv[0], argv[0]);
    return 2;
}

// Word input from the console, shared by the command loop and the take menu.
#include "audio/audio.h"

#include <cctype>
#include <cstdio>

int ReadWord(char* buf, uint32_t cap)
{
    if (cap == 0)
        return 0;
    int c = getchar();
    while (c != EOF && isspace(c))
        c = getchar();
    if (c == EOF)
        return 0;  // buf keeps what it held
    uint32_t n = 0;
    while (c != EOF && !isspace(c)) {
        if (n + 1 < cap)
            buf[n++] = static_cast<char>(c);  // the rest of an over-long word is dropped
        c = getchar();
    }
    buf[n] = '\0';
    if (c != EOF)
        ungetc(c, stdin);  // the delimiter stays, as a scanf word read leaves it
    return 1;
}

// Exhaustive check of FormatSeconds against snprintf("%.2f") of the float widened to
// double, over every float bit pattern in [from, to) (hexadecimal arguments; by default
// every non-negative float below 2^40, all the values FormatSeconds converts itself).
// Prints the number of patterns checked and of those that differ; exit status 1 if any.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"

int main(int argc, char** argv)
{
    uint64_t from = 0;
    uint64_t to = 0x53800000u;  // 2^40
    if (argc == 3) {
        from = strtoull(argv[1], nullptr, 16);
        to = strtoull(argv[2], nullptr, 16);
    }
    if (to > UINT64_C(0x100000000))
        to = UINT64_C(0x100000000);
    uint64_t differ = 0;
    for (uint64_t bits = from; bits < to; bits++) {
        const uint32_t pattern = static_cast<uint32_t>(bits);
        float value;
        memcpy(&value, &pattern, sizeof value);
        char expected[64];
        char got[64];
        snprintf(expected, sizeof expected, "%.2f", static_cast<double>(value));
        FormatSeconds(got, sizeof got, value);
        if (strcmp(expected, got) != 0) {
            if (differ++ < 10)
                printf("0x%08x: printf %s, FormatSeconds %s\n", pattern, expected, got);
        }
    }
    printf("checked %llu patterns from 0x%llx to 0x%llx: %llu differ\n",
           static_cast<unsigned long long>(to > from ? to - from : 0),
           static_cast<unsigned long long>(from), static_cast<unsigned long long>(to),
           static_cast<unsigned long long>(differ));
    return differ == 0 ? 0 : 1;
}

// Text helpers of the settings, the list and the console: fixed-capacity copies and
// decimal integers held within 32 bits.
#include "store/store.h"

#include <climits>
#include <cstdlib>

int32_t TextInteger(const char* text)
{
    long long v = strtoll(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

void CopyText(char* dst, const char* src, uint32_t cap)
{
    if (cap == 0)
        return;
    uint32_t n = 0;
    while (n + 1 < cap && src[n] != '\0') {
        dst[n] = src[n];
        n++;
    }
    dst[n] = '\0';
}

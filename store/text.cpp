// Text helpers of the settings, the list and the console: fixed-capacity copies, decimal
// integers held within 32 bits, and line ends from Windows.
#include "store/store.h"

#include <climits>
#include <cstdlib>
#include <cstring>

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

uint32_t DropTrailingCr(char* text)
{
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == '\r')
        text[--length] = '\0';
    return static_cast<uint32_t>(length);
}

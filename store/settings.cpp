// The settings file "rcbox.txt": one "key<TAB>value" line per setting.
#include "store/store.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum : uint32_t {
    kReadCap = 1024,    // a settings file is read up to 1023 bytes
    kWriteCap = 4096,   // composed text of a whole settings file
};

// Decimal value of an unsigned field (sample rate, bits): the whole unsigned range reads
// back as written, and a negative value wraps as it does when it is stored, so every
// value the field can hold survives a save and a load. Values past either end are held
// at the nearest one that fits.
uint32_t ValueUnsigned(const char* text)
{
    long long v = strtoll(text, nullptr, 10);
    if (v > static_cast<long long>(UINT32_MAX))
        return UINT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    return static_cast<uint32_t>(v);
}

// Next token delimited by any of `delims`, runs of delimiters counting as one. The token
// is terminated in place; *pos moves past the one delimiter that ended it.
char* NextToken(char* text, uint32_t length, uint32_t* pos, const char* delims)
{
    uint32_t p = *pos;
    while (p < length && text[p] != '\0' && strchr(delims, text[p]) != nullptr)
        p++;
    if (p >= length || text[p] == '\0') {
        *pos = p;
        return nullptr;
    }
    char* token = text + p;
    while (p < length && text[p] != '\0' && strchr(delims, text[p]) == nullptr)
        p++;
    if (p < length && text[p] != '\0') {
        text[p] = '\0';
        p++;
    }
    *pos = p;
    return token;
}

// Copies a text value into its field, cut to fit; CRs where the cut falls are dropped
// too. A value that is left empty leaves the field as it was. Returns 1 when copied.
int CopyValue(char* field, const char* value, uint32_t cap)
{
    char cut[kListPathCap];  // the largest text field
    CopyText(cut, value, cap < sizeof cut ? cap : static_cast<uint32_t>(sizeof cut));
    if (DropTrailingCr(cut) == 0)
        return 0;
    CopyText(field, cut, cap);
    return 1;
}

}  // namespace

void GET_PARAMS(int32_t* channels, char* device, uint32_t* sampleRate, uint32_t* bits,
                float* inPoint, float* outPoint, float* duration, char* listPath,
                int32_t* listNamed, const char* settingsPath, char* recordName)
{
    FILE* file = OpenForReading(settingsPath);
    if (file == nullptr)
        return;
    char text[kReadCap];
    // A hand-made file longer than the buffer is read up to its first 1023 bytes.
    size_t got = fread(text, 1, kReadCap - 1, file);
    fclose(file);
    text[got] = '\0';
    uint32_t length = static_cast<uint32_t>(got);

    uint32_t pos = 0;
    for (;;) {
        char* key = NextToken(text, length, &pos, "\t \n");
        if (key == nullptr)
            break;
        int known = strcmp(key, "sr") == 0 || strcmp(key, "dv") == 0 ||
                    strcmp(key, "ch") == 0 || strcmp(key, "i") == 0 ||
                    strcmp(key, "o") == 0 || strcmp(key, "d") == 0 ||
                    strcmp(key, "bits") == 0 || strcmp(key, "tlist") == 0 ||
                    strcmp(key, "rname") == 0;
        if (!known)
            continue;  // each word of an unknown line is tried as a key in turn
        // The value runs to the end of its line; an empty value takes the next line.
        char* value = NextToken(text, length, &pos, "\n");
        if (value == nullptr)
            break;
        if (DropTrailingCr(value) == 0)
            continue;  // a value of CRs alone is empty: the key names nothing
        if (strcmp(key, "sr") == 0)
            *sampleRate = ValueUnsigned(value);
        else if (strcmp(key, "bits") == 0)
            *bits = ValueUnsigned(value);
        else if (strcmp(key, "ch") == 0)
            *channels = TextInteger(value);
        else if (strcmp(key, "i") == 0)
            *inPoint = strtof(value, nullptr);
        else if (strcmp(key, "o") == 0)
            *outPoint = strtof(value, nullptr);
        else if (strcmp(key, "d") == 0)
            *duration = strtof(value, nullptr);
        else if (strcmp(key, "dv") == 0)
            CopyValue(device, value, kDeviceCap);
        else if (strcmp(key, "tlist") == 0) {
            if (CopyValue(listPath, value, kListPathCap))
                *listNamed = 1;
        } else
            CopyValue(recordName, value, kRecordNameCap);
    }
}

int Store_Settings(int32_t channels, const char* device, uint32_t sampleRate, uint32_t bits,
                   float inPoint, float outPoint, float duration, const char* listPath,
                   const char* recordName)
{
    char text[kWriteCap];
    int n = snprintf(text, sizeof text,
                     "dv\t%.47s\nsr\t%u\nbits\t%u\nch\t%i\ni\t%.3f\no\t%.3f\nd\t%.3f\n", device,
                     sampleRate, bits, channels, static_cast<double>(inPoint),
                     static_cast<double>(outPoint), static_cast<double>(duration));
    if (n > 0 && listPath != nullptr && listPath[0] != '\0')
        n += snprintf(text + n, sizeof text - n, "tlist\t%.255s\n", listPath);
    if (n > 0 && recordName != nullptr && recordName[0] != '\0')
        n += snprintf(text + n, sizeof text - n, "rname\t%.127s\n", recordName);
    if (n < 0 || n >= static_cast<int>(sizeof text))
        return 0;  // cannot happen with fields within their capacities
    return ReplaceFile("rcbox.txt", text, static_cast<uint32_t>(n));
}

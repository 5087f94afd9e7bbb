// The prompts' readers: integers as %i reads them (0x hex, leading 0 octal), decimals as
// %f, a record file name, and the wait for "c", all through the console's character
// source.
#include "console/console.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "term/term.h"

namespace {

// Skips white space; returns the first other character, or EOF.
int SkipSpace()
{
    int c = ReadChar();
    while (c != EOF && isspace(c))
        c = ReadChar();
    return c;
}

int DigitValue(int c, int base)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v >= 0 && v < base ? v : -1;
}

}  // namespace

int ReadInteger(int32_t* value)
{
    int c = SkipSpace();
    if (c == EOF) {
        EndRead();
        return -1;
    }
    bool negative = false;
    if (c == '+' || c == '-') {
        negative = c == '-';
        c = ReadChar();
    }
    int base = 10;
    bool digits = false;
    if (c == '0') {
        digits = true;  // a lone 0 is a number
        c = ReadChar();
        if (c == 'x' || c == 'X') {
            base = 16;
            c = ReadChar();
        } else {
            base = 8;
        }
    }
    long long magnitude = 0;  // held at just past the 32-bit range
    for (int d = DigitValue(c, base); d >= 0; d = DigitValue(c, base)) {
        digits = true;
        if (magnitude <= 0x80000000LL)
            magnitude = magnitude * base + d;
        c = ReadChar();
    }
    UnreadChar(c);
    EndRead();
    if (!digits)
        return 0;
    long long v = negative ? -magnitude : magnitude;
    if (v > INT32_MAX)
        v = INT32_MAX;
    if (v < INT32_MIN)
        v = INT32_MIN;
    *value = static_cast<int32_t>(v);
    return 1;
}

int ReadDecimal(float* value)
{
    enum { kCap = 96 };
    char text[kCap + 16];
    int n = 0;
    int intDigits = 0;    // integer digits dropped past the buffer scale the value up
    bool digits = false;
    int c = SkipSpace();
    if (c == EOF) {
        EndRead();
        return -1;
    }
    if (c == '+' || c == '-') {
        text[n++] = static_cast<char>(c);
        c = ReadChar();
    }
    while (isdigit(c)) {
        digits = true;
        if (n < kCap)
            text[n++] = static_cast<char>(c);
        else
            intDigits++;
        c = ReadChar();
    }
    if (c == '.') {
        if (n < kCap)
            text[n++] = '.';
        c = ReadChar();
        while (isdigit(c)) {
            digits = true;
            if (n < kCap)
                text[n++] = static_cast<char>(c);  // later fraction digits cannot matter
            c = ReadChar();
        }
    }
    long exponent = 0;
    if (digits && (c == 'e' || c == 'E')) {
        c = ReadChar();
        bool negative = false;
        if (c == '+' || c == '-') {
            negative = c == '-';
            c = ReadChar();
        }
        while (isdigit(c)) {
            if (exponent < 100000)
                exponent = exponent * 10 + (c - '0');
            c = ReadChar();
        }
        if (negative)
            exponent = -exponent;
    }
    UnreadChar(c);
    EndRead();
    if (!digits)
        return 0;
    exponent += intDigits;
    n += snprintf(text + n, sizeof text - n, "e%ld", exponent);
    text[n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1] = '\0';
    *value = strtof(text, nullptr);
    return 1;
}

void DropWordRest()
{
    int c = ReadChar();
    while (c != EOF && !isspace(c))
        c = ReadChar();
    UnreadChar(c);
    EndRead();
}

// The name is cut so that it fits the record name with its extension.
int ReadRecordName(char* recordName)
{
    char word[kRecordNameCap - 4];
    if (!ReadWord(word, sizeof word))
        return 0;
    snprintf(recordName, kRecordNameCap, "%s.wav", word);
    return 1;
}

int WaitForC(const char* prompt)
{
    char answer[kWordCap];
    do {
        puts(prompt);
        if (!ReadWord(answer, sizeof answer))
            return 0;
    } while (strcmp(answer, "c") != 0);
    return 1;
}

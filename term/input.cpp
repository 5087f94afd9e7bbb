// Console input: every word and number the program reads comes through one character
// source over standard input. It waits for input in ppoll() with the stop signals
// unblocked only there, so that Ctrl-C, a hangup or a termination request ends the wait
// at once (the handlers are installed with SA_RESTART, which a plain read would obey).
#include "term/term.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

constexpr size_t kInputBytes = 256;

unsigned char gInput[kInputBytes];
size_t gInputPos = 0;   // next byte to hand out
size_t gInputLen = 0;   // bytes held
bool gInputEnded = false;  // standard input reached its end (or failed)
bool gKeyEnded = false;    // the stop key ended the read in hand

// Waits until standard input can be read or a stop signal arrives. Returns 1 when input
// is ready, 0 when a stop or the end of the session ends the wait. The signals are
// blocked around the flag test and unblocked inside ppoll, so none slips in between.
int WaitForInput()
{
    sigset_t old;
    BlockStopSignals(&old);
    int ready = 0;
    for (;;) {
        if (StopPending())
            break;
        struct pollfd in = {STDIN_FILENO, POLLIN, 0};
        const int rc = ppoll(&in, 1, nullptr, &old);
        if (rc > 0 || (rc < 0 && errno != EINTR)) {
            ready = 1;  // a failed poll is left to read(), which reports it
            break;
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ready;
}

// Refills the buffer. Returns 0 at the end of input or when a stop ended the wait.
int FillInput()
{
    // Whatever the program asked is on the screen before it waits for the answer.
    fflush(stdout);
    for (;;) {
        if (!WaitForInput()) {
            gKeyEnded = !SessionEnded();
            return 0;
        }
        const ssize_t got = read(STDIN_FILENO, gInput, sizeof gInput);
        if (got > 0) {
            gInputPos = 0;
            gInputLen = static_cast<size_t>(got);
            return 1;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        gInputEnded = true;
        return 0;
    }
}

// The next byte of input, or EOF.
int NextChar()
{
    if (SessionEnded())
        return EOF;  // after a hangup or termination request nothing more is read
    if (StopPending()) {
        gKeyEnded = true;  // the stop key ends this read even when input is waiting
        return EOF;
    }
    if (gInputPos == gInputLen && (gInputEnded || !FillInput()))
        return EOF;
    return gInput[gInputPos++];
}

// Gives back the byte just taken by NextChar.
void PutBack()
{
    if (gInputPos > 0)
        gInputPos--;
}

}  // namespace

int ReadChar()
{
    return NextChar();
}

void UnreadChar(int c)
{
    if (c != EOF)
        PutBack();
}

void EndRead()
{
    // A Ctrl-C that ended this read has done its work; the next read waits again.
    if (gKeyEnded) {
        gKeyEnded = false;
        ClearStopKey();
    }
}

int InputWaiting()
{
    if (gInputPos < gInputLen || gInputEnded || SessionEnded())
        return 1;
    struct pollfd in = {STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, 0) > 0 ? 1 : 0;  // input, or its end (POLLHUP)
}

bool ConsoleHasRoom()
{
    struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
    return poll(&out, 1, 0) == 1 && (out.revents & POLLOUT) != 0;
}

void ResetConsoleInput()
{
    gInputPos = 0;
    gInputLen = 0;
    gInputEnded = false;
    gKeyEnded = false;
}

void DropTypedAhead()
{
    // Only keys at a terminal that this program reads in the foreground: tcflush from a
    // background job would stop it, and scripted input is never thrown away.
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp())
        return;
    tcflush(STDIN_FILENO, TCIFLUSH);
    gInputPos = 0;
    gInputLen = 0;
}

int ReadWord(char* buf, uint32_t cap)
{
    if (cap == 0)
        return 0;
    int c = ReadChar();
    while (c != EOF && isspace(c))
        c = ReadChar();
    if (c == EOF) {
        EndRead();
        return 0;  // buf keeps what it held
    }
    uint32_t n = 0;
    while (c != EOF && !isspace(c)) {
        if (n + 1 < cap)
            buf[n++] = static_cast<char>(c);  // the rest of an over-long word is dropped
        c = ReadChar();
    }
    buf[n] = '\0';
    UnreadChar(c);  // the delimiter stays, as a scanf word read leaves it
    EndRead();
    return 1;
}

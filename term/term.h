// The terminal: the console's character source over standard input, the stop key
// (Ctrl-C) and the end of the session (a hangup or a termination request). The console's
// prompts and the audio engine's takes and playback both use it.
#pragma once

#include <csignal>
#include <cstdint>

// StopPending: a stop is pending: the take or playback in hand ends after its block. A
// hangup is one only while no take records (SetTakeRecording).
// SessionEnded: a hangup or termination was seen: every read is the end of input.
// HangupSeen: a hangup was seen: a take goes on without its terminal.
// SetTakeRecording: 1 from a take's first block to its last, 0 after it.
// ClearStopKey: a Ctrl-C, or a stop asked by a later copy, has been acted on (the end of
// a session stays).
// RaiseStopKey, RaiseSessionEnd (termination), RaiseHangup: what the signal handlers do.
// RaiseTakeStop: a later copy asked the detached take to stop; it stops as at Ctrl-C.
int StopPending();
int SessionEnded();
int HangupSeen();
void ClearStopKey();
void RaiseStopKey();
void RaiseSessionEnd();
void RaiseHangup();
void RaiseTakeStop();
void SetTakeRecording(int recording);
// Clears every flag: for code that runs the program several times in one process.
void ResetStopFlags();
// Blocks SIGINT, SIGHUP and SIGTERM in the calling thread; *before gets the mask it had.
void BlockStopSignals(sigset_t* before);

// The console's character source: every word and number is read through it, from its own
// buffer over standard input (never through stdio's stdin, which would not see that
// buffer). A stop pending ends the read in hand as the end of input would; after the end
// of the session every read is the end of input.
// ReadChar: the next byte, or EOF. UnreadChar: gives back the byte ReadChar just returned.
// EndRead: called when a word or number read is complete; a Ctrl-C that ended it is
// consumed, so that the next read waits for the keyboard again.
// ResetConsoleInput: forgets buffered input and its end (for runs in one process).
// DropTypedAhead: throws away keys typed while a take or a playback ran, when standard
// input is the terminal of a foreground job; scripted input is never dropped.
int ReadChar();
void UnreadChar(int c);
void EndRead();
void ResetConsoleInput();
// 1 when a read would not wait: input is buffered or waiting, or it has ended.
int InputWaiting();
// Whether standard output can take a line now without waiting: a console that does not
// read (a stalled SSH connection) must not hold up a take or the meter.
bool ConsoleHasRoom();
void DropTypedAhead();

// Reads one white-space-delimited word from standard input into buf (cap bytes with the
// terminator); a longer word is cut to fit and its rest discarded. Returns 0 at end of
// input, leaving buf as it was.
int ReadWord(char* buf, uint32_t cap);

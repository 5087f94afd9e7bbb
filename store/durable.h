// The take keeper's file steps in the working directory (store/durable.cpp): one wrapper
// for each system call that must be handled the same way everywhere.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "wav/file_io.h"
#include "wav/wav.h"

// The numbers FreeName tries: takebox_recovered_1.wav to takebox_recovered_9999.wav.
enum : int32_t { kMaxNameNumber = 9999 };

// ftruncate, fdatasync and fsync (a new file's own metadata too), made again when
// interrupted. Return 1 when done, 0 with errno set.
int CutFile(int fd, off_t length);
int SyncData(int fd);
int SyncFile(int fd);

// Prints "Write to %s failed: %s" for `error`, leaves errno at it and returns 0.
int SayWriteFailed(const char* path, int error);

// Reads the header of a take file as ReadWavLayout does, and asks more of it: "RIFF" and
// "WAVE", a chunk whose id is "fmt " itself, a rate that is not 0, and a data offset within
// the file. Returns 1 when it can be read, 0 when the file is no readable WAV file.
int ReadTakeLayout(int fd, WavLayout* t);

// Opens a regular file for update (or, when that is refused, for reading) and measures
// it. Returns 0 when it cannot be opened; *writable says which mode was granted, and
// *refused (when given) holds errno of the refused update.
int OpenTake(const char* path, wavio::FdGuard* guard, off_t* length, bool* writable,
             int* refused);

// Cuts the take file behind `fd` to `length` bytes and writes the sizes of that length:
// data size the bytes behind the data offset (whole frames, within the field's range),
// RIFF size the length minus 8. Returns 1 when done, 0 with errno set.
int SetTakeLength(int fd, const WavLayout& t, off_t length);

// Syncs the data of the file at `path`. Returns 1 when done, 0 with errno set.
int SyncFileData(const char* path);

// Removes a name and syncs its directory. Returns 1 when the name is gone.
int RemoveName(const char* path);

// Gives the file `from` the name `name`, never replacing a file: a hard link and the
// removal of the old name, or, on file systems without hard links, a rename that refuses
// an existing name. The directory is synced after each step. Returns 1 when moved; 0 with
// errno set (EEXIST: the name is taken).
int MoveToName(const char* from, const char* name);

// Renames `from` onto `to`, replacing it, and syncs the directory. Returns 1 when the
// rename was made (a failed directory sync is said), 0 with errno set when it was not.
int RenameOnto(const char* from, const char* to);

// The first name the pattern gives (numbers 1, 2, ...) that does not exist. Returns 0
// (errno EEXIST) when every number is taken.
int FreeName(const char* pattern, char* name, size_t cap);

// Whether a move of the take file (or one of its parts) in the working directory was cut
// short between its link and the removal of the old name: another name holds the same
// file. Returns 1 with that name.
int FindLinkedName(const char* takePath, char* name, size_t cap);

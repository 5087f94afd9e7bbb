// Settings file and track list: the text files kept in the working directory.
#pragma once

#include <cstdint>
#include <cstdio>

// Capacities of the text fields, terminator included.
enum : int32_t {
    kDeviceCap = 48,
    kRecordNameCap = 128,
    kListPathCap = 256,
    kSlotBytes = 128,
    kTableSlots = 1024,
    kTableBytes = kSlotBytes * kTableSlots,  // 131072: TrackTable and ListText
    kListLoadMax = 1022,                     // names a loaded list may hold
};

// Settings file ("rcbox.txt"): key, tab, value, line feed.
void GET_PARAMS(int32_t* channels, char* device, uint32_t* sampleRate, uint32_t* bits,
                float* inPoint, float* outPoint, float* duration, char* listPath,
                int32_t* listNamed, const char* settingsPath, char* recordName);

// Writes "rcbox.txt" in the working directory through a temporary file and a rename,
// so a failed save leaves the previous file as it was. Returns 1 when it reached the disk,
// 0 when the old file was left as it was (ReplaceFile has said why).
int Store_Settings(int32_t channels, const char* device, uint32_t sampleRate, uint32_t bits,
                   float inPoint, float outPoint, float duration, const char* listPath,
                   const char* recordName);

// Track table: 1024 slots of 128 bytes. The text buffer must hold capacity + 1 bytes,
// the spare byte carrying the terminator of a full buffer.
// GetList returns 1 when the table holds the list: loaded, or a new one when the file
// cannot be read; 0 when the file is a WAV file (RefuseWaveList has said so) and the
// table was left as it was.
int GetList(char* listText, char* trackTable, const char* listPath, int32_t* count,
            int32_t capacity);
void ParseList(char* text, char* trackTable, int32_t* count, int32_t capacity);
// Replaces the list file through a temporary file and a rename; a WAV file at the path
// is refused. Returns 1 when the new list reached the disk, 0 when the old file was left
// as it was.
int WriteList(const char* listPath, const char* trackTable, char* listText, int32_t count);
void RemoveTrack(char* trackTable, int32_t position, int32_t count);
// Adds `name` as the last track unless it is listed, and rewrites the list file at once.
// Returns 1 when the name is listed, 0 when the table is full (said on the console).
int AddTrack(char* trackTable, char* listText, const char* listPath, int32_t* count,
             const char* name);

// 1 when `path` opens and starts as a RIFF/WAVE file ("RIFF" at 0, "WAVE" at 8).
int IsWaveFile(const char* path);
// 1 when `path` is a WAV file, which is never taken for a track list, said on the console
// ("%s is a WAV file, not a track list"); 0 otherwise. The loads and the start-up ask it;
// WriteList says its own refusal (the list was not saved).
int RefuseWaveList(const char* path);

// Writes `size` bytes to `path` through a fresh temporary file beside it, renamed over it:
// a crash or a full disk mid-write leaves the previous file intact. A symbolic link is
// kept (the file it leads to is replaced) and so are the file's permission bits.
// The directory is synced after the rename. Returns 1 on success; 0 on failure, said
// once on standard output and the old file kept: "Unable to open %s" when the new file
// could not be created, "Write to %s failed: %s" when writing it failed.
int ReplaceFile(const char* path, const char* bytes, uint32_t size);

// Opens a file the user named for reading without waiting: only a regular file (a link
// to one is followed), never a FIFO, device or directory. Returns nullptr when it cannot.
FILE* OpenForReading(const char* path);

// Syncs the directory that holds `path` after a name in it was made, renamed or removed,
// and the working directory too when that is another one. A file system that cannot sync
// a directory counts as synced. Returns 1 when done, 0 (errno set) when the sync failed.
int SyncDirectoryOf(const char* path);

// Removes what ReplaceFile's temporary files for `path` left behind when the program was
// killed between making one and renaming it: ".<name>.XXXXXX" beside the file.
void RemoveLeftoverTemporaries(const char* path);

// Decimal integer at the start of a text: white space, sign, digits; 0 without digits.
// Values past the 32-bit range are held at its ends.
int32_t TextInteger(const char* text);

// Copies src into a buffer of cap bytes, cut to fit, always terminated.
void CopyText(char* dst, const char* src, uint32_t cap);

// Drops the CRs at the end of a text (a line ended by CR LF, as files saved on Windows
// end them: a value or a name that ended in a CR would not come back from a save).
// Returns the length left.
uint32_t DropTrailingCr(char* text);

// Locks the working directory for this process's life (one Takebox per directory).
// Returns 0 when another process holds the lock (it has said so), 1 otherwise.
int LockWorkingDirectory();

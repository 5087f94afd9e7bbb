// WAV files: the 44-byte header, the data-size patch, the tag scan, the attribute
// reader and the take append. Every field is encoded little-endian byte by byte.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The five values read from one WAV file.
struct FileAttributes {
    uint32_t sampleRate;
    uint32_t bytesPerSample;
    uint32_t channels;
    uint32_t dataOffset;
    uint32_t frameCount;
};

enum : uint32_t {
    kHeaderBytes = 44,
    kTagScanLimit = 131072,  // last even offset probed by FindChunkTag
};

// Little-endian field codecs.
void PutLE16(uint8_t* p, uint16_t v);
void PutLE32(uint8_t* p, uint32_t v);
uint16_t GetLE16(const uint8_t* p);
uint32_t GetLE32(const uint8_t* p);

// Creates or truncates `path` and writes the header for `frames` planned frames.
// Returns 1 when the header was written, 0 (with a message) when it was not.
int MAKE_HEADER(const char* path, uint32_t rate, uint32_t channels, uint32_t bits, int32_t frames);

// Patches the data size field (size -1: the bytes from the data offset to the end of the
// file) and keeps the RIFF size true: file length - 8. Returns 1 done, 0 failed.
int FIX_SIZE(const char* path, int32_t size);

// First even offset from 2 to 131072 inclusive at which the tag's bytes (3 or 4) stand.
// Returns 1 and sets *offset when found, 0 when not.
int FindChunkTag(int fd, const char* tag, uint32_t tagLength, uint32_t* offset);

// Finds the chunk whose id starts with the tag (3 or 4 bytes) by walking the chunk list
// from offset 12, each chunk's size padded to even, and by FindChunkTag when that list is
// broken before the chunk (see WalkTo in header.cpp); a list that is well formed to the end
// of the file without the chunk has none. Returns 1 and sets *offset to the chunk's id when
// found, 0 when not. *followed (when given) becomes 1 when whole chunks stand from the
// chunk's declared, padded end to the end of the file, else 0.
int LocateChunk(int fd, const char* tag, uint32_t tagLength, uint32_t* offset,
                int32_t* followed);

// 1 when other chunks follow the audio of `path` (its data chunk is followed, as
// LocateChunk says), 0 when none do or the file has no data chunk that can be read.
int ChunksFollowAudio(const char* path);

// Reads rate, bytes per sample, channels, data offset and frame count of `path`.
// verbose == 1 prints the report. Returns 1 on success, 0 on failure.
int GetAttributes(const char* path, uint32_t* sampleRate, uint32_t* bytesPerSample,
                  uint32_t* channels, uint32_t* dataOffset, uint32_t* frameCount,
                  int32_t verbose);

// Where bytes appended to a file of `length` bytes whose data chunk stands at `tag` go: its
// end, or the pad byte of an odd-sized data chunk that ends the file (no audio).
off_t AppendPosition(int target, off_t length, uint32_t tag);

// Appends `count` sample bytes of `source` (from its data offset) to the end of `target`.
// Returns 1 when every byte was written, 0 when the append failed or was refused.
int APPEND(const char* target, const char* source, int32_t count);

// Positioned transfers through a file descriptor, completed after short ones. ReadFully
// returns the bytes read: fewer than `size` only at the end of the file or after an error.
// WriteFully returns the bytes that reached the file: fewer only after an error (errno
// says which).
size_t ReadFully(int fd, uint8_t* bytes, size_t size, off_t position);
size_t WriteFully(int fd, const uint8_t* bytes, size_t size, off_t position);

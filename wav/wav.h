// WAV files: the 44-byte header, the layout reader and the size patcher, the tag scan,
// the attribute reader and the take append. Every field is encoded little-endian byte by
// byte.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

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
    kMaxField = 2147483647,  // four-byte size fields hold 0 to 2^31 - 1
    kPartNameCap = 160,      // a part's name: a record name and "-N"
};

// What ReadWavLayout found in a WAV file. The fields of a part that was not found are 0.
struct WavLayout {
    off_t length;             // of the whole file
    int32_t riffWave;         // 1 when "RIFF" stands at 0 and "WAVE" at 8
    int32_t bigEndian;        // 1 when the file starts with "RIFX": nothing else is read
    int32_t rf64;             // 1 for "RF64"/"WAVE" with a ds64 chunk at 12 (64-bit sizes)
    uint32_t ds64Chunk;       // offset of that ds64 chunk's id
    uint64_t ds64Riff;        // its RIFF size, data size and sample count
    uint64_t ds64Data;
    uint64_t ds64Samples;
    int32_t hasFormat;        // 1 when the fmt tag was found with its fields inside the file
    uint32_t fmtChunk;        // offset of the fmt chunk's id
    uint32_t fmtSize;         // the fmt chunk's size field
    uint16_t formatTag;       // 1 integer PCM, 3 float, 0xfffe extensible, ...
    uint16_t channels;
    uint32_t sampleRate;
    uint32_t byteRate;
    uint16_t blockAlign;
    uint16_t bitsPerSample;
    int32_t hasExtension;     // 1 when an extensible fmt chunk holds its extension
    uint16_t validBits;       // the extension's valid bits per sample
    uint16_t subFormat;       // the first two bytes of its sub-format GUID: 1 PCM, 3 float
    uint32_t bytesPerSample;  // bitsPerSample rounded up to whole bytes: 12 bits take 2
    uint32_t frameBytes;      // the stride of one frame: the block align where it holds a
                              // wider container for every channel, else channels *
                              // bytesPerSample
    int32_t hasData;          // 1 when the data tag was found
    uint32_t dataChunk;       // offset of the data chunk's id
    uint32_t dataOffset;      // its first byte of audio: dataChunk + 8
    int32_t hasDataSize;      // 1 when the data size field lies inside the file
    uint32_t dataSize;        // that field
    uint64_t dataBytes;       // the data size in bytes: ds64's in an RF64 file, else dataSize
    int32_t followed;         // 1 when other chunks follow the data chunk (see LocateChunk)
    uint32_t frameCount;      // the frames of audio, by the rules of ReadWavLayout
};

// Little-endian field codecs.
void PutLE16(uint8_t* p, uint16_t v);
void PutLE32(uint8_t* p, uint32_t v);
uint16_t GetLE16(const uint8_t* p);
uint32_t GetLE32(const uint8_t* p);
void PutLE64(uint8_t* p, uint64_t v);
uint64_t GetLE64(const uint8_t* p);

// A take below 2^31 frames of at most 6 bytes fills at most 7 parts.
enum : int32_t { kMaxTakeParts = 8 };

// A take longer than one WAV file holds goes on in parts, each a plain file with a 44-byte
// header of at most kMaxField bytes: the frames of `frameBytes` bytes one part holds.
uint32_t PartFrames(uint32_t frameBytes);
// The name of part `part` of the file `path` (0 the file itself): "<stem>-<part + 1>.wav"
// beside it for a path that ends in ".wav" ("gig.wav", "gig-2.wav"), "<path>-<part + 1>"
// for another. Returns 0 when it does not fit `cap` bytes.
int PartName(const char* path, uint32_t part, char* name, uint32_t cap);

// Creates or truncates `path` and writes the header for `frames` planned frames.
// Returns 1 when the header was written, 0 (with a message) when it was not.
int MAKE_HEADER(const char* path, uint32_t rate, uint32_t channels, uint32_t bits, int32_t frames);

// Writes the same header through `fd`, at its start, without a message. Returns 1 when
// written, 0 (errno says why) when not.
int WriteHeaderAt(int fd, uint32_t rate, uint32_t channels, uint32_t bits, int32_t frames);

// Patches the data size field (size -1: the bytes from the data offset to the end of the
// file) and keeps the RIFF size true: file length - 8. Returns 1 done, 0 failed.
int FIX_SIZE(const char* path, int32_t size);

// Reads the header of the WAV file behind `fd`: the fmt chunk, sought by the first
// `fmtIdLength` bytes of "fmt " (3: any id that starts with "fmt"), with its fields read at
// fixed distances from its id whatever its size says; the data chunk sought from the start
// again; the data size field (in an RF64 file the ds64 chunk's); and the frame count, in
// frames of frameBytes. A "RIFX" file (big-endian) sets bigEndian and is not read further. The data size gives the frames when
// other chunks follow the audio, or only its pad byte does; otherwise it is trusted only
// when, in whole frames, it covers exactly the bytes behind the data offset, and those
// bytes decide when it does not. A file that ends before its data offset holds no frames;
// counts beyond 2^32 - 1 are clamped. Returns 1 when the fmt fields and the data chunk were
// found and the frame size is not 0 (the frames are counted), else 0; hasFormat and hasData
// say how far it came.
int ReadWavLayout(int fd, uint32_t fmtIdLength, WavLayout* layout);

// Writes the size fields of the WAV file behind `fd` whose data chunk's id stands at
// `dataChunk`: the data size, unless `dataBytes` is null, as *dataBytes or, beyond
// 2^31 - 1, the most whole frames of `frameBytes` bytes that field holds; then the RIFF
// size, `length` - 8 capped at 2^31 - 1, for a file of `length` bytes (at least the data
// offset). A data chunk before offset 8 shares bytes with the RIFF size: that is left
// alone. Returns 1 when written, 0 (errno says why) when not.
int WriteWavSizes(int fd, uint32_t dataChunk, const uint64_t* dataBytes, uint32_t frameBytes,
                  off_t length);

// Writes the RIFF size and the data size of the data chunk whose id stands at `dataChunk`
// as they are given: an append undone puts back what it found. Returns 1 when written, 0
// (errno says why) when not.
int RestoreWavSizes(int fd, uint32_t riffSize, uint32_t dataChunk, uint32_t dataSize);

// Writes the three sizes of the ds64 chunk whose id stands at `ds64Chunk`. Returns 1 when
// written, 0 (errno says why) when not.
int WriteDs64(int fd, uint32_t ds64Chunk, uint64_t riffSize, uint64_t dataSize,
              uint64_t sampleCount);

// The sizes of an RF64 file after an append: the ds64 chunk gets the RIFF size (`length` -
// 8), `dataBytes` and `frames`; of the 32-bit RIFF and data sizes, one that holds
// 0xffffffff ("see ds64") keeps it and the other gets its true value (at most 0xffffffff).
// Returns 1 when written, 0 (errno says why) when not.
int WriteRf64Sizes(int fd, uint32_t ds64Chunk, uint32_t dataChunk, uint64_t dataBytes,
                   uint64_t frames, off_t length);

// First even offset from 2 to 131072 inclusive at which the tag's bytes (3 or 4) stand.
// Returns 1 and sets *offset when found, 0 when not.
int FindChunkTag(int fd, const char* tag, uint32_t tagLength, uint32_t* offset);

// Finds the chunk whose id starts with the tag (3 or 4 bytes) by walking the chunk list
// from offset 12, each chunk's size padded to even, and by FindChunkTag when that list is
// broken before the chunk (see WalkTo in layout.cpp); a list that is well formed to the end
// of the file without the chunk has none. Returns 1 and sets *offset to the chunk's id when
// found, 0 when not. *followed (when given) becomes 1 when whole chunks stand from the
// chunk's declared, padded end to the end of the file, else 0.
int LocateChunk(int fd, const char* tag, uint32_t tagLength, uint32_t* offset,
                int32_t* followed);

// 1 when other chunks follow the audio of `path` (its data chunk is followed, as
// LocateChunk says), 0 when none do or the file has no data chunk that can be read.
int ChunksFollowAudio(const char* path);

// Reads rate, bytes per sample, channels, data offset and frame count of `path` into
// *attributes; a failure leaves the values it did not reach as they were. verbose == 1
// prints the report, with the length of compressed audio as its fact chunk gives it (or
// not known). Returns 1 on success, 0 on failure.
int GetAttributes(const char* path, FileAttributes* attributes, int32_t verbose);

// Where bytes appended to the file of layout `w` go: its end, or the pad byte of an
// odd-sized data chunk that ends the file (no audio).
off_t AppendPosition(const WavLayout& w);

// The length of a file whose data chunk's audio starts at `dataOffset` once `count` bytes
// went to `start`: an odd-sized data chunk is followed by its pad byte.
off_t AppendedLength(off_t dataOffset, off_t start, off_t count);

// Whether a take can be appended to the file of layout `w` as it is recorded (16- or 24-bit
// integer PCM, mono or stereo, packed frames, a rate). Returns 1 when it can; else 0 with
// what the file holds in `holds` ("1 channel of 20-bit samples"), cut to `cap` bytes.
int RecordableLayout(const WavLayout& w, char* holds, uint32_t cap);

// Reads the layout of `path` (fmt id compared in 3 bytes, as GetAttributes reads it).
// Returns ReadWavLayout's result; 0 when the file cannot be opened.
int ReadLayoutOf(const char* path, WavLayout* w);

// Appends `count` sample bytes of `source` (from its data offset) to the end of `target`.
// Returns 1 when every byte was written, 0 when the append failed or was refused.
int APPEND(const char* target, const char* source, int32_t count);

// The file type (S_IFREG, S_IFIFO, S_IFDIR, S_IFLNK for a link not followed...) under
// `path`, read through a descriptor that opens nothing for use. Returns 0 (errno set) when
// there is nothing to look at.
int LookAt(const char* path, bool follow, uint32_t* type);

// Opens `path` with `flags` (O_RDONLY, O_RDWR, O_NOFOLLOW for the program's own names)
// without waiting and only when it is a regular file, as a descriptor says: a FIFO,
// device or directory is neither opened for use nor waited on. Returns the descriptor, or
// -1 with errno set; *other (when given) is then the file type found instead of a regular
// file, or 0 when the name could not be opened at all.
int OpenRegular(const char* path, int flags, uint32_t* other = nullptr);
// "a FIFO", "a directory", "a device", "a socket", "a symbolic link" for such a file type.
const char* FileKind(uint32_t type);

// Positioned transfers through a file descriptor, completed after short ones. ReadFully
// returns the bytes read: fewer than `size` only at the end of the file or after an error.
// WriteFully returns the bytes that reached the file: fewer only after an error (errno
// says which).
size_t ReadFully(int fd, uint8_t* bytes, size_t size, off_t position);
size_t WriteFully(int fd, const uint8_t* bytes, size_t size, off_t position);

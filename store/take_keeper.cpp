// The take file keeper: publishing, appending, setting aside and recovering takes.
//
// The order of the steps is what keeps a take safe from a crash or a power cut:
// - data is synced before the name that publishes it changes, and the directory after;
// - a recovered name is listed before the take gets it (a listed name whose file does not
//   exist yet gets the take at the next start), and a hard link is made before the take
//   file's name is removed (a take under both names is known by its link count);
// - an append writes a journal first, so that a start after a crash finishes it (the
//   whole take reached the target) or undoes it (the target is cut back to its old bytes)
//   before the take file is looked at.
#include "store/take_keeper.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "store/append_journal.h"
#include "store/durable.h"
#include "store/take_parts.h"

namespace {

using wavio::CloseChecked;
using wavio::FdGuard;

constexpr const char* kRecoveredName = "takebox_recovered_%i.wav";
constexpr const char* kUnreadableName = "takebox_unreadable_%i.wav";

int ListTrack(const TrackListRef& list, const char* name)
{
    return AddTrack(list.table, list.text, list.path, list.count, name);
}

// Moves the take file to the first free name of the pattern; with `list` (when given), the
// name is listed first. A move cut short by a crash is completed under the name it had
// reached. Returns 1 with the name; 0 with errno set.
int MoveToFreeName(const char* takePath, const TrackListRef* list, const char* pattern, char* name,
                   size_t cap)
{
    if (FindLinkedName(takePath, name, cap)) {
        if (list != nullptr)
            ListTrack(*list, name);
        return RemoveName(takePath);
    }
    for (int32_t attempt = 0; attempt < kMaxNameNumber; attempt++) {
        if (!FreeName(pattern, name, cap))
            return 0;
        if (list != nullptr)
            ListTrack(*list, name);
        if (MoveToName(takePath, name))
            return 1;
        if (errno != EEXIST)
            return 0;
    }
    errno = EEXIST;
    return 0;
}

// The last steps of an append once the target holds the take with its sizes: the take file
// is emptied, then the journal and the take file are removed. Returns 1 when done, 0 (said)
// when the take file could not be emptied: the journal stays, and the next start or
// recording finds the take whole in the target and finishes these steps.
int ClearAppendedTake(const char* takePath)
{
    if (!CutTakeFile(takePath, 0))
        return 0;
    RemoveName(kJournal);
    RemoveName(takePath);
    return 1;
}

// Finishes or undoes an append that a crash cut short. Returns 1 when no journal is left.
int SettleAppend(const char* takePath)
{
    AppendJournal j;
    const int found = ReadJournal(&j);
    if (found == 0)
        return 1;
    if (found < 0)  // cut short before the target was touched
        return RemoveName(kJournal);
    if (HoldsWholeTake(j, takePath)) {
        if (!PatchAppendSizes(j) || !ClearAppendedTake(takePath))
            return 0;
        printf("Completed the append to %s that was cut short\n", j.target);
        return 1;
    }
    // The take file keeps only the take: audio deleted behind it stays deleted.
    if (!RollBack(j) || !CutTakeFile(takePath, static_cast<int32_t>(j.takeBytes))) {
        printf("Unable to restore %s: %s\n", j.target, strerror(errno));
        return 0;
    }
    RemoveName(kJournal);
    printf("An append to %s was cut short: %s is as it was before\n", j.target, j.target);
    return 1;
}

// An append that failed: the take stays in the take file, the target is put back.
void UndoAppend(const char* takePath, const char* target, const AppendJournal& j,
                int32_t keptBytes)
{
    CutTakeFile(takePath, keptBytes);
    printf("Unable to append the take to %s; the take is kept in %s\n", target,
           takePath);
    if (!RollBack(j)) {
        printf("Unable to restore %s: %s\n", target, strerror(errno));
        return;  // the journal stays: the next start puts the target back
    }
    RemoveName(kJournal);
}

// Moves whatever is not a regular file under the program's own `name` (a link, a FIFO, a
// device, a directory) aside to the next free takebox_unreadable_N name with the same
// extension: the entry itself is renamed, never what a link leads to, and it is looked at
// without being opened (LookAt). Returns 1 when the name holds a regular file or nothing,
// 0 when a foreign entry could not be moved (said).
int ClearOwnName(const char* name)
{
    uint32_t type = 0;
    // Nothing there, or an entry that cannot be reached: the open that needs it fails.
    if (!LookAt(name, false, &type) || type == S_IFREG)
        return 1;
    const char* dot = strrchr(name, '.');
    char pattern[64];
    snprintf(pattern, sizeof pattern, "takebox_unreadable_%%i%s", dot != nullptr ? dot : "");
    char aside[kRecordNameCap];
    const char* kind = FileKind(type);
    if (!FreeName(pattern, aside, sizeof aside) || !MoveToName(name, aside)) {
        printf("Nothing is recorded: %s named %s is in the way and cannot be moved aside: %s\n",
               kind, name, strerror(errno));
        return 0;
    }
    printf("Found %s named %s: moved aside to %s\n", kind, name, aside);
    return 1;
}

// Recovers the audio that a crash left in one part of the take file, as RecoverTake says.
int RecoverPart(const char* takePath, const TrackListRef& list)
{
    FdGuard take(-1);
    off_t length = 0;
    bool writable = false;
    if (!OpenTake(takePath, &take, &length, &writable, nullptr))
        return 1;  // nothing there (or nothing a recording could write over)
    char name[kRecordNameCap];
    WavLayout t;
    if (!ReadTakeLayout(take.fd, &t)) {
        // Shorter than a header, it holds no audio: a header that could not be written.
        if (length < static_cast<off_t>(kHeaderBytes))
            return 1;
        CloseChecked(take);
        if (!MoveToFreeName(takePath, nullptr, kUnreadableName, name, sizeof name)) {
            printf("Unable to move %s aside: %s\n", takePath, strerror(errno));
            return 0;
        }
        printf("%s is no readable WAV file: moved aside to %s\n", takePath, name);
        return 1;
    }
    const uint64_t frames = static_cast<uint64_t>(length - t.dataOffset) / t.frameBytes;
    if (frames == 0)
        return 1;  // a header alone, or less than one frame behind it
    // The sizes still claim the planned length: set them from the whole frames present,
    // a partial last frame cut off, and sync them before the take gets its new name. A
    // file that cannot be patched is moved all the same: readers count its frames by its
    // length.
    if (writable &&
        SetTakeLength(take.fd, t, static_cast<off_t>(t.dataOffset + frames * t.frameBytes)))
        SyncData(take.fd);
    CloseChecked(take);
    if (!MoveToFreeName(takePath, &list, kRecoveredName, name, sizeof name)) {
        printf("Unable to recover the unsaved take in %s: %s\n", takePath, strerror(errno));
        return 0;
    }
    printf("Recovered an unsaved take: %s (%.2f sec)\n", name,
           static_cast<double>(static_cast<float>(frames) / static_cast<float>(t.sampleRate)));
    return 1;
}

}  // namespace

int PrepareTakeFile(const char* takePath, const TrackListRef& list)
{
    if (!ClearOwnName(kJournal))
        return 0;
    for (int32_t part = 0; part < kMaxTakeParts; part++) {
        char name[kPartNameCap];
        if (!PartName(takePath, static_cast<uint32_t>(part), name, sizeof name) ||
            !ClearOwnName(name))
            return 0;
    }
    // A take left in the take file is moved out before a recording can write over it.
    if (!RecoverTake(takePath, list)) {
        printf("Nothing is recorded while %s holds an unsaved take\n", takePath);
        return 0;
    }
    return 1;
}

int ClearTakeName(const char* takePath)
{
    // What is left holds no audio; it is removed, so that the take goes to a file created
    // new: a name that shares its file with another (a hard link) is never written through.
    for (int32_t part = 0; part < kMaxTakeParts; part++) {
        char name[kPartNameCap];
        struct stat st;
        if (PartName(takePath, static_cast<uint32_t>(part), name, sizeof name) &&
            lstat(name, &st) == 0 && !RemoveName(name)) {
            printf("Nothing is recorded: %s cannot be removed: %s\n", name, strerror(errno));
            return 0;
        }
    }
    return 1;
}

int PublishTake(const char* takePath, const char* target, int64_t keptBytes,
                const TrackListRef& list)
{
    // The take file gets its final length and sizes and reaches the disk before its name
    // changes: the target is never seen with the planned sizes or without its audio. So
    // does every part behind it, which then gets its name beside the target; one that a
    // crash leaves under its take file name is recovered at the next start.
    TakeShape shape;
    if (!CutParts(takePath, keptBytes, &shape))
        return 0;
    if (!RenameOnto(takePath, target)) {
        printf("Unable to move %s to %s: %s\n", takePath, target, strerror(errno));
        return 0;
    }
    ListTrack(list, target);
    if (shape.parts > 1)
        MoveParts(takePath, target, shape, keptBytes, list);
    return 1;
}

int AppendTake(const char* takePath, const char* target, int32_t keptBytes,
               const FileAttributes* a, const TrackListRef& list)
{
    const uint64_t existing =
        static_cast<uint64_t>(a->channels) * a->frameCount * a->bytesPerSample;
    const uint64_t dataSize = existing + static_cast<uint64_t>(keptBytes);
    if (dataSize > kMaxField) {
        CutTakeFile(takePath, keptBytes);
        printf("%s would pass 2 GiB of sample data; the take is kept in %s\n", target,
               takePath);
        return 0;
    }
    AppendJournal j;
    const int planned = PlanAppend(target, keptBytes, static_cast<uint32_t>(dataSize), &j);
    if (!planned || !WriteJournal(j)) {
        const int error = errno;
        CutTakeFile(takePath, keptBytes);
        printf("Unable to append the take to %s; the take is kept in %s\n", target,
               takePath);
        if (planned)  // a target that cannot be read has the line above alone
            SayWriteFailed(kJournal, error);
        return 0;
    }
    struct stat st;
    if (!APPEND(target, takePath, keptBytes) || stat(target, &st) != 0 ||
        st.st_size != AppendedEnd(j)) {
        UndoAppend(takePath, target, j, keptBytes);
        return 0;
    }
    if (!SyncFileData(target)) {
        SayWriteFailed(target, errno);
        UndoAppend(takePath, target, j, keptBytes);
        return 0;
    }
    if (!PatchAppendSizes(j)) {
        UndoAppend(takePath, target, j, keptBytes);
        return 0;
    }
    // From here the target holds the take: a take file that cannot be emptied is cleared
    // later, never rolled back over.
    if (!ClearAppendedTake(takePath))
        printf("The take is appended to %s; %s is cleared at the next start or recording\n",
               target, takePath);
    ListTrack(list, target);
    return 1;
}

void SetTakeAside(const char* takePath, const char* target, int64_t keptBytes,
                  const TrackListRef& list)
{
    TakeShape shape;
    if (!CutParts(takePath, keptBytes, &shape))
        return;  // the take stays in the take file: the next start recovers it
    std::string names;
    for (int32_t part = 0; part < shape.parts; part++) {
        char from[kPartNameCap];
        char name[kRecordNameCap];
        if (!PartName(takePath, static_cast<uint32_t>(part), from, sizeof from))
            return;
        if (!MoveToFreeName(from, &list, kRecoveredName, name, sizeof name)) {
            printf("Unable to recover the unsaved take in %s: %s\n", from, strerror(errno));
            return;
        }
        names += (part > 0 ? ", " : "") + std::string(name);
    }
    printf("%s was not replaced: the take is kept as %s\n", target, names.c_str());
}

int RecoverTake(const char* takePath, const TrackListRef& list)
{
    if (!SettleAppend(takePath))
        return 0;
    // Every part, in order: recovered names follow the take's order.
    for (int32_t part = 0; part < kMaxTakeParts; part++) {
        char name[kPartNameCap];
        if (!PartName(takePath, static_cast<uint32_t>(part), name, sizeof name) ||
            !RecoverPart(name, list))
            return 0;
    }
    return 1;
}

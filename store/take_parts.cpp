// The take file's parts: a take longer than one WAV file holds goes on in
// "takebox_temp-2.wav" and so on (PartName), each a plain file of whole frames. Here the
// parts are cut to the kept takes, the spare ones removed, and those behind the first
// given the names beside the target.
#include "store/take_parts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "store/durable.h"

using wavio::FdGuard;

int CutTakeFile(const char* takePath, int32_t keptBytes)
{
    FdGuard take(-1);
    off_t length = 0;
    bool writable = false;
    int refused = 0;
    WavLayout t;
    if (!OpenTake(takePath, &take, &length, &writable, &refused) ||
        !ReadTakeLayout(take.fd, &t))
        return 1;
    off_t end = static_cast<off_t>(t.dataOffset) + (keptBytes > 0 ? keptBytes : 0);
    if (end > length)
        end = length;
    if (!writable || !SetTakeLength(take.fd, t, end)) {
        const int error = writable ? errno : refused;
        printf("Unable to cut %s to its kept takes: %s\n", takePath, strerror(error));
        errno = error;
        return 0;
    }
    if (!SyncData(take.fd))
        return SayWriteFailed(takePath, errno);
    return 1;
}

int ReadTakeShape(const char* takePath, int64_t kept, TakeShape* shape)
{
    *shape = TakeShape{};
    FdGuard take(-1);
    off_t length = 0;
    bool writable = false;
    WavLayout t;
    if (!OpenTake(takePath, &take, &length, &writable, nullptr) || !ReadTakeLayout(take.fd, &t))
        return 0;
    shape->frameBytes = t.frameBytes;
    shape->rate = t.sampleRate;
    shape->partBytes = static_cast<int64_t>(PartFrames(t.frameBytes)) * t.frameBytes;
    shape->parts = 1;
    if (kept > shape->partBytes && shape->partBytes > 0)
        shape->parts = static_cast<int32_t>((kept + shape->partBytes - 1) / shape->partBytes);
    if (shape->parts > kMaxTakeParts)
        shape->parts = kMaxTakeParts;
    return 1;
}

int64_t PartKept(const TakeShape& shape, int64_t kept, int32_t part)
{
    const int64_t before = static_cast<int64_t>(part) * shape.partBytes;
    const int64_t left = kept > before ? kept - before : 0;
    return shape.parts == 1 || left < shape.partBytes ? left : shape.partBytes;
}

int CutParts(const char* takePath, int64_t kept, TakeShape* shape)
{
    if (!ReadTakeShape(takePath, kept, shape)) {
        shape->parts = 1;  // a take file without a header is left as it is, in one piece
        return CutTakeFile(takePath, kept > INT32_MAX ? INT32_MAX : static_cast<int32_t>(kept));
    }
    char name[kPartNameCap];
    for (int32_t part = 0; part < kMaxTakeParts; part++) {
        if (!PartName(takePath, static_cast<uint32_t>(part), name, sizeof name))
            return 0;
        struct stat st;
        if (part >= shape->parts) {
            // The parts behind the kept takes: what a deleted take began.
            if (lstat(name, &st) == 0 && S_ISREG(st.st_mode) && !RemoveName(name)) {
                printf("Unable to remove %s: %s\n", name, strerror(errno));
                return 0;
            }
            continue;
        }
        if (!CutTakeFile(name, static_cast<int32_t>(PartKept(*shape, kept, part))))
            return 0;
    }
    return 1;
}

int MoveParts(const char* takePath, const char* target, const TakeShape& shape, int64_t kept,
              const TrackListRef& list)
{
    char from[kPartNameCap];
    char name[kPartNameCap];
    std::string line = std::string(target) + " is saved in " + std::to_string(shape.parts) +
                       " parts:";
    uint32_t number = 1;  // the parts take the next free numbers, in order
    int moved = 1;
    for (int32_t part = 0; part < shape.parts; part++) {
        if (part > 0 && !PartName(takePath, static_cast<uint32_t>(part), from, sizeof from))
            return 0;
        // A name that exists is passed for the next number.
        bool placed = part == 0;
        while (!placed && number < 100 * kMaxTakeParts &&
               PartName(target, number++, name, sizeof name)) {
            placed = MoveToName(from, name) != 0;
            if (!placed && errno != EEXIST)
                break;
        }
        if (!placed) {
            printf("Unable to move %s beside %s: %s; the next start recovers it\n", from,
                   target, strerror(errno));
            moved = 0;
            continue;
        }
        if (part > 0)
            AddTrack(list.table, list.text, list.path, list.count, name);
        char length[kPartNameCap + 32];
        const double seconds = static_cast<double>(PartKept(shape, kept, part)) /
                               shape.frameBytes / (shape.rate > 0 ? shape.rate : 1);
        snprintf(length, sizeof length, " %s (%.2f sec)", part == 0 ? target : name, seconds);
        line += length;
        if (part + 1 < shape.parts)
            line += ",";
    }
    printf("%s\n", line.c_str());
    return moved;
}

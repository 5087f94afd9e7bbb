// The record command: choose the target, record into the take file, then have the take
// file keeper publish, append or set aside the kept takes.
#include "console/console.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "audio/audio.h"
#include "store/take_keeper.h"
#include "store/take_parts.h"
#include "term/detached.h"
#include "term/term.h"
#include "wav/wav.h"

namespace {

// 1 when `name` is the take file: the same name, the same file under another name, or
// the take file's name in the working directory reached by another path.
int IsTakeFile(const AppState* s, const char* name)
{
    if (strcmp(name, s->takePath) == 0)
        return 1;
    struct stat target, take;
    if (stat(name, &target) == 0 && stat(s->takePath, &take) == 0)
        return target.st_dev == take.st_dev && target.st_ino == take.st_ino;
    const char* slash = strrchr(name, '/');
    if (slash == nullptr || strcmp(slash + 1, s->takePath) != 0)
        return 0;
    char dir[kRecordNameCap];
    size_t length = static_cast<size_t>(slash - name);
    if (length >= sizeof dir)
        return 0;
    CopyText(dir, length == 0 ? "/" : name, length == 0 ? 2 : static_cast<uint32_t>(length + 1));
    struct stat here;
    return stat(dir, &target) == 0 && stat(".", &here) == 0 && target.st_dev == here.st_dev &&
           target.st_ino == here.st_ino;
}

// Refuses the take file as a recording target, with one line. Returns 1 when refused.
int RefuseTakeFile(const AppState* s, const char* name)
{
    if (!IsTakeFile(s, name))
        return 0;
    printf("%s is the take file; choose another name\n", name);
    return 1;
}

// Whether the target is there to be replaced, played or extended: a regular file that can
// be opened for reading, or an entry of another kind (a FIFO, a directory), which is never
// opened for it (a FIFO would wait for a writer).
bool TargetExists(const char* name)
{
    uint32_t other = 0;
    const int fd = OpenRegular(name, O_RDONLY, &other);
    if (fd >= 0)
        close(fd);
    return fd >= 0 || other != 0;
}

// Asks until the duration is above 0. Returns 0 at end of input.
int SettleDuration(AppState* s)
{
    while (!(s->duration > 0.0f)) {
        puts("Enter the length of recording time in seconds:");
        int got = ReadDecimal(&s->duration);
        if (got < 0)
            return 0;
        // A word that is no number is dropped once; a lone sign that the number read took
        // leaves nothing to drop, so the next word is read as the duration.
        if (got == 0)
            DropWordRest();
    }
    return 1;
}

// Compares the target's format with the recording settings. Returns 1 when they match;
// otherwise prints why, waits for "c" and returns 0.
int TargetMatches(const AppState* s, FileAttributes* a)
{
    if (!GetAttributes(s->recordName, a, 0)) {
        // Not a WAV file we can extend: its own message says why.
        WaitForC("Enter 'c' to continue");
        return 0;
    }
    // A format no setting records (8-bit, 20-bit, wide containers, more channels,
    // compressed) is named as it is, rather than asking for a setting that does not exist.
    WavLayout w;
    char holds[128];
    ReadLayoutOf(s->recordName, &w);
    if (!RecordableLayout(w, holds, sizeof holds)) {
        printf("You cannot record at the end of %s: it holds %s, and Takebox records only "
               "16- or 24-bit PCM, mono or stereo\n",
               s->recordName, holds);
        WaitForC("Enter 'c' to continue");
        return 0;
    }
    int match = 1;
    if (a->sampleRate != s->sampleRate) {
        printf("You cannot record into this file until you change the recording samplerate to %i\n",
               static_cast<int32_t>(a->sampleRate));
        match = 0;
    }
    if (a->bytesPerSample != s->bits / 8) {
        printf("You cannot record into this file until you change the recording bit depth to %i\n",
               static_cast<int32_t>(a->bytesPerSample * 8));
        match = 0;
    }
    if (a->channels != static_cast<uint32_t>(s->channels)) {
        printf("You cannot record into this file until you change the recording channels to %i\n",
               static_cast<int32_t>(a->channels));
        match = 0;
    }
    // A take behind other chunks would be no part of the audio, and one behind a torn
    // frame would be read a few bytes off.
    if (w.followed) {
        printf("You cannot record at the end of %s: other chunks follow its audio\n",
               s->recordName);
        match = 0;
    } else if ((AppendPosition(w) - static_cast<off_t>(w.dataOffset)) % w.frameBytes != 0) {
        printf("You cannot record at the end of %s: its audio ends inside a frame\n",
               s->recordName);
        match = 0;
    }
    if (!match)
        WaitForC("Enter 'c' to continue");
    return match;
}

// Shows the menu for an existing target until a choice settles the recording.
// Returns 1 to record (with *appendFlag set), 0 to end the command.
int ChooseTarget(AppState* s, int32_t* appendFlag, FileAttributes* a)
{
    *appendFlag = 0;
    for (;;) {
        if (!TargetExists(s->recordName))
            return 1;  // a new target
        printf("%s exists\n", s->recordName);
        printf("1 = erase and record over %s\n", s->recordName);
        puts("2 = enter a different name");
        printf("3 = play %s\n", s->recordName);
        printf("4 = record at the end of %s\n", s->recordName);
        puts("5 = return without recording");
        char choice[kWordCap];
        if (!ReadWord(choice, sizeof choice))
            return 0;
        if (strcmp(choice, "1") == 0)
            return 1;
        if (strcmp(choice, "2") == 0) {
            puts("Enter a new filename:");
            char name[kRecordNameCap];
            if (!ReadRecordName(name))
                return 0;
            if (!RefuseTakeFile(s, name))  // refused: the menu is shown again as it was
                CopyText(s->recordName, name, kRecordNameCap);
        } else if (strcmp(choice, "3") == 0) {
            printf("Playing %s ...\n", s->recordName);
            PLAY(s->recordName, s->device, 0.0f, 3600.0f);
        } else if (strcmp(choice, "4") == 0) {
            if (!TargetMatches(s, a))
                return 0;
            *appendFlag = 1;
            return 1;
        } else if (strcmp(choice, "5") == 0) {
            return 0;
        }
    }
}

// On a terminal: a take longer than the disk has room for is announced (it still starts;
// Ctrl-C stops it, a full disk ends it).
void WarnOfDiskRoom(const AppState* s)
{
    if (!isatty(STDOUT_FILENO))
        return;
    const int64_t room = DiskSeconds(s->sampleRate, s->bits / 8, s->channels);
    if (room < 0 || !(static_cast<double>(s->duration) > static_cast<double>(room)))
        return;
    char hours[32];
    FormatHours(hours, sizeof hours, room);
    printf("The take (%.2f sec) is longer than the disk has room for: %s at these settings\n",
           static_cast<double>(s->duration), hours);
}

}  // namespace

void RecordCommand(AppState* s)
{
    if (!PrepareTakeFile(s->takePath, ListOf(s)))
        return;
    if (s->recordName[0] == '\0') {
        puts("Enter the recording file name:");
        if (!ReadRecordName(s->recordName))
            return;
    }
    if (RefuseTakeFile(s, s->recordName) || !SettleDuration(s))
        return;
    int32_t appendFlag = 0;
    FileAttributes attributes = {0, 0, 0, 0, 0};
    if (!ChooseTarget(s, &appendFlag, &attributes))
        return;
    WarnOfDiskRoom(s);
    if (!ClearTakeName(s->takePath))
        return;
    NameTheTake(s->recordName);  // what a later copy is told, should the terminal hang up
    int32_t undecided = 0;
    int64_t kept = 0;
    int32_t result = RECORD(s->device, s->sampleRate, s->duration, s->channels,
                            static_cast<int32_t>(s->bits), appendFlag, s->takePath, &undecided,
                            &kept);
    if (result <= 0) {
        // Nothing kept: the header alone stays, sized empty, the parts a deleted take
        // began go, and the target is untouched.
        TakeShape shape;
        CutParts(s->takePath, 0, &shape);
        return;
    }
    struct stat target;
    if (appendFlag)
        AppendTake(s->takePath, s->recordName, result, &attributes, ListOf(s));
    else if (undecided && lstat(s->recordName, &target) == 0)
        SetTakeAside(s->takePath, s->recordName, kept, ListOf(s));  // nobody chose to erase the file that is there
    else
        PublishTake(s->takePath, s->recordName, kept, ListOf(s));
}

// Start-up, the command loop (the command words tested in a fixed order), and shutdown.
#include "console/console.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "audio/audio.h"
#include "store/take_keeper.h"
#include "term/term.h"

void InitAppState(AppState* s, char* trackTable, char* listText)
{
    memset(s, 0, sizeof *s);
    CopyText(s->device, "default", kDeviceCap);
    s->sampleRate = 44100;
    s->bits = 16;
    s->channels = 2;
    CopyText(s->listPath, "tlist.txt", kListPathCap);
    s->lastTrack = 1;
    s->saveOnExit = 1;
    CopyText(s->settingsPath, "rcbox.txt", sizeof s->settingsPath);
    CopyText(s->takePath, "takebox_temp.wav", kTakePathCap);
    s->trackTable = trackTable;
    s->listText = listText;
    memset(trackTable, 0, kTableBytes);
    memset(listText, 0, kTableBytes + 1);
}

namespace {

void StartUp(AppState* s)
{
    puts("\nTakebox 1.05 by Marlo Fenwick\n");
    FILE* settings = OpenForReading(s->settingsPath);
    if (settings != nullptr) {
        fclose(settings);
        puts("Reading rcbox.txt file");
        GET_PARAMS(&s->channels, s->device, &s->sampleRate, &s->bits, &s->inPoint,
                   &s->outPoint, &s->duration, s->listPath, &s->listNamed, s->settingsPath,
                   s->recordName);
    }
    bool ask = s->listNamed == 0 || RefuseWaveList(s->listPath);
    while (ask) {
        puts("Enter the name of a new or existing wavefile list:");
        char name[kListPathCap];
        if (!ReadWord(name, sizeof name)) {
            CopyText(s->listPath, "tlist.txt", kListPathCap);  // end of input: the default list
            break;
        }
        ask = RefuseWaveList(name) != 0;
        if (!ask)
            CopyText(s->listPath, name, kListPathCap);
    }
    if (s->channels != 1 && s->channels != 2) {
        s->channels = 2;
        puts("Channels were set to illegal value, setting to 2.");
    }
    if (s->bits != 16 && s->bits != 24) {
        s->bits = 16;
        puts("Bits were set to illegal value, setting to 16.");
    }
    puts("-----------------------------");
    puts("Current Recording Parameters:");
    printf("   Channels: %i\n", s->channels);
    printf("   Sample rate: %i\n", static_cast<int32_t>(s->sampleRate));
    printf("   Bits: %i\n", static_cast<int32_t>(s->bits));
    printf("   Device: %s\n", s->device);
    printf("   File: %s\n", s->recordName);
    puts("-----------------------------\n");
    GetList(s->listText, s->trackTable, s->listPath, &s->trackCount, kTableBytes);
    // What a crash left: temporary copies of the settings and the list (the directory's
    // lock says no other copy is writing them), and a take or an append not finished.
    RemoveLeftoverTemporaries(s->settingsPath);
    RemoveLeftoverTemporaries(s->listPath);
    RecoverTake(s->takePath, ListOf(s));
    puts("Type h at any time to get a list of commands");
    s->saveOnExit = 1;
    s->listHidden = 0;
}

void ShutDown(AppState* s)
{
    if (s->saveOnExit == 0) {
        puts("Exit without saving list and settings? (y,n)");
        char answer[kWordCap] = "";
        if (ReadWord(answer, sizeof answer) && strcmp(answer, "y") == 0)
            return;  // only an exact "y" leaves without writing
    }
    puts("Saving list and parameters");
    WriteList(s->listPath, s->trackTable, s->listText, s->trackCount);
    Store_Settings(s->channels, s->device, s->sampleRate, s->bits, s->inPoint, s->outPoint,
                   s->duration, s->listPath, s->recordName);
}

void ShowValues(const AppState* s)
{
    if (s->listHidden == 0) {
        puts("\nTrack List:");
        for (int32_t n = 1; n <= s->trackCount; n++)
            printf("\t%i %s\n", n, s->trackTable + static_cast<size_t>(n - 1) * kSlotBytes);
        printf("\n");
    }
    printf("Playback:\tIn %.2f\t\tOut %.2f\n", static_cast<double>(s->inPoint),
           static_cast<double>(s->outPoint));
    printf("Recording: \tDur %.2f\tFilename: %s\n", static_cast<double>(s->duration),
           s->recordName);
}

void JumpForward(AppState* s)
{
    float in = s->inPoint;
    float out = s->outPoint;
    s->inPoint = out;
    s->outPoint = out + (out - in);
}

void JumpBackward(AppState* s)
{
    float in = s->inPoint;
    float out = s->outPoint;
    float newIn = in - (out - in);
    s->inPoint = newIn < 0.0f ? 0.0f : newIn;
    s->outPoint = in < 0.0f ? 0.0f : in;
}

void SaveAll(AppState* s)
{
    if (WriteList(s->listPath, s->trackTable, s->listText, s->trackCount))
        printf("Saved track list (%s)\n", s->listPath);
    if (Store_Settings(s->channels, s->device, s->sampleRate, s->bits, s->inPoint,
                       s->outPoint, s->duration, s->listPath, s->recordName))
        puts("Saved settings");
}

// The F, L and - prompts each act only on a number typed at them; other text is left
// for the next command word.
void LoadList(AppState* s)
{
    printf("1 = Load list from file: %s\n", s->listPath);
    puts("2 = Enter new file name and load list");
    puts("3 = Return");
    int32_t number = 0;
    if (ReadInteger(&number) != 1)
        return;
    if (number == 1) {
        GetList(s->listText, s->trackTable, s->listPath, &s->trackCount, kTableBytes);
    } else if (number == 2) {
        puts("Enter file name containing list");
        char name[kListPathCap];
        if (!ReadWord(name, sizeof name))
            return;
        // A WAV file is refused: the list in hand and its path stay.
        if (GetList(s->listText, s->trackTable, name, &s->trackCount, kTableBytes))
            CopyText(s->listPath, name, kListPathCap);
    }
}

void RemoveFromList(AppState* s)
{
    printf("Enter a track (1-%i) to remove from list or '0' to return\n", s->trackCount);
    int32_t number = 0;
    if (ReadInteger(&number) != 1)
        return;
    if (number >= 1 && number <= s->trackCount) {
        RemoveTrack(s->trackTable, number, s->trackCount);
        s->trackCount--;
    }
}

void SelectRecordFile(AppState* s)
{
    printf("Select a file in list for record filename (1-%i)\n", s->trackCount);
    int32_t number = 0;
    if (ReadInteger(&number) != 1)
        return;
    if (number >= 1 && number <= s->trackCount)
        CopyText(s->recordName, s->trackTable + static_cast<size_t>(number - 1) * kSlotBytes,
                 kRecordNameCap);
}

// Lines of the device list stay within 79 columns.
constexpr size_t kLineWidth = 79;

// The device prompt. On a terminal the devices that can capture are listed first, a
// number from the list picks one, and a line says what the chosen device offers. Returns
// 0 at the end of input.
int ChooseDevice(AppState* s)
{
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    static DeviceList list;  // 8 KiB: not on the stack
    if (terminal) {
        ListCaptureDevices(&list);
        for (int32_t n = 0; n < list.count; n++) {
            const size_t used = 7 + strnlen(list.names[n], kDeviceNameBytes);
            const int room = static_cast<int>(used < kLineWidth ? kLineWidth - used : 0);
            printf("%2i = %s  %.*s\n", n + 1, list.names[n], room, list.descriptions[n]);
        }
    }
    puts("Enter soundcard device name:");
    char word[kDeviceCap];
    if (!ReadWord(word, kDeviceCap))
        return 0;
    const int32_t number = terminal ? TextInteger(word) : 0;
    char digits[16];
    snprintf(digits, sizeof digits, "%i", number);
    char chosen[kDeviceCap];
    if (number >= 1 && number <= list.count && strcmp(digits, word) == 0)
        CopyText(chosen, list.names[number - 1], kDeviceCap);
    else
        CopyText(chosen, word, kDeviceCap);
    // On a terminal a device that does not open for capture is not taken.
    if (terminal && !DescribeCaptureDevice(chosen)) {
        printf("The device stays %s\n", s->device);
        return 1;
    }
    CopyText(s->device, chosen, kDeviceCap);
    return 1;
}

}  // namespace

void Help()
{
    static const char* const lines[] = {
        "\nList Commands\n",
        "   'l' to hide or show track list",
        "   'L' to reload track list from file",
        "   '-' to remove a track from the list",
        "\nRecording Commands\n",
        "   'r' to record",
        "   'd' to set recording duration",
        "   'f' to enter filename for recording",
        "   'F' to select file in list to record to",
        "   'u' to adjust recording hardware settings",
        "   'm' to show the input level meter",
        "\nPlayback Commands\n",
        "   'p' to play a track, or 2p for track 2, etc",
        "   'a' to play all playlist tracks in order",
        "   'i' to set in point of playback",
        "   'o' to set out point of playback",
        "   'j' to jump forward: out-point becomes in-point",
        "   'J' to jump backward: in-point becomes out-point",
        "   't' to check attributes of files in list",
    };
    for (const char* line : lines)
        puts(line);
    printf("\n");
    puts("   's' to save file list and settings");
    puts("   'q' to quit and save");
    puts("   'x' to exit without saving list or parameters");
    WaitForC("\nEnter 'c' to continue");
}

void RecordSettingsMenu(AppState* s, char* word)
{
    while (TextInteger(word) != 5) {
        puts("Record Settings");
        printf("1 = change samplerate: %i\n", static_cast<int32_t>(s->sampleRate));
        printf("2 = toggle bit depth: %i\n", static_cast<int32_t>(s->bits));
        printf("3 = toggle channels: %i\n", s->channels);
        printf("4 = change soundcard: %s\n", s->device);
        puts("5 = done");
        if (!ReadWord(word, kWordCap))
            break;
        if (TextInteger(word) == 1) {
            puts("Enter samplerate:");
            if (!ReadWord(word, kWordCap))
                break;
            s->sampleRate = static_cast<uint32_t>(TextInteger(word));
        }
        // The choices below look at the word as it now stands: a rate typed as 2 to 5
        // also acts as that choice.
        int32_t choice = TextInteger(word);
        if (choice == 2)
            s->bits = s->bits == 16 ? 24 : 16;
        if (choice == 3)
            s->channels = s->channels == 2 ? 1 : 2;
        if (choice == 4 && !ChooseDevice(s))
            break;
    }
}

int RunTakebox(AppState* s)
{
    ResetConsoleInput();  // nothing read by an earlier run in this process is left over
    StartUp(s);
    char word[kWordCap] = "0";
    for (;;) {
        if (strcmp(word, "q") == 0 || strcmp(word, "x") == 0)
            break;
        ShowValues(s);
        if (!ReadWord(word, sizeof word)) {
            CopyText(word, "q", sizeof word);  // end of input leaves as "q" does
            continue;
        }
        if (strcmp(word, "r") == 0)
            RecordCommand(s);
        else if (strcmp(word, "p") == 0)
            PlayPrompt(s);
        else if (strchr(word, 'p') != nullptr)
            PlayForm(s, word);
        else if (strcmp(word, "a") == 0)
            PlayAll(s);
        else if (strcmp(word, "i") == 0) {
            puts("Enter start time in seconds:");
            ReadDecimal(&s->inPoint);
        } else if (strcmp(word, "o") == 0) {
            puts("Enter stop time in seconds:");
            ReadDecimal(&s->outPoint);
        } else if (strcmp(word, "j") == 0)
            JumpForward(s);
        else if (strcmp(word, "J") == 0)
            JumpBackward(s);
        else if (strcmp(word, "d") == 0) {
            puts("Enter record duration in seconds:");
            ReadDecimal(&s->duration);
        } else if (strcmp(word, "f") == 0) {
            puts("Enter recording file name:");
            ReadRecordName(s->recordName);
        } else if (strcmp(word, "F") == 0)
            SelectRecordFile(s);
        else if (strcmp(word, "l") == 0)
            s->listHidden = 1 - s->listHidden;
        else if (strcmp(word, "s") == 0)
            SaveAll(s);
        else if (strcmp(word, "t") == 0)
            CheckTracks(s);
        else if (strcmp(word, "h") == 0)
            Help();
        else if (strcmp(word, "L") == 0)
            LoadList(s);
        else if (strcmp(word, "-") == 0)
            RemoveFromList(s);
        else if (strcmp(word, "x") == 0)
            s->saveOnExit = 0;
        else if (strcmp(word, "u") == 0)
            RecordSettingsMenu(s, word);
        else if (strcmp(word, "m") == 0)
            LevelCheck(s->device, s->sampleRate, s->channels, static_cast<int32_t>(s->bits));
    }
    ShutDown(s);
    return 0;
}

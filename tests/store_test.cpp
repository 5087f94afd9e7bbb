// Settings file and track list: round trips and the reader's rules.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "store/store.h"
#include "tests/e2e.h"

namespace {

struct Settings {
    int32_t channels = 2;
    char device[kDeviceCap] = "default";
    uint32_t sampleRate = 44100;
    uint32_t bits = 16;
    float in = 0, out = 0, duration = 0;
    char listPath[kListPathCap] = "tlist.txt";
    int32_t listNamed = 0;
    char recordName[kRecordNameCap] = "";
};

// Runs the settings reader on `text` written to a file in a fresh directory.
Settings Read(const std::string& text, Settings start = Settings())
{
    std::string path = MakeTempDir() + "/rcbox.txt";
    WriteFile(path, text);
    GET_PARAMS(&start.channels, start.device, &start.sampleRate, &start.bits, &start.in,
               &start.out, &start.duration, start.listPath, &start.listNamed, path.c_str(),
               start.recordName);
    return start;
}

// Runs `body` with the working directory set to a fresh directory; returns that directory.
template <typename F>
std::string InTempDir(F body)
{
    std::string dir = MakeTempDir();
    char old[4096];
    EXPECT_NE(getcwd(old, sizeof old), nullptr);
    EXPECT_EQ(chdir(dir.c_str()), 0);
    body();
    EXPECT_EQ(chdir(old), 0);
    return dir;
}

std::string Slot(const std::vector<char>& table, int i)
{
    return std::string(&table[static_cast<size_t>(i) * kSlotBytes]);
}

struct List {
    std::vector<char> text = std::vector<char>(kTableBytes + 1, 'x');
    std::vector<char> table = std::vector<char>(kTableBytes, 0);
    int32_t count = 0;
};

int Load(List* list, const std::string& path)
{
    return GetList(list->text.data(), list->table.data(), path.c_str(), &list->count, kTableBytes);
}

}  // namespace

TEST(Settings, RoundTripKeepsEveryFieldToTheMillisecond)
{
    std::string dir = InTempDir([] {
        EXPECT_EQ(Store_Settings(1, "hw:1,0", 48000, 24, 1.23456f, 99.5f, 7.0004f,
                                 "lists/my list.txt", "take one.wav"),
                  1);
    });
    EXPECT_EQ(ReadFile(dir + "/rcbox.txt"),
              "dv\thw:1,0\nsr\t48000\nbits\t24\nch\t1\ni\t1.235\no\t99.500\nd\t7.000\n"
              "tlist\tlists/my list.txt\nrname\ttake one.wav\n");
    EXPECT_FALSE(FileExists(dir + "/rcbox.txt.tmp"));
    Settings s = Read(ReadFile(dir + "/rcbox.txt"));
    EXPECT_EQ(s.channels, 1);
    EXPECT_STREQ(s.device, "hw:1,0");
    EXPECT_EQ(s.sampleRate, 48000u);
    EXPECT_EQ(s.bits, 24u);
    EXPECT_FLOAT_EQ(s.in, 1.235f);
    EXPECT_FLOAT_EQ(s.out, 99.5f);
    EXPECT_FLOAT_EQ(s.duration, 7.0f);
    EXPECT_STREQ(s.listPath, "lists/my list.txt");
    EXPECT_EQ(s.listNamed, 1);
    EXPECT_STREQ(s.recordName, "take one.wav");
}

TEST(Settings, EmptyListAndRecordNamesGiveSevenLinesAndReadBackNothing)
{
    std::string dir = InTempDir([] {
        EXPECT_EQ(Store_Settings(2, "default", 44100, 16, 0, 0, 0, "", ""), 1);
    });
    std::string text = ReadFile(dir + "/rcbox.txt");
    EXPECT_EQ(text, "dv\tdefault\nsr\t44100\nbits\t16\nch\t2\ni\t0.000\no\t0.000\nd\t0.000\n");
    Settings start;
    strcpy(start.listPath, "keep.txt");
    strcpy(start.recordName, "keep.wav");
    Settings s = Read(text, start);
    EXPECT_STREQ(s.listPath, "keep.txt");
    EXPECT_STREQ(s.recordName, "keep.wav");
    EXPECT_EQ(s.listNamed, 0);
}

TEST(Settings, KeyAndValueQuirks)
{
    // A space works as the separator; two tabs put a tab into a text value, while
    // numbers skip leading white space.
    Settings s = Read("sr 48000\ndv\t\thw:0\nch\t\t1\n");
    EXPECT_EQ(s.sampleRate, 48000u);
    EXPECT_STREQ(s.device, "\thw:0");
    EXPECT_EQ(s.channels, 1);

    // An empty value takes the whole next non-empty line, whose own key is lost.
    s = Read("dv\n\nsr\t96000\nbits\t24\n");
    EXPECT_STREQ(s.device, "sr\t96000");
    EXPECT_EQ(s.sampleRate, 44100u);
    EXPECT_EQ(s.bits, 24u);

    // Words of an unknown line are tried as keys: "d" here takes the rest of the line.
    s = Read("volume 11\nnote d 2.5 seconds\nSR\t8000\nsrate\t8000\n");
    EXPECT_FLOAT_EQ(s.duration, 2.5f);
    EXPECT_EQ(s.sampleRate, 44100u);

    // Any order, the last occurrence wins; CR LF line ends leave no CR at the end of a
    // value, a CR elsewhere stays.
    s = Read("rname\ta.wav\r\nsr\t1\r\nrname\tb.wav\r\nsr\t22050\r\ntlist\tl\r.txt\r\r\ndv\thw:1\r\n"
             "dv\t\r\n");
    EXPECT_STREQ(s.recordName, "b.wav");
    EXPECT_EQ(s.sampleRate, 22050u);
    EXPECT_STREQ(s.listPath, "l\r.txt");
    EXPECT_STREQ(s.device, "hw:1");  // the empty value that follows names nothing

    // Numbers that are no numbers give 0; a key as the last token is ignored.
    s = Read("bits\tsixteen\ni\tlater\nch");
    EXPECT_EQ(s.bits, 0u);
    EXPECT_FLOAT_EQ(s.in, 0.0f);
    EXPECT_EQ(s.channels, 2);
}

TEST(Settings, OverlongValuesAndFilesAreCutToFit)
{
    std::string longName(300, 'n');
    Settings s = Read("dv\t" + longName + "\ntlist\t" + longName + "\nrname\t" + longName + "\n");
    EXPECT_EQ(std::string(s.device), longName.substr(0, 47));
    EXPECT_EQ(std::string(s.listPath), longName.substr(0, 255));
    EXPECT_EQ(std::string(s.recordName), longName.substr(0, 127));

    // Only the first 1023 bytes of a hand-made file are read.
    std::string pad = "pad\t" + std::string(1010, 'p') + "\n";  // 1015 bytes
    s = Read(pad + "sr\t8000\n");  // ends exactly at byte 1023
    EXPECT_EQ(s.sampleRate, 8000u);
    s = Read(pad + "ch\t1\nsr\t8000\n");  // "sr" starts at byte 1020: value cut to nothing
    EXPECT_EQ(s.channels, 1);
    EXPECT_EQ(s.sampleRate, 44100u);
}

TEST(TrackList, LineFeedRunsCarriageReturnsAndZeroBytes)
{
    std::string dir = MakeTempDir();
    List list;
    testing::internal::CaptureStdout();
    WriteFile(dir + "/a.txt", "\n\none.wav\n\n\ntwo .wav");
    EXPECT_EQ(Load(&list, dir + "/a.txt"), 1);
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(Slot(list.table, 0), "one.wav");
    EXPECT_EQ(Slot(list.table, 1), "two .wav");
    WriteList((dir + "/b.txt").c_str(), list.table.data(), list.text.data(), list.count);
    EXPECT_EQ(ReadFile(dir + "/b.txt"), "one.wav\ntwo .wav\n");

    // CR LF line ends leave no CR at the end of a name (nor does the end of the text),
    // and a line of a CR alone gives none; a CR elsewhere stays.
    WriteFile(dir + "/crlf.txt", "a.wav\r\n\r\nb\r.wav\r\r\nc.wav\r");
    Load(&list, dir + "/crlf.txt");
    EXPECT_EQ(list.count, 3);
    EXPECT_EQ(Slot(list.table, 0), "a.wav");
    EXPECT_EQ(Slot(list.table, 1), "b\r.wav");
    EXPECT_EQ(Slot(list.table, 2), "c.wav");

    WriteFile(dir + "/zero.txt", std::string("a.wav\nb.wav\0c.wav\n", 18));
    Load(&list, dir + "/zero.txt");
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(Slot(list.table, 1), "b.wav");

    // A short list after a long one leaves nothing of the earlier text behind.
    WriteFile(dir + "/short.txt", "z");
    Load(&list, dir + "/short.txt");
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(Slot(list.table, 0), "z");
    EXPECT_EQ(Slot(list.table, 1), "");

    WriteFile(dir + "/empty.txt", "");
    EXPECT_EQ(Load(&list, dir + "/empty.txt"), 1);
    EXPECT_EQ(list.count, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Opening existing list: " + dir + "/a.txt\nOpening existing list: " + dir +
                       "/crlf.txt\nOpening existing list: " + dir + "/zero.txt\nOpening existing list: " +
                       dir + "/short.txt\nOpening existing list: " + dir + "/empty.txt\n");
}

TEST(TrackList, MissingFileKeepsTheTable)
{
    List list;
    strcpy(list.table.data(), "kept.wav");
    list.count = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Load(&list, "/nonexistent/dir/list.txt"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Creating a new list: /nonexistent/dir/list.txt\n");
    EXPECT_EQ(list.count, 1);
    EXPECT_EQ(Slot(list.table, 0), "kept.wav");
}

TEST(TrackList, LoadCapsAtTheTableAndTheBuffer)
{
    std::string dir = MakeTempDir();
    std::string text;
    for (int i = 0; i < 1500; i++)
        text += "track" + std::to_string(i) + ".wav\n";
    WriteFile(dir + "/many.txt", text);
    List list;
    testing::internal::CaptureStdout();
    Load(&list, dir + "/many.txt");
    EXPECT_EQ(list.count, 1022);
    EXPECT_EQ(Slot(list.table, 1021), "track1021.wav");
    EXPECT_EQ(Slot(list.table, 1022), "");

    // 8 bytes over the buffer: reported, the first 131072 bytes parsed. 1024 lines of
    // 127 bytes + LF fill it exactly; a 128-byte line cuts to 127.
    std::string big;
    for (int i = 0; i < 1024; i++)
        big += std::string(126, static_cast<char>('a' + i % 26)) + std::string(1, '0' + i % 10) + "\n";
    big += "1234567";
    big += "\n";
    ASSERT_EQ(big.size(), 131072u + 8);
    WriteFile(dir + "/big.txt", big);
    Load(&list, dir + "/big.txt");
    EXPECT_EQ(list.count, 1022);
    EXPECT_EQ(Slot(list.table, 0).size(), 127u);

    WriteFile(dir + "/long.txt", std::string(200, 'L') + "\nshort\n");
    Load(&list, dir + "/long.txt");
    EXPECT_EQ(list.count, 2);
    EXPECT_EQ(Slot(list.table, 0), std::string(127, 'L'));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("List file is too large. 8 bytes not loaded\n"), std::string::npos);
}

TEST(TrackList, WriteListWritesExactlyCountLines)
{
    std::string dir = MakeTempDir();
    List list;
    for (int i = 0; i < 1024; i++)
        memset(&list.table[static_cast<size_t>(i) * kSlotBytes], 'a' + i % 26, 127);
    EXPECT_EQ(WriteList((dir + "/full.txt").c_str(), list.table.data(), list.text.data(), 1024), 1);
    EXPECT_EQ(ReadFile(dir + "/full.txt").size(), 131072u);
    EXPECT_EQ(WriteList((dir + "/none.txt").c_str(), list.table.data(), list.text.data(), 0), 1);
    EXPECT_TRUE(FileExists(dir + "/none.txt"));
    EXPECT_EQ(ReadFile(dir + "/none.txt"), "");

    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteList("/nonexistent/dir/l.txt", list.table.data(), list.text.data(), 1), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Unable to open /nonexistent/dir/l.txt\n");
}

TEST(TrackList, RemoveTrackClosesTheGap)
{
    List list;
    for (int i = 0; i < 3; i++)
        strcpy(&list.table[static_cast<size_t>(i) * kSlotBytes], ("t" + std::to_string(i + 1)).c_str());
    RemoveTrack(list.table.data(), 4, 3);  // past the count: nothing changes
    EXPECT_EQ(Slot(list.table, 2), "t3");
    RemoveTrack(list.table.data(), 1, 3);
    EXPECT_EQ(Slot(list.table, 0), "t2");
    EXPECT_EQ(Slot(list.table, 1), "t3");
    EXPECT_EQ(Slot(list.table, 2), "");
    RemoveTrack(list.table.data(), 2, 2);  // the last one: only its slot is emptied
    EXPECT_EQ(Slot(list.table, 0), "t2");
    EXPECT_EQ(Slot(list.table, 1), "");
}

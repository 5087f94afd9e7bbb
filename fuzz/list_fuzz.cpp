// libFuzzer target for the track list: the input is a list file that GetList loads, and
// list text that ParseList splits, with the program's buffer sizes. The table must hold
// the lines of the text as the list format defines them, GetList and ParseList must agree,
// WriteList and GetList must give the table back, and RemoveTrack must close its gap.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/store.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string gDir;

void Check(bool condition)
{
    if (!condition)
        abort();
}

const char* Slot(const std::vector<char>& table, int32_t i)
{
    return table.data() + static_cast<size_t>(i) * kSlotBytes;
}

// The names of list text as the format defines them: the text ends at its first zero
// byte, names are separated by runs of line feeds, a name is cut to 127 bytes and loses
// the CRs at its end (a name of CRs alone is none), and at most 1022 names are taken
// (fewer when the table has fewer slots).
std::vector<std::string> Names(const std::string& bytes, int32_t slots)
{
    const std::string text = bytes.substr(0, bytes.find('\0'));
    const size_t limit = static_cast<size_t>(slots < kListLoadMax ? slots : kListLoadMax);
    std::vector<std::string> names;
    size_t start = 0;
    while (names.size() < limit && start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string name = text.substr(start, end - start).substr(0, kSlotBytes - 1);
        name.erase(name.find_last_not_of('\r') + 1);  // CRs at the end are no part of it
        if (!name.empty())
            names.push_back(name);
        start = end + 1;
    }
    return names;
}

// A file that starts as a RIFF/WAVE file is never taken for a list.
bool LooksLikeWav(const std::string& bytes)
{
    return bytes.size() >= 12 && bytes.compare(0, 4, "RIFF") == 0 &&
           bytes.compare(8, 4, "WAVE") == 0;
}

// The table holds exactly `names` in its first slots, every other slot empty.
void CheckTable(const std::vector<char>& table, int32_t count,
                const std::vector<std::string>& names)
{
    Check(count >= 0 && count <= kListLoadMax);
    Check(static_cast<size_t>(count) == names.size());
    const int32_t slots = static_cast<int32_t>(table.size() / kSlotBytes);
    for (int32_t i = 0; i < slots; i++) {
        const char* slot = Slot(table, i);
        Check(memchr(slot, '\0', kSlotBytes) != nullptr);
        if (i < count) {
            Check(slot[0] != '\0');
            Check(strchr(slot, '\n') == nullptr);
            Check(names[static_cast<size_t>(i)] == slot);
        } else {
            Check(slot[0] == '\0');
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gDir = fuzz::MakeScratchDir("takebox-list-fuzz");
    fuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input = gDir + "/input.txt";
    const std::string written = gDir + "/written.txt";
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    // GetList loads at most the capacity's bytes of the file.
    const std::string loaded = bytes.substr(0, static_cast<size_t>(kTableBytes));
    const std::vector<std::string> names = Names(loaded, kTableSlots);

    // The program's buffers, each on the heap at its exact size; the text buffer has the
    // spare byte for the terminator. Leftovers of an earlier list must not show through.
    std::vector<char> listText(static_cast<size_t>(kTableBytes) + 1, 'x');
    std::vector<char> table(static_cast<size_t>(kTableBytes), 'y');
    int32_t count = -5;
    fuzz::WriteWholeFile(input, data, size);
    if (LooksLikeWav(bytes)) {
        Check(GetList(listText.data(), table.data(), input.c_str(), &count, kTableBytes) == 0);
        Check(count == -5);
        return 0;
    }
    Check(GetList(listText.data(), table.data(), input.c_str(), &count, kTableBytes) == 1);
    CheckTable(table, count, names);

    // ParseList over the same bytes with a terminator gives the same table.
    std::vector<char> text(loaded.begin(), loaded.end());
    text.push_back('\0');
    std::vector<char> parsed(static_cast<size_t>(kTableBytes), 'z');
    int32_t parsedCount = -5;
    ParseList(text.data(), parsed.data(), &parsedCount, kTableBytes);
    Check(parsedCount == count);
    Check(parsed == table);

    // ParseList over the whole input, however long, and over a smaller table whose size
    // the input chooses (no whole slot, part of a slot, a few slots).
    std::vector<char> whole(bytes.begin(), bytes.end());
    whole.push_back('\0');
    ParseList(whole.data(), parsed.data(), &parsedCount, kTableBytes);
    CheckTable(parsed, parsedCount, Names(bytes, kTableSlots));
    const int32_t capacity = static_cast<int32_t>((size * 67) % (8 * kSlotBytes + 1));
    std::vector<char> small(static_cast<size_t>(capacity), 'w');
    whole.assign(bytes.begin(), bytes.end());
    whole.push_back('\0');
    int32_t smallCount = -5;
    ParseList(whole.data(), small.data(), &smallCount, capacity);
    CheckTable(small, smallCount, Names(bytes, capacity / kSlotBytes));

    // Written and loaded again: the same table.
    // A list whose text starts like a WAV file is written, but not loaded again.
    std::vector<char> writeText(static_cast<size_t>(kTableBytes) + 1, 'v');
    remove(written.c_str());
    Check(WriteList(written.c_str(), table.data(), writeText.data(), count) == 1);
    std::vector<char> reloaded(static_cast<size_t>(kTableBytes), 'u');
    int32_t reloadedCount = -5;
    std::string writtenText;
    for (const std::string& name : names)
        writtenText += name + "\n";
    const bool wavNamed = LooksLikeWav(writtenText);
    Check(GetList(listText.data(), reloaded.data(), written.c_str(), &reloadedCount,
                  kTableBytes) == (wavNamed ? 0 : 1));
    if (wavNamed)
        return 0;
    Check(reloadedCount == count);
    Check(reloaded == table);

    // Removing the track that the input chooses (1 to count; 0 and count + 1 change
    // nothing) closes the gap.
    if (count >= 0) {
        const int32_t position = static_cast<int32_t>(size % static_cast<size_t>(count + 2));
        RemoveTrack(reloaded.data(), position, count);
        std::vector<std::string> left = names;
        if (position >= 1 && position <= count)
            left.erase(left.begin() + (position - 1));
        CheckTable(reloaded, static_cast<int32_t>(left.size()), left);
    }
    return 0;
}

// libFuzzer target for the settings file: the input is the text of a settings file that
// GET_PARAMS reads over the initial values. The text fields must come back terminated
// within their capacities, a field whose key does not occur in the text must keep its
// value, and what Store_Settings writes from the values read must read back the same.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/store.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string gDir;
int gHome = -1;  // the directory the fuzzer was started in

void Check(bool condition)
{
    if (!condition)
        abort();
}

// The program's values that the settings file holds, with the initial ones.
struct Values {
    int32_t channels = 2;
    char device[kDeviceCap] = "default";
    uint32_t sampleRate = 44100;
    uint32_t bits = 16;
    float inPoint = 0.0f;
    float outPoint = 0.0f;
    float duration = 0.0f;
    char listPath[kListPathCap] = "tlist.txt";
    int32_t listNamed = 0;
    char recordName[kRecordNameCap] = "";
};

void Read(Values* v, const char* path)
{
    GET_PARAMS(&v->channels, v->device, &v->sampleRate, &v->bits, &v->inPoint, &v->outPoint,
               &v->duration, v->listPath, &v->listNamed, path, v->recordName);
}

bool Terminated(const char* field, size_t cap)
{
    return memchr(field, '\0', cap) != nullptr;
}

bool SameFloat(float a, float b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

// The same bits, or both NaN.
bool SameTime(float a, float b)
{
    return SameFloat(a, b) || (std::isnan(a) && std::isnan(b));
}

// A time written with three decimals and read back: NaN stays NaN, an infinity stays the
// same infinity, and a finite value moves by no more than the rounding to three decimals
// plus the rounding of that decimal to a float.
bool TimeRoundTrip(float written, float read)
{
    if (std::isnan(written))
        return std::isnan(read);
    if (std::isinf(written))
        return read == written;
    if (!std::isfinite(read))
        return false;
    const double magnitude = std::fabs(static_cast<double>(written)) + 0.001;
    const double ulp = std::ldexp(1.0, std::ilogb(magnitude) - 23);
    return std::fabs(static_cast<double>(read) - static_cast<double>(written)) <= 0.0005 + ulp;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gDir = fuzz::MakeScratchDir("takebox-settings-fuzz");
    // Store_Settings writes "rcbox.txt" in the working directory: each input runs in the
    // private directory and comes back, so that the fuzzer's own paths stay relative to
    // where it was started.
    gHome = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (gHome < 0)
        abort();
    fuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (chdir(gDir.c_str()) != 0)
        abort();
    fuzz::WriteWholeFile("input.txt", data, size);

    Values v;
    Read(&v, "input.txt");
    Check(Terminated(v.device, sizeof v.device));
    Check(Terminated(v.listPath, sizeof v.listPath));
    Check(Terminated(v.recordName, sizeof v.recordName));
    Check(v.listNamed == 0 || v.listNamed == 1);
    // A value runs to the end of its line.
    Check(strchr(v.device, '\n') == nullptr);
    Check(strchr(v.listPath, '\n') == nullptr);
    Check(strchr(v.recordName, '\n') == nullptr);

    // A field keeps its initial value unless its key stands in the part that is read
    // (the first 1023 bytes, up to a zero byte).
    const Values initial;
    const std::string text(reinterpret_cast<const char*>(data), size < 1023 ? size : 1023);
    const std::string read = text.substr(0, text.find('\0'));
    auto absent = [&read](const char* key) { return read.find(key) == std::string::npos; };
    if (absent("dv"))
        Check(strcmp(v.device, initial.device) == 0);
    if (absent("sr"))
        Check(v.sampleRate == initial.sampleRate);
    if (absent("bits"))
        Check(v.bits == initial.bits);
    if (absent("ch"))
        Check(v.channels == initial.channels);
    if (absent("i"))
        Check(SameFloat(v.inPoint, initial.inPoint));
    if (absent("o"))
        Check(SameFloat(v.outPoint, initial.outPoint));
    if (absent("d"))
        Check(SameFloat(v.duration, initial.duration));
    if (absent("tlist")) {
        Check(strcmp(v.listPath, initial.listPath) == 0);
        Check(v.listNamed == 0);
    }
    if (absent("rname"))
        Check(strcmp(v.recordName, initial.recordName) == 0);
    // Every value that is read is at least one character long.
    Check(v.device[0] != '\0');
    Check(v.listPath[0] != '\0');

    // Written and read back over the initial values.
    Check(Store_Settings(v.channels, v.device, v.sampleRate, v.bits, v.inPoint, v.outPoint,
                         v.duration, v.listPath, v.recordName) == 1);
    Values back;
    Read(&back, "rcbox.txt");
    Check(strcmp(back.device, v.device) == 0);
    Check(back.sampleRate == v.sampleRate);
    Check(back.bits == v.bits);
    Check(back.channels == v.channels);
    Check(TimeRoundTrip(v.inPoint, back.inPoint));
    Check(TimeRoundTrip(v.outPoint, back.outPoint));
    Check(TimeRoundTrip(v.duration, back.duration));
    Check(strcmp(back.listPath, v.listPath) == 0);
    Check(back.listNamed == 1);
    Check(strcmp(back.recordName, v.recordName) == 0);

    // A second round changes nothing more: the times are now exact at three decimals.
    Check(Store_Settings(back.channels, back.device, back.sampleRate, back.bits, back.inPoint,
                         back.outPoint, back.duration, back.listPath, back.recordName) == 1);
    Values again;
    Read(&again, "rcbox.txt");
    Check(SameTime(again.inPoint, back.inPoint));
    Check(SameTime(again.outPoint, back.outPoint));
    Check(SameTime(again.duration, back.duration));
    if (fchdir(gHome) != 0)
        abort();
    return 0;
}

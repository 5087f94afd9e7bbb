// libFuzzer target for the WAV module and the sample operations: the input is a WAV
// file (or anything else) that GetAttributes reads, FIX_SIZE patches and APPEND copies
// from and into, next to a fixed valid partner file.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audio/audio.h"
#include "wav/wav.h"
#include "fuzz/fuzz_support.h"

namespace {

std::string gDir;

std::string Le32(uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; i++)
        s[i] = static_cast<char>((v >> (8 * i)) & 0xffu);
    return s;
}

// A valid 16-bit stereo file with `frames` frames of a ramp.
std::string Partner(uint32_t frames)
{
    std::string s = "RIFF" + Le32(36 + frames * 4) + "WAVEfmt " + Le32(16) +
                    std::string("\x01\x00\x02\x00", 4) + Le32(44100) + Le32(176400) +
                    std::string("\x04\x00\x10\x00", 4) + "data" + Le32(frames * 4);
    for (uint32_t i = 0; i < frames * 4; i++)
        s += static_cast<char>(i * 7);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    gDir = fuzz::MakeScratchDir("takebox-fuzz");
    fuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input = gDir + "/input.wav";
    const std::string partner = gDir + "/partner.wav";
    const std::string valid = Partner(1500);
    // A count that depends on the input: none, part of a block, several blocks, negative.
    const int32_t count = size % 5 == 0 ? -4 : static_cast<int32_t>((size * 37) % 9000);

    fuzz::WriteWholeFile(input, data, size);
    FileAttributes attributes = {};
    GetAttributes(input.c_str(), &attributes, 1);
    GetAttributes(input.c_str(), &attributes, 0);

    FIX_SIZE(input.c_str(), -1);
    GetAttributes(input.c_str(), &attributes, 0);
    fuzz::WriteWholeFile(input, data, size);
    FIX_SIZE(input.c_str(), count < 0 ? 2147483647 : count);

    // The fuzzed file as the source, then as the target.
    fuzz::WriteWholeFile(input, data, size);
    fuzz::WriteWholeFile(partner, valid.data(), valid.size());
    APPEND(partner.c_str(), input.c_str(), count);
    APPEND(input.c_str(), partner.c_str(), count);

    // The sample operations over the input bytes as a plane of each width.
    for (uint32_t w = 1; w <= 4; w++) {
        const uint32_t n = static_cast<uint32_t>(size / w);
        int32_t peak = 0;
        CheckPeak(static_cast<int32_t>(n), &peak, data, w);
        ShowPeaks(1, peak, static_cast<int32_t>(w));
        std::string out(2 * size + 1, '\0');
        Interleave(n, w, data, data, reinterpret_cast<uint8_t*>(&out[0]));
    }
    if (size >= sizeof(float)) {
        float f;
        memcpy(&f, data, sizeof f);
        FloatToInt32(f);
    }
    return 0;
}

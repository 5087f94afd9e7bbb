// CheckPeak, Interleave and InterleavePeaks on blocks of every length against a plain
// one-sample-at-a-time reference, on pseudo-random and extreme samples. Each plane is
// allocated to its exact size, so a read past its end shows under the sanitizers.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "audio/audio.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The peak rule sample by sample: decode, take the magnitude, raise the peak.
int32_t ReferencePeak(int32_t frames, int32_t peak, const uint8_t* s, uint32_t width)
{
    for (int32_t i = 0; i < frames; i++, s += width) {
        int32_t v;
        if (width == 2) {
            v = s[0] + 256 * s[1];
            if (s[1] >= 128)
                v -= 65536;
        } else {
            v = s[0] + 256 * s[1] + 65536 * s[2];
            if (s[2] >= 128)
                v -= 16777216;
        }
        const int32_t m = v < 0 ? -v : v;
        if (m > peak)
            peak = m;
    }
    return peak;
}

Bytes RandomBytes(size_t n, uint32_t seed)
{
    Bytes bytes(n);
    uint32_t x = seed;
    for (uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

// A copy of `bytes` in an allocation of exactly its size.
std::unique_ptr<uint8_t[]> Exact(const Bytes& bytes)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() > 0 ? bytes.size() : 1]);
    for (size_t i = 0; i < bytes.size(); i++)
        copy[i] = bytes[i];
    return copy;
}

void ExpectPeaksMatch(const Bytes& plane, int32_t frames, uint32_t width)
{
    const std::unique_ptr<uint8_t[]> exact = Exact(plane);
    for (int32_t start : {0, 1, 100, 32767, 32768, 8388607, 8388608}) {
        int32_t peak = start;
        CheckPeak(frames, &peak, exact.get(), width);
        EXPECT_EQ(ReferencePeak(frames, start, exact.get(), width), peak)
            << "frames " << frames << " width " << width << " start " << start;
    }
}

// The frames of two planes in order, each first-plane sample before its second-plane one.
Bytes ReferenceInterleave(const Bytes& first, const Bytes& second, uint32_t frames, uint32_t width)
{
    Bytes order;
    for (uint32_t i = 0; i < frames; i++) {
        order.insert(order.end(), first.begin() + i * width, first.begin() + (i + 1) * width);
        order.insert(order.end(), second.begin() + i * width, second.begin() + (i + 1) * width);
    }
    return order;
}

// InterleavePeaks gives the frames of Interleave and the peaks of CheckPeak on each plane.
void ExpectFusedMatches(const Bytes& first, const Bytes& second, uint32_t frames, uint32_t width)
{
    const std::unique_ptr<uint8_t[]> a = Exact(first);
    const std::unique_ptr<uint8_t[]> b = Exact(second);
    const int32_t n = static_cast<int32_t>(frames);
    for (int32_t start : {-1, 0, 100, 32768, 8388607, 8388608}) {
        Bytes out(2 * first.size() + 4, 0xee);  // the 4 guard bytes stay untouched
        int32_t peak1 = start;
        int32_t peak2 = start + 1;
        InterleavePeaks(frames, width, a.get(), b.get(), out.data(), &peak1, &peak2);
        Bytes expected = ReferenceInterleave(first, second, frames, width);
        expected.insert(expected.end(), 4, 0xee);
        EXPECT_EQ(expected, out) << "frames " << frames << " width " << width;
        // A negative start shows that no frames leave a peak untouched, as in CheckPeak.
        EXPECT_EQ(n == 0 ? start : ReferencePeak(n, start, a.get(), width), peak1)
            << "frames " << frames << " width " << width << " start " << start;
        EXPECT_EQ(n == 0 ? start + 1 : ReferencePeak(n, start + 1, b.get(), width), peak2)
            << "frames " << frames << " width " << width << " start " << start;
    }
}

TEST(SamplesBlockTest, CheckPeakMatchesReferenceAtEveryLength)
{
    for (uint32_t width : {2u, 3u}) {
        for (int32_t frames = 0; frames <= 70; frames++) {
            const Bytes plane = RandomBytes(static_cast<size_t>(frames) * width, 7u + frames);
            ExpectPeaksMatch(plane, frames, width);
        }
        for (int32_t frames : {4095, 4096, 4097}) {
            const Bytes plane = RandomBytes(static_cast<size_t>(frames) * width, 11u);
            ExpectPeaksMatch(plane, frames, width);
        }
    }
}

TEST(SamplesBlockTest, InterleavePeaksMatchesReferenceAtEveryLength)
{
    for (uint32_t width : {2u, 3u}) {
        for (uint32_t frames = 0; frames <= 4097; frames = frames == 70 ? 4095 : frames + 1) {
            const size_t planeBytes = static_cast<size_t>(frames) * width;
            ExpectFusedMatches(RandomBytes(planeBytes, 13u + frames),
                               RandomBytes(planeBytes, 17u + frames), frames, width);
        }
    }
}

TEST(SamplesBlockTest, CheckPeakFindsTheExtremeAnywhere)
{
    // Quiet samples (+-3) with one full-scale sample (most negative or most positive) at
    // each position in turn, the last one included.
    for (uint32_t width : {2u, 3u}) {
        for (int32_t frames : {1, 2, 3, 17, 33, 40}) {
            for (int32_t at = 0; at < frames; at++) {
                for (int extreme = 0; extreme < 2; extreme++) {
                    Bytes plane(static_cast<size_t>(frames) * width, 0);
                    for (int32_t i = 0; i < frames; i++)
                        plane[static_cast<size_t>(i) * width] = (i % 2) ? 3 : 0xfd;
                    for (int32_t i = 0; i < frames; i++)
                        if (i % 2 == 0)
                            for (uint32_t b = 1; b < width; b++)
                                plane[static_cast<size_t>(i) * width + b] = 0xff;
                    uint8_t* s = plane.data() + static_cast<size_t>(at) * width;
                    for (uint32_t b = 0; b < width; b++)
                        s[b] = extreme ? (b + 1 == width ? 0x7f : 0xff) : (b + 1 == width ? 0x80 : 0);
                    ExpectPeaksMatch(plane, frames, width);
                    const Bytes quiet(plane.size(), 0);
                    ExpectFusedMatches(plane, quiet, static_cast<uint32_t>(frames), width);
                    ExpectFusedMatches(quiet, plane, static_cast<uint32_t>(frames), width);
                }
            }
        }
    }
}

TEST(SamplesBlockTest, InterleaveMatchesReferenceAtEveryLength)
{
    for (uint32_t width : {2u, 3u}) {
        for (uint32_t frames = 0; frames <= 40; frames++) {
            const size_t planeBytes = static_cast<size_t>(frames) * width;
            const Bytes first = RandomBytes(planeBytes, 3u + frames);
            const Bytes second = RandomBytes(planeBytes, 5u + frames);
            const std::unique_ptr<uint8_t[]> a = Exact(first);
            const std::unique_ptr<uint8_t[]> b = Exact(second);
            Bytes expected = ReferenceInterleave(first, second, frames, width);
            Bytes out(2 * planeBytes + 4, 0xee);  // the 4 guard bytes stay untouched
            Interleave(frames, width, a.get(), b.get(), out.data());
            expected.insert(expected.end(), 4, 0xee);
            EXPECT_EQ(expected, out) << "frames " << frames << " width " << width;
        }
    }
}

}  // namespace

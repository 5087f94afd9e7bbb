// Micro-benchmarks of the per-block sample operations of the capture loop: CheckPeak
// (once per channel and block) and Interleave (once per stereo block), or InterleavePeaks
// in their place, on blocks of the capture period (4096 frames) at both sample widths.
// Throughput is counted in bytes of input samples per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <vector>

#include "audio/audio.h"

namespace {

constexpr uint32_t kBlockFrames = 4096;

// Deterministic sample bytes (a linear congruential sequence): the same on every run.
std::vector<uint8_t> SampleBytes(size_t n, uint32_t seed)
{
    std::vector<uint8_t> bytes(n);
    uint32_t x = seed;
    for (size_t i = 0; i < n; i++) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

void BM_CheckPeak(benchmark::State& state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const std::vector<uint8_t> plane = SampleBytes(static_cast<size_t>(kBlockFrames) * width, 1);
    for (auto _ : state) {
        int32_t peak = 0;  // a new measurement for every block, as at a take start
        CheckPeak(static_cast<int32_t>(kBlockFrames), &peak, plane.data(), width);
        benchmark::DoNotOptimize(peak);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBlockFrames * width);
}

void BM_Interleave(benchmark::State& state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const size_t planeBytes = static_cast<size_t>(kBlockFrames) * width;
    const std::vector<uint8_t> first = SampleBytes(planeBytes, 2);
    const std::vector<uint8_t> second = SampleBytes(planeBytes, 3);
    std::vector<uint8_t> out(2 * planeBytes);
    for (auto _ : state) {
        Interleave(kBlockFrames, width, first.data(), second.data(), out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 *
                            static_cast<int64_t>(planeBytes));
}

// The capture block of a stereo take: interleaved and metered in two separate passes
// (Interleave, then CheckPeak of each plane), and in one (InterleavePeaks).
void BM_InterleaveThenPeaks(benchmark::State& state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const size_t planeBytes = static_cast<size_t>(kBlockFrames) * width;
    const std::vector<uint8_t> first = SampleBytes(planeBytes, 2);
    const std::vector<uint8_t> second = SampleBytes(planeBytes, 3);
    std::vector<uint8_t> out(2 * planeBytes);
    for (auto _ : state) {
        int32_t peak1 = 0;
        int32_t peak2 = 0;
        Interleave(kBlockFrames, width, first.data(), second.data(), out.data());
        CheckPeak(static_cast<int32_t>(kBlockFrames), &peak1, first.data(), width);
        CheckPeak(static_cast<int32_t>(kBlockFrames), &peak2, second.data(), width);
        benchmark::DoNotOptimize(peak1);
        benchmark::DoNotOptimize(peak2);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 *
                            static_cast<int64_t>(planeBytes));
}

void BM_InterleavePeaks(benchmark::State& state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const size_t planeBytes = static_cast<size_t>(kBlockFrames) * width;
    const std::vector<uint8_t> first = SampleBytes(planeBytes, 2);
    const std::vector<uint8_t> second = SampleBytes(planeBytes, 3);
    std::vector<uint8_t> out(2 * planeBytes);
    for (auto _ : state) {
        int32_t peak1 = 0;
        int32_t peak2 = 0;
        InterleavePeaks(kBlockFrames, width, first.data(), second.data(), out.data(), &peak1,
                        &peak2);
        benchmark::DoNotOptimize(peak1);
        benchmark::DoNotOptimize(peak2);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 *
                            static_cast<int64_t>(planeBytes));
}

// Playback's mono path: one plane passed as both channels.
void BM_InterleaveMono(benchmark::State& state)
{
    const uint32_t width = static_cast<uint32_t>(state.range(0));
    const size_t planeBytes = static_cast<size_t>(kBlockFrames) * width;
    const std::vector<uint8_t> plane = SampleBytes(planeBytes, 4);
    std::vector<uint8_t> out(2 * planeBytes);
    for (auto _ : state) {
        Interleave(kBlockFrames, width, plane.data(), plane.data(), out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(planeBytes));
}

// The number of the progress line, one block of 4096 frames at 48000 Hz further each
// time: snprintf's "%.2f" against FormatSeconds.
void BM_SnprintfSeconds(benchmark::State& state)
{
    char text[32];
    uint32_t frames = 0;
    for (auto _ : state) {
        frames = frames < 86400000u ? frames + 4096 : 0;
        snprintf(text, sizeof text, "%.2f",
                 static_cast<double>(static_cast<float>(frames) / 48000.0f));
        benchmark::DoNotOptimize(text);
    }
}

void BM_FormatSeconds(benchmark::State& state)
{
    char text[32];
    uint32_t frames = 0;
    for (auto _ : state) {
        frames = frames < 86400000u ? frames + 4096 : 0;
        FormatSeconds(text, sizeof text, static_cast<float>(frames) / 48000.0f);
        benchmark::DoNotOptimize(text);
    }
}

}  // namespace

BENCHMARK(BM_SnprintfSeconds);
BENCHMARK(BM_FormatSeconds);
BENCHMARK(BM_CheckPeak)->ArgName("width")->Arg(2)->Arg(3);
BENCHMARK(BM_Interleave)->ArgName("width")->Arg(2)->Arg(3);
BENCHMARK(BM_InterleaveThenPeaks)->ArgName("width")->Arg(2)->Arg(3);
BENCHMARK(BM_InterleavePeaks)->ArgName("width")->Arg(2)->Arg(3);
BENCHMARK(BM_InterleaveMono)->ArgName("width")->Arg(2)->Arg(3);

BENCHMARK_MAIN();

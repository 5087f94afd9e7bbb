// The disk ring without a device: a writer that starts only once the ring has been full
// for a while stands for a disk that stalled longer than the ring holds. The blocks no
// slot took are written as zeros at their place, over what an older take left there, and
// the blocks after them sit where they were recorded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/disk_ring.h"
#include "tests/e2e.h"
#include "wav/wav.h"

namespace {

// Byte `i` of block `b` as recorded: never zero, so silence cannot pass for it.
uint8_t Recorded(int32_t b, size_t i)
{
    return static_cast<uint8_t>(1 + (static_cast<size_t>(b) * 31 + i) % 250);
}

}  // namespace

TEST(DiskRingTest, BlocksThatFindTheRingFullAreSilenceInPlace)
{
    struct Case {
        int32_t channels;
        uint32_t width;
    };
    for (const Case c : {Case{1, 2}, Case{2, 3}}) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels of " << c.width << " bytes");
        const std::string path = MakeTempDir() + "/takebox_temp.wav";
        audio::DiskRing ring;
        ring.fds[0] = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(ring.fds[0], 0);
        ring.takePath = path.c_str();
        ring.partFrames = static_cast<int32_t>(PartFrames(c.width * static_cast<uint32_t>(c.channels)));
        ring.width = c.width;
        ring.channels = c.channels;
        ring.frameBytes = c.width * static_cast<uint32_t>(c.channels);
        ring.block = 64;
        ring.rate = 64;  // a block a second: the ring holds ten
        audio::BufferGuard ringArea;
        audio::BufferGuard writerArea;
        ASSERT_EQ(1, audio::AllocateRing(&ring, &ringArea, &writerArea));
        ASSERT_EQ(10u, ring.count);
        const size_t blockBytes = static_cast<size_t>(ring.block) * ring.frameBytes;
        const int32_t blocks = 15;  // the ring's ten, three that find it full, two more
        const int32_t stalled = 3;
        // The take ends a block after the last one queued, as after an overrun at its end.
        const int32_t end = (blocks + 1) * ring.block;
        const std::vector<uint8_t> older(kHeaderBytes + static_cast<size_t>(end) * ring.frameBytes,
                                         0xff);
        ASSERT_EQ(static_cast<ssize_t>(older.size()),
                  pwrite(ring.fds[0], older.data(), older.size(), 0));

        audio::BeginTake(&ring, 0);
        pthread_t writer;
        std::vector<bool> kept;
        for (int32_t b = 0; b < blocks; b++) {
            const bool writing = b >= static_cast<int32_t>(ring.count) + stalled;
            if (b == static_cast<int32_t>(ring.count) + stalled) {
                ASSERT_EQ(1, audio::StartWriter(&ring, &writer));  // the disk is back
            }
            // A stalled writer is not waited for; a running one is, until it makes room.
            const auto until = writing ? std::chrono::steady_clock::now() + std::chrono::seconds(30)
                                       : std::chrono::steady_clock::time_point{};
            audio::WriterState seen;
            uint8_t* slot = audio::NextSlot(&ring, 0, until, &seen);
            kept.push_back(slot != nullptr);
            if (slot == nullptr)
                continue;
            for (size_t i = 0; i < blockBytes; i++)
                slot[i] = Recorded(b, i);
            audio::QueueSlot(&ring, b * ring.block, ring.block, 100 + b, 200 + b);
        }
        audio::EndTake(&ring, end);
        audio::WriterState seen;
        for (audio::ReadWriter(&ring, 0, &seen); !seen.drained; audio::ReadWriter(&ring, 0, &seen))
            audio::AwaitWriter(&ring);
        audio::StopWriter(&ring, writer);

        int32_t silent = 0;
        for (int32_t b = 0; b < blocks; b++)
            silent += kept[static_cast<size_t>(b)] ? 0 : 1;
        EXPECT_EQ(stalled, silent);
        EXPECT_FALSE(seen.failed);
        EXPECT_EQ(end, seen.written);  // the silence too is in the file, without a gap
        EXPECT_EQ(100 + blocks - 1, seen.peak1);
        EXPECT_EQ(200 + blocks - 1, seen.peak2);
        std::vector<uint8_t> file(older.size() + 1);
        ASSERT_EQ(static_cast<ssize_t>(older.size()), pread(ring.fds[0], file.data(), file.size(), 0));
        for (int32_t b = 0; b <= blocks; b++) {
            const bool recorded = b < blocks && kept[static_cast<size_t>(b)];
            std::vector<uint8_t> want(blockBytes, 0);
            for (size_t i = 0; recorded && i < blockBytes; i++)
                want[i] = Recorded(b, i);
            const auto at = file.begin() + kHeaderBytes + static_cast<ptrdiff_t>(b * blockBytes);
            EXPECT_EQ(want, std::vector<uint8_t>(at, at + static_cast<ptrdiff_t>(blockBytes)))
                << "block " << b;
        }
        close(ring.fds[0]);
    }
}

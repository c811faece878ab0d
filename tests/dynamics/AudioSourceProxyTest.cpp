#include "dynamics/AudioSourceProxy.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tessel {
namespace {

TEST(AudioSourceProxy, CapacityIsTheFirstChunkMultipleAbove11024Frames) {
    const struct {
        int32_t chunk, expectedChunks;
    } cases[] = {{512, 22}, {1024, 11}, {256, 44}, {11024, 2}, {100, 111}, {1, 11025}};
    for (const auto& c : cases) {
        AudioSourceProxy proxy(2, c.chunk);
        EXPECT_EQ(proxy.chunkCount(), c.expectedChunks) << c.chunk;
        EXPECT_GT(proxy.capacity(), 11024);
        EXPECT_LE(proxy.capacity() - c.chunk, 11024);
    }
}

TEST(AudioSourceProxy, ReaderGetsFramesWrittenSinceItsLastReadOldestFirst) {
    AudioSourceProxy proxy(2, 1024);  // capacity 11264
    const int32_t capacity = proxy.capacity();
    std::vector<float> frames;
    int32_t written = 0;
    const auto writeFrames = [&](int32_t n) {
        frames.clear();
        for (int32_t i = 0; i < n; ++i, ++written) {
            frames.push_back(static_cast<float>(written));
            frames.push_back(-static_cast<float>(written));
        }
        proxy.write(frames.data(), n);
    };
    // Several rounds, the later ones wrapping around the ring.
    for (int32_t n : {100, 5000, 7000, 3000, capacity - 1}) {
        const int32_t first = written;
        writeFrames(n);
        proxy.lock();
        EXPECT_EQ(proxy.lockCount(), 1);
        ASSERT_EQ(proxy.readableFrames(), n);
        for (int32_t f = 0; f < n; f += 97) {
            EXPECT_EQ(proxy.sample(f, 0), static_cast<float>(first + f));
            EXPECT_EQ(proxy.sample(f, 1), -static_cast<float>(first + f));
        }
        proxy.markRead();
        EXPECT_EQ(proxy.readableFrames(), 0);
        proxy.unlock();
    }
    EXPECT_EQ(proxy.lockCount(), 0);
    EXPECT_EQ(proxy.sample(0, 2), 0.0f);  // no such channel
}

TEST(AudioSourceProxy, ConcurrentWriterAndReaderSeeWholeFrames) {
    AudioSourceProxy proxy(2, 256);
    std::thread writer([&] {
        std::vector<float> block(2 * 64);
        for (int32_t k = 0; k < 2000; ++k) {
            for (int32_t i = 0; i < 64; ++i)
                block[2 * i] = block[2 * i + 1] = static_cast<float>(k);
            proxy.write(block.data(), 64);
        }
    });
    int mismatches = 0;
    for (int k = 0; k < 2000; ++k) {
        proxy.lock();
        const int32_t n = proxy.readableFrames();
        for (int32_t f = 0; f < n; ++f)
            mismatches += proxy.sample(f, 0) != proxy.sample(f, 1);
        proxy.markRead();
        proxy.unlock();
    }
    writer.join();
    EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace tessel

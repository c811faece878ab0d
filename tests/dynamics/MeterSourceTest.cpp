// The sources the editor reads across threads: audio for the scopes and levels for the meters.

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "dynamics/AudioSourceProxy.h"
#include "dynamics/CombinedLevelSource.h"
#include "dynamics/LevelSourceProxy.h"

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

using Detection = LevelSource::Detection;

LevelSourceProxy makeProxy(Detection detection, float left, float right) {
    LevelSourceProxy p;
    p.setDetection(detection);
    p.setLevel(0, left);
    p.setLevel(1, right);
    return p;
}

TEST(LevelSourceProxy, StartsSilentAndRecordsRequests) {
    LevelSourceProxy p;
    EXPECT_EQ(p.detection(), Detection::kLevel);
    for (int32_t c : {-1, 0, 4, 5})
        EXPECT_EQ(p.level(c), -180.0f);
    p.setLevel(4, -3.0f);
    EXPECT_EQ(p.level(4), -3.0f);
    p.resetPeak();
    EXPECT_EQ(p.takeRequests(), LevelSourceProxy::kResetPeakRequest);
    p.resetHold();
    p.resetPeak();
    EXPECT_EQ(p.takeRequests(),
              LevelSourceProxy::kResetPeakRequest | LevelSourceProxy::kResetHoldRequest);
    EXPECT_EQ(p.takeRequests(), 0);
}

TEST(CombinedLevelSource, TakesTheStrongestMemberPerChannel) {
    struct Case {
        const char* what;
        Detection detection;
        float expectedLeft, expectedRight;
    };
    const Case cases[] = {
        {"levels combine by maximum", Detection::kLevel, -6.0f, -1.0f},
        {"gain reductions take the most negative", Detection::kGainReduction, -20.0f, -12.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LevelSourceProxy a = makeProxy(c.detection, -20.0f, -1.0f);
        LevelSourceProxy b = makeProxy(c.detection, -6.0f, -12.0f);
        CombinedLevelSource combined({&a, nullptr, &b});
        EXPECT_EQ(combined.count(), 3);
        EXPECT_EQ(combined.detection(), c.detection);
        EXPECT_EQ(combined.level(0), c.expectedLeft);
        EXPECT_EQ(combined.level(1), c.expectedRight);
        combined.resetPeak();
        combined.resetHold();
        EXPECT_EQ(a.takeRequests(), 3);
        EXPECT_EQ(b.takeRequests(), 3);
    }
    EXPECT_EQ(CombinedLevelSource().level(0), -180.0f);
}

}  // namespace
}  // namespace tessel

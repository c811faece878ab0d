// The sources the editor reads across threads: audio for the scopes and levels for the meters.

#include <gtest/gtest.h>

#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "dynamics/AudioSourceProxy.h"
#include "dynamics/CombinedLevelSource.h"
#include "dynamics/LevelSourceProxy.h"

namespace tessel {
namespace {

// Capacity: the first multiple of the chunk above 11024 frames. The reader gets the frames written
// since its last read, oldest first, also across the ring's wrap.
TEST(AudioSourceProxy,
     CapacityIsTheFirstChunkMultipleAbove11024FramesReadsComeOldestFirstAndWhole) {
    const std::pair<int32_t, int32_t> chunks[] = {{512, 22},  {1024, 11}, {256, 44},
                                                  {11024, 2}, {100, 111}, {1, 11025}};
    for (const auto& [chunk, expectedChunks] : chunks) {
        AudioSourceProxy proxy(2, chunk);
        EXPECT_EQ(proxy.chunkCount(), expectedChunks) << chunk;
        EXPECT_TRUE(proxy.capacity() > 11024 && proxy.capacity() - chunk <= 11024) << chunk;
    }
    AudioSourceProxy proxy(2, 1024);  // capacity 11264
    int32_t written = 0;
    for (int32_t n : {100, 5000, 7000, 3000, proxy.capacity() - 1}) {
        std::vector<float> frames;
        for (int32_t i = 0; i < n; ++i)
            frames.insert(frames.end(), {float(written + i), -float(written + i)});
        proxy.write(frames.data(), n);
        proxy.lock();
        EXPECT_EQ(proxy.lockCount(), 1);
        ASSERT_EQ(proxy.readableFrames(), n);
        for (int32_t f = 0; f < n; f += 97) {
            ASSERT_EQ(proxy.sample(f, 0), float(written + f));
            ASSERT_EQ(proxy.sample(f, 1), -proxy.sample(f, 0));
        }
        proxy.markRead();
        EXPECT_EQ(proxy.readableFrames(), 0);
        proxy.unlock();
        written += n;
    }
    EXPECT_EQ(proxy.lockCount(), 0);
    EXPECT_EQ(proxy.sample(0, 2), 0.0f);  // no such channel

    // A writer and a reader on two threads: every frame read is whole.
    AudioSourceProxy shared(2, 256);
    std::thread writer([&] {
        std::vector<float> block(2 * 64);
        for (int32_t k = 0; k < 2000; ++k) {
            for (int32_t i = 0; i < 64; ++i)
                block[2 * i] = block[2 * i + 1] = static_cast<float>(k);
            shared.write(block.data(), 64);
        }
    });
    int mismatches = 0;
    for (int k = 0; k < 2000; ++k) {
        shared.lock();
        const int32_t n = shared.readableFrames();
        for (int32_t f = 0; f < n; ++f)
            mismatches += shared.sample(f, 0) != shared.sample(f, 1);
        shared.markRead();
        shared.unlock();
    }
    writer.join();
    EXPECT_EQ(mismatches, 0);
}

using Detection = LevelSource::Detection;

TEST(LevelSourceProxy, StartsSilentRecordsRequestsAndCombinesByTheStrongestMember) {
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

    // Levels combine by maximum, gain reductions take the most negative; requests reach all.
    const std::tuple<Detection, float, float> cases[] = {
        {Detection::kLevel, -6.0f, -1.0f}, {Detection::kGainReduction, -20.0f, -12.0f}};
    for (const auto& [detection, left, right] : cases) {
        LevelSourceProxy a, b;
        for (auto [proxy, l, r] : {std::tuple{&a, -20.0f, -1.0f}, std::tuple{&b, -6.0f, -12.0f}}) {
            proxy->setDetection(detection);
            proxy->setLevel(0, l);
            proxy->setLevel(1, r);
        }
        CombinedLevelSource combined({&a, nullptr, &b});
        EXPECT_TRUE(combined.count() == 3 && combined.detection() == detection);
        EXPECT_EQ((std::vector<float>{combined.level(0), combined.level(1)}),
                  (std::vector<float>{left, right}));
        combined.resetPeak();
        combined.resetHold();
        EXPECT_EQ(a.takeRequests() + b.takeRequests(), 6);
    }
    EXPECT_EQ(CombinedLevelSource().level(0), -180.0f);
}

}  // namespace
}  // namespace tessel

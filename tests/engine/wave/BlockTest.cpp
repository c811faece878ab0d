#include <gtest/gtest.h>

#include <cstdint>

#include "engine/wave/AlignedBuffer.h"
#include "engine/wave/BasicBlock.h"
#include "engine/wave/Environment.h"
#include "engine/wave/SubEnvironment.h"

namespace tessel::wave {
namespace {

TEST(AlignedBuffer, ResizeKeepsPrefixZeroFillsAndAligns) {
    AlignedBuffer<float> b;
    EXPECT_EQ(b.data(), nullptr);
    for (int32_t n : {1, 3, 8, 13, 64, 1000}) {
        b.resize(n);
        ASSERT_EQ(b.size(), n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % 32, 0u) << n;
    }
    for (int32_t i = 0; i < 1000; ++i)
        b[i] = static_cast<float>(i);
    b.resize(10);
    b.resize(20);
    for (int32_t i = 0; i < 10; ++i)
        EXPECT_EQ(b[i], static_cast<float>(i));
    for (int32_t i = 10; i < 20; ++i)
        EXPECT_EQ(b[i], 0.0f) << "grown part must be zero";
    float* before = b.data();
    b.resize(20);
    EXPECT_EQ(b.data(), before) << "resizing to the current count must not reallocate";
    b.resize(0);
    EXPECT_EQ(b.data(), nullptr);
    EXPECT_EQ(b.size(), 0);
    b.resize(-5);
    EXPECT_EQ(b.data(), nullptr);
}

TEST(BasicBlock, SizedToEnvironmentAndZeroBlockIsConstantSilence) {
    Environment env(256, true);
    BasicBlock<float> f(&env);
    BasicBlock<double> d(&env);
    EXPECT_EQ(f.size(), 256);
    EXPECT_EQ(d.size(), 256);
    EXPECT_FALSE(f.isConstant());
    ConstValueBlock* zero = env.zeroBlock();
    EXPECT_TRUE(zero->isConstant());
    EXPECT_EQ(zero->size(), 256);
    for (int32_t i = 0; i < 256; ++i)
        ASSERT_EQ(zero->data()[i], 0.0f);
}

TEST(BasicBlock, SubEnvironmentBlocksFollowTheFactorUnlessFixed) {
    Environment root(256, true);
    SubEnvironment following(&root, 2, 0, false);
    SubEnvironment fixed(&root, 1, 256, true);
    BasicBlock<float> block(&following), fixedBlock(&fixed);
    ConstValueBlock ones(&following, 1.0f);
    EXPECT_EQ(block.size(), 512);
    following.setFactor(4);
    fixed.setFactor(4);
    EXPECT_EQ(block.size(), 1024);
    EXPECT_EQ(following.zeroBlock()->size(), 1024);
    ASSERT_EQ(ones.size(), 1024);
    for (int32_t i = 0; i < 1024; ++i)
        ASSERT_EQ(ones.data()[i], 1.0f) << "refilled after resize";
    EXPECT_EQ(following.sampleRate(), 4.0f * root.sampleRate());
    EXPECT_EQ(fixedBlock.size(), 256) << "fixed environments never resize";
    EXPECT_EQ(fixed.listenerCount(), 0u);
    EXPECT_EQ(root.processingBlockSize(), 64) << "only a fixed sub-environment limits its parent";
    fixed.setFactor(2);
    EXPECT_EQ(root.processingBlockSize(), 128);
}

}  // namespace
}  // namespace tessel::wave

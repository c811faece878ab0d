#include <gtest/gtest.h>

#include <vector>

#include "engine/wave/Environment.h"
#include "engine/wave/Filter.h"
#include "engine/wave/Input.h"
#include "engine/wave/InputForwarder.h"
#include "engine/wave/MultiProducer.h"
#include "engine/wave/TestNodes.h"

namespace tessel::wave {
namespace {

using test::CountingSource;
using test::DoublingFilter;

TEST(Input, CopiesFromTheExternalArrayAndPadsWithSilence) {
    Environment env(16, true);
    Input input(&env);
    std::vector<float> host = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    input.setSource(host.data(), 10);
    env.beginCycle();
    BasicBlock<float>* out = input.pull(6);
    EXPECT_EQ(out, input.ownBlock());
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(out->data()[i], host[static_cast<std::size_t>(i)]);
    EXPECT_EQ(input.available(), 4);
    env.advance(6, 0);
    env.beginCycle();
    out = input.pull(8);  // only 4 left: the rest is silence, not whatever follows in memory
    EXPECT_EQ(out->data()[3], 10.0f);
    for (int i = 4; i < 8; ++i)
        EXPECT_EQ(out->data()[i], 0.0f);
    env.advance(8, 0);
    input.setSource(nullptr, 100);
    env.beginCycle();
    out = input.pull(8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(out->data()[i], 0.0f);
}

TEST(Forwarder, PassBlocksThroughAndFollowRewiring) {
    Environment env(16, true);
    CountingSource a(&env), b(&env);
    Forwarder forwarder(&env);
    DoublingFilter consumer(&env);
    InputForwarder follower(&env, consumer.inputSlot());  // follows the consumer's slot
    EXPECT_EQ(forwarder.ownBlock(), nullptr);
    struct Step {
        Producer* input;
        BasicBlock<float>* expected;
    };
    for (const Step& step :
         {Step{nullptr, env.zeroBlock()}, Step{&a, a.ownBlock()}, Step{&b, b.ownBlock()}}) {
        forwarder.setInput(step.input);
        consumer.setInput(step.input);
        env.beginCycle();
        EXPECT_EQ(forwarder.pull(16), step.expected);
        EXPECT_EQ(follower.pull(16), step.expected);
        env.advance(16, 0);
    }
    EXPECT_EQ(a.calls, 1);
}

// Splits its input into sum and difference with a delayed copy; output 2 passes the input on.
class SplitterNode : public MultiProducer, public Consumer {
public:
    explicit SplitterNode(Environment* environment) : MultiProducer(environment, 3) {}
    void process(BasicBlock<float>** blocks, int32_t frames, int32_t) noexcept override {
        ++calls;
        BasicBlock<float>* in = Producer::pullOrZero(input(), environment(), frames);
        for (int32_t i = 0; i < frames; ++i) {
            blocks[0]->data()[i] = in->data()[i] + 1.0f;
            blocks[1]->data()[i] = in->data()[i] - 1.0f;
        }
        blocks[0]->setConstant(false);
        blocks[1]->setConstant(false);
        blocks[2] = in;
    }
    int calls = 0;
};

TEST(MultiProducer, OnePullComputesEveryOutputOnce) {
    Environment env(16, true);
    CountingSource source(&env);
    SplitterNode split(&env);
    split.setInput(&source);
    for (int cycle = 0; cycle < 3; ++cycle) {
        env.beginCycle();
        BasicBlock<float>* second = split.output(1)->pull(16);
        BasicBlock<float>* first = split.output(0)->pull(16);
        BasicBlock<float>* pass = split.output(2)->pull(16);
        EXPECT_EQ(split.calls, cycle + 1);
        EXPECT_EQ(first, split.block(0));
        EXPECT_EQ(second, split.block(1));
        EXPECT_EQ(pass, source.ownBlock()) << "an overwritten pointer passes a block through";
        EXPECT_EQ(first->data()[5], source.ownBlock()->data()[5] + 1.0f);
        EXPECT_EQ(split.output(1)->value(), source.value() - 1.0f);
        env.advance(16, 0);
    }
    split.setOutputCount(5);
    EXPECT_EQ(split.outputCount(), 5);
    EXPECT_EQ(split.output(4)->index(), 4);
    env.beginCycle();
    EXPECT_EQ(split.output(4)->pull(16), split.block(4)) << "new outputs get their own blocks";
    EXPECT_EQ(split.calls, 4);
    split.setOutputCount(2);
    EXPECT_EQ(split.outputCount(), 2);
    EXPECT_EQ(split.value(7), 0.0f) << "out-of-range output index";
}

}  // namespace
}  // namespace tessel::wave

#include <gtest/gtest.h>

#include "dynamics/CombinedLevelSource.h"
#include "dynamics/LevelSourceProxy.h"

namespace tessel {
namespace {

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

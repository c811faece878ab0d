// The level sources the editor reads for its meters.

#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include "dynamics/CombinedLevelSource.h"
#include "dynamics/LevelSourceProxy.h"

namespace tessel {
namespace {

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

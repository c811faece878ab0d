#include "support/Property.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace tessel {
namespace {

// Records every call with the value the property held at that moment.
template <typename P, typename V>
class RecordingOwner : public PropertyOwner {
public:
    void propertyChanged(AbstractProperty* property) override {
        calls.push_back(property);
        seenValues.push_back(watched->get());
    }
    P* watched = nullptr;
    std::vector<AbstractProperty*> calls;
    std::vector<V> seenValues;
};

TEST(Property, NotifiesOnceAfterStoringOnlyRealChanges) {
    RecordingOwner<Property<int>, int> owner;
    Property<int> p(&owner, 3);
    owner.watched = &p;

    p = 3;
    EXPECT_TRUE(owner.calls.empty());
    p = 7;
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.calls[0], &p);
    EXPECT_EQ(owner.seenValues[0], 7);  // the owner already sees the new value
    p.assign(7);
    EXPECT_EQ(owner.calls.size(), 1u);

    RecordingOwner<Property<std::string>, std::string> textOwner;
    Property<std::string> text(&textOwner, "a");
    textOwner.watched = &text;
    text = std::string("a");
    text = std::string("b");
    EXPECT_EQ(textOwner.seenValues, std::vector<std::string>{"b"});
}

TEST(Property, NaNFloatAlwaysCountsAsChange) {
    RecordingOwner<Property<float>, float> owner;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Property<float> p(&owner, 1.0f);
    owner.watched = &p;
    p = nan;
    p = nan;
    p = 1.0f;
    ASSERT_EQ(owner.calls.size(), 3u);
    EXPECT_TRUE(std::isnan(owner.seenValues[1]));
    EXPECT_EQ(owner.seenValues[2], 1.0f);
}

TEST(Property, NullOwnerChangesSilently) {
    Property<int> p(nullptr, 1);
    p = 2;
    EXPECT_EQ(p.get(), 2);
    LimitedProperty<float> q(nullptr, -1.0f, 1.0f, 0.0f);
    q = 5.0f;
    EXPECT_EQ(q.get(), 1.0f);
}

TEST(LimitedProperty, ClampsBeforeComparing) {
    RecordingOwner<LimitedProperty<int>, int> owner;
    LimitedProperty<int> p(&owner, 0, 5, 2);
    owner.watched = &p;

    p = 9;
    EXPECT_EQ(p.get(), 5);
    ASSERT_EQ(owner.calls.size(), 1u);
    EXPECT_EQ(owner.seenValues[0], 5);
    p = 9;  // clamps to the value it already holds
    EXPECT_EQ(owner.calls.size(), 1u);
    p = -4;
    EXPECT_EQ(p.get(), 0);
    EXPECT_EQ(owner.calls.size(), 2u);

    // Narrowing the limits re-limits the value and tells the owner once.
    p = 4;
    p.setLimits(0, 3);
    EXPECT_EQ(p.get(), 3);
    EXPECT_EQ(owner.seenValues.back(), 3);
    EXPECT_EQ(owner.calls.size(), 4u);
    p.setLimits(0, 10);
    EXPECT_EQ(owner.calls.size(), 4u);
}

TEST(LimitedProperty, InitialValueAndNaNStayWithinLimits) {
    RecordingOwner<LimitedProperty<float>, float> owner;
    LimitedProperty<float> p(&owner, -2.0f, 2.0f, 10.0f);
    owner.watched = &p;
    EXPECT_EQ(p.get(), 2.0f);
    p = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(p.get(), -2.0f);
    EXPECT_EQ(owner.calls.size(), 1u);
    p = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(owner.calls.size(), 1u);
}

}  // namespace
}  // namespace tessel

#include <algorithm>
#include <utility>

#include "dynamics/CombinedLevelSource.h"
#include "dynamics/LevelSourceProxy.h"

namespace tessel {

float LevelSourceProxy::level(int32_t channel) const {
    return channel >= 0 && channel < kChannels ? levels_[static_cast<std::size_t>(channel)]
                                               : -180.0f;
}

void LevelSourceProxy::setLevel(int32_t channel, float levelDb) noexcept {
    if (channel >= 0 && channel < kChannels) levels_[static_cast<std::size_t>(channel)] = levelDb;
}

uint8_t LevelSourceProxy::takeRequests() noexcept {
    return std::exchange(requests_, uint8_t{0});
}

LevelSource::Detection CombinedLevelSource::detection() const {
    // The first member decides, even when null entries follow it; an empty or null first member
    // counts as a level.
    return !members_.empty() && members_.front() != nullptr ? members_.front()->detection()
                                                            : Detection::kLevel;
}

float CombinedLevelSource::level(int32_t channel) const {
    if (members_.empty() || members_.front() == nullptr) return -180.0f;
    const bool byMaximum = detection() == Detection::kLevel;
    float value = members_.front()->level(channel);
    for (std::size_t i = 1; i < members_.size(); ++i) {
        if (members_[i] == nullptr) continue;
        const float v = members_[i]->level(channel);
        value = byMaximum ? std::max(value, v) : std::min(value, v);
    }
    return value;
}

void CombinedLevelSource::resetPeak() {
    for (LevelSource* m : members_)
        if (m != nullptr) m->resetPeak();
}

void CombinedLevelSource::resetHold() {
    for (LevelSource* m : members_)
        if (m != nullptr) m->resetHold();
}

}  // namespace tessel

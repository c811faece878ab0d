#pragma once

#include <cstdint>
#include <vector>

#include "dynamics/LevelSource.h"

namespace tessel {

/// Shows several level sources as one: the strongest member value per channel (maximum for
/// levels, minimum for gain reduction, following the first member's detection). Members are not
/// owned and may be null (skipped). An empty combination reads -180 dB. [editor thread]
class CombinedLevelSource : public LevelSource {
public:
    CombinedLevelSource() = default;
    explicit CombinedLevelSource(std::vector<LevelSource*> members)
        : members_(std::move(members)) {}

    Detection detection() const override;
    float level(int32_t channel) const override;
    void resetPeak() override;
    void resetHold() override;

    void setMembers(std::vector<LevelSource*> members) { members_ = std::move(members); }
    int32_t count() const noexcept { return static_cast<int32_t>(members_.size()); }

private:
    std::vector<LevelSource*> members_;
};

}  // namespace tessel

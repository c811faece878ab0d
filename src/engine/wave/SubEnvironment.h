#pragma once

#include <cstdint>
#include <vector>

#include "engine/wave/Environment.h"

namespace tessel::wave {

/// An environment running at `factor` times its parent's rate: the oversampled band-processing
/// part of a graph. It begins cycles, advances and resets with its parent, and its sample rate is
/// always factor times the parent's. When not fixed, its maximum block size follows the parent's
/// times the factor and its blocks are resized through the listeners it records; when fixed, its
/// own maximum block size limits the parent's processing block size to maximum / factor.
/// Single-threaded like every environment; setFactor allocates when blocks grow.
class SubEnvironment : public Environment {
public:
    SubEnvironment(Environment* parent, int32_t factor, int32_t maxBlockSize, bool fixed);
    ~SubEnvironment() override;

    int32_t maxBlockSize() const override;
    void addMaxBlockSizeListener(DynamicMaxBlockSizeListener* listener) override;
    void removeMaxBlockSizeListener(DynamicMaxBlockSizeListener* listener) override;

    /// Advances by frames times the factor (frames counted at the parent's rate).
    virtual void advance(int32_t frames, int32_t flags) noexcept;

    /// Changes the rate factor (at least 1): the sample rate follows, blocks are resized when the
    /// maximum block size follows the parent, and the parent's processing block size is updated.
    /// A rate change resets this environment's nodes and fires its sample-rate change event.
    void setFactor(int32_t factor);

    int32_t factor() const noexcept { return factor_; }
    Environment* parent() const noexcept { return parent_; }
    std::size_t listenerCount() const noexcept { return listeners_.size(); }

private:
    friend class Environment;

    void notifyMaxBlockSizeChanged();

    int32_t factor_;
    Environment* parent_;
    std::vector<DynamicMaxBlockSizeListener*> listeners_;
};

}  // namespace tessel::wave

#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "support/NotifyEvent.h"

namespace tessel::wave {

template <typename T>
class BasicBlock;
class ConstValueBlock;
class DynamicMaxBlockSizeListener;
class Producer;
class SubEnvironment;

/// The processing context of a signal graph: maximum and processing block sizes, sample rate, the
/// running sample position, the cycle counter, the list of producers that run every cycle even if
/// nobody pulls them (root list), the list of producers to reset, and the shared zero block.
/// Environments form a tree: a sub-environment runs at an integer multiple of its parent's rate.
/// Single-threaded: cycles, resets, rate changes and rewiring happen on the audio thread or while
/// processing is stopped. Steady-state cycles never allocate; the lists reserve room for every
/// producer ever constructed in the environment, so attaching and detaching never allocate either.
class Environment {
public:
    /// Reset modes: which positions are moved, which producers reset, whether to recurse.
    enum ResetMode : int32_t {
        kResetAttached = 0,      ///< both positions, attached reset-list entries, recurse
        kResetAll = 1,           ///< both positions, every reset-list entry, recurse
        kResetPositionOnly = 2,  ///< reset position only, no producer, recurse
        kResetLocal = 3,         ///< both positions, attached entries, this environment only
    };

    /// Bit of advance's flags: skip the root list (used while fully bypassed).
    static constexpr int32_t kSkipRootList = 1;

    Environment(int32_t maxBlockSize, bool fixed);
    virtual ~Environment();
    Environment(const Environment&) = delete;
    Environment& operator=(const Environment&) = delete;

    virtual int32_t maxBlockSize() const;
    virtual void addMaxBlockSizeListener(DynamicMaxBlockSizeListener* listener);
    virtual void removeMaxBlockSizeListener(DynamicMaxBlockSizeListener* listener);

    /// Starts a cycle here and in every sub-environment.
    void beginCycle() noexcept;
    /// Ends a cycle of `frames` samples: runs root-list entries not yet computed (unless flags has
    /// kSkipRootList), advances the sample position, then advances the sub-environments.
    void advance(int32_t frames, int32_t flags) noexcept;
    void reset(int32_t mode);
    /// Stores the rate (sub-environments get factor times it); a change larger than the float
    /// tolerance resets every node and fires the sample-rate change event.
    void setSampleRate(float sampleRate);

    /// where: 0 = front of the list (runs with mode 2 even when already computed), 1 = right after
    /// the front entries, anything else = the end.
    void addRoot(Producer* producer, int32_t where);
    void addResettable(Producer* producer);
    /// True when every reset-list entry here and in the sub-environments has no pending tail.
    bool allSettled() const;

    void setDisplayActive(bool active) noexcept;
    void setShuttingDown(bool shuttingDown) noexcept;

    int32_t processingBlockSize() const noexcept { return processingBlockSize_; }
    bool isFixed() const noexcept { return fixed_; }
    float sampleRate() const noexcept { return sampleRate_; }
    int64_t samplePosition() const noexcept { return samplePosition_; }
    int64_t resetPosition() const noexcept { return resetPosition_; }
    int64_t discontinuityPosition() const noexcept { return discontinuityPosition_; }
    uint32_t cycleNumber() const noexcept { return cycleNumber_; }
    bool displayActive() const noexcept { return displayActive_; }
    bool shuttingDown() const noexcept { return shuttingDown_; }
    int32_t producerCount() const noexcept { return producerCount_; }
    std::size_t rootCount() const noexcept { return rootList_.size(); }
    std::size_t resetCount() const noexcept { return resetList_.size(); }

    /// A constant block of 0.0 that any node may hand out as its silent output. Never written.
    ConstValueBlock* zeroBlock() const noexcept { return zeroBlock_.get(); }
    /// Two blocks of the maximum block size for temporary use inside one node's process call.
    BasicBlock<float>* scratchBlock(int index) const noexcept { return scratch_[index & 1].get(); }

    /// Fired after a sample-rate change, with this environment as the sender.
    NotifyEvent& sampleRateChangedEvent() noexcept { return sampleRateChanged_; }

protected:
    friend class Producer;
    friend class SubEnvironment;

    void producerConstructed() noexcept { ++producerCount_; }
    void producerDestroyed(Producer* producer) noexcept;
    void setAttached(Producer* producer, bool attached);

    void addSubEnvironment(SubEnvironment* sub);
    void removeSubEnvironment(SubEnvironment* sub) noexcept;
    void updateProcessingBlockSize() noexcept;
    /// Stores a new rate here and below without resetting anything; true if any rate moved.
    bool storeSampleRate(float sampleRate) noexcept;
    void fireSampleRateChanged();
    void advanceBy(int32_t frames, int32_t flags) noexcept;

    std::unique_ptr<ConstValueBlock> zeroBlock_;
    std::unique_ptr<BasicBlock<float>> scratch_[2];

private:
    void insertRoot(Producer* producer);
    void removeRoot(Producer* producer) noexcept;

    int32_t maxBlockSize_;
    bool fixed_;
    int32_t processingBlockSize_;
    std::vector<Producer*> rootList_;
    int32_t rootFrontCount_ = 0;
    int32_t producerCount_ = 0;
    std::vector<Producer*> resetList_;
    int64_t samplePosition_ = 0;
    int64_t resetPosition_ = 0;
    int64_t discontinuityPosition_ = 0;
    float sampleRate_ = 44100.0f;
    std::vector<SubEnvironment*> subEnvironments_;
    uint32_t cycleNumber_ = 0;
    bool displayActive_ = false;
    bool shuttingDown_ = false;
    NotifyEvent sampleRateChanged_;
};

}  // namespace tessel::wave

#pragma once

namespace tessel::wave {

/// Told by a sub-environment whose maximum block size may change (it follows its parent times its
/// rate factor) that the size changed, so that block storage can be resized. Called on the audio
/// thread inside a graph rebuild, or while processing is stopped; implementations may allocate.
class DynamicMaxBlockSizeListener {
public:
    virtual void maxBlockSizeChanged() = 0;

protected:
    ~DynamicMaxBlockSizeListener() = default;
};

}  // namespace tessel::wave

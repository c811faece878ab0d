#pragma once

namespace tessel {

/// Anything that can be given a new value of type T: properties, smoothed controls, and the
/// adapters through which a plug-in parameter drives one of them. Called on the thread that owns
/// the receiving object (the audio thread for signal-graph nodes).
template <typename T>
class ValueAssignable {
public:
    virtual ~ValueAssignable() = default;
    virtual void assign(T value) = 0;
};

}  // namespace tessel

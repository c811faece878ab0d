#pragma once

#include <cstdint>

#include "engine/FloatParameterSource.h"
#include "engine/wave/Producer.h"
#include "support/ValueAssignable.h"

namespace tessel {

/// One smoothed control shared by several nodes: the bus owns the source, and each node reads it
/// directly or through a FloatParameterBusForwarder. Audio thread only.
class FloatParameterBus : public ValueAssignable<float> {
public:
    FloatParameterBus(wave::Environment* environment, float initialValue)
        : source_(environment, initialValue) {}

    void assign(float value) override { source_.assign(value); }

    FloatParameterSource* source() noexcept { return &source_; }
    FloatParameter& parameter() noexcept { return source_.parameter(); }
    const FloatParameter& parameter() const noexcept { return source_.parameter(); }

private:
    FloatParameterSource source_;
};

/// A producer that outputs a bus's control block without copying: lets a node that owns its
/// control slot read a shared bus instead. Audio thread only; never allocates.
class FloatParameterBusForwarder : public wave::Source {
public:
    FloatParameterBusForwarder(wave::Environment* environment, FloatParameterBus* bus)
        : wave::Source(environment, false), bus_(bus) {}

    void process(wave::BasicBlock<float>*, int32_t frames, int32_t) noexcept override {
        setOutputBlock(bus_->source()->pull(frames));
    }

    FloatParameterBus* bus() const noexcept { return bus_; }

private:
    FloatParameterBus* bus_;
};

}  // namespace tessel

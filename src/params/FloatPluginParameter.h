#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "params/AbstractPluginParameter.h"
#include "params/ParameterTextFormat.h"

namespace tessel {

template <typename T>
class TypedPluginParameter;

/// A continuous parameter: a float value clamped to minimum..maximum, converted to the engine's
/// linear domain and to the display number by its ParameterTextFormat. Setting a value within
/// single-precision epsilon of the current one is no change and notifies nobody; a NaN is
/// ignored (a glitching host or a corrupt preset must not move a control), infinities clamp.
/// Value listeners receive the linear-domain value. Fresh parameters span 0..1 with default 0.
/// [main thread] for changes; the const conversions may run on any thread.
template <>
class TypedPluginParameter<float> : public AbstractPluginParameter {
public:
    /// Receives the linear-domain value when the parameter notifies its listeners.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void linearValueChanged(float valueLinear) = 0;
    };

    /// The range is put in order; the default (and the initial value) is clamped into it.
    explicit TypedPluginParameter(std::string name, GenericParameterOwner* owner = nullptr,
                                  float minimum = 0.0f, float maximum = 1.0f,
                                  float defaultValue = 0.0f);

    float valueFromDisplay(float display) const override;
    float valueFromLinear(float linear) const override;
    float displayOfValue(float value) const override;
    float linearOfValue(float value) const override;
    float normalisedOfValue(float value) const override;
    float valueOfNormalised(float normalised) const override;
    bool valueFromText(std::string_view text, float& value,
                       std::string& failureReason) const override;
    std::string textOfValue(float value) const override;
    float defaultValue() const override { return default_; }
    float maximum() const override { return maximum_; }
    float minimum() const override { return minimum_; }
    float currentValue() const override { return value_; }
    void setValue(float value, int flag) override;
    void notifyValueListeners(float value) override;

    /// Changes the range (non-finite bounds are refused); default and value are re-clamped
    /// without notification, as this is part of building the parameter.
    void setRange(float minimum, float maximum);
    void setDefaultValue(float defaultValue);

    void addValueListener(Listener* listener);
    void removeValueListener(Listener* listener);

    ParameterTextFormat& textFormat() noexcept { return textFormat_; }
    const ParameterTextFormat& textFormat() const noexcept { return textFormat_; }

    /// The value limited to the range; NaN gives the minimum.
    float clampToRange(float value) const noexcept;

private:
    std::vector<Listener*> valueListeners_;
    ParameterTextFormat textFormat_;
    float default_ = 0.0f;
    float maximum_ = 1.0f;
    float minimum_ = 0.0f;
    float value_ = 0.0f;
};

using FloatPluginParameter = TypedPluginParameter<float>;

}  // namespace tessel

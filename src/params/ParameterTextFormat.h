#pragma once

#include <string>
#include <string_view>

namespace tessel {

class FloatPluginParameterUnit;
template <typename T>
class TypedPluginParameter;
using FloatPluginParameter = TypedPluginParameter<float>;

/// How one continuous parameter turns its stored value into engine and display numbers and into
/// text, and typed text back into a value. The chain is
///   linear(v)  = F2(v) * s2 + o2                  (what the engine and listeners receive)
///   display(v) = F1(linear(v) * s1 + o1)          (what the user reads and types)
/// with the maps F1, F2 and their inverses G1, G2 as plain functions (null = identity), so the
/// chain is allocation-free and safe on any thread. Text needs the owning parameter for its
/// range and current value. Configuration happens once, on the main thread, while the parameter
/// is built.
class ParameterTextFormat {
public:
    using Map = float (*)(float);
    /// Produces the number text for a display value (the unit label is appended afterwards).
    using Formatter = std::string (*)(float displayValue);

    explicit ParameterTextFormat(const FloatPluginParameter& parameter) noexcept;
    ParameterTextFormat(const ParameterTextFormat&) = delete;
    ParameterTextFormat& operator=(const ParameterTextFormat&) = delete;

    float linear(float value) const noexcept;
    float display(float value) const noexcept;
    float valueFromDisplay(float display) const noexcept;
    float valueFromLinear(float linear) const noexcept;

    /// Whole text of a value: unit text, or number (custom formatter or number format), then
    /// separator and unit label when there is a label.
    std::string format(float value) const;
    /// Typed text to a value inside the parameter's range. On failure returns false, leaves
    /// `value` at the current value and says why in failureReason.
    bool parse(std::string_view text, float& value, std::string& failureReason) const;

    /// Applies a number format to a display value: printf style ("%.2f", "%+.1f") or adaptive
    /// ("*2f", "*+3f": N decimals, one fewer per decade from 10 upwards). Infinities print as
    /// "INF"/"-INF"; a result without a non-zero digit never carries a sign.
    static std::string formatNumber(std::string_view numberFormat, float displayValue);
    /// True for a format formatNumber accepts: one floating conversion (f, e or g) with flags,
    /// width and precision, surrounded by literal text; or the adaptive form.
    static bool isValidNumberFormat(std::string_view numberFormat) noexcept;

    const std::string& separator() const noexcept { return separator_; }
    void setSeparator(std::string separator) { separator_ = std::move(separator); }
    const std::string& prefix() const noexcept { return prefix_; }
    void setPrefix(std::string prefix) { prefix_ = std::move(prefix); }
    const std::string& numberFormat() const noexcept { return numberFormat_; }
    /// Refuses (returns false, keeps the old one) a format that formatNumber could not apply
    /// safely, such as one with "%s" or two conversions.
    bool setNumberFormat(std::string numberFormat);
    const std::string& unitLabel() const noexcept { return unitLabel_; }
    void setUnitLabel(std::string unitLabel) { unitLabel_ = std::move(unitLabel); }
    void setCustomFormatter(Formatter formatter) noexcept { customFormatter_ = formatter; }
    Formatter customFormatter() const noexcept { return customFormatter_; }

    /// F1 (linear-affine result -> display) and its inverse G1.
    void setDisplayMap(Map toDisplay, Map fromDisplay) noexcept;
    void setDisplayScaleOffset(float scale, float offset) noexcept;
    /// F2 (value -> linear before scale and offset) and its inverse G2.
    void setValueMap(Map toLinear, Map fromLinear) noexcept;
    void setLinearScaleOffset(float scale, float offset) noexcept;

    /// Attaches a shared unit: its name becomes the label, then the unit configures this format.
    /// Formats set explicitly afterwards override what the unit chose.
    void setUnit(const FloatPluginParameterUnit* unit);
    const FloatPluginParameterUnit* unit() const noexcept { return unit_; }

    /// Shows the parameter's range as 0..200 % of its linear span (the Mix control). Call after
    /// the range and the value map are set.
    void setPercentDisplayOfRange() noexcept;
    /// Maps the whole value range linearly onto [a, b] in the linear domain, display unscaled.
    void setLinearRange(float a, float b) noexcept;

private:
    float clampToRange(float value) const noexcept;

    std::string separator_ = " ";
    std::string prefix_;
    std::string numberFormat_ = "%.3f";
    Map toDisplay_ = nullptr;    // F1
    Map fromDisplay_ = nullptr;  // G1
    float displayOffset_ = 0.0f;
    float displayScale_ = 1.0f;
    std::string unitLabel_;
    Formatter customFormatter_ = nullptr;
    Map toLinear_ = nullptr;    // F2
    Map fromLinear_ = nullptr;  // G2
    float linearOffset_ = 0.0f;
    const FloatPluginParameter& parameter_;
    float linearScale_ = 1.0f;
    const FloatPluginParameterUnit* unit_ = nullptr;
};

}  // namespace tessel

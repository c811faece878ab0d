#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessel {

class ParameterTextFormat;

/// A unit of measure that can be attached to continuous parameters: its name becomes the label
/// printed after the number, and its typed-unit entries let the user type other units ("1k",
/// "2x", "50 ms") that are converted into the display unit. Subclasses may also take over the
/// whole text, parse text without a leading number (note names) and rescale a bare number.
/// Units are stateless after construction and shared by every parameter of a process, so all
/// operations are const and may run on any thread.
class FloatPluginParameterUnit {
public:
    using Conversion = float (*)(float);

    /// One typed unit: the number typed before `suffix` becomes conversion(number * scale).
    struct TypedUnit {
        std::string suffix;
        float scale;
        Conversion conversion;  // null: identity
    };

    FloatPluginParameterUnit(const FloatPluginParameterUnit&) = delete;
    FloatPluginParameterUnit& operator=(const FloatPluginParameterUnit&) = delete;
    virtual ~FloatPluginParameterUnit() = default;

    /// Supplies the whole text for a display value when it returns true; the base never does.
    virtual bool format(float displayValue, std::string& text) const;
    /// Parses text that holds no leading number into a frequency in octaves (log2 Hz); the base
    /// understands nothing.
    virtual bool parse(std::string_view text, float& frequencyOctaves) const;
    /// Adjusts the text format of a parameter the unit is being attached to.
    virtual void configure(ParameterTextFormat& format) const;
    /// May rescale a number typed without a unit, knowing the current display value and the
    /// display bounds; the base leaves it alone.
    virtual void adjustTypedNumber(float& number, float currentDisplay, float lowerDisplay,
                                   float upperDisplay) const;

    const std::string& name() const noexcept { return name_; }
    const std::vector<TypedUnit>& typedUnits() const noexcept { return typedUnits_; }
    /// The typed unit whose suffix equals the word ignoring case, or null.
    const TypedUnit* findTypedUnit(std::string_view word) const noexcept;

protected:
    /// The unit's own name is its first typed unit, with scale 1.
    explicit FloatPluginParameterUnit(std::string name);

    void addTypedUnit(std::string suffix, float scale, Conversion conversion = nullptr);

private:
    std::string name_;
    std::vector<TypedUnit> typedUnits_;
};

}  // namespace tessel

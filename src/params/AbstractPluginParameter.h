#pragma once

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tessel {

/// Parameter and choice names compare without regard to ASCII case when a user types them.
inline bool equalIgnoringCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

class AbstractPluginParameter;

/// Receives every value change of the parameters it watches: (identifier, new value in the value
/// domain, flag). The flag is passed through untouched; callers use it to tell host, editor and
/// preset changes apart. Called synchronously on the thread that set the value.
class ParameterValueObserver {
public:
    virtual ~ParameterValueObserver() = default;
    virtual void parameterValueChanged(int identifier, float value, int flag) = 0;
};

/// What a parameter registers with: a parameter set or the plug-in's collection. Registration
/// returns the identifier the parameter keeps for its whole life (its host ID as well). It is
/// called from the parameter's constructor, so an owner must only store the reference there and
/// must not call back into the half-built parameter. [main thread]
class GenericParameterOwner : public ParameterValueObserver {
public:
    virtual int registerParameter(AbstractPluginParameter& parameter) = 0;
};

/// Base of every user-visible control. Three domains meet here: the stored value (clamped to
/// minimum..maximum, saved in presets), the linear domain the engine receives, and the display
/// number the user reads and types; the host sees only the normalised 0..1 form. The virtual
/// operations are declared in a fixed order that every parameter class keeps. Conversions never
/// fail: non-finite or out-of-range input yields a value inside the range. Parameters are
/// main-thread objects; the const conversions are re-entrant and may run on any thread.
/// Not copyable: owners and text formats refer to a parameter by address.
class AbstractPluginParameter {
public:
    AbstractPluginParameter(const AbstractPluginParameter&) = delete;
    AbstractPluginParameter& operator=(const AbstractPluginParameter&) = delete;

    virtual ~AbstractPluginParameter() = default;
    virtual float valueFromDisplay(float display) const = 0;
    virtual float valueFromLinear(float linear) const = 0;
    virtual float displayOfValue(float value) const = 0;
    virtual float linearOfValue(float value) const = 0;
    /// (value - minimum) / (maximum - minimum), within 0..1; 0 for an empty range.
    virtual float normalisedOfValue(float value) const = 0;
    /// Normalised position of the value inside the section addressed by the key.
    virtual float normalisedInSection(float value, int sectionKey) const;
    /// Inverse of normalisedOfValue; the argument is limited to 0..1 (NaN counts as 0).
    virtual float valueOfNormalised(float normalised) const = 0;
    /// Parses typed text. On failure returns false, gives the current value and fills
    /// failureReason with a message for the user; never throws for any input.
    virtual bool valueFromText(std::string_view text, float& value,
                               std::string& failureReason) const;
    /// Value of a normalised position inside a section; false when that position belongs to the
    /// section before.
    virtual bool valueOfNormalisedInSection(float normalised, int sectionKey, float& value) const;
    /// textOfValue cut to at most maxCharacters bytes (every text of this system is ASCII).
    virtual std::string shortTextOfValue(float value, std::size_t maxCharacters) const;
    virtual std::string textOfValue(float value) const = 0;
    virtual float defaultValue() const = 0;
    /// First index of the section with this key, -1 when there is none.
    virtual int sectionBoundary(int sectionKey) const;
    virtual float maximum() const = 0;
    virtual float minimum() const = 0;
    /// Moves `value` the way the reference moved from oldReference to newReference: in proportion
    /// of display values, or by the plain difference when the old reference displays as zero.
    /// Used when several bands are dragged together. The result lies inside the range.
    virtual float scaledMove(float value, float oldReference, float newReference) const;
    virtual float currentValue() const = 0;
    /// Kept in its place among the operations for the host adapter; no parameter uses it yet.
    virtual int reservedOperation() const noexcept { return 0; }
    virtual bool hasChoiceNames() const { return false; }
    /// Clamps and stores the value and tells the owner (with the flag) when it really changed.
    virtual void setValue(float value, int flag) = 0;
    /// False for a parameter the user picks from a list rather than types into.
    virtual bool acceptsTypedValue() const { return true; }
    /// Sends the engine-side (linear or stored) form of the value to the value listeners.
    virtual void notifyValueListeners(float value) = 0;

    const std::string& name() const noexcept { return name_; }
    int identifier() const noexcept { return identifier_; }
    GenericParameterOwner* owner() const noexcept { return owner_; }
    bool discrete() const noexcept { return discrete_; }

    const std::string& hostName() const noexcept { return hostName_; }
    void setHostName(std::string hostName) { hostName_ = std::move(hostName); }
    const std::string& helpText() const noexcept { return helpText_; }
    void setHelpText(std::string helpText) { helpText_ = std::move(helpText); }
    bool automatable() const noexcept { return automatable_; }
    void setAutomatable(bool automatable) noexcept { automatable_ = automatable; }
    const std::vector<std::string>& alternativeNames() const noexcept { return alternativeNames_; }
    void addAlternativeName(std::string name) { alternativeNames_.push_back(std::move(name)); }

protected:
    /// Registers with the owner (when given) and keeps the identifier it returns; -1 without one.
    AbstractPluginParameter(std::string name, GenericParameterOwner* owner);

    void setDiscrete(bool discrete) noexcept { discrete_ = discrete; }
    void notifyOwner(float value, int flag) const;

private:
    std::vector<std::string> alternativeNames_;
    bool automatable_ = true;
    std::string name_;
    int identifier_ = -1;
    std::string hostName_;
    std::string helpText_;
    GenericParameterOwner* owner_;
    bool discrete_ = false;
};

}  // namespace tessel

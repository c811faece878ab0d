#pragma once

#include <functional>

#include "params/AbstractPluginParameter.h"
#include "params/PluginParameterSet.h"

namespace tessel {

/// An ordered array of parameter sets whose parameters have consecutive identifiers (the sets
/// are built one after the other). It answers which set an identifier belongs to and visits all
/// parameters in identifier order. The operations keep a fixed order for the plug-in model.
/// [main thread]
class AbstractParameterSetArray {
public:
    using Visitor = std::function<void(AbstractPluginParameter&)>;

    AbstractParameterSetArray() = default;
    AbstractParameterSetArray(const AbstractParameterSetArray&) = delete;
    AbstractParameterSetArray& operator=(const AbstractParameterSetArray&) = delete;
    virtual ~AbstractParameterSetArray() = default;

    /// True when the identifier lies between the first parameter of the first set and the last
    /// parameter of the last set.
    virtual bool containsIdentifier(int identifier) const;
    /// Index of the set holding the identifier, -1 outside the array.
    virtual int setIndexOfIdentifier(int identifier) const;
    virtual int setCount() const noexcept = 0;
    /// The set at index (0-based); index must be below setCount().
    virtual PluginParameterSet& set(int index) const = 0;
    /// Every parameter of every set back to its default, each change reported with flag 0.
    virtual void resetAllToDefaults();
    /// Identifier of the first parameter of the first set, -1 for an empty array.
    virtual int firstIdentifier() const;
    /// Calls the visitor with every parameter, set by set, in registration order.
    virtual void forEachParameter(const Visitor& visitor) const;

private:
    int lastIdentifier() const;
};

}  // namespace tessel

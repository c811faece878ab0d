#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "params/AbstractPluginParameter.h"

namespace tessel {

/// The ordered list of all parameters of a plug-in instance. Registration appends and returns
/// the new index, which is the parameter's identifier and host ID for good. Every value change of
/// a registered parameter is forwarded to the observer (the plug-in model), if one is set.
/// Values can be copied out to a float array in list order and assigned back from another
/// collection's array (A/B comparison, undo). Parameters are not owned. [main thread]
class ParameterCollection : public GenericParameterOwner {
public:
    explicit ParameterCollection(ParameterValueObserver* observer = nullptr) noexcept
        : observer_(observer) {}

    int registerParameter(AbstractPluginParameter& parameter) override;
    void parameterValueChanged(int identifier, float value, int flag) override;

    void setObserver(ParameterValueObserver* observer) noexcept { observer_ = observer; }
    std::size_t size() const noexcept { return parameters_.size(); }
    /// The parameter with this identifier, or null outside the list.
    AbstractPluginParameter* parameter(int identifier) const noexcept;
    /// The parameter with this name (exactly, else ignoring case), or null.
    AbstractPluginParameter* parameterNamed(std::string_view name) const noexcept;

    /// Current values in list order.
    std::vector<float> values() const;
    /// Sets values element by element for the common length, each with `flag`, in the order of
    /// assignInDependencyOrder.
    void assignValues(std::span<const float> values, int flag = 0);

private:
    std::vector<AbstractPluginParameter*> parameters_;
    ParameterValueObserver* observer_;
};

/// A parameter and the value a restore gives it.
using ParameterAssignment = std::pair<AbstractPluginParameter*, float>;

/// Restores a set of values so that the result depends only on the values, not on the state
/// they replace: a continuous value may be stored differently depending on a choice (a slope
/// set while the Processing Mode is Minimum Phase snaps, one set before keeps its value). The
/// indexed parameters of the set go to their defaults first (where nothing snaps), then the
/// continuous values are set, then the indexed ones. Later entries for the same parameter win.
void assignInDependencyOrder(std::span<const ParameterAssignment> assignments, int flag);

}  // namespace tessel

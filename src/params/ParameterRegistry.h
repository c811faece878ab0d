#pragma once

#include <memory>
#include <vector>

#include "params/AbstractPluginParameter.h"
#include "params/ParameterCollection.h"

namespace tessel {

/// A pass-through owner that remembers every parameter registered through it, in order, and
/// forwards registrations and value changes to the real owner unchanged. Without a real owner
/// it creates a ParameterCollection of its own, so a parameter model can also stand alone (the
/// command-line tools). [main thread]
class ParameterRegistry : public GenericParameterOwner {
public:
    explicit ParameterRegistry(GenericParameterOwner* owner);
    ParameterRegistry(const ParameterRegistry&) = delete;
    ParameterRegistry& operator=(const ParameterRegistry&) = delete;

    int registerParameter(AbstractPluginParameter& parameter) override;
    void parameterValueChanged(int identifier, float value, int flag) override;

    /// Every parameter registered through this registry, in registration order.
    const std::vector<AbstractPluginParameter*>& registeredParameters() const noexcept {
        return registered_;
    }
    /// The collection created when no owner was given; null otherwise.
    ParameterCollection* ownCollection() const noexcept { return ownCollection_.get(); }

private:
    std::unique_ptr<ParameterCollection> ownCollection_;
    GenericParameterOwner* owner_;
    std::vector<AbstractPluginParameter*> registered_;
};

}  // namespace tessel

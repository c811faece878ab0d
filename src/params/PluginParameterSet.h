#pragma once

#include <string>
#include <vector>

#include "params/AbstractPluginParameter.h"

namespace tessel {

/// A named group of parameters (one band, the analyzer). Its members register through it: the
/// set keeps them in registration order and forwards the registration to its own owner, whose
/// identifier the parameter keeps. Without an owner the set numbers its members itself from 0.
/// Every value change of a member is forwarded unchanged to the owner. Parameters are not owned
/// by this base; subclasses hold them as members, constructed after the base.
/// [main thread]
class PluginParameterSet : public GenericParameterOwner {
public:
    PluginParameterSet(std::string name, GenericParameterOwner* owner);
    PluginParameterSet(const PluginParameterSet&) = delete;
    PluginParameterSet& operator=(const PluginParameterSet&) = delete;

    int registerParameter(AbstractPluginParameter& parameter) override;
    void parameterValueChanged(int identifier, float value, int flag) override;

    const std::string& name() const noexcept { return name_; }
    GenericParameterOwner* owner() const noexcept { return owner_; }
    /// The members in registration order.
    const std::vector<AbstractPluginParameter*>& parameters() const noexcept { return parameters_; }
    /// Every member back to its default, each change reported with flag 0.
    void resetToDefaults();

private:
    std::string name_;
    std::vector<AbstractPluginParameter*> parameters_;
    GenericParameterOwner* owner_;
};

}  // namespace tessel

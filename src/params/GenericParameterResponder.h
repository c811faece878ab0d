#pragma once

#include "params/AbstractPluginParameter.h"

namespace tessel {

/// An owner of parameters that others can question and that groups changes: the common ground
/// of the plug-in model and the audio processor. A change group brackets a burst of changes (a
/// preset load, a multi-band drag) so that listeners report it once when the outermost group
/// closes; groups nest. [main thread, except where a subclass says otherwise]
class GenericParameterResponder : public GenericParameterOwner {
public:
    virtual void beginChangeGroup() {}
    virtual void endChangeGroup() {}
    virtual int parameterCount() const = 0;
    /// The parameter with this identifier, or null.
    virtual AbstractPluginParameter* parameterByIdentifier(int identifier) const = 0;
};

}  // namespace tessel

#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "params/GenericParameterResponder.h"
#include "params/ParameterCollection.h"

namespace tessel {

class AsyncEventQueue;
class BinaryDataReader;
class BinaryDataWriter;

/// What every plug-in object with parameters holds, the model and the audio processor alike: the
/// parameter collection in registration order (registration index = identifier = host ID), a map
/// from parameter name to identifier (text presets address parameters by name), the names of the
/// registered parameter sets, option flags, and references to the Midi State and Bypass
/// parameters. Registration happens while the parameters are built, on the main thread; a value
/// change of a registered parameter arrives in `parameterValueChanged` on the thread that set it
/// (the audio thread for the processor's own copy), so overrides there must not allocate.
class GenericPluginBase : public GenericParameterResponder {
public:
    /// Where a band's detector listens (the Side Chain Input parameter's values, in order).
    enum class InputSignal : int32_t {
        kPluginInput = 0,    ///< the plug-in's own input
        kExternalInput = 1,  ///< the host's side-chain bus
    };

    /// Whether incoming MIDI may move parameters (the Midi State parameter's values, in order).
    enum class MidiState : int32_t {
        kEnabled = 0,
        kDisabled = 1,
    };

    GenericPluginBase() = default;
    GenericPluginBase(const GenericPluginBase&) = delete;
    GenericPluginBase& operator=(const GenericPluginBase&) = delete;

    /// Appends the parameter to the collection and enters its name in the name map.
    int registerParameter(AbstractPluginParameter& parameter) override;
    /// Called after a registered parameter took a new value. The base does nothing.
    void parameterValueChanged(int identifier, float value, int flag) override;
    int parameterCount() const override { return static_cast<int>(parameters_.size()); }
    AbstractPluginParameter* parameterByIdentifier(int identifier) const override {
        return parameters_.parameter(identifier);
    }

    /// Writes the parameter block: header "VTBS" version 1, the parameter count, then every
    /// current value in identifier order (value domain, not normalised).
    void writeParameterBlock(BinaryDataWriter& stream) const;
    /// Reads a parameter block: false with nothing changed when the signature is not "VTBS";
    /// otherwise each value read is set with flag 1 (a restore, not an edit), every parameter the
    /// block lacks gets its default, and the result says whether the whole block read. A block
    /// cut short sets what it holds and defaults the rest; a negative count is a damaged block.
    /// The plug-in model wraps this in a change group so the host hears of the restore once.
    bool readParameterBlock(BinaryDataReader& stream);

    /// Enters an extra name for a parameter (alternative names used by older text presets).
    void enterParameterName(std::string_view name, int identifier);
    /// The parameter registered or entered under a name (exactly), else the collection's
    /// parameter of that name ignoring case; null when none.
    AbstractPluginParameter* parameterByName(std::string_view name) const noexcept;
    /// Registers the name of a parameter set and returns its index.
    int registerParameterSetName(std::string name);
    const std::vector<std::string>& parameterSetNames() const noexcept { return setNames_; }

    const ParameterCollection& parameters() const noexcept { return parameters_; }
    int32_t optionFlags() const noexcept { return optionFlags_; }
    void setOptionFlags(int32_t flags) noexcept { optionFlags_ = flags; }

    /// The Midi State and Bypass parameters, when the product has them (null otherwise).
    AbstractPluginParameter* midiStateParameter() const noexcept { return midiState_; }
    AbstractPluginParameter* bypassParameter() const noexcept { return bypass_; }
    void setMidiStateParameter(AbstractPluginParameter* parameter) noexcept {
        midiState_ = parameter;
    }
    void setBypassParameter(AbstractPluginParameter* parameter) noexcept { bypass_ = parameter; }

    /// The queue that hands events to the main thread, created by whoever owns the instance on
    /// the main thread (not owned here; null until set).
    AsyncEventQueue* eventQueue() const noexcept { return eventQueue_; }
    void setEventQueue(AsyncEventQueue* queue) noexcept { eventQueue_ = queue; }

private:
    ParameterCollection parameters_;
    std::map<std::string, int, std::less<>> nameMap_;
    std::vector<std::string> setNames_;
    int32_t optionFlags_ = 0;
    AbstractPluginParameter* midiState_ = nullptr;
    AbstractPluginParameter* bypass_ = nullptr;
    AsyncEventQueue* eventQueue_ = nullptr;
};

}  // namespace tessel

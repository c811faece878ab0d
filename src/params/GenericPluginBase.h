#pragma once

#include <cstdint>

namespace tessel {

/// Stand-in for the plug-in base class until it exists: it holds only the two enumerations the
/// parameters already need, at the names the base class will give them, so that parameter code
/// written against `GenericPluginBase::InputSignal` and `GenericPluginBase::MidiState` keeps
/// compiling when the real class replaces this struct. It has no members and is never
/// instantiated.
struct GenericPluginBase {
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
};

}  // namespace tessel

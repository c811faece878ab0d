#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "engine/MidiEventReceiver.h"
#include "engine/tessel/TesselProcessor.h"
#include "host/lv2/Lv2Ports.h"
#include "plugin/PluginStateBlock.h"
#include "plugin/PresetDocument.h"

namespace tessel::lv2 {

/// A preset built into the plug-in, selected by MIDI program change (program n = entry n):
/// every parameter's value in identifier order.
struct FactoryPreset {
    const char* name;
    const float* values;
    std::size_t count;
};
/// The bundle's presets, generated at build time from the preset files.
std::span<const FactoryPreset> factoryPresets() noexcept;

/// One instance of a Tessel plug-in in an LV2 host: binds the host's ports, state and MIDI to
/// the processor. A parameter port's new number becomes a parameter value that goes to the
/// processor through its queue; the adapter keeps the values it sent in a preset document, which
/// is what it saves. The plug-in model will take that document's place; the binding only moves
/// values. Threads as LV2 gives them: construction and `restore` never run alongside `run`;
/// `save` may, and reads the values `run` publishes; `run` is the audio thread and never
/// allocates, locks or makes a system call.
class Lv2PluginAdapter final : public MidiEventReceiver {
public:
    /// Null when the host lacks urid:map.
    static std::unique_ptr<Lv2PluginAdapter> create(const VariantInfo& variant, double sampleRateHz,
                                                    const LV2_Feature* const* features);
    ~Lv2PluginAdapter() override;

    /// Not noexcept: a host cancelling its audio thread may unwind through it.
    void connect(uint32_t port, void* data);
    void activate() noexcept;
    void run(uint32_t frames) noexcept;

    LV2_State_Status save(LV2_State_Store_Function store, LV2_State_Handle handle);
    LV2_State_Status restore(LV2_State_Retrieve_Function retrieve, LV2_State_Handle handle);

    /// Program changes select a factory preset. [audio thread, at the message's sample]
    void receiveMidiMessage(const MidiMessage& message) override;

    TesselProcessor& processor() noexcept { return *processor_; }

private:
    Lv2PluginAdapter(const VariantInfo& variant, double sampleRateHz, LV2_URID_Map* map);

    /// Reads the parameter ports that changed since the last run and sends their values on:
    /// indexed parameters first, so that a continuous value lands under the choices it comes
    /// with (a slope under the Processing Mode that snaps it, or not).
    void readParameterPorts() noexcept;
    /// Sets one value in the document and queues it for the processor.
    void send(int32_t identifier, float value) noexcept;
    /// Queues every value of the document for the processor in dependency order. [not audio]
    void sendAll() noexcept;
    void readMidi(uint32_t frames) noexcept;
    /// Copies every value of the document to `published_`. [not audio]
    void publishAll() noexcept;
    void writeOutputs() noexcept;

    const VariantInfo& variant_;
    const PortLayout layout_;
    LV2_URID midiEvent_;
    LV2_URID atomChunk_;
    LV2_URID stateKey_;
    PresetDocument document_;
    ParameterPorts ports_;
    std::unique_ptr<TesselProcessor> processor_;
    PluginStateBlock state_;

    std::array<const float*, 2> inputs_{};
    const float* sideChain_ = nullptr;
    std::array<float*, 2> outputs_{};
    const void* midi_ = nullptr;
    const float* enabled_ = nullptr;
    float* latency_ = nullptr;
    std::array<float*, 3> meters_{};
    std::vector<const float*> parameterPorts_;
    /// The last number seen on each parameter port; a port is read again when its number moves.
    std::vector<float> lastPort_;
    /// After a restore: take the ports' numbers as they stand without applying them, so that the
    /// restored values, not the host's copy of the ports, make the state.
    bool adoptPorts_ = false;
    /// The document's values as `save` may read them while `run` goes on (LV2 allows a save
    /// alongside the audio thread; a restore never runs alongside it).
    std::vector<std::atomic<float>> published_;
};

}  // namespace tessel::lv2

#include "host/lv2/Lv2PluginAdapter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>

#include "support/BinaryData.h"

namespace tessel::lv2 {

namespace {

const LV2_URID_Map* findMap(const LV2_Feature* const* features) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (std::strcmp((*features)->URI, LV2_URID__map) == 0)
            return static_cast<const LV2_URID_Map*>((*features)->data);
    }
    return nullptr;
}

float finiteDb(float db) noexcept {
    return std::isfinite(db) ? db : -180.0f;
}

}  // namespace

std::unique_ptr<Lv2PluginAdapter> Lv2PluginAdapter::create(const VariantInfo& variant,
                                                           double sampleRateHz,
                                                           const LV2_Feature* const* features) {
    const LV2_URID_Map* map = findMap(features);
    if (map == nullptr || !(sampleRateHz > 0.0)) return nullptr;
    return std::unique_ptr<Lv2PluginAdapter>(
        new Lv2PluginAdapter(variant, sampleRateHz, const_cast<LV2_URID_Map*>(map)));
}

Lv2PluginAdapter::Lv2PluginAdapter(const VariantInfo& variant, double sampleRateHz,
                                   LV2_URID_Map* map)
    : variant_(variant),
      layout_(variant),
      midiEvent_(map->map(map->handle, LV2_MIDI__MidiEvent)),
      atomChunk_(map->map(map->handle, LV2_ATOM__Chunk)),
      stateKey_(map->map(map->handle, kStateKeyUri)),
      ports_(document_.tessel()),
      processor_(std::make_unique<TesselProcessor>(variant.layout, true)),
      parameterPorts_(ports_.size(), nullptr),
      published_(ports_.size()) {
    processor_->environment()->setSampleRate(static_cast<float>(sampleRateHz));
    processor_->setSideChainPresent(true);
    processor_->setMidiEventReceiver(this);
    for (const ParameterPort& port : ports_.ports())
        lastPort_.push_back(port.defaultValue);
    publishAll();
}

Lv2PluginAdapter::~Lv2PluginAdapter() = default;

void Lv2PluginAdapter::publishAll() noexcept {
    for (const AbstractPluginParameter* p : document_.tessel().allParameters()) {
        published_[static_cast<std::size_t>(p->identifier())].store(p->currentValue(),
                                                                    std::memory_order_relaxed);
    }
}

void Lv2PluginAdapter::connect(uint32_t port, void* data) {
    auto* samples = static_cast<float*>(data);
    if (port < layout_.audioInputs) {
        inputs_[port] = samples;
    } else if (port == layout_.sideChain()) {
        sideChain_ = samples;
    } else if (port < layout_.midiInput()) {
        outputs_[port - layout_.firstOutput()] = samples;
    } else if (port == layout_.midiInput()) {
        midi_ = data;
    } else if (port == layout_.enabled()) {
        enabled_ = samples;
    } else if (port == layout_.latency()) {
        latency_ = samples;
    } else if (port < layout_.firstParameter()) {
        meters_[port - layout_.meter(0)] = samples;
    } else if (port - layout_.firstParameter() < parameterPorts_.size()) {
        parameterPorts_[port - layout_.firstParameter()] = samples;
    }
}

void Lv2PluginAdapter::activate() noexcept {
    processor_->reset();
}

void Lv2PluginAdapter::send(int32_t identifier, float value) noexcept {
    AbstractPluginParameter& p =
        *document_.tessel().allParameters()[static_cast<std::size_t>(identifier)];
    p.setValue(value, 0);
    published_[static_cast<std::size_t>(identifier)].store(p.currentValue(),
                                                           std::memory_order_relaxed);
    processor_->setParameter(identifier, value, GenericPluginProcessor::kFromHost);
}

void Lv2PluginAdapter::sendAll() noexcept {
    // Indexed parameters to their defaults, then continuous values, then indexed values: the
    // order a restore uses, so that the processor's copy ends as the document's.
    const auto& all = document_.tessel().allParameters();
    for (const int pass : {0, 1, 2}) {
        for (const AbstractPluginParameter* p : all) {
            if (p->discrete() != (pass != 1)) continue;
            processor_->setParameter(p->identifier(),
                                     pass == 0 ? p->defaultValue() : p->currentValue(),
                                     GenericPluginProcessor::kFromHost);
        }
    }
}

void Lv2PluginAdapter::readParameterPorts() noexcept {
    if (adoptPorts_) {
        for (std::size_t i = 0; i < parameterPorts_.size(); ++i)
            if (parameterPorts_[i] != nullptr) lastPort_[i] = *parameterPorts_[i];
        adoptPorts_ = false;
        return;
    }
    const auto& all = document_.tessel().allParameters();
    for (const bool indexed : {true, false}) {
        for (std::size_t i = 0; i < parameterPorts_.size(); ++i) {
            if (parameterPorts_[i] == nullptr || all[i]->discrete() != indexed) continue;
            const float number = *parameterPorts_[i];
            // A NaN on a port is ignored; numbers compare as numbers (-0 is 0).
            if (std::isnan(number) || number == lastPort_[i]) continue;
            lastPort_[i] = number;
            send(static_cast<int32_t>(i), ports_.valueOfPort(static_cast<int32_t>(i), number));
        }
    }
}

void Lv2PluginAdapter::readMidi(uint32_t frames) noexcept {
    if (midi_ == nullptr) return;
    const auto* sequence = static_cast<const LV2_Atom_Sequence*>(midi_);
    const bool midiEnabled = document_.tessel().midiState.currentValue() <
                             static_cast<float>(GenericPluginBase::MidiState::kDisabled);
    LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
        if (event->body.type != midiEvent_ || event->body.size == 0 || !midiEnabled) continue;
        const auto* bytes = reinterpret_cast<const uint8_t*>(event + 1);
        MidiMessage message{};
        message.sampleOffset = static_cast<int32_t>(
            std::clamp<int64_t>(event->time.frames, 0, frames > 0 ? frames - 1 : 0));
        message.status = bytes[0];
        message.data1 = event->body.size > 1 ? bytes[1] : 0;
        message.data2 = event->body.size > 2 ? bytes[2] : 0;
        processor_->queueMidiMessage(message);
    }
}

void Lv2PluginAdapter::receiveMidiMessage(const MidiMessage& message) {
    if ((message.status & 0xF0) != LV2_MIDI_MSG_PGM_CHANGE) return;
    const std::span<const FactoryPreset> presets = factoryPresets();
    if (message.data1 >= presets.size()) return;
    const FactoryPreset& preset = presets[message.data1];
    const auto& all = document_.tessel().allParameters();
    // Indexed first, as for ports; the preset's values are consistent among themselves.
    for (const bool indexed : {true, false}) {
        for (std::size_t i = 0; i < std::min(preset.count, all.size()); ++i)
            if (all[i]->discrete() == indexed) send(static_cast<int32_t>(i), preset.values[i]);
    }
}

void Lv2PluginAdapter::writeOutputs() noexcept {
    if (latency_ != nullptr) *latency_ = static_cast<float>(processor_->latency());
    const TesselProcessor::HostMeter meters[3] = {TesselProcessor::kGainChangeMeter,
                                                  TesselProcessor::kInputMeter,
                                                  TesselProcessor::kOutputMeter};
    for (std::size_t k = 0; k < 3; ++k)
        if (meters_[k] != nullptr)
            *meters_[k] = std::clamp(finiteDb(processor_->hostMeterDb(meters[k])),
                                     kMeterMinimumDb[k], kMeterMaximumDb[k]);
}

void Lv2PluginAdapter::run(uint32_t frames) noexcept {
    readParameterPorts();
    processor_->setBypass(enabled_ != nullptr && *enabled_ < 0.5f, 0);
    processor_->setSideChainConnected(sideChain_ != nullptr);
    readMidi(frames);

    // The processor reads each piece of input before it writes that piece of output, so hosts
    // may hand the same buffer for both. A mono input feeds both channels of mono to stereo; the
    // one side-chain input feeds every channel's side chain (null reads as silence).
    const uint32_t channels = variant_.audioOutputs;
    const float* in[4] = {};
    for (uint32_t c = 0; c < channels; ++c) {
        in[c] = inputs_[std::min(c, variant_.audioInputs - 1)];
        in[channels + c] = sideChain_;
    }
    processor_->process(in, static_cast<int32_t>(channels * 2), outputs_.data(),
                        static_cast<int32_t>(channels), static_cast<int32_t>(frames), nullptr);
    writeOutputs();
}

LV2_State_Status Lv2PluginAdapter::save(LV2_State_Store_Function store, LV2_State_Handle handle) {
    // A host may save while the audio thread runs: the values come from their published copies,
    // set in dependency order on a document of the save's own.
    PresetDocument snapshot;
    std::vector<ParameterAssignment> values;
    for (AbstractPluginParameter* p : snapshot.tessel().allParameters()) {
        values.emplace_back(p, published_[static_cast<std::size_t>(p->identifier())].load(
                                   std::memory_order_relaxed));
    }
    assignInDependencyOrder(values, 1);
    BinaryDataWriter writer;
    snapshot.writeParameterBlock(writer);
    writePluginStateBlock(writer, PresetDocument::kSignature, state_);
    const std::vector<uint8_t>& bytes = writer.bytes();
    return store(handle, stateKey_, bytes.data(), bytes.size(), atomChunk_,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

LV2_State_Status Lv2PluginAdapter::restore(LV2_State_Retrieve_Function retrieve,
                                           LV2_State_Handle handle) {
    std::size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void* data = retrieve(handle, stateKey_, &size, &type, &flags);
    // Without a blob of ours the ports keep the state: nothing here changes.
    if (data == nullptr) return LV2_STATE_SUCCESS;
    if (type != atomChunk_) return LV2_STATE_ERR_BAD_TYPE;
    // The blob is checked whole on a scratch document before it touches this instance.
    const std::span<const uint8_t> bytes(static_cast<const uint8_t*>(data), size);
    BinaryDataReader reader(bytes);
    PresetDocument check;
    PluginStateBlock state;
    if (!check.readParameterBlock(reader) || !reader.good() ||
        !readPluginStateBlock(reader, PresetDocument::kSignature, state)) {
        return LV2_STATE_ERR_UNKNOWN;
    }
    BinaryDataReader again(bytes);
    document_.readParameterBlock(again);
    publishAll();
    state_ = std::move(state);
    sendAll();
    adoptPorts_ = true;
    return LV2_STATE_SUCCESS;
}

}  // namespace tessel::lv2

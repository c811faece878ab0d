#include "params/GenericPluginBase.h"

#include "support/BinaryData.h"

namespace tessel {

int GenericPluginBase::registerParameter(AbstractPluginParameter& parameter) {
    const int identifier = parameters_.registerParameter(parameter);
    // The parameter is still being constructed: only its name (set before registration) is read.
    nameMap_.emplace(parameter.name(), identifier);
    return identifier;
}

void GenericPluginBase::parameterValueChanged(int, float, int) {}

namespace {
constexpr std::string_view kParameterBlockSignature = "VTBS";
constexpr int32_t kParameterBlockVersion = 1;
}  // namespace

void GenericPluginBase::writeParameterBlock(BinaryDataWriter& stream) const {
    stream.writeHeader(kParameterBlockSignature, kParameterBlockVersion);
    stream.writeInt32(parameterCount());
    for (int identifier = 0; identifier < parameterCount(); ++identifier)
        stream.writeFloat(parameters_.parameter(identifier)->currentValue());
}

bool GenericPluginBase::readParameterBlock(BinaryDataReader& stream) {
    if (!stream.readHeader(kParameterBlockSignature)) return false;
    int32_t count = 0;
    stream.readInt32(count);
    if (count < 0) stream.setFailed();
    // Every parameter the block lacks, or that a short block cuts off, takes its default.
    std::vector<float> values;
    values.reserve(static_cast<std::size_t>(parameterCount()));
    for (int identifier = 0; identifier < parameterCount(); ++identifier)
        values.push_back(parameters_.parameter(identifier)->defaultValue());
    // Values beyond our parameters are read and dropped, so a block from a larger version
    // still reads to its end.
    for (int32_t i = 0; i < count && stream.good(); ++i) {
        float value = 0.0f;
        if (stream.readFloat(value) && i < parameterCount())
            values[static_cast<std::size_t>(i)] = value;
    }
    parameters_.assignValues(values, 1);
    return stream.good();
}

void GenericPluginBase::enterParameterName(std::string_view name, int identifier) {
    nameMap_.insert_or_assign(std::string(name), identifier);
}

AbstractPluginParameter* GenericPluginBase::parameterByName(std::string_view name) const noexcept {
    const auto it = nameMap_.find(name);
    return it != nameMap_.end() ? parameters_.parameter(it->second)
                                : parameters_.parameterNamed(name);
}

int GenericPluginBase::registerParameterSetName(std::string name) {
    setNames_.push_back(std::move(name));
    return static_cast<int>(setNames_.size()) - 1;
}

}  // namespace tessel

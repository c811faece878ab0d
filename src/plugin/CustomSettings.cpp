#include "plugin/CustomSettings.h"

namespace tessel {

namespace {
constexpr std::string_view kSignature = "CuSV";
constexpr int32_t kVersion = 1;
}  // namespace

void writeCustomSettingsBlock(BinaryDataWriter& stream, const CustomSettings& settings) {
    stream.writeHeader(kSignature, kVersion);
    stream.writeInt32(static_cast<int32_t>(settings.size()));
    for (const auto& [key, value] : settings) {
        stream.writeString(key);
        stream.writeString(value);
    }
}

bool readCustomSettingsBlock(BinaryDataReader& stream, CustomSettings& settings) {
    int32_t count = 0;
    if (!stream.readHeader(kSignature) || !stream.readInt32(count)) return false;
    if (count < 0) {
        stream.setFailed();
        return false;
    }
    CustomSettings read;
    // Each pair takes at least 8 bytes, so the loop ends at the data's end however large the
    // count claims to be.
    for (int32_t i = 0; i < count && stream.good(); ++i) {
        std::string key;
        std::string value;
        if (stream.readString(key) && stream.readString(value))
            read.insert_or_assign(std::move(key), std::move(value));
    }
    if (!stream.good()) return false;
    settings = std::move(read);
    return true;
}

}  // namespace tessel

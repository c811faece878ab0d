#pragma once

#include <map>
#include <string>
#include <string_view>

#include "support/BinaryData.h"

namespace tessel {

/// Per-instance text settings, kept sorted by key: the loaded preset's descriptive entries under
/// kAuthorKey, kDescriptionKey, kTagsKey (and kNameKey when set) and any other text an instance
/// remembers. Saved in the plug-in state and in text presets.
using CustomSettings = std::map<std::string, std::string, std::less<>>;

inline constexpr std::string_view kAuthorKey = "AUTHOR";
inline constexpr std::string_view kDescriptionKey = "DESCRIPTION";
inline constexpr std::string_view kTagsKey = "TAGS";
inline constexpr std::string_view kNameKey = "NAME";

/// Writes the custom settings block: header "CuSV" version 1, the count, then (key, value)
/// string pairs in ascending key order.
void writeCustomSettingsBlock(BinaryDataWriter& stream, const CustomSettings& settings);

/// Reads a custom settings block into `settings`, replacing what it held, only when the whole
/// block reads; a foreign signature, a negative count or a short read fails the stream and
/// leaves `settings` untouched. A count larger than the data fails without allocating for it.
bool readCustomSettingsBlock(BinaryDataReader& stream, CustomSettings& settings);

}  // namespace tessel

#pragma once

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "params/AbstractPluginParameter.h"

namespace tessel {

/// A discrete parameter: an index from minimum to maximum that stands for a stored value of type
/// T (an enumeration, bool or int), either the index itself or an entry of a value table. The
/// value, display and normalised domains all count in indices; only listeners and the linear
/// domain see the stored value. Choice names (one comma-separated string, "Off,2x,4x") name the
/// indices from the minimum up. Optional sections split the index range into sub-ranges that a
/// host control can address by key. Fractional, NaN and out-of-range input rounds and clamps to
/// a valid index; setting NaN leaves the parameter unchanged. [main thread] for changes; the
/// const conversions may run on any thread.
template <typename T>
class IndexedPluginParameter : public AbstractPluginParameter {
    static_assert(std::is_enum_v<T> || std::is_same_v<T, bool> || std::is_same_v<T, int>,
                  "an indexed parameter stores an enumeration, bool or int");

public:
    /// Indices above `boundaryIndex` (up to the next boundary) belong to the section `key`.
    struct Section {
        std::int32_t boundaryIndex;
        std::int32_t key;
    };

    /// Receives the stored value (after the value table) when listeners are notified.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void storedValueChanged(T storedValue, IndexedPluginParameter& parameter) = 0;
    };

    /// With choice names the index range is 0..(count - 1), otherwise 0..1.
    IndexedPluginParameter(std::string name, GenericParameterOwner* owner,
                           std::string_view choiceNames = {}, int defaultIndex = 0)
        : AbstractPluginParameter(std::move(name), owner) {
        setDiscrete(true);
        std::size_t start = 0;
        while (!choiceNames.empty() && start <= choiceNames.size()) {
            const std::size_t comma = std::min(choiceNames.find(',', start), choiceNames.size());
            choiceNames_.emplace_back(choiceNames.substr(start, comma - start));
            start = comma + 1;
        }
        if (!choiceNames_.empty()) maximumIndex_ = static_cast<int>(choiceNames_.size()) - 1;
        setDefaultIndex(defaultIndex);
        store(defaultIndex_);
    }

    float valueFromDisplay(float display) const override {
        return static_cast<float>(toIndex(display));
    }

    /// The index whose stored value is nearest to `linear` (the first of equals).
    float valueFromLinear(float linear) const override {
        if (table_ == nullptr) return static_cast<float>(toIndex(linear));
        if (std::isnan(linear)) return static_cast<float>(minimumIndex_);
        int best = minimumIndex_;
        double bestDistance = INFINITY;
        for (int i = minimumIndex_; i <= maximumIndex_; ++i) {
            const double distance = std::fabs(static_cast<double>(tableEntry(i)) - linear);
            if (distance < bestDistance) {
                best = i;
                bestDistance = distance;
            }
        }
        return static_cast<float>(best);
    }

    float displayOfValue(float value) const override { return static_cast<float>(toIndex(value)); }
    float linearOfValue(float value) const override {
        return static_cast<float>(tableEntry(toIndex(value)));
    }

    float normalisedOfValue(float value) const override {
        const int span = maximumIndex_ - minimumIndex_;
        if (span <= 0) return 0.0f;
        return static_cast<float>(toIndex(value) - minimumIndex_) / static_cast<float>(span);
    }

    float normalisedInSection(float value, int sectionKey) const override {
        if (sections_.empty()) return normalisedOfValue(value);
        const Bounds b = sectionBounds(sectionKey);
        const int i = toIndex(value);
        if (b.low < i && i <= b.high) {
            return static_cast<float>(i - b.low) / static_cast<float>(b.high - b.low);
        }
        return 0.0f;
    }

    float valueOfNormalised(float normalised) const override {
        return static_cast<float>(minimumIndex_ + step(normalised, maximumIndex_ - minimumIndex_));
    }

    /// A choice name (exact match first, then ignoring case) or a whole number within the index
    /// range. A choice gives minimum + its position, so text and index round-trip for any range.
    bool valueFromText(std::string_view text, float& value,
                       std::string& failureReason) const override {
        value = static_cast<float>(index_);
        const std::size_t first = text.find_first_not_of(" \t");
        const std::size_t last = text.find_last_not_of(" \t");
        const std::string_view trimmed = first == std::string_view::npos
                                             ? std::string_view{}
                                             : text.substr(first, last - first + 1);
        for (int pass = 0; pass < 2; ++pass) {
            for (std::size_t i = 0; i < choiceNames_.size(); ++i) {
                if (pass == 0 ? choiceNames_[i] == trimmed
                              : equalIgnoringCase(choiceNames_[i], trimmed)) {
                    value = static_cast<float>(minimumIndex_ + static_cast<int>(i));
                    return true;
                }
            }
        }
        const char* begin = trimmed.data();
        const char* end = trimmed.data() + trimmed.size();
        if (begin != end && *begin == '+') ++begin;
        int number = 0;
        const auto result = std::from_chars(begin, end, number);
        if (begin != end && result.ec == std::errc{} && result.ptr == end &&
            number >= minimumIndex_ && number <= maximumIndex_) {
            value = static_cast<float>(number);
            return true;
        }
        failureReason = "Not a choice of " + name() + ": \"" + std::string(text) + "\"";
        return false;
    }

    bool valueOfNormalisedInSection(float normalised, int sectionKey, float& value) const override {
        if (sections_.empty()) {
            value = valueOfNormalised(normalised);
            return true;
        }
        const Bounds b = sectionBounds(sectionKey);
        const int j = step(normalised, b.high - b.low);
        value = static_cast<float>(b.low + j);
        // The lower boundary of a later section is the top index of the section before it.
        return b.first || j != 0;
    }

    /// The choice name of the index, or the stored value as a whole number.
    std::string textOfValue(float value) const override {
        const int i = toIndex(value);
        const int position = i - minimumIndex_;
        if (position >= 0 && static_cast<std::size_t>(position) < choiceNames_.size())
            return choiceNames_[static_cast<std::size_t>(position)];
        return std::to_string(tableEntry(i));
    }

    float defaultValue() const override { return static_cast<float>(defaultIndex_); }

    int sectionBoundary(int sectionKey) const override {
        for (const Section& section : sections_) {
            if (section.key == sectionKey) return section.boundaryIndex;
        }
        return -1;
    }

    float maximum() const override { return static_cast<float>(maximumIndex_); }
    float minimum() const override { return static_cast<float>(minimumIndex_); }
    float currentValue() const override { return static_cast<float>(index_); }
    bool hasChoiceNames() const override { return !choiceNames_.empty(); }

    void setValue(float value, int flag) override {
        if (std::isnan(value)) return;
        const int i = toIndex(value);
        if (i == index_) return;
        store(i);
        notifyOwner(static_cast<float>(index_), flag);
    }

    bool acceptsTypedValue() const override { return choiceNames_.empty(); }

    void notifyValueListeners(float value) override {
        const T stored = static_cast<T>(tableEntry(toIndex(value)));
        for (Listener* listener : listeners_)
            listener->storedValueChanged(stored, *this);
    }

    int currentIndex() const noexcept { return index_; }
    T storedValue() const noexcept { return stored_; }
    const std::vector<std::string>& choiceNames() const noexcept { return choiceNames_; }

    /// Changes the index range (put in order); default and current index are re-clamped without
    /// notification, as this is part of building the parameter.
    void setIndexRange(int minimumIndex, int maximumIndex) {
        minimumIndex_ = std::min(minimumIndex, maximumIndex);
        maximumIndex_ = std::max(minimumIndex, maximumIndex);
        defaultIndex_ = std::clamp(defaultIndex_, minimumIndex_, maximumIndex_);
        store(std::clamp(index_, minimumIndex_, maximumIndex_));
    }

    void setDefaultIndex(int defaultIndex) {
        defaultIndex_ = std::clamp(defaultIndex, minimumIndex_, maximumIndex_);
    }

    /// Index i stores table[clamp(i - offset, 0, count - 1)]. The table is not copied and must
    /// outlive the parameter (a static array); a null table or a count below 1 removes it.
    void setValueTable(const std::int32_t* table, int count, int offset) {
        const bool valid = table != nullptr && count > 0;
        table_ = valid ? table : nullptr;
        tableCount_ = valid ? count : 0;
        tableOffset_ = valid ? offset : 0;
        store(index_);
    }

    /// Sections in ascending order of boundary and key.
    void setSections(std::vector<Section> sections) { sections_ = std::move(sections); }

    void addValueListener(Listener* listener) {
        if (listener != nullptr) listeners_.push_back(listener);
    }
    void removeValueListener(Listener* listener) { std::erase(listeners_, listener); }

private:
    struct Bounds {
        int low;
        int high;
        bool first;
    };

    // floor(x * n + 0.5) limited to 0..n, x itself limited to 0..1 (NaN as 0).
    static int step(float normalised, int n) {
        if (n <= 0) return 0;
        const double x = std::isnan(normalised) ? 0.0 : std::clamp<double>(normalised, 0.0, 1.0);
        return std::clamp(static_cast<int>(std::floor(x * n + 0.5)), 0, n);
    }

    // Nearest index within the range; clamping happens in floating point so no huge float is
    // ever converted to int. NaN gives the minimum.
    int toIndex(float value) const noexcept {
        if (std::isnan(value)) return minimumIndex_;
        const double limited = std::clamp<double>(value, minimumIndex_, maximumIndex_);
        return static_cast<int>(std::lround(limited));
    }

    std::int32_t tableEntry(int index) const noexcept {
        if (table_ == nullptr) return index;
        return table_[std::clamp(index - tableOffset_, 0, tableCount_ - 1)];
    }

    Bounds sectionBounds(int key) const noexcept {
        Bounds b{minimumIndex_, maximumIndex_, true};
        for (const Section& section : sections_) {
            if (key <= section.key) {
                b.high = section.boundaryIndex;
                break;
            }
            b.low = section.boundaryIndex;
            b.first = false;
        }
        if (b.high < b.low) b.high = b.low;
        return b;
    }

    void store(int index) {
        index_ = index;
        if constexpr (std::is_same_v<T, bool>) {
            stored_ = tableEntry(index) != 0;
        } else {
            stored_ = static_cast<T>(tableEntry(index));
        }
    }

    std::vector<Listener*> listeners_;
    int defaultIndex_ = 0;
    int maximumIndex_ = 1;
    int minimumIndex_ = 0;
    const std::int32_t* table_ = nullptr;
    int tableCount_ = 0;
    int tableOffset_ = 0;
    int index_ = 0;
    T stored_{};
    std::vector<std::string> choiceNames_;
    std::vector<Section> sections_;
};

}  // namespace tessel

#pragma once

#include <cassert>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "params/AbstractParameterSetArray.h"

namespace tessel {

/// An AbstractParameterSetArray that owns its sets, all of type SetType. Sets are appended while
/// the owner is built (their parameters register in that order) and destroyed with the array.
/// [main thread]
template <typename SetType>
class ParameterSetArray : public AbstractParameterSetArray {
    static_assert(std::is_base_of_v<PluginParameterSet, SetType>);

public:
    int setCount() const noexcept override { return static_cast<int>(sets_.size()); }
    SetType& set(int index) const override {
        assert(index >= 0 && index < setCount());
        return *sets_[static_cast<std::size_t>(index)];
    }

protected:
    /// Builds the next set from the arguments (its parameters register now).
    template <typename... Arguments>
    SetType& addSet(Arguments&&... arguments) {
        sets_.push_back(std::make_unique<SetType>(std::forward<Arguments>(arguments)...));
        return *sets_.back();
    }

private:
    std::vector<std::unique_ptr<SetType>> sets_;
};

}  // namespace tessel

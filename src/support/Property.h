#pragma once

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <utility>

#include "support/ValueAssignable.h"

namespace tessel {

class AbstractProperty;

/// Receives a call after one of its properties took a new value. An owner tells its properties
/// apart by address (each property is a member of the owner). Runs synchronously on the thread
/// that assigned the property.
class PropertyOwner {
public:
    virtual ~PropertyOwner() = default;
    virtual void propertyChanged(AbstractProperty* property) = 0;
};

/// The part of every property that knows whom to tell about changes. A null owner means changes
/// notify nobody.
class AbstractProperty {
public:
    explicit AbstractProperty(PropertyOwner* owner) noexcept : owner_(owner) {}
    AbstractProperty(const AbstractProperty&) = delete;
    AbstractProperty& operator=(const AbstractProperty&) = delete;

    PropertyOwner* owner() const noexcept { return owner_; }

protected:
    ~AbstractProperty() = default;

    void notifyOwner() {
        if (owner_ != nullptr) owner_->propertyChanged(this);
    }

private:
    PropertyOwner* owner_;
};

/// A typed value member that tells its owner when it really changes. Assigning the current value
/// does nothing; a new value is stored first and then the owner is called, so the owner sees it.
/// Comparison is operator== of T: for floats a NaN always counts as a change. Never allocates
/// beyond what copying T allocates; not locked (one thread at a time).
template <typename T>
class Property : public ValueAssignable<T>, public AbstractProperty {
public:
    explicit Property(PropertyOwner* owner, T initial = T{})
        : AbstractProperty(owner), value_(std::move(initial)) {}

    void assign(T value) override {
        if (value == value_) return;
        value_ = std::move(value);
        notifyOwner();
    }

    Property& operator=(T value) {
        assign(std::move(value));
        return *this;
    }

    const T& get() const noexcept { return value_; }
    operator const T&() const noexcept { return value_; }
    /// Equal values (operator== of T), whoever owns the two properties.
    bool operator==(const Property& other) const { return value_ == other.value_; }

private:
    T value_;
};

/// A numeric or enumerated property limited to [minimum, maximum]: values outside are brought to
/// the nearer limit before the comparison with the current value. A NaN assigned to a
/// floating-point LimitedProperty becomes the minimum, so the property always holds a value
/// within its limits (for an enumeration: one of its listed values, when they are contiguous).
template <typename T>
class LimitedProperty : public ValueAssignable<T>, public AbstractProperty {
    static_assert(std::is_arithmetic_v<T> || std::is_enum_v<T>,
                  "LimitedProperty holds numbers or enumerations");

public:
    LimitedProperty(PropertyOwner* owner, T minimum, T maximum, T initial)
        : AbstractProperty(owner), maximum_(maximum), minimum_(minimum), value_(limit(initial)) {}

    void assign(T value) override {
        value = limit(value);
        if (value == value_) return;
        value_ = value;
        notifyOwner();
    }

    LimitedProperty& operator=(T value) {
        assign(value);
        return *this;
    }

    /// Changes the limits; the current value is re-limited and the owner told if it moved.
    void setLimits(T minimum, T maximum) {
        minimum_ = minimum;
        maximum_ = maximum;
        assign(value_);
    }

    T get() const noexcept { return value_; }
    operator T() const noexcept { return value_; }
    /// Equal values; the limits are not compared.
    bool operator==(const LimitedProperty& other) const noexcept { return value_ == other.value_; }
    T minimum() const noexcept { return minimum_; }
    T maximum() const noexcept { return maximum_; }

private:
    T limit(T value) const noexcept {
        if constexpr (std::is_floating_point_v<T>) {
            if (std::isnan(value)) return minimum_;
        }
        if (value < minimum_) return minimum_;
        if (value > maximum_) return maximum_;
        return value;
    }

    T maximum_;
    T minimum_;
    T value_;
};

}  // namespace tessel

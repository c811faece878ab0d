#pragma once

namespace tessel {

/// A real function of one variable that a look-up table is filled from. Evaluated only while a
/// table is built (never on the audio path), so it may be as slow and exact as it likes.
class FunctionTableFunction {
public:
    virtual ~FunctionTableFunction() = default;
    virtual double evaluate(double x) const = 0;
};

}  // namespace tessel

#pragma once

namespace tessel {

// The curves that spread the product's controls over their travel, as plain float -> float
// maps for ParameterTextFormat (value maps F2/G2 and display maps F1/G1). Each pair is a
// function and its inverse; both are monotonic, computed in double precision, and give a finite
// result inside the curve's range for any input (NaN counts as the bottom of the range).

/// Threshold: value 0..1 -> 0..1 of the -90..0 dB span, through (0, 0), (0.1, 0.2),
/// (0.2, 0.4666667), (1, 1), so the top 0.8 of the travel covers -42..0 dB.
float thresholdTaper(float value);
float thresholdTaperInverse(float position);

/// Crossover slope: value 0..1 -> 6..48 dB/oct through 12 dB/oct at 0.25 and 24 at 0.5.
float slopeTaperDbPerOctave(float value);
float slopeTaperInverse(float slopeDbPerOctave);

/// Ratio: value 0..1 -> 0..1 of the 1..100 ratio span. Ratios 1.1 to 10 sit at the tenths
/// 0.1 to 0.9; above ratio 10 a second curve bends the last tenth so that most of it stays
/// below 30:1.
float ratioTaper(float value);
float ratioTaperInverse(float position);

/// Input and output gain: value -1..1 -> linear gain; -1 is silence (a quadratic fade up to
/// -21.6 dB at -0.6), 0 is 0 dB, +1 is +36 dB, linear in dB above -0.6.
float gainTaper(float value);
float gainTaperInverse(float gainLinear);

/// Level in dB <-> linear gain, the dB side floored at -180 dB (silence).
float levelDbToGain(float levelDb);
float gainToLevelDb(float gainLinear);

}  // namespace tessel

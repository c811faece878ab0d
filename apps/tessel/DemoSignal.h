#pragma once

#include "AudioFile.h"

namespace tessel::cli {

/// The peak of the demo signal, dBFS.
constexpr double kDemoPeakDb = -3.0;

/// The built-in demo signal that `tessel demo` renders: a short piece of music made in code (no
/// recordings; fixed seeds, so the same arguments always give the same samples) with something
/// for every preset to act on: drums with a swung groove and accents, a bass line of enveloped
/// notes, and a synthetic voice (formant-filtered pulses gliding between pitches, with sibilant
/// noise bursts for a de-esser). Four sections, at fixed fractions of the duration, alternate
/// quiet and loud (a soft intro, the full groove, a quiet break, the loudest ending), so that
/// downward and upward compression both have work and the loudness range is real. Stereo at 120
/// BPM; the whole mix is scaled to peak at kDemoPeakDb. durationSeconds from 1 to 60
/// (longer is cut to 60: the parts are built whole in memory).
AudioData demoSignal(double sampleRateHz = 48000.0, double durationSeconds = 20.0);

}  // namespace tessel::cli

#include "params/ParameterHelpTexts.h"

#include <span>
#include <string>

namespace tessel {

namespace {

struct HelpText {
    std::string_view name;
    std::string_view text;  // "#" stands for the band number
};

// Band parameters, by name suffix. The crossover frequencies explain themselves in the display
// and carry no text.
constexpr HelpText kBandTexts[] = {
    {"State",
     "The Band Enable button can be used to bypass band # without removing it. A disabled band "
     "passes its part of the spectrum unprocessed but keeps its crossovers, so the sound of the "
     "other bands does not change. A band that is not in use (Unused) takes no part in the "
     "processing at all."},
    {"Low Slope",
     "The Crossover Slope buttons set the steepness of band #'s crossover filters, from "
     "6 dB/oct (gentle, wide overlap with the neighbouring band) to 48 dB/oct (sharp "
     "separation). In Minimum Phase mode only 6, 12, 24, 36 and 48 dB/oct are available and "
     "other settings snap to the nearest of them; the other modes allow any slope in between."},
    {"High Slope",
     "The Crossover Slope buttons set the steepness of band #'s crossover filters, from "
     "6 dB/oct (gentle, wide overlap with the neighbouring band) to 48 dB/oct (sharp "
     "separation). In Minimum Phase mode only 6, 12, 24, 36 and 48 dB/oct are available and "
     "other settings snap to the nearest of them; the other modes allow any slope in between."},
    {"Dynamics Mode",
     "The Compress/Expand switch sets the dynamics mode of band #. Compression reduces the "
     "band's level above the threshold; expansion changes it below the threshold. Together "
     "with the sign of the Range knob this decides whether the band is turned down or up."},
    {"Threshold",
     "The Threshold knob sets the threshold level at which band # starts to act, from -90 dB "
     "to 0 dB. Most of the knob's travel covers the upper part of that span, where thresholds "
     "are usually set. The Knee setting widens the transition around this level."},
    {"Range",
     "The Range knob limits the maximum amount of gain change of band #, from -30 dB to "
     "+30 dB. Negative values turn the band down and positive values turn it up; at 0 dB the "
     "band does nothing however hard the signal drives it. The Ratio sets how quickly this "
     "limit is reached."},
    {"Ratio",
     "The Ratio slider adjusts the amount of compression or expansion of band #, from 1.00:1 "
     "(no effect) to 100.00:1. The first part of its travel gives fine control up to 10:1; the "
     "last part reaches the very high ratios used for limiting. The gain change never exceeds "
     "the Range setting."},
    {"Attack",
     "The Attack knob, ranging from 0% (very fast) to 100% (very slow), sets how quickly "
     "band # reacts when the signal rises past the threshold. Fast settings catch transients "
     "but may distort low frequencies; slow settings let transients through. Lookahead lets "
     "even fast settings act on time."},
    {"Release",
     "The Release knob, ranging from 0% (very fast) to 100% (very slow), sets how quickly "
     "band # returns to its resting gain after the signal falls back. Fast settings may cause "
     "pumping or distortion; slow settings keep the band's gain change steady."},
    {"Knee",
     "The Knee slider set the 'roundness' of band #'s transition around the threshold, from "
     "0 dB (a hard corner) to 48 dB (a very gradual onset). Wider knees make the processing "
     "less audible at the cost of a less precise threshold."},
    {"Lookahead",
     "The Lookahead slider sets how much advance time band #'s detector gets, from 0 to 20 ms, "
     "so that it can react before a peak arrives. It has effect only while the global "
     "Lookahead Enabled setting is On, which adds a fixed 20 ms latency to the plug-in."},
    {"Level",
     "The combined Output/Pan knob adjusts the output level of band #, from -30 dB to +30 dB, "
     "and its pan position from fully left (or mid) to fully right (or side). Panning "
     "attenuates one channel and leaves the other at 0 dB; a stereo instance pans in "
     "left/right form, otherwise in mid/side form."},
    {"Pan",
     "The combined Output/Pan knob adjusts the output level of band #, from -30 dB to +30 dB, "
     "and its pan position from fully left (or mid) to fully right (or side). Panning "
     "attenuates one channel and leaves the other at 0 dB; a stereo instance pans in "
     "left/right form, otherwise in mid/side form."},
    {"Side Chain Filtering",
     "The Side Chain Filtering mode can be set to Band, so that band #'s detector listens to "
     "the band's own part of the spectrum, or to Free, so that it listens to the range given "
     "by the Side Chain Low and High Frequency parameters. Free filtering lets one range of "
     "frequencies control the gain of another."},
    {"Side Chain Low Frequency",
     "The Side Chain Low and High Frequency parameters set the range, between 30 Hz and "
     "30 kHz, that band #'s detector listens to when Side Chain Filtering is set to Free. "
     "They have no effect in Band mode. Audition Side Chain lets you hear this signal."},
    {"Side Chain High Frequency",
     "The Side Chain Low and High Frequency parameters set the range, between 30 Hz and "
     "30 kHz, that band #'s detector listens to when Side Chain Filtering is set to Free. "
     "They have no effect in Band mode. Audition Side Chain lets you hear this signal."},
    {"Side Chain Input",
     "The Side Chain Input can be set to either In or Ext. In (Plug-in Input) lets band # "
     "react to the signal it processes; Ext (External Input) lets it react to the host's "
     "side-chain signal instead, filtered in the same way."},
    {"Stereo Link",
     "The first half of the Stereo Link knob's range links the left and right detection of "
     "band #, from 0% (each channel reacts on its own) to 100% (both channels get the same "
     "gain change). The second half moves on from full linking to mid-only or side-only "
     "processing, as chosen by Stereo Link Mode. Stereo Link takes effect in Expert Mode; "
     "otherwise the channels are fully linked."},
    {"Stereo Link Mode",
     "The first half of the Stereo Link knob's range links the left and right detection of "
     "band #, from 0% (each channel reacts on its own) to 100% (both channels get the same "
     "gain change). The second half moves on from full linking to mid-only or side-only "
     "processing, as chosen by Stereo Link Mode. Stereo Link takes effect in Expert Mode; "
     "otherwise the channels are fully linked."},
    {"Solo/Mute State",
     "If you hover over a band in the display, its solo and mute buttons appear. Solo lets "
     "you hear band # alone (several bands may be soloed together); Mute silences it. A band "
     "that is both soloed and muted stays silent."},
};

constexpr HelpText kGlobalTexts[] = {
    {"Mix",
     "The Mix knob adjusts the overall effect of the processing, from 0% (only the dry input) "
     "through 100% (fully processed) to 200% (the processing exaggerated). The dry signal is "
     "kept aligned with the processed one, so mixing causes no comb filtering."},
    {"Input Level",
     "The Input level/pan knobs adjust the level of the signal entering the plug-in, from "
     "silence (-INF) to +36 dB, and its pan position. Raising the input level drives all bands "
     "harder into their thresholds."},
    {"Input Pan",
     "The Input level/pan knobs adjust the level of the signal entering the plug-in, from "
     "silence (-INF) to +36 dB, and its pan position. Raising the input level drives all bands "
     "harder into their thresholds."},
    {"Output Level",
     "The Output level/pan knobs adjust the level of the processed signal leaving the "
     "plug-in, from silence (-INF) to +36 dB, and its pan position. They do not change how "
     "the bands react."},
    {"Output Pan",
     "The Output level/pan knobs adjust the level of the processed signal leaving the "
     "plug-in, from silence (-INF) to +36 dB, and its pan position. They do not change how "
     "the bands react."},
    {"Bypass",
     "The Global Bypass button toggles between the processed signal and the unprocessed input. "
     "The bypassed signal is delayed by the plug-in's latency, so switching causes no jump in "
     "time."},
    {"Processing Mode",
     "The Processing Mode button sets the method used to split the signal into bands. Linear "
     "Phase keeps the phase intact but adds latency and pre-ringing; Dynamic Phase changes the "
     "phase only where a band is active and has no extra latency; Minimum Phase uses classic "
     "crossover filters with fixed slopes of 6 to 48 dB/oct. Changing it changes the latency."},
    {"Oversampling",
     "The Oversampling button sets how many times the signal is oversampled while it is "
     "processed: Off, 2x or 4x. Oversampling reduces aliasing from fast gain changes at the "
     "cost of processing power and a little latency."},
    {"Lookahead Enabled",
     "The Lookahead Enabled button enables or disables lookahead for all bands. When it is On "
     "the plug-in delays the audio by 20 ms so that each band's Lookahead setting can let its "
     "detector act before a peak arrives; when it is Off there is no such latency and the "
     "band Lookahead settings have no effect."},
    {"Expert Mode",
     "The Expert Mode button globally enables the advanced band settings: stereo linking and "
     "the side-chain options. While it is Disabled every band works fully stereo-linked from "
     "its own signal, whatever those settings say."},
    {"Display Range",
     "The Display Range setting selects the visible range of the gain-change display: 3 dB, "
     "6 dB, 12 dB or 30 dB. It affects only the display, not the sound."},
    {"Analyzer Resolution",
     "The Resolution setting sets how precise the spectrum analyzer is in frequency, from Low "
     "to Maximum. Higher resolutions show more detail in the bass but react more slowly and "
     "use more processing power."},
    {"Analyzer Speed",
     "The Speed setting sets the release speed of the spectrum analyzer, from Very Slow (a "
     "steady, averaged picture) to Very Fast (follows every change)."},
    {"Analyzer Tilt",
     "The Tilt setting tilts the measured spectrum by 0 to 6 dB per octave around 1 kHz, so "
     "that music, which has less energy in the highs, shows up flatter. 4.5 dB/octave suits "
     "most mixes."},
    {"Analyzer Freeze",
     "If Analyzer Freeze is enabled, the analyzer keeps showing the highest level reached at "
     "each frequency, which helps to find resonances. Switch it off to return to the live "
     "spectrum."},
};

std::string find(std::span<const HelpText> texts, std::string_view name) {
    for (const HelpText& entry : texts) {
        if (entry.name == name) return std::string(entry.text);
    }
    return {};
}

}  // namespace

std::string bandParameterHelpText(std::string_view suffix, int bandNumber) {
    std::string text = find(kBandTexts, suffix);
    const std::string number = std::to_string(bandNumber);
    for (std::size_t at = text.find('#'); at != std::string::npos; at = text.find('#', at)) {
        text.replace(at, 1, number);
        at += number.size();
    }
    return text;
}

std::string parameterHelpText(std::string_view name) {
    return find(kGlobalTexts, name);
}

}  // namespace tessel

#pragma once

namespace tessel {

/// The balance law of the level/pan controls (input, output and band gains): with level gain v
/// (linear) and pan p in -1..+1 (-1 = hard left), the left (first) channel gets v * (1 - max(p, 0))
/// and the right (second) channel v * (1 + min(p, 0)). Panning attenuates the opposite channel
/// linearly and never raises either; at p = 0 both channels get v. A pan outside -1..+1 is clamped
/// and a NaN pan counts as centre; the level gain is applied as given. Pure arithmetic, any thread.
struct BalanceGains {
    float leftLinear;
    float rightLinear;
};

/// The two channel gains for level gain `levelLinear` and pan `pan`.
inline constexpr BalanceGains balanceGains(float levelLinear, float pan) noexcept {
    // Written as comparisons that a NaN fails, so a NaN pan ends up at 0 (centre).
    const float p = pan > 1.0f ? 1.0f : (pan < -1.0f ? -1.0f : (pan == pan ? pan : 0.0f));
    return {levelLinear * (1.0f - (p > 0.0f ? p : 0.0f)),
            levelLinear * (1.0f + (p < 0.0f ? p : 0.0f))};
}

}  // namespace tessel

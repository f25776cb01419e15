// Constants of the numerical grid, of pi and of physics, shared by the numerics and every
// layer above them.
#pragma once

namespace nodrix {

// Number of bins of every spectral array.
inline constexpr int kBins = 1024;

// Pi to the precision the program has always used (not std::numbers::pi: the
// results depend on these exact values).
inline constexpr double kPi = 3.1415926535898;
inline constexpr double kHalfPi = kPi / 2.0;
inline constexpr double kTwoPi = 6.2831853071796;
inline constexpr float kPiF = 3.1415926535898f;
inline constexpr float kTwoPiF = 6.2831853071796f;

// Physical constants in the units of the models.
inline constexpr double kLightSpeed = 299792.458;           // nm THz
inline constexpr double kPlanck = 6.6260755e-22;            // J / THz
inline constexpr double kElementaryCharge = 1.6021892e-19;  // C

}  // namespace nodrix

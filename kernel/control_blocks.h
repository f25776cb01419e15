// The simulation control blocks: run-wide state shared by the driver, the
// schedule, the kernel services and every model. Each block is a plain struct
// with one global instance; the field order and types are the word order and
// types of the block ("integer" = int32, "real" = float, "double" = double).
#pragma once

#include <array>
#include <complex>
#include <cstdint>

#include "numerics/constants.h"

namespace nodrix {

// Phase and time.
struct ZzCtrl {
    std::int32_t pass = 0;  // 0 initialisation pass, non-zero per-sample pass
    std::int32_t step = 0;  // sample index from 1 in a per-sample pass
    float time = 0.0f;      // current simulation time [ps]
    float delt = 0.0f;      // time step [ps]
    float tend = 0.0f;      // simulation end time [ps]
};

// Double-precision companions of the time words.
struct ZdCtrl {
    double dtime = 0.0;  // time of the current sample, (step - 1) * delt, kept by a per-sample schedule
    double daux = 0.0;   // used only by the electrical block library
    double ddelt = 0.0;  // time step in double precision, the one synthesis and propagation use
};

// Processing mode and storage accounting.
struct OptclCtrl {
    std::int32_t npol = 0;       // 1 one polarisation, 2 two
    std::int32_t memused = 0;    // storage bytes requested by the current block
    std::int32_t blkmode = 0;    // 1: blocks build whole-signal transfer functions
    std::int32_t setuponly = 0;  // 1: blocks set up their descriptors only
    std::int32_t optaux1 = 0;    // read by the fibre and the amplifier gain models
    std::int32_t optaux2 = 0;    // read by the receiver sensitivity routine
};

// Simulated band [THz].
struct FVbsBand {
    float fcenter = 0.0f;
    float fbandlo = 0.0f;
    float fbandhi = 0.0f;
};

// Spectral grid: 1024 equal bins from fgridlo to fgridhi [THz].
struct FLimit {
    float fgrid0 = 0.0f;
    float fgridlo = 0.0f;
    float fgridhi = 0.0f;
};

// Topology information; itop1 is added to random seeds.
struct InfTop {
    std::int32_t itop1 = 0;
    std::int32_t itop2 = 0;
};

// Offset the measurement blocks add to a signal's start before accumulating [ps].
struct PolMon {
    float tmon = 0.0f;
};

// Split-step settings of the fibre.
struct Ssprsn {
    float ssp1 = 0.0f;         // accuracy of the four-wave-mixing estimate [dB]
    std::int32_t ssp2 = 0;     // 1 suppresses the fourfold filter precision
    float ssp3 = 0.0f;         // constant of the filter precision
    std::int32_t ssp4 = 0;
    float ssp5 = 0.0f;
    std::int32_t ssp6 = 0;     // integer of the peak-power estimate
    float ssp7 = 0.0f;         // largest non-linear phase per step [degrees]
    float ssp8 = 0.0f;         // Raman setting
};

// File naming and history.
struct ZzFlmn {
    std::int32_t runfile = 0;
    std::int32_t runcur = 0;
    std::int32_t nohist = 0;  // 1: blocks skip storing their state in the initialisation pass
};

// Storage cursors of the main kinds (positions are 1-based; the driver sets
// them to 1 before every pass).
struct ZzSupv {
    std::int32_t storephase = 0;  // 0 counting, 1 allocating
    std::int32_t h = 0;
    std::int32_t i = 0;
    std::int32_t c = 0;
    std::int32_t d = 0;
    std::int32_t z = 0;
    std::int32_t zd = 0;
};

// Storage cursors of the small kinds.
struct ZzSupt {
    std::int32_t ht = 0;
    std::int32_t it = 0;
    std::int32_t ct = 0;
};

// Limit words (generated capacities, never read) and the counts of the
// dimensioning pass.
struct ZzMax {
    std::array<std::int32_t, 4> lim{200000, 200000, 200000, 100};
    std::int32_t h = 0;  // word 5
    std::int32_t i = 0;  // word 6
    std::int32_t c = 0;  // word 7
    std::int32_t d = 0;  // word 8
};
struct ZzMaxd {
    std::array<std::int32_t, 2> lim{200000, 200000};
    std::int32_t z = 0;   // word 3
    std::int32_t zd = 0;  // word 4
};
struct ZtMax {
    std::array<std::int32_t, 3> lim{1000, 1000, 100};
    std::int32_t ht = 0;  // word 4
    std::int32_t it = 0;  // word 5
    std::int32_t ct = 0;  // word 6
};

// Sampling-rate divisor recorded with each storage record, and the sample
// counter a record's divisor is tested against.
struct ZzScal {
    std::int32_t scal = 0;
};
struct ZzCoun {
    std::int32_t coun = 0;
};

// Name of the kernel error-message file (64 characters, blank when none).
struct ZzErr {
    std::array<char, 64> name{};
};

extern ZzCtrl zzctrl;
extern ZdCtrl zdctrl;
extern OptclCtrl optcl_ctrl;
extern FVbsBand f_vbs_band;
extern FLimit flimit;
extern std::array<std::int32_t, 10> seeds;  // seeds[k - 1] is seed word k
extern InfTop inftop;
extern PolMon polmon;
extern Ssprsn ssprsn;
extern ZzFlmn zzflmn;
extern ZzSupv zzsupv;
extern ZzSupt zzsupt;
extern ZzMax zzmax;
extern ZzMaxd zzmaxd;
extern ZtMax ztmax;
extern ZzScal zzscal;
extern ZzCoun zzcoun;
extern ZzErr zzerr;

// Bins (counted from 0) over which models take group-delay extremes.
inline constexpr int kInbandFirst = 102;
inline constexpr int kInbandLast = 922;

// Physical constants (kBins and pi come from numerics/constants.h).
inline constexpr double kLightSpeed = 299792.458;      // nm THz
inline constexpr double kPlanck = 6.6260755e-22;       // J / THz
inline constexpr double kElementaryCharge = 1.6021892e-19;  // C

// Smallest and largest value of a 1024-bin array over bins 102 to 922.
void opx_gd_minvet(const float* gd, float& r);
void opx_gd_maxvet(const float* gd, float& r);

// Puts every control block back into its start-of-process state: zero-filled,
// limit words at their generated capacities, cursors at 1.
void reset_control_blocks();

}  // namespace nodrix

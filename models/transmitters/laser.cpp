#include "models/transmitters/laser.h"

#include <algorithm>
#include <cmath>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/transmitters/frequency_modulation.h"
#include "models/transmitters/gaussian.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

constexpr const char* kNegativePower = "Laser: negative optical power, 0 mW is used";
constexpr const char* kNegativeLinewidth = "Laser: negative line width, 0 MHz is used";
constexpr const char* kNoResonance =
    "Laser: noise shaping needs a resonance frequency and a resonance peak above 0; the frequency noise stays white";

// The state of one laser, asked for on every call (set-up pass when not
// set-up-only, and every per-sample call); the noise chain after it keeps its
// own (gausrr, twopol with noise shaping, fremod).
struct LaserStorage {
    std::int32_t frequency = 0, flag = 0, pole = 0;
};
constexpr StateSlot<LaserStorage> kLaserState[] = {
    {&LaserStorage::frequency, SlotKind::real_double, 1},  // exact emission frequency [THz]
};
constexpr StateSlot<LaserStorage> kShapingState[] = {
    {&LaserStorage::flag, SlotKind::integer, 1},  // overdamped response
    {&LaserStorage::pole, SlotKind::real, 2},     // pole (re, im) [rad/ps]
};

LaserStorage reserve(const LaslorParams& p) {
    LaserStorage s = claim_state(kLaserState);
    if (p.noise_shaping == 1) claim_state(kShapingState, s);
    return s;
}

// Steps 2 to 5 of a sample: amplitude, Gaussian frequency noise (shaped when
// asked), and the phase of the frequency-modulated carrier. In the set-up
// pass the calls only reserve the chain's storage.
FmPhase modulated_phase(const LaslorParams& p, double f_exact, float pole_re, float pole_im) {
    const float a = std::sqrt(std::max(p.power, 0.0f));
    // Deviation of the frequency noise [rad/ps] whose integral over one step
    // has the variance 2 pi linewidth 1e-6 delt of a Lorentzian line.
    const float linewidth = std::max(p.linewidth, 0.0f);
    const float s = std::sqrt(linewidth * kPiF * 4e-06f / (2.0f * zzctrl.delt));
    ElectricalSample noise;
    gausrr(0.0f, s, noise);
    if (p.noise_shaping == 1) noise.value = twopol(pole_re, pole_im, noise.value);
    return fremod_phase(static_cast<float>(f_exact), a, p.phase, 0.0f, 1.0f, noise);
}

void set_up(const LaslorParams& p, const InputWindow& in, TimeWindow& out, OpticalSignal& sig) {
    sig.x = empty_field();
    sig.y = empty_field();
    const float power = std::max(p.power, 0.0f);
    sig.ps.fill(0.0f);
    if (const std::int32_t k = laser_bin(p.frequency); k >= 0) sig.ps[static_cast<std::size_t>(k)] = power;
    sig.iv = p.frequency >= f_vbs_band.fbandlo && p.frequency <= f_vbs_band.fbandhi ? 1 : 0;
    if (optcl_ctrl.setuponly == 1) return;

    const LaserStorage st = reserve(p);
    sig.gd.fill(0.0f);
    if (sig.iv == 0) {
        sig.pp = 0.0f;
        return;
    }
    if (p.power < 0.0f) opxerr(kNegativePower);
    if (p.linewidth < 0.0f) opxerr(kNegativeLinewidth);
    sig.pp = power;
    group_delay_window(in, sig.gd.data(), 0.0f, out);

    const bool keep = zzsupv.storephase == 1;
    const double f_exact = exact_frequency(p.frequency);
    if (keep && zzflmn.nohist == 0) *dist_at(st.frequency) = f_exact;
    ShapingPole pole;
    if (p.noise_shaping == 1) {
        pole = shaping_pole(p.resonance_frequency, p.resonance_peak);
        if (!pole.valid) opxerr(kNoResonance);
        if (keep) {
            *ist_at(st.flag) = pole.overdamped;
            hist_at(st.pole)[0] = pole.re;
            hist_at(st.pole)[1] = pole.im;
        }
    }
    // The chain's set-up: storage only, no sample.
    modulated_phase(p, f_exact, pole.re, pole.im);
}

}  // namespace

std::int32_t laser_bin(float frequency) {
    const float width = (flimit.fgridhi - flimit.fgridlo) / static_cast<float>(kBins);
    const float v = (frequency - flimit.fgridlo) / width;
    // Truncation would also put the part of a bin below fgridlo into bin 0.
    if (!(v >= 0.0f && v < static_cast<float>(kBins))) return -1;
    return static_cast<std::int32_t>(v);
}

double exact_frequency(float frequency) {
    const double v = static_cast<double>(frequency) * 100000.0;
    if (!(std::fabs(v) < 1.0e15)) return static_cast<double>(frequency);
    const double whole = std::trunc(v);
    auto n = static_cast<std::int64_t>(whole);
    std::int64_t d[8];
    std::int64_t scale = 10000000;
    for (int i = 0; i < 8; ++i, scale /= 10) {
        d[i] = n / scale;
        n -= d[i] * scale;
    }
    if (v != whole && d[7] > 5) {
        ++d[7];
        // The carry runs up the digits; the leading one keeps it.
        for (int i = 7; i > 0 && d[i] == 10; --i) {
            d[i] = 0;
            ++d[i - 1];
        }
    }
    static constexpr double kPlace[8] = {100.0, 10.0, 1.0, 0.1, 0.01, 0.001, 1e-4, 1e-5};
    double f = 0.0;
    for (int i = 0; i < 8; ++i) f += static_cast<double>(d[i]) * kPlace[i];
    return f;
}

ShapingPole shaping_pole(float resonance_ghz, float peak_db) {
    ShapingPole pole;
    if (!(resonance_ghz > 0.0f && peak_db > 0.0f)) return pole;
    const double x = std::pow(10.0, -0.1 * static_cast<double>(peak_db));
    const double root = std::sqrt(1.0 - x);
    const double zeta = std::sqrt((1.0 - root) / 2.0);
    const double wn = static_cast<double>(resonance_ghz) * kPi * 0.002 / std::sqrt(root);
    if (!std::isfinite(wn) || !(root > 0.0)) return pole;
    pole.overdamped = zeta >= 1.0 ? 1 : 0;
    const double theta = std::acos(std::min(zeta, 1.0));
    pole.re = static_cast<float>(-wn * std::cos(theta));
    pole.im = static_cast<float>(wn * std::sin(theta));
    pole.valid = true;
    return pole;
}

void laslor(const LaslorParams& p, const InputWindow& in, TimeWindow& out, OpticalSignal& sig) {
    if (zzctrl.pass == 0) {
        set_up(p, in, out, sig);
        return;
    }
    if (optcl_ctrl.setuponly == 1) return;
    const LaserStorage st = reserve(p);
    if (sig.iv == 0) {
        sig.x = empty_field();
        sig.y = empty_field();
        return;
    }
    const float t = zzctrl.time;
    if (t >= out.toff && t > 0.0f) {
        // After the window: the time only grows in a run, so no later sample
        // shows the phase. The noise chain keeps only what other blocks see:
        // its draws from the shared uniform generator (the other lasers and
        // the photodiodes draw from it too) and its place in the storage walk.
        gausrr_draws();
        if (p.noise_shaping == 1) twopol_reserve();
        fremod_reserve();
        sig.x = empty_field();
        sig.y = empty_field();
        return;
    }
    const double f_exact = *dist_at(st.frequency);
    float pole_re = 0.0f;
    float pole_im = 0.0f;
    if (p.noise_shaping == 1) {
        pole_re = hist_at(st.pole)[0];
        pole_im = hist_at(st.pole)[1];
    }
    // The noise chain runs on every sample up to the window's end.
    const FmPhase fm = modulated_phase(p, f_exact, pole_re, pole_im);
    const float fc = f_vbs_band.fcenter;
    if (t >= in.ton && t < out.toff) {
        // The envelope a (cos phase, sin phase) moved from the emission
        // frequency to the band centre: rotated by the fractional cycles
        // (f_exact - fc) (i - 1) ddelt, taken in double precision.
        const double cycles = (f_exact - static_cast<double>(fc)) * static_cast<double>(zzctrl.step - 1) * zdctrl.ddelt;
        const double angle = kTwoPi * (cycles - std::trunc(cycles));
        if (fm.carrier > 0.2f / zzctrl.delt) {
            // Envelope and rotation in one turn of the phasor.
            const double total = static_cast<double>(fm.phase) + angle;
            const auto a = static_cast<double>(fm.amplitude);
            sig.x = FieldSample{static_cast<float>(a * std::cos(total)), static_cast<float>(a * std::sin(total)), fc};
        } else {
            CarrierSample env;
            siggen(fm.carrier, fm.amplitude, fm.phase, env);
            const double c = std::cos(angle);
            const double s = std::sin(angle);
            const auto re = static_cast<double>(env.re);
            const auto im = static_cast<double>(env.im);
            sig.x = FieldSample{static_cast<float>(re * c - im * s), static_cast<float>(re * s + im * c), fc};
        }
    } else {
        sig.x = empty_field();
    }
    sig.y = empty_field();
}

}  // namespace nodrix

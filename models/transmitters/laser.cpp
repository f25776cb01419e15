// The continuous-wave laser of a transmitter (laslor): constant power at one
// optical frequency, Lorentzian phase noise of a given line width and,
// optionally, frequency noise shaped by a resonant two-pole response. The
// noise drives a frequency modulator whose phase turns the carrier; the
// light is moved from the emission frequency to the band centre.
#include "models/transmitters/laser.h"

#include <algorithm>
#include <cmath>

#include "kernel/block_declaration.h"
#include "models/transmitters/frequency_modulation.h"
#include "models/transmitters/gaussian.h"
#include "numerics/constants.h"

namespace nodrix {

std::int32_t laser_bin(float frequency, const SpectralGrid& grid) {
    const float width = (grid.high_thz - grid.low_thz) / static_cast<float>(kBins);
    const float v = (frequency - grid.low_thz) / width;
    // Truncation would also put the part of a bin below the grid into bin 0.
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

namespace {

constexpr const char* kNegativePower = "Laser: negative optical power, 0 mW is used";
constexpr const char* kNegativeLinewidth = "Laser: negative line width, 0 MHz is used";
constexpr const char* kNoResonance =
    "Laser: noise shaping needs a resonance frequency and a resonance peak above 0; the frequency noise stays white";

struct Laser {
    float frequency_thz = 193.1f;           // emission frequency
    float power_mw = 1.0f;                  // optical power, >= 0
    float linewidth_mhz = 0.0f;             // Lorentzian line width (FWHM), >= 0
    float phase_rad = 0.0f;                 // initial optical phase
    bool shaped_frequency_noise = false;    // frequency noise through the resonant response; else white
    float resonance_frequency_ghz = 0.0f;   // frequency of the response peak (shaped noise)
    float resonance_peak_db = 0.0f;         // height of the response peak (shaped noise)

    Output<OpticalSignal> output;
    Window window;

    // The emission frequency rounded as emitted [THz]; with shaped noise the
    // response's damping (1: overdamped) and its pole (re, im) [rad/ps].
    State<double> emission_thz;
    State<std::int32_t> overdamped;
    State<float> pole;
    // The noise chain, claimed after the laser's own records while it is in band.
    GaussianSource noise;
    TwoPoleLowPass shaping;
    FrequencyModulator modulator;

    double exact_thz = 0.0;   // taken in the design, kept at set-up
    ShapingPole response;     // likewise

    static KindDeclaration<Laser> declaration();

    // A line at the emission frequency, no delays; in band also the power,
    // the window from the sources' start and the noise chain's records.
    Status design(const RunContext& ctx, StateClaims& state) {
        OpticalSignal& sig = *output;
        sig.x = ctx.empty_field();
        sig.y = ctx.empty_field();
        const float power = std::max(power_mw, 0.0f);
        sig.ps.fill(0.0f);
        if (const std::int32_t k = laser_bin(frequency_thz, ctx.settings().grid); k >= 0)
            sig.ps[static_cast<std::size_t>(k)] = power;
        const Band& band = ctx.settings().band;
        sig.iv = frequency_thz >= band.low_thz && frequency_thz <= band.high_thz ? 1 : 0;
        state.claim(emission_thz, 1);
        if (shaped_frequency_noise) {
            state.claim(overdamped, 1);
            state.claim(pole, 2);
        }
        sig.gd.fill(0.0f);
        if (sig.iv == 0) {
            sig.pp = 0.0f;
            return {};
        }
        Status status;
        if (power_mw < 0.0f) status.add(kNegativePower);
        if (linewidth_mhz < 0.0f) status.add(kNegativeLinewidth);
        sig.pp = power;
        group_delay_window(window.input(ctx), sig.gd.data(), 0.0f, window.output());
        exact_thz = exact_frequency(frequency_thz);
        response = ShapingPole{};
        if (shaped_frequency_noise) {
            response = shaping_pole(resonance_frequency_ghz, resonance_peak_db);
            if (!response.valid) status.add(kNoResonance);
        }
        noise.claim(state);
        if (shaped_frequency_noise) shaping.claim(state);
        modulator.claim(state);
        return status;
    }

    void setup(const RunContext&) {
        if (output->iv == 0) return;
        emission_thz[0] = exact_thz;
        if (shaped_frequency_noise) {
            overdamped[0] = response.overdamped;
            pole[0] = response.re;
            pole[1] = response.im;
        }
    }

    // Amplitude, Gaussian frequency noise (shaped when asked) and the phase
    // of the frequency-modulated carrier.
    FmPhase modulated_phase(const RunContext& ctx, double f_exact, float pole_re, float pole_im) {
        const float a = std::sqrt(std::max(power_mw, 0.0f));
        // Deviation of the frequency noise [rad/ps] whose integral over one step
        // has the variance 2 pi linewidth 1e-6 delt of a Lorentzian line.
        const float linewidth = std::max(linewidth_mhz, 0.0f);
        const float s = std::sqrt(linewidth * kPiF * 4e-06f / (2.0f * ctx.time_step()));
        ElectricalSample frequency_noise;
        frequency_noise.value = noise.draw(ctx, 0.0f, s);
        if (shaped_frequency_noise) frequency_noise.value = shaping.filter(ctx, pole_re, pole_im, frequency_noise.value);
        return modulator.phase(ctx, static_cast<float>(f_exact), a, phase_rad, 0.0f, 1.0f, frequency_noise);
    }

    void run(const RunContext& ctx) {
        OpticalSignal& sig = *output;
        sig.y = ctx.empty_field();
        if (sig.iv == 0) {
            sig.x = ctx.empty_field();
            return;
        }
        const float t = ctx.time();
        const TimeWindow& out = window.output();
        if (t >= out.toff && t > 0.0f) {
            // After the window: the time only grows in a run, so no later
            // sample shows the phase. The noise keeps only what other blocks
            // see: its draws from the shared uniform generator (the other
            // lasers and the photodiodes draw from it too).
            noise.draw_only(ctx);
            sig.x = ctx.empty_field();
            return;
        }
        const double f_exact = emission_thz[0];
        const float pole_re = shaped_frequency_noise ? pole[0] : 0.0f;
        const float pole_im = shaped_frequency_noise ? pole[1] : 0.0f;
        // The noise chain runs on every sample up to the window's end.
        const FmPhase fm = modulated_phase(ctx, f_exact, pole_re, pole_im);
        sig.x = t >= window.input(ctx).ton && t < out.toff ? field(ctx, f_exact, fm) : ctx.empty_field();
    }

    // The envelope a (cos phase, sin phase) moved from the emission frequency
    // to the band centre: rotated by the fractional cycles
    // (f_exact - fc) (i - 1) time step, taken in double precision.
    static FieldSample field(const RunContext& ctx, double f_exact, const FmPhase& fm) {
        const float fc = ctx.band_centre();
        const double cycles =
            (f_exact - static_cast<double>(fc)) * static_cast<double>(ctx.step() - 1) * ctx.time_step_double();
        const double angle = kTwoPi * (cycles - std::trunc(cycles));
        if (fm.carrier > 0.2f / ctx.time_step()) {
            // Envelope and rotation in one turn of the phasor.
            const double total = static_cast<double>(fm.phase) + angle;
            const auto a = static_cast<double>(fm.amplitude);
            return FieldSample{static_cast<float>(a * std::cos(total)), static_cast<float>(a * std::sin(total)), fc};
        }
        CarrierSample env;
        siggen(ctx, fm.carrier, fm.amplitude, fm.phase, env);
        const double c = std::cos(angle);
        const double s = std::sin(angle);
        const auto re = static_cast<double>(env.re);
        const auto im = static_cast<double>(env.im);
        return FieldSample{static_cast<float>(re * c - im * s), static_cast<float>(re * s + im * c), fc};
    }
};

// The carrier must lie in the simulated band, where the laser emits, and
// within half the sampling rate of the band centre, or its light would
// appear at another frequency; the envelope model takes carriers from 0.2
// times the sampling rate.
void check_laser(const BlockSettings& s, const LinkContext& link, Findings& found) {
    const float f = s.real("frequency_thz");
    const std::string given = "frequency_thz = " + number_text(f);
    if (!(f >= link.band_low_thz && f <= link.band_high_thz)) {
        found.error("frequency_thz", given + " lies outside the simulated band, band_low_thz to band_high_thz = " +
                                         number_text(link.band_low_thz) + " to " + number_text(link.band_high_thz) +
                                         " THz, where the laser would emit nothing; allowed: within it");
        return;
    }
    const double sampling = link.sampling_thz();
    const double cycles = (static_cast<double>(f) - link.centre_thz) / sampling;
    if (std::fabs(cycles) >= 0.5) {
        const double alias = static_cast<double>(f) - std::round(cycles) * sampling;
        found.error("frequency_thz",
                    given + " lies outside the band the time step samples, centre_frequency_thz -+ 0.5 / time_step_ps = " +
                        number_text(static_cast<float>(link.centre_thz - 0.5 * sampling)) + " to " +
                        number_text(static_cast<float>(link.centre_thz + 0.5 * sampling)) +
                        " THz: its light would appear at " + number_text(static_cast<float>(alias)) +
                        " THz; allowed: within it (a shorter time_step_ps widens it)");
        return;
    }
    const float lowest = 0.2f / link.time_step_ps;
    if (static_cast<float>(exact_frequency(f)) < lowest)
        found.error("frequency_thz", given + " is below 0.2 / time_step_ps = " + number_text(lowest) +
                                         " THz, the lowest carrier the laser's model takes");
    if (s.flag("shaped_frequency_noise") &&
        !shaping_pole(s.real("resonance_frequency_ghz"), s.real("resonance_peak_db")).valid)
        found.error("shaped_frequency_noise",
                    "shaped_frequency_noise = true needs a resonance: resonance_frequency_ghz = " +
                        number_text(s.real("resonance_frequency_ghz")) + " and resonance_peak_db = " +
                        number_text(s.real("resonance_peak_db")) + " give none; allowed: both above 0");
}

KindDeclaration<Laser> Laser::declaration() {
    using L = Laser;
    return {
        .name = "laser",
        .routine = "laslor",
        .help = "continuous-wave laser with Lorentzian phase noise",
        .family = BlockFamily::transmitters,
        .parameters =
            {
                parameter(&L::frequency_thz,
                          {.name = "frequency_thz", .unit = "THz", .help = "emission frequency", .required = true,
                           .limits = "within band_low_thz to band_high_thz and within centre_frequency_thz -+ 0.5 / "
                                     "time_step_ps; at least 0.2 / time_step_ps"}),
                parameter(&L::power_mw,
                          {.name = "power_mw", .unit = "mW", .fallback = 1.0, .help = "optical power", .low = 0}),
                parameter(&L::linewidth_mhz, {.name = "linewidth_mhz", .unit = "MHz", .fallback = 0.0,
                                              .help = "Lorentzian line width (FWHM)", .low = 0}),
                parameter(&L::phase_rad,
                          {.name = "phase_rad", .unit = "rad", .fallback = 0.0, .help = "initial optical phase"}),
                parameter(&L::shaped_frequency_noise,
                          {.name = "shaped_frequency_noise", .fallback = 0,
                           .help = "frequency noise shaped by the resonant response below, else white",
                           .limits = "true needs resonance_frequency_ghz and resonance_peak_db above 0"}),
                parameter(&L::resonance_frequency_ghz,
                          {.name = "resonance_frequency_ghz", .unit = "GHz", .fallback = 0.0,
                           .help = "frequency of the response peak (shaped noise)", .low = 0}),
                parameter(&L::resonance_peak_db,
                          {.name = "resonance_peak_db", .unit = "dB", .fallback = 0.0,
                           .help = "height of the response peak (shaped noise)", .low = 0}),
            },
        .outputs = {port(&L::output, {.key = "output", .help = "the light"})},
        .window = &L::window,
        .check = check_laser,
    };
}

const KindRegistration registration{declare_kind<Laser>()};

}  // namespace
}  // namespace nodrix

#include "models/receivers/photodiode.h"

#include <cmath>

#include "kernel/block_declaration.h"
#include "numerics/constants.h"
#include "models/transmitters/gaussian.h"

namespace nodrix {

float photod_scaled_responsivity(float responsivity) { return 0.001f * responsivity; }

float photod_shot_factor(float avalanche_gain, float excess_noise_exponent) {
    // 2e12 is held as the single-precision value 1999999991808.
    return static_cast<float>(kElementaryCharge) * std::pow(avalanche_gain, 2.0f + excess_noise_exponent) *
           1999999991808.0f;
}

double photod_shot_deviation(float avalanche_gain, float excess_noise_exponent, double current_a,
                             double time_step_ps) {
    if (!(avalanche_gain > 0.0f) || !(time_step_ps > 0.0) || !(current_a > 0.0)) return 0.0;
    const double before_gain = current_a / avalanche_gain;
    return std::sqrt(photod_shot_factor(avalanche_gain, excess_noise_exponent) * before_gain * 0.5 / time_step_ps);
}

double thermal_noise_deviation(double density_pa_per_sqrt_hz, double time_step_ps) {
    if (!(density_pa_per_sqrt_hz > 0.0) || !(time_step_ps > 0.0)) return 0.0;
    // sigma^2 = i^2 B with B = 1 / (2 dt) = 0.5e12 / dt_ps Hz and i in 1e-12 A/sqrt(Hz).
    return density_pa_per_sqrt_hz * 1e-12 * std::sqrt(0.5e12 / time_step_ps);
}

float optical_sample_power(const FieldSample& x, const FieldSample& y, std::int32_t npol) {
    float p = x.re * x.re + x.im * x.im;
    if (npol != 1) p += y.re * y.re + y.im * y.im;
    return p;
}

namespace {

// A current cannot flow backwards through the diode; ranges of the parameters
// keep the values below usable, these lines name what a block would refuse.
constexpr const char* kNegativeResponsivity = "Photodiode: the responsivity must not be negative";
constexpr const char* kNegativeDarkCurrent = "Photodiode: the dark current must not be negative";
constexpr const char* kGainNotPositive = "Photodiode: the avalanche gain must be positive";
constexpr const char* kNegativeThermalNoise = "Photodiode: the thermal noise density must not be negative";

// The photodiode of a receiver (photod): a PIN or avalanche diode turning the
// received optical field into a photocurrent, with responsivity, dark
// current, avalanche gain with excess noise, and optional shot noise; and the
// thermal noise of the amplifier behind it, referred to its input.
//
// The thermal noise is white over the simulated band B = 1 / (2 dt): each
// sample draws a current of deviation i_th sqrt(B). The receiver's electrical
// bandwidth is then the filter that follows (an electrical Bessel filter),
// which shapes the signal, the shot noise and this noise alike, so that the
// noise at the decision is i_th^2 times that filter's noise bandwidth. A
// bandwidth of the diode's own would cut the noise twice. The noise is the
// amplifier's, not the diode's: it is not multiplied by the avalanche gain,
// it is there with or without light, and it is added after the diode's
// current is cut at 0 A, so the output may be negative.
struct Photodiode {
    float responsivity_a_per_w = 1.0f;  // [A/W], >= 0
    bool shot_noise = true;             // add shot noise
    float dark_current_na = 0.0f;       // [nA], >= 0
    float avalanche_gain = 1.0f;        // multiplication factor M (1.0 for a PIN diode), > 0
    float excess_noise_exponent = 0.0f; // x in the excess noise factor F = M^x
    float thermal_noise_pa_per_sqrt_hz = 0.0f;  // input-referred thermal noise density [pA/sqrt(Hz)], >= 0

    Input<OpticalSignal> input;
    Output<ElectricalSample> output;
    Window window;

    // Scaled responsivity [A/mW] and shot-noise factor, held while the input
    // is in band; then, with shot noise on, the Gaussian generator's records.
    State<float> factors;
    GaussianSource shot;
    // With thermal noise, its own Gaussian generator's records, and the
    // deviation of a sample [A], set at set-up.
    GaussianSource thermal;
    float thermal_deviation_a = 0.0f;

    static KindDeclaration<Photodiode> declaration() {
        using D = Photodiode;
        return {
            .name = "photodiode",
            .routine = "photod",
            .help = "PIN or avalanche photodiode with shot, dark-current and thermal noise",
            .family = BlockFamily::receivers,
            .parameters =
                {
                    parameter(&D::responsivity_a_per_w, {.name = "responsivity_a_per_w", .unit = "A/W",
                                                         .fallback = 1.0, .help = "responsivity", .low = 0}),
                    parameter(&D::shot_noise, {.name = "shot_noise", .fallback = 1, .help = "add shot noise"}),
                    parameter(&D::dark_current_na, {.name = "dark_current_na", .unit = "nA", .fallback = 0.0,
                                                    .help = "dark current", .low = 0}),
                    parameter(&D::avalanche_gain, {.name = "avalanche_gain", .fallback = 1.0,
                                                   .help = "multiplication factor (1: PIN diode)", .low = 0,
                                                   .low_open = true}),
                    parameter(&D::excess_noise_exponent, {.name = "excess_noise_exponent", .fallback = 0.0,
                                                          .help = "x of the excess noise factor F = M^x"}),
                    parameter(&D::thermal_noise_pa_per_sqrt_hz,
                              {.name = "thermal_noise_pa_per_sqrt_hz", .unit = "pA/sqrt(Hz)", .fallback = 0.0,
                               .help = "input-referred thermal noise density over the simulated band (0: none)",
                               .low = 0}),
                },
            .inputs = {port(&D::input, {.key = "input", .help = "the light measured"})},
            .outputs = {port(&D::output, {.key = "output", .help = "the photocurrent [A]"})},
            .window = &D::window,
        };
    }

    Status design(const RunContext& ctx, StateClaims& state) {
        *output = ElectricalSample{};
        Status status;
        if (responsivity_a_per_w < 0.0f) status.add(kNegativeResponsivity);
        if (dark_current_na < 0.0f) status.add(kNegativeDarkCurrent);
        if (!(avalanche_gain > 0.0f)) status.add(kGainNotPositive);
        if (thermal_noise_pa_per_sqrt_hz < 0.0f) status.add(kNegativeThermalNoise);
        group_delay_window(window.input(ctx), input->gd.data(), least_group_delay(input->gd.data()),
                           window.output());
        if (input->iv != 0) state.claim(factors, 2);
        if (shot_noise) shot.claim(state);
        if (thermal_noise_pa_per_sqrt_hz > 0.0f) thermal.claim(state);
        return status;
    }

    void setup(const RunContext& ctx) {
        thermal_deviation_a = static_cast<float>(
            thermal_noise_deviation(thermal_noise_pa_per_sqrt_hz, ctx.time_step_double()));
        if (factors.size() == 0) return;
        factors[0] = photod_scaled_responsivity(responsivity_a_per_w);
        factors[1] = photod_shot_factor(avalanche_gain, excess_noise_exponent);
    }

    void run(const RunContext& ctx) {
        float i = photocurrent(ctx);
        if (thermal_noise_pa_per_sqrt_hz > 0.0f) i += thermal_deviation_a * thermal.draw(ctx, 0.0f, 1.0f);
        *output = ElectricalSample{i, 0.0f, 0.0f};
    }

    // The diode's current [A]: 0 while no light arrives.
    float photocurrent(const RunContext& ctx) {
        const float t = ctx.time();
        const bool lit = input->iv != 0 && t >= window.input(ctx).ton && t < window.output().toff;
        float n = 0.0f;
        // The generator is drawn only while light arrives, and on the first
        // sample of the run (t <= 0), which sets it up.
        if (shot_noise && (lit || t <= 0.0f)) n = shot.draw(ctx, 0.0f, 1.0f);
        if (!lit) return 0.0f;

        const float m = avalanche_gain;
        float i0 = factors[0] * optical_sample_power(input->x, input->y, ctx.fields());
        float i;
        if (shot_noise) {
            i0 += 1e-9f * dark_current_na;
            // Shot noise of variance 2 q M^2 F I0 B over the simulation bandwidth
            // B = 1 / (2 dt), added after the multiplication.
            const float variance = factors[1] * i0 * 0.5f / ctx.time_step();
            const float s = variance > 0.0f ? std::sqrt(variance) : 0.0f;
            i = s * n + m * i0;
        } else {
            i = (i0 + 1e-9f * dark_current_na) * m;
        }
        // A current cannot flow backwards through the diode (this also turns -0
        // into +0).
        return i > 0.0f ? i : 0.0f;
    }
};

const KindRegistration registration{declare_kind<Photodiode>()};

}  // namespace

}  // namespace nodrix

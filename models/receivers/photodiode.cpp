#include "models/receivers/photodiode.h"

#include <cmath>

#include "kernel/block_declaration.h"
#include "kernel/control_blocks.h"
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

// The photodiode of a receiver (photod): a PIN or avalanche diode turning the
// received optical field into a photocurrent, with responsivity, dark
// current, avalanche gain with excess noise, and optional shot noise.
struct Photodiode {
    float responsivity_a_per_w = 1.0f;  // [A/W], >= 0
    bool shot_noise = true;             // add shot noise
    float dark_current_na = 0.0f;       // [nA], >= 0
    float avalanche_gain = 1.0f;        // multiplication factor M (1.0 for a PIN diode), > 0
    float excess_noise_exponent = 0.0f; // x in the excess noise factor F = M^x

    Input<OpticalSignal> input;
    Output<ElectricalSample> output;
    Window window;

    // Scaled responsivity [A/mW] and shot-noise factor, held while the input
    // is in band; then, with shot noise on, the Gaussian generator's records.
    State<float> factors;
    GaussianSource shot;

    static KindDeclaration<Photodiode> declaration() {
        using D = Photodiode;
        return {
            .name = "photodiode",
            .routine = "photod",
            .help = "PIN or avalanche photodiode with shot and dark-current noise",
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
        group_delay_window(window.input(ctx), input->gd.data(), least_group_delay(input->gd.data()),
                           window.output());
        if (input->iv != 0) state.claim(factors, 2);
        if (shot_noise) shot.claim(state);
        return status;
    }

    void setup(const RunContext&) {
        if (factors.size() == 0) return;
        factors[0] = photod_scaled_responsivity(responsivity_a_per_w);
        factors[1] = photod_shot_factor(avalanche_gain, excess_noise_exponent);
    }

    void run(const RunContext& ctx) {
        ElectricalSample& current = *output;
        current = ElectricalSample{};
        const float t = ctx.time();
        const bool lit = input->iv != 0 && t >= window.input(ctx).ton && t < window.output().toff;
        float n = 0.0f;
        // The generator is drawn only while light arrives, and on the first
        // sample of the run (t <= 0), which sets it up.
        if (shot_noise && (lit || t <= 0.0f)) n = shot.draw(ctx, 0.0f, 1.0f);
        if (!lit) return;

        const float m = avalanche_gain;
        float i0 = factors[0] * optical_sample_power(input->x, input->y, ctx.polarisations());
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
        current.value = i > 0.0f ? i : 0.0f;
    }
};

const KindRegistration registration{declare_kind<Photodiode>()};

}  // namespace

}  // namespace nodrix

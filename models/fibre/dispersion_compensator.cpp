// A dispersion compensator: a linear all-pass element of a total dispersion
// D [ps/nm] and slope S [ps/nm^2] (a compensating fibre or grating as its
// datasheet gives it), with an optional loss, no Kerr effect and no noise.
//
// The dispersion is converted exactly at the link's centre wavelength
// lambda = c / f_c as the fibre's designer quantities are
// (models/fibre/fibre_presets.h): beta2 L = -D lambda^2 / (2 pi c) and
// beta3 L = (lambda^2 / (2 pi c))^2 (S + 2 D / lambda). The field is filtered
// in the frequency domain by
//     H(w) = a exp(-i (beta2 L w^2 / 2 + beta3 L w^3 / 6 + w d dt)),
// the fibre's sign convention, so that a compensator of the opposite
// dispersion undoes a fibre; a = 10^(-loss_db / 20) and d is a delay of whole
// samples that makes the response causal.
//
// The filter runs by overlap-save: the input is collected in blocks of B
// samples; each full block, with the K - 1 samples before it, is transformed
// (L = B + K - 1 points, a power of two), multiplied by H sampled at the L
// bins and transformed back, and its last B samples are the output of the
// next B samples. K covers the spread of the group delay over the whole
// simulated band plus a guard at both ends, so every component of the band
// arrives within the block; the output is late by B + d samples besides the
// dispersion's own group delay, as the output's delays and window say.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>

#include "kernel/block_declaration.h"
#include "numerics/constants.h"
#include "models/fibre/fibre_presets.h"
#include "models/fibre/orthogonal_field.h"

namespace nodrix {
namespace {

// The largest transform the compensator makes: 2^24 points, 256 MiB per
// array of double complex values.
constexpr std::int64_t kMaxTransform = std::int64_t{1} << 24;
constexpr std::int64_t kMinTransform = 64;

// The filter of a compensator at a time step: its dispersion at the link's
// centre, the response length K, the centring delay d, the transform length
// L and the block B = L - K + 1.
struct CompensatorFilter {
    double beta2l = 0.0;  // [ps^2]
    double beta3l = 0.0;  // [ps^3]
    std::int64_t taps = 0;
    std::int64_t delay = 0;
    std::int64_t length = 0;
    std::int64_t block = 0;

    // The group delay of the dispersion at angular frequency w [rad/ps]
    // from the centre, without the delay d [ps].
    double dispersion_delay(double w) const { return beta2l * w + beta3l * w * w / 2.0; }
};

CompensatorFilter compensator_filter(double dispersion_ps_per_nm, double slope_ps_per_nm2, double centre_thz,
                                     double dt) {
    CompensatorFilter f;
    const double wavelength_nm = kLightSpeed / centre_thz;
    f.beta2l = beta2_from_dispersion(dispersion_ps_per_nm, wavelength_nm);
    f.beta3l = beta3_from_slope(slope_ps_per_nm2, dispersion_ps_per_nm, wavelength_nm);
    // The group delay's extremes over the band, |w| <= pi / dt: at its ends,
    // and where the slope turns it, if that lies inside.
    const double edge = kPi / dt;
    double least = std::min(f.dispersion_delay(-edge), f.dispersion_delay(edge));
    double most = std::max(f.dispersion_delay(-edge), f.dispersion_delay(edge));
    if (f.beta3l != 0.0) {
        const double turn = -f.beta2l / f.beta3l;
        if (std::fabs(turn) < edge) {
            least = std::min(least, f.dispersion_delay(turn));
            most = std::max(most, f.dispersion_delay(turn));
        }
    }
    const double spread = (most - least) / dt;  // samples
    if (!(spread < static_cast<double>(kMaxTransform))) {
        f.length = kMaxTransform + 1;  // beyond what the compensator makes
        return f;
    }
    const std::int64_t guard = std::max<std::int64_t>(32, static_cast<std::int64_t>(std::ceil(spread / 8.0)));
    f.taps = static_cast<std::int64_t>(std::ceil(spread)) + 2 * guard + 1;
    f.delay = guard + static_cast<std::int64_t>(std::ceil(-least / dt));
    f.length = kMinTransform;
    while (f.length < 2 * f.taps) f.length *= 2;
    f.block = f.length - f.taps + 1;
    return f;
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// What the compensator cannot do with its values at this time step, in words
// naming the parameter; empty when nothing.
std::string compensator_problem(double dispersion, double slope, double loss_db, double centre_thz, double dt) {
    if (!std::isfinite(dispersion)) return "dispersion_ps_per_nm = " + number(dispersion) + " is not a finite number";
    if (!std::isfinite(slope)) return "dispersion_slope_ps_per_nm2 = " + number(slope) + " is not a finite number";
    if (!std::isfinite(loss_db) || loss_db < 0.0)
        return "loss_db = " + number(loss_db) + " is not a finite loss of 0 dB or more";
    if (!(dt > 0.0) || !(centre_thz > 0.0)) return "the link's time step and centre frequency must be positive";
    const CompensatorFilter f = compensator_filter(dispersion, slope, centre_thz, dt);
    if (f.length > kMaxTransform)
        return "dispersion_ps_per_nm = " + number(dispersion) + " spreads the band over too many time steps of " +
               number(dt) + " ps: the filter would need a transform of more than 2^24 points";
    return {};
}

struct DispersionCompensator {
    float dispersion_ps_per_nm = 0.0f;
    float dispersion_slope_ps_per_nm2 = 0.0f;
    float loss_db = 0.0f;

    Input<OpticalSignal> input;
    Output<OpticalSignal> output;
    Window window;

    // The response H at the L bins (divided by L for the backward
    // transform), the block being collected after the K - 1 samples before
    // it, the transformed block whose last B samples are being given out,
    // and the count of samples collected.
    State<std::complex<double>> response;
    State<std::complex<double>> collected;
    State<std::complex<double>> filtered;
    State<std::int32_t> count;
    OrthogonalField orthogonal;  // with two fields: the ASE orthogonal to the signal

    CompensatorFilter filter;
    double field_factor = 1.0;
    bool filtering = false;  // the last design claimed the filter's state
    FftPlan forward, backward;

    static KindDeclaration<DispersionCompensator> declaration() {
        using D = DispersionCompensator;
        return {
            .name = "dispersion_compensator",
            .help = "dispersion compensator: a linear all-pass dispersion (a compensating fibre or grating as its "
                    "datasheet gives it) with an optional loss",
            .family = BlockFamily::fibre,
            .parameters =
                {parameter(&D::dispersion_ps_per_nm,
                           {.name = "dispersion_ps_per_nm", .unit = "ps/nm",
                            .help = "total dispersion D L at the link's centre frequency (negative to undo a span "
                                    "of standard fibre)",
                            .required = true,
                            .limits = "the group delay it spreads over the simulated band stays below 2^23 "
                                      "time steps"}),
                 parameter(&D::dispersion_slope_ps_per_nm2,
                           {.name = "dispersion_slope_ps_per_nm2", .unit = "ps/nm^2", .fallback = 0.0,
                            .help = "total dispersion slope S L at the link's centre frequency"}),
                 parameter(&D::loss_db, {.name = "loss_db", .unit = "dB", .fallback = 0.0,
                                         .help = "insertion loss, the same at every frequency", .low = 0,
                                         .high = 300})},
            .inputs = {port(&D::input, {.key = "input", .help = "the light in"})},
            .outputs = {port(&D::output, {.key = "output", .help = "the light out, its dispersion changed"})},
            .window = &D::window,
            .delay_record = true,
            .check = check,
        };
    }

    static void check(const BlockSettings& s, const LinkContext& link, Findings& found) {
        const std::string problem =
            compensator_problem(s.real("dispersion_ps_per_nm"), s.real("dispersion_slope_ps_per_nm2"),
                                s.real("loss_db"), link.centre_thz, link.time_step_ps);
        if (!problem.empty()) found.error("dispersion_ps_per_nm", problem);
    }

    Status design(const RunContext& ctx, StateClaims& state);
    Status setup(const RunContext& ctx);
    void run(const RunContext& ctx);

private:
    void describe_output(const RunContext& ctx);
    void filter_block(const RunContext& ctx);
};

// The output's spectrum and power are the input's times the loss; its
// delays the input's plus the filter's at every bin (bin j of the 1024 at
// w = (pi / dt)(2 j / 1024 - 1), as the fibre's), and with light its window
// follows.
void DispersionCompensator::describe_output(const RunContext& ctx) {
    OpticalSignal& out = *output;
    const double dt = ctx.time_step_double();
    const float power_factor = static_cast<float>(field_factor * field_factor);
    const double latency = static_cast<double>(filter.block + filter.delay) * dt;
    for (int j = 0; j < kBins; ++j) {
        const double w = kPi / dt * (2.0 * j / kBins - 1.0);
        out.ps[static_cast<std::size_t>(j)] = input->ps[static_cast<std::size_t>(j)] * power_factor;
        out.gd[static_cast<std::size_t>(j)] =
            input->gd[static_cast<std::size_t>(j)] + static_cast<float>(filter.dispersion_delay(w) + latency);
    }
    out.pp = input->iv != 0 ? input->pp * power_factor : 0.0f;
    if (input->iv != 0)
        group_delay_window(window.input(ctx), out.gd.data(), least_group_delay(input->gd.data()), window.output());
}

Status DispersionCompensator::design(const RunContext& ctx, StateClaims& state) {
    filtering = false;
    forward = {};
    backward = {};
    OpticalSignal& out = *output;
    out.x = ctx.empty_field();
    out.y = ctx.empty_field();
    out.iv = input->iv;
    const double dt = ctx.time_step_double();
    const std::string problem = compensator_problem(dispersion_ps_per_nm, dispersion_slope_ps_per_nm2, loss_db,
                                                    ctx.band_centre(), dt);
    if (!problem.empty()) {
        out.iv = 0;
        return Status::error("dispersion compensator: " + problem);
    }
    filter = compensator_filter(dispersion_ps_per_nm, dispersion_slope_ps_per_nm2, ctx.band_centre(), dt);
    field_factor = std::pow(10.0, -static_cast<double>(loss_db) / 20.0);
    describe_output(ctx);
    if (input->iv == 0) return {};
    const auto length = static_cast<std::int32_t>(filter.length);
    state.claim(response, length);
    state.claim(collected, length);
    state.claim(filtered, length);
    state.claim(count, 1);
    // The orthogonal field is late by what the signal's is at the centre.
    if (ctx.fields() == 2) orthogonal.claim(state, filter.block + filter.delay);
    filtering = true;
    return {};
}

// H at the L bins of the transform, in FFT order (bin k at w = 2 pi k / (L dt),
// k - L above L / 2), divided by L.
Status DispersionCompensator::setup(const RunContext& ctx) {
    if (!filtering) return {};
    const double dt = ctx.time_step_double();
    const std::int64_t l = filter.length;
    const double scale = field_factor / static_cast<double>(l);
    for (std::int64_t k = 0; k < l; ++k) {
        const double w = kTwoPi * static_cast<double>(k < l / 2 ? k : k - l) / (static_cast<double>(l) * dt);
        const double phase = filter.beta2l * w * w / 2.0 + filter.beta3l * w * w * w / 6.0 +
                             w * static_cast<double>(filter.delay) * dt;
        response[static_cast<std::size_t>(k)] = std::polar(scale, -phase);
    }
    // Long transforms are planned by estimate: measuring them would take
    // longer than the run.
    const bool estimated = l > (std::int64_t{1} << 16);
    const auto n = static_cast<std::int32_t>(l);
    forward = ctx.plans().plan(n, FFTW_FORWARD, collected.data(), filtered.data(), estimated);
    backward = ctx.plans().plan(n, FFTW_BACKWARD, filtered.data(), filtered.data(), estimated);
    if (!forward || !backward)
        return Status::error("dispersion compensator: no FFT plan of " + std::to_string(l) + " points");
    orthogonal.setup(field_factor);
    return {};
}

// A full block: transformed with the K - 1 samples before it, filtered,
// transformed back; the last K - 1 samples move to the front for the next.
void DispersionCompensator::filter_block(const RunContext& ctx) {
    const std::int64_t l = filter.length;
    ctx.plans().execute(forward, collected.data(), filtered.data());
    std::complex<double>* f = filtered.data();
    const std::complex<double>* h = response.data();
    for (std::int64_t k = 0; k < l; ++k) f[k] *= h[k];
    ctx.plans().execute(backward, filtered.data(), filtered.data());
    std::complex<double>* c = collected.data();
    std::copy(c + filter.block, c + l, c);
}

void DispersionCompensator::run(const RunContext& ctx) {
    OpticalSignal& out = *output;
    out.x = ctx.empty_field();
    out.y = ctx.empty_field();
    const float t = ctx.time();
    if (!forward || input->iv == 0 || t < window.input(ctx).ton || t >= window.output().toff) return;
    // The sample leaving: the filtered block's sample at this place; the
    // sample arriving takes its place in the block being collected.
    std::int32_t& n = count[0];
    const std::int64_t at = filter.taps - 1 + n;
    const std::complex<double> leaving = filtered[static_cast<std::size_t>(at)];
    out.x.re = static_cast<float>(leaving.real());
    out.x.im = static_cast<float>(leaving.imag());
    collected[static_cast<std::size_t>(at)] = std::complex<double>(input->x.re, input->x.im);
    if (ctx.fields() == 2) orthogonal.sample(input->y, out.y);
    if (++n == filter.block) {
        filter_block(ctx);
        n = 0;
    }
}

const KindRegistration registration{declare_kind<DispersionCompensator>()};

}  // namespace
}  // namespace nodrix

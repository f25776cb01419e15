// The fibre's declaration and its phases (models/fibre/fibre.h describes the
// block). The design without light at the input hands on the attenuated
// spectrum and the delays; with light, fibre_setup.cpp designs the run. The
// set-up loads the run's records; the run propagates buffer by buffer
// (fibre_run.cpp).
#include "models/fibre/fibre.h"

#include <cmath>

#include "models/fibre/fibre_parts.h"

namespace nodrix {

using namespace fibre_parts;

namespace {

using T = ParamType;

// A loss profile the fibre can read: otherwise it would fall back on the
// attenuation terms, which the link does not mean.
void check_fibre(const BlockSettings& s, const LinkContext&, Findings& found) {
    const std::string& file = s.text("loss_profile_file");
    if (file.empty()) return;
    const std::string problem = loss_profile_problem(file, s.integer("loss_profile_abscissa") == 1);
    if (!problem.empty()) found.error("loss_profile_file", "loss_profile_file: " + problem);
}

std::vector<Parameter<Fibre>> fibre_parameters() {
    using F = Fibre;
    return {
        parameter(&F::length_km,
                  {.name = "length_km", .unit = "km", .help = "nominal length", .low = 0, .low_open = true,
                   .required = true}),
        parameter(&F::length_tolerance_percent,
                  {.name = "length_tolerance_percent", .unit = "%", .fallback = 0.0,
                   .help = "spread of the random actual length", .low = -100, .high = 100, .low_open = true,
                   .high_open = true}),
        parameter(&F::attenuation_db_per_km,
                  {.name = "attenuation_db_per_km", .unit = "dB/km", .fallback = 0.0,
                   .help = "attenuation at the band centre (a fibre without pumps does not amplify)", .low = 0}),
        parameter(&F::attenuation_slope_db_per_km_thz, {.name = "attenuation_slope_db_per_km_thz",
                                                        .unit = "dB/km/THz", .fallback = 0.0,
                                                        .help = "slope of the attenuation"}),
        parameter(&F::attenuation_curvature_db_per_km_thz2, {.name = "attenuation_curvature_db_per_km_thz2",
                                                             .unit = "dB/km/THz^2", .fallback = 0.0,
                                                             .help = "curvature of the attenuation"}),
        parameter(&F::beta2_ps2_per_km, {.name = "beta2_ps2_per_km", .unit = "ps^2/km", .fallback = 0.0,
                                         .help = "group-velocity dispersion at the band centre"}),
        parameter(&F::beta3_ps3_per_km,
                  {.name = "beta3_ps3_per_km", .unit = "ps^3/km", .fallback = 0.0, .help = "third-order dispersion"}),
        parameter(&F::beta4_ps4_per_km,
                  {.name = "beta4_ps4_per_km", .unit = "ps^4/km", .fallback = 0.0, .help = "fourth-order dispersion"}),
        parameter(&F::beta5_ps5_per_km,
                  {.name = "beta5_ps5_per_km", .unit = "ps^5/km", .fallback = 0.0, .help = "fifth-order dispersion"}),
        parameter(&F::dispersion_spread_ps2_per_km, {.name = "dispersion_spread_ps2_per_km", .unit = "ps^2/km",
                                                     .fallback = 0.0,
                                                     .help = "spread of the random dispersion of the sections"}),
        parameter(&F::random_dispersion, {.name = "random_dispersion", .type = T::choice, .fallback = 0,
                                          .help = "distribution of the sections' random dispersion",
                                          .choices = {{"uniform", 0}, {"gaussian", 1}}}),
        parameter(&F::section_length_km,
                  {.name = "section_length_km", .unit = "km", .fallback = 1e6,
                   .help = "length of the sections of constant dispersion", .low = 0, .low_open = true}),
        parameter(&F::gamma_per_w_per_km, {.name = "gamma_per_w_per_km", .unit = "1/W/km", .fallback = 0.0,
                                           .help = "non-linear coefficient (Kerr effect)"}),
        parameter(&F::nonlinear,
                  {.name = "nonlinear", .fallback = 1,
                   .help = "steps by the non-linear rule; false: a linear element such as a grating"}),
        parameter(&F::reference_length_km,
                  {.name = "reference_length_km", .unit = "km", .fallback = 121.0,
                   .help = "system length of the four-wave-mixing estimate and the filter precision", .low = 0,
                   .low_open = true}),
        parameter(&F::loss_profile_file,
                  {.name = "loss_profile_file", .type = T::file,
                   .help = "attenuation profile (pairs of abscissa and dB/km) instead of the three terms above",
                   .limits = "a readable file: a line starting with ##, then at least two pairs"}),
        parameter(&F::loss_profile_abscissa,
                  {.name = "loss_profile_abscissa", .type = T::choice, .fallback = 0,
                   .help = "abscissa of the loss profile", .choices = {{"frequency", 0}, {"wavelength", 1}}}),
        parameter(&F::report, {.name = "report", .type = T::choice, .fallback = 0, .help = "set-up report",
                               .choices = {{"none", 0}, {"normal", 1}, {"detailed", 2}}}),
        parameter(&F::memory_limit_bytes,
                  {.name = "memory_limit_bytes", .unit = "bytes", .fallback = 128974848,
                   .help = "storage of one block above which the memory map asks to split the fibre", .low = 1}),
        parameter(&F::extra_delay_samples,
                  {.name = "extra_delay_samples", .unit = "time steps", .fallback = 0,
                   .help = "delay added to the output, so that plans of other latencies are observed alike",
                   .low = 0, .high = 16777216}),
        parameter(&F::title, {.name = "title", .text_fallback = "fiber{n} Run(s): 1",
                              .help = "caption in reports and warnings"}),
        parameter(&F::file_name,
                  {.name = "file_name", .text_fallback = "{link}_FBR{id}", .help = "base of the report file name"}),
    };
}

}  // namespace

KindDeclaration<Fibre> Fibre::declaration() {
    return {
        .name = "fibre",
        .routine = "fiber1",
        .help = "single-mode fibre solved by the split-step method; linear and lossless it is a grating",
        .family = BlockFamily::fibre,
        .parameters = fibre_parameters(),
        .inputs = {port(&Fibre::input, {.key = "input", .help = "the light in"})},
        .outputs = {port(&Fibre::output, {.key = "output", .help = "the light out"})},
        .window = &Fibre::window,
        .delay_record = true,
        .identity = &Fibre::identity,
        .check = check_fibre,
    };
}

// A fibre with parameters it cannot simulate reports at design and stays
// dark; without light it hands on its spectral face.
Status Fibre::design(const RunContext& ctx, StateClaims& state) {
    kept_ = Kept{};
    OpticalSignal& out = *output;
    if (const char* problem = parameter_problem(*this, ctx)) {
        empty_outputs(ctx, out);
        out.iv = input->iv;
        return Status::error(fibre_error(*this, problem));
    }
    if (input->iv == 0) {
        spectral_face(ctx, *this, *input, out);
        return {};
    }
    return design_with_light(ctx, state);
}

// The saved set-up: sizes, six zero Raman words and the seed word; length,
// window, power, noise amplitude, delays and spectrum.
void Fibre::save_setup() {
    std::int32_t* s = saved_sizes.data();
    const RunSizes& sizes = kept_.sizes;
    s[0] = sizes.steps;
    s[1] = sizes.nbuf;
    s[2] = sizes.ncoef;
    s[3] = sizes.n;
    s[4] = kept_.nexp;
    s[5] = sizes.memlen;
    for (int i = 6; i < 12; ++i) s[i] = 0;
    s[12] = kept_.seed_word;
    float* r = saved_design.data();
    std::copy(kept_.reals.begin(), kept_.reals.end(), r);
    std::copy(output->gd.begin(), output->gd.end(), r + 7);
    std::copy(output->ps.begin(), output->ps.end(), r + 7 + kBins);
}

// The run starts from the saved set-up; the step filters the filter-writing
// round designed go into the run's records.
Status Fibre::setup(const RunContext& ctx) {
    running_ = false;
    if (kept_.what == Kept::What::nothing) return {};
    if (kept_.what == Kept::What::dark) {
        saved_sizes[0] = kDisabled;
        return {};
    }
    save_setup();
    const std::int32_t* s = saved_sizes.data();
    const RunSizes sizes{s[0], s[1], s[2], s[3], s[5]};
    if (!propagation.load(designed_, nonlinear, sizes, ctx.time_step(), window.input(ctx).twinin))
        return Status::error(fibre_error(*this, "     the step filters cannot be set up for the run"));
    // The field loss at the band centre over the actual length.
    extra_delay.setup(1.0);
    orthogonal.setup(std::exp(-static_cast<double>(attenuation_db_per_km) / (20.0 * std::log10(std::exp(1.0))) *
                              static_cast<double>(saved_design[0])));
    running_ = true;
    return {};
}

// Outside its window, or without light, the fibre gives empty samples and
// does no work; inside it every sample goes through the buffer.
void Fibre::run(const RunContext& ctx) {
    OpticalSignal& out = *output;
    const float t = ctx.time();
    const InputWindow in = window.input(ctx);
    const float toff = window.output().toff;
    empty_outputs(ctx, out);
    if (input->iv == 0 || (t > 0.0f && t < in.ton) || t >= toff) {
        out.iv = input->iv;
        return;
    }
    if (!running_ || t < in.ton) return;
    propagation.sample(input->x, out.x);
    if (extra_delay_samples > 0) {
        const FieldSample late = out.x;
        extra_delay.sample(late, out.x);
    }
    if (ctx.fields() == 2) orthogonal.sample(input->y, out.y);
}

namespace {
const KindRegistration registration{declare_kind<Fibre>()};
}  // namespace

}  // namespace nodrix

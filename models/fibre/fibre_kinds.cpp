// The fibre's kind of the older form: a closure over fiber1, which reads the
// control blocks and finds its storage by position. It registers itself at
// start-up; declaring the fibre as one struct (docs/adding-a-block.md) takes
// it out of this file.
#include "kernel/block_kind.h"
#include "kernel/schedule.h"
#include "models/fibre/fibre_block.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

// The fibre's integer and real parameter words, filled from the named
// parameters; the words of the Raman options stay 0 (off).
FiberParams fibre_parameters(const BlockSettings& s, std::int32_t id) {
    FiberParams p;
    p.title = s.text("title");
    p.name = s.text("file_name");
    p.ipar.fill(0);
    p.rpar.fill(0.0f);
    p.ipar[0] = id;
    p.ipar[1] = s.integer("random_dispersion");
    p.ipar[2] = s.flag("nonlinear") ? 1 : 0;
    p.ipar[11] = s.integer("report");
    p.ipar[20] = s.text("loss_profile_file").empty() ? 0 : 1;
    p.ipar[21] = s.integer("loss_profile_abscissa");
    p.rpar[0] = s.real("length_km");
    p.rpar[1] = s.real("length_tolerance_percent");
    p.rpar[2] = s.real("attenuation_db_per_km");
    p.rpar[3] = s.real("attenuation_slope_db_per_km_thz");
    p.rpar[4] = s.real("attenuation_curvature_db_per_km_thz2");
    p.rpar[5] = s.real("beta2_ps2_per_km");
    p.rpar[6] = s.real("beta3_ps3_per_km");
    p.rpar[7] = s.real("beta4_ps4_per_km");
    p.rpar[8] = s.real("beta5_ps5_per_km");
    p.rpar[9] = s.real("dispersion_spread_ps2_per_km");
    p.rpar[10] = s.real("section_length_km");
    p.rpar[11] = s.real("gamma_per_w_per_km");
    p.rpar[26] = s.real("reference_length_km");
    p.ramf1 = std::string(50, ' ');
    p.ramf2 = std::string(50, ' ');
    p.ramtmp = "xr_raman_" + std::to_string(id) + ".tmp";
    p.pumpf = std::string(50, ' ');
    p.plossf = std::string(50, ' ');
    p.lossf = s.padded("loss_profile_file");
    p.memlim = s.integer("memory_limit_bytes");
    return p;
}

std::function<void()> make_fibre(const BlockSettings& s, const BlockWiring& w) {
    FiberParams parameters = fibre_parameters(s, w.id);
    parameters.piece = FibrePiece{w.whole_fibre, w.piece_start_km};
    return [p = std::move(parameters), w]() mutable {
        // The dimensioning file is the open memory map of this schedule call.
        p.memfile = current_memory_map();
        fiber1(p, w.input_window(), *w.window, *w.optical_inputs[0], *w.optical_output);
    };
}

// A loss profile the fibre can read: otherwise it would fall back on the
// attenuation terms, which the link does not mean.
void check_fibre(const BlockSettings& s, const LinkContext&, Findings& found) {
    const std::string& file = s.text("loss_profile_file");
    if (file.empty()) return;
    const std::string problem = loss_profile_problem(file, s.integer("loss_profile_abscissa") == 1);
    if (!problem.empty()) found.error("loss_profile_file", "loss_profile_file: " + problem);
}

const std::vector<PortSpec> kOpticalIn = {
    PortSpec{.key = "input", .kind = SignalKind::optical, .help = "the light in"}};
const std::vector<PortSpec> kOpticalOut = {
    PortSpec{.key = "output", .kind = SignalKind::optical, .help = "the light out"}};

KindSpec fibre_kind() {
    return KindSpec{
        .name = "fibre",
        .routine = "fiber1",
        .help = "single-mode fibre solved by the split-step method; linear and lossless it is a grating",
        .params =
            {
                P{.name = "length_km", .unit = "km", .help = "nominal length", .low = 0, .low_open = true,
                  .required = true},
                P{.name = "length_tolerance_percent", .unit = "%", .fallback = 0.0,
                  .help = "spread of the random actual length", .low = -100, .high = 100, .low_open = true,
                  .high_open = true},
                P{.name = "attenuation_db_per_km", .unit = "dB/km", .fallback = 0.0,
                  .help = "attenuation at the band centre (a fibre without pumps does not amplify)", .low = 0},
                P{.name = "attenuation_slope_db_per_km_thz", .unit = "dB/km/THz", .fallback = 0.0,
                  .help = "slope of the attenuation"},
                P{.name = "attenuation_curvature_db_per_km_thz2", .unit = "dB/km/THz^2", .fallback = 0.0,
                  .help = "curvature of the attenuation"},
                P{.name = "beta2_ps2_per_km", .unit = "ps^2/km", .fallback = 0.0,
                  .help = "group-velocity dispersion at the band centre"},
                P{.name = "beta3_ps3_per_km", .unit = "ps^3/km", .fallback = 0.0, .help = "third-order dispersion"},
                P{.name = "beta4_ps4_per_km", .unit = "ps^4/km", .fallback = 0.0, .help = "fourth-order dispersion"},
                P{.name = "beta5_ps5_per_km", .unit = "ps^5/km", .fallback = 0.0, .help = "fifth-order dispersion"},
                P{.name = "dispersion_spread_ps2_per_km", .unit = "ps^2/km", .fallback = 0.0,
                  .help = "spread of the random dispersion of the sections"},
                P{.name = "random_dispersion", .type = T::choice, .fallback = 0,
                  .help = "distribution of the sections' random dispersion",
                  .choices = {{"uniform", 0}, {"gaussian", 1}}},
                P{.name = "section_length_km", .unit = "km", .fallback = 1e6,
                  .help = "length of the sections of constant dispersion", .low = 0, .low_open = true},
                P{.name = "gamma_per_w_per_km", .unit = "1/W/km", .fallback = 0.0,
                  .help = "non-linear coefficient (Kerr effect)"},
                P{.name = "nonlinear", .type = T::flag, .fallback = 1,
                  .help = "steps by the non-linear rule; false: a linear element such as a grating"},
                P{.name = "reference_length_km", .unit = "km", .fallback = 121.0,
                  .help = "system length of the four-wave-mixing estimate and the filter precision", .low = 0,
                  .low_open = true},
                P{.name = "loss_profile_file", .type = T::file,
                  .help = "attenuation profile (pairs of abscissa and dB/km) instead of the three terms above",
                  .limits = "a readable file: a line starting with ##, then at least two pairs"},
                P{.name = "loss_profile_abscissa", .type = T::choice, .fallback = 0,
                  .help = "abscissa of the loss profile", .choices = {{"frequency", 0}, {"wavelength", 1}}},
                P{.name = "report", .type = T::choice, .fallback = 0, .help = "set-up report",
                  .choices = {{"none", 0}, {"normal", 1}, {"detailed", 2}}},
                P{.name = "memory_limit_bytes", .type = T::integer, .unit = "bytes", .fallback = 128974848,
                  .help = "storage of one block above which the memory map asks to split the fibre", .low = 1},
                P{.name = "title", .type = T::text, .text_fallback = "fiber{n} Run(s): 1",
                  .help = "caption in reports and warnings"},
                P{.name = "file_name", .type = T::text, .text_fallback = "{link}_FBR{id}",
                  .help = "base of the report file name"},
            },
        .inputs = kOpticalIn,
        .outputs = kOpticalOut,
        .delay_record = true,
        .make = make_fibre,
        .check = check_fibre,
    };
}

KindSpec in_family(KindSpec kind) {
    kind.family = BlockFamily::fibre;
    return kind;
}

const KindRegistration registrations[] = {KindRegistration{in_family(fibre_kind())}};

}  // namespace

}  // namespace nodrix

// The filters' kinds of the older form: closures over orcfil, lorfil and
// usdfil, which read the control blocks and find their storage by
// position. They register themselves at start-up; declaring a kind as one
// struct (docs/adding-a-block.md) takes it out of this file.
#include <memory>

#include "kernel/block_kind.h"
#include "models/filters/lorentzian.h"
#include "models/filters/optical_filter.h"
#include "models/filters/raised_cosine.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

std::function<void()> make_raised_cosine(const BlockSettings& s, const BlockWiring& w) {
    OrcfilParams p;
    p.instance = w.id;
    p.shape_exponent = s.real("shape_exponent");
    p.roll_off = s.real("roll_off");
    p.centre_frequency = s.real("centre_frequency_thz");
    p.bandwidth = s.real("bandwidth_thz");
    p.write_charts = s.flag("write_charts") ? 1 : 0;
    p.bandwidth_definition = s.integer("bandwidth_definition");
    p.block_name = s.text("title");
    p.file_base = s.text("file_name");
    return [p, w] { orcfil(p, w.input_window(), *w.window, *w.optical_inputs[0], *w.optical_output); };
}

std::function<void()> make_lorentzian(const BlockSettings& s, const BlockWiring& w) {
    LorfilParams p;
    p.instance = w.id;
    p.order = s.integer("order");
    p.centre_frequency = s.real("centre_frequency_thz");
    p.bandwidth = s.real("bandwidth_thz");
    p.write_charts = s.flag("write_charts") ? 1 : 0;
    p.complement = s.flag("complement") ? 1 : 0;
    p.block_name = s.text("title");
    p.file_base = s.text("file_name");
    return [p, w] { lorfil(p, w.input_window(), *w.window, *w.optical_inputs[0], *w.optical_output); };
}

// An optical filter's bandwidth against the link: wider than the simulated
// band it passes all of it (a warning: the result still means something);
// narrower than one bin of the spectral grid, the grid cannot describe its
// response, from which the spectra and the delays of every block after it
// follow (an error).
void check_optical_bandwidth(const BlockSettings& s, const LinkContext& link, Findings& found) {
    const float bandwidth = s.real("bandwidth_thz");
    const float band = link.band_high_thz - link.band_low_thz;
    const std::string given = "bandwidth_thz = " + number_text(bandwidth);
    if (bandwidth > band)
        found.warning("bandwidth_thz", given + " is wider than the simulated band, band_high_thz - band_low_thz = " +
                                           number_text(band) + " THz: the filter passes all of it");
    if (bandwidth < link.bin_thz())
        found.error("bandwidth_thz", given + " is narrower than one bin of the spectral grid, (grid_high_thz - "
                                             "grid_low_thz) / 1024 = " + number_text(link.bin_thz()) +
                                             " THz, which cannot describe its response; allowed: at least " +
                                             number_text(link.bin_thz()) + " (a narrower grid has finer bins)");
}

// The user-defined filter's parameters refer to their texts; the texts live
// beside them for the life of the call.
struct UserFilter {
    UsdfilParams p;
    std::string data_file, block_name, file_base;
};

// The user-defined filter's words and numbers (its texts set by the caller).
UsdfilParams user_filter_parameters(const BlockSettings& s, std::int32_t id) {
    UsdfilParams p;
    p.synthesis_options = {s.flag("polar_interpolation") ? 1 : 0, s.integer("smoothing_points"),
                           s.flag("quiet_checks") ? -1 : 0, 0};
    p.file_options = {id,
                      s.integer("polarisations"),
                      s.integer("abscissa"),
                      s.integer("data"),
                      s.flag("relative_abscissa") ? 1 : 0,
                      s.flag("modulus_in_db") ? 1 : 0,
                      s.flag("write_charts") ? 1 : 0,
                      s.flag("complement") ? 1 : 0};
    p.abscissa_offset = s.real("abscissa_offset_thz");
    p.abscissa_scale = s.real("abscissa_scale");
    p.centre_frequency = s.real("centre_frequency_thz");
    return p;
}

// A description file the synthesis can use: otherwise it would turn the
// filter and the branch after it off.
void check_user_filter(const BlockSettings& s, const LinkContext& link, Findings& found) {
    UsdfilParams p = user_filter_parameters(s, 0);
    p.data_file = s.text("data_file");
    const std::string problem = description_problem(p, link.centre_thz);
    if (!problem.empty()) found.error("data_file", "data_file: " + problem);
}

std::function<void()> make_user_filter(const BlockSettings& s, const BlockWiring& w) {
    auto f = std::make_shared<UserFilter>();
    f->data_file = s.padded("data_file");
    f->block_name = s.text("title");
    f->file_base = s.text("file_name");
    UsdfilParams& p = f->p;
    p = user_filter_parameters(s, w.id);
    p.data_file = f->data_file;
    p.block_name = f->block_name;
    p.file_base = f->file_base;
    return [f, w] { usdfil(f->p, w.input_window(), *w.window, *w.optical_inputs[0], *w.optical_output); };
}

constexpr std::string_view kOpticalBandwidthLimits =
    "at least one bin of the grid, (grid_high_thz - grid_low_thz) / 1024; wider than band_high_thz - band_low_thz "
    "passes the whole band (a warning)";

const std::vector<PortSpec> kOpticalIn = {
    PortSpec{.key = "input", .kind = SignalKind::optical, .help = "the light in"}};
const std::vector<PortSpec> kOpticalOut = {
    PortSpec{.key = "output", .kind = SignalKind::optical, .help = "the filtered light"}};

ParamSpec title(std::string_view fallback) {
    return P{.name = "title", .type = T::text, .text_fallback = fallback, .help = "caption in messages"};
}
ParamSpec file_name(std::string_view fallback) {
    return P{.name = "file_name", .type = T::text, .text_fallback = fallback,
             .help = "base of the chart file name"};
}
ParamSpec write_charts() {
    return P{.name = "write_charts", .type = T::flag, .fallback = 0, .help = "write the filter's charts"};
}

KindSpec raised_cosine_filter_kind() {
    return KindSpec{
        .name = "raised_cosine_filter",
        .routine = "orcfil",
        .help = "raised-cosine optical band-pass filter (a demultiplexer channel)",
        .params =
            {
                P{.name = "centre_frequency_thz", .unit = "THz", .help = "centre frequency", .required = true},
                P{.name = "bandwidth_thz", .unit = "THz", .help = "bandwidth", .low = 0, .low_open = true,
                  .required = true, .limits = kOpticalBandwidthLimits},
                P{.name = "roll_off", .fallback = 0.0, .help = "roll-off factor (0: rectangular)", .low = 0,
                  .high = 1},
                P{.name = "shape_exponent", .fallback = 1.0, .help = "exponent of the raised-cosine amplitude",
                  .low = 0, .low_open = true},
                P{.name = "bandwidth_definition", .type = T::choice, .fallback = 0,
                  .help = "the bandwidth is twice the nominal half-width, or the width at 0.75 power transmission",
                  .choices = {{"nominal", 0}, {"three_quarter_power", 1}}},
                write_charts(),
                title("orcfil{n} Run(s): 1"),
                file_name("{link}_ORC{id}"),
            },
        .inputs = kOpticalIn,
        .outputs = kOpticalOut,
        .delay_record = true,
        .make = make_raised_cosine,
        .check = check_optical_bandwidth,
    };
}

KindSpec lorentzian_filter_kind() {
    return KindSpec{
        .name = "lorentzian_filter",
        .routine = "lorfil",
        .help = "Lorentzian optical band-pass filter of integer order",
        .params =
            {
                P{.name = "centre_frequency_thz", .unit = "THz", .help = "centre frequency", .required = true},
                P{.name = "bandwidth_thz", .unit = "THz", .help = "full 3-dB width of the power transmission",
                  .low = 0, .low_open = true, .required = true, .limits = kOpticalBandwidthLimits},
                P{.name = "order", .type = T::integer, .fallback = 1, .help = "power of the Lorentzian", .low = 1},
                P{.name = "complement", .type = T::flag, .fallback = 0, .help = "transmit 1 - T instead of T"},
                write_charts(),
                title("lorfil{n} Run(s): 1"),
                file_name("{link}_LOR{id}"),
            },
        .inputs = kOpticalIn,
        .outputs = kOpticalOut,
        .delay_record = true,
        .make = make_lorentzian,
        .check = check_optical_bandwidth,
    };
}

KindSpec user_filter_kind() {
    return KindSpec{
        .name = "user_filter",
        .routine = "usdfil",
        .help = "optical filter synthesised from a tabulated transfer function (a description file)",
        .params =
            {
                P{.name = "data_file", .type = T::file, .help = "description file (without \".DAT\")",
                  .required = true,
                  .limits = "a readable file: a line starting with ##, then at least two points of rising frequency"},
                P{.name = "abscissa", .type = T::choice, .fallback = 1, .help = "abscissa of the description",
                  .choices = {{"wavelength", 0}, {"frequency", 1}}},
                P{.name = "data", .type = T::choice, .fallback = 0, .help = "what the description tabulates",
                  .choices = {{"modulus_phase", 0}, {"modulus_group_delay", 1}, {"modulus", 2}}},
                P{.name = "relative_abscissa", .type = T::flag, .fallback = 0,
                  .help = "abscissas relative to centre_frequency_thz"},
                P{.name = "modulus_in_db", .type = T::flag, .fallback = 0,
                  .help = "power transmission in dB, else linear"},
                P{.name = "centre_frequency_thz", .unit = "THz", .fallback = 0.0,
                  .help = "reference of relative abscissas"},
                P{.name = "abscissa_offset_thz", .unit = "THz", .fallback = 0.0,
                  .help = "added to every converted frequency"},
                P{.name = "abscissa_scale", .fallback = 1.0, .help = "multiplies the abscissas before conversion"},
                P{.name = "polarisations", .type = T::integer, .fallback = 1, .help = "polarisations filtered",
                  .low = 1, .high = 2},
                P{.name = "complement", .type = T::flag, .fallback = 0, .help = "transmit 1 - P instead of P"},
                P{.name = "polar_interpolation", .type = T::flag, .fallback = 1,
                  .help = "interpolate modulus and phase, else real and imaginary parts"},
                P{.name = "smoothing_points", .type = T::integer, .fallback = 0,
                  .help = "moving average over this many points (above 1)", .low = 0},
                P{.name = "quiet_checks", .type = T::flag, .fallback = 1,
                  .help = "no warnings on the data's variations"},
                write_charts(),
                title("usdfil{n} Run(s): 1"),
                file_name("{link}_USD{id}"),
            },
        .inputs = kOpticalIn,
        .outputs = kOpticalOut,
        .delay_record = true,
        .make = make_user_filter,
        .check = check_user_filter,
    };
}

KindSpec in_family(KindSpec kind) {
    kind.family = BlockFamily::filters;
    return kind;
}

const KindRegistration registrations[] = {KindRegistration{in_family(raised_cosine_filter_kind())},
                                          KindRegistration{in_family(lorentzian_filter_kind())},
                                          KindRegistration{in_family(user_filter_kind())}};

}  // namespace
}  // namespace nodrix

// The user-defined optical filter (usdfil): a transfer function tabulated in
// a description file, synthesised into a finite impulse response in the
// round that sizes the block, and applied to the samples by FFT overlap-add
// (models/filters/optical_filter.h).
#include <string>

#include "models/filters/optical_filter.h"

namespace nodrix {
namespace {

constexpr std::size_t kFileNameWidth = 50;  // the description file name as the filter reads it, blank-padded

struct UserFilter : OpticalFilterBlock {
    std::string data_file;               // description file, without ".DAT"
    std::int32_t abscissa = 1;           // 0 wavelength [nm], 1 frequency [THz]
    std::int32_t data = 0;               // 0 modulus and phase, 1 modulus and group delay, 2 modulus
    bool relative_abscissa = false;      // abscissas relative to centre_frequency_thz
    bool modulus_in_db = false;          // power transmission in dB, else linear
    float centre_frequency_thz = 0.0f;   // reference of relative abscissas [THz]
    float abscissa_offset_thz = 0.0f;    // added to every converted frequency [THz]
    float abscissa_scale = 1.0f;         // multiplies the abscissas before conversion
    std::int32_t polarisations = 1;      // polarisations filtered
    bool complement = false;             // transmit 1 - P instead of P
    bool polar_interpolation = true;     // interpolate modulus and phase, else real and imaginary parts
    std::int32_t smoothing_points = 0;   // moving average over this many points (above 1)
    bool quiet_checks = true;            // no warnings on the data's variations

    std::string padded_file;  // data_file blank-padded as the filter reads it

    static KindDeclaration<UserFilter> declaration();

    // A description file the synthesis can use: otherwise it would turn the
    // filter and the branch after it off.
    static void check(const BlockSettings& s, const LinkContext& link, Findings& found);

    // The synthesis options and the file options of the block.
    static UsdfilParams options(bool polar, std::int32_t smoothing, bool quiet) {
        UsdfilParams p;
        p.synthesis_options = {polar ? 1 : 0, smoothing, quiet ? -1 : 0};
        return p;
    }

    UsdfilParams synthesis() {
        padded_file = data_file;
        if (padded_file.size() < kFileNameWidth) padded_file.resize(kFileNameWidth, ' ');
        UsdfilParams p = options(polar_interpolation, smoothing_points, quiet_checks);
        p.file_options = {identity.instance, polarisations,         abscissa,           data, relative_abscissa ? 1 : 0,
                          modulus_in_db ? 1 : 0, write_charts ? 1 : 0, complement ? 1 : 0};
        p.abscissa_offset = abscissa_offset_thz;
        p.abscissa_scale = abscissa_scale;
        p.centre_frequency = centre_frequency_thz;
        p.data_file = padded_file;
        name_synthesis(p);
        return p;
    }

    void design(const RunContext& ctx, StateClaims& state) {
        const UsdfilParams p = synthesis();
        design_filter(ctx, state, p, [&] { return read_description_file(p); });
    }

    void setup(const RunContext& ctx) { filter.setup(ctx, synthesis()); }
};

KindDeclaration<UserFilter> UserFilter::declaration() {
    using U = UserFilter;
    return declare_optical_filter<U>(
        {
            .name = "user_filter",
            .routine = "usdfil",
            .help = "optical filter synthesised from a tabulated transfer function (a description file)",
            .family = BlockFamily::filters,
            .parameters =
                {
                    parameter(&U::data_file,
                              {.name = "data_file", .type = ParamType::file, .help = "description file (without \".DAT\")",
                               .required = true,
                               .limits = "a readable file: a line starting with ##, then at least two points of rising "
                                         "frequency"}),
                    parameter(&U::abscissa, {.name = "abscissa", .type = ParamType::choice, .fallback = 1,
                                             .help = "abscissa of the description",
                                             .choices = {{"wavelength", 0}, {"frequency", 1}}}),
                    parameter(&U::data, {.name = "data", .type = ParamType::choice, .fallback = 0,
                                         .help = "what the description tabulates",
                                         .choices = {{"modulus_phase", 0}, {"modulus_group_delay", 1}, {"modulus", 2}}}),
                    parameter(&U::relative_abscissa, {.name = "relative_abscissa", .fallback = 0,
                                                      .help = "abscissas relative to centre_frequency_thz"}),
                    parameter(&U::modulus_in_db,
                              {.name = "modulus_in_db", .fallback = 0, .help = "power transmission in dB, else linear"}),
                    parameter(&U::centre_frequency_thz, {.name = "centre_frequency_thz", .unit = "THz", .fallback = 0.0,
                                                         .help = "reference of relative abscissas"}),
                    parameter(&U::abscissa_offset_thz, {.name = "abscissa_offset_thz", .unit = "THz", .fallback = 0.0,
                                                        .help = "added to every converted frequency"}),
                    parameter(&U::abscissa_scale, {.name = "abscissa_scale", .fallback = 1.0,
                                                   .help = "multiplies the abscissas before conversion"}),
                    parameter(&U::polarisations, {.name = "polarisations", .fallback = 1, .help = "polarisations filtered",
                                                  .low = 1, .high = 2}),
                    parameter(&U::complement, {.name = "complement", .fallback = 0, .help = "transmit 1 - P instead of P"}),
                    parameter(&U::polar_interpolation,
                              {.name = "polar_interpolation", .fallback = 1,
                               .help = "interpolate modulus and phase, else real and imaginary parts"}),
                    parameter(&U::smoothing_points, {.name = "smoothing_points", .fallback = 0,
                                                     .help = "moving average over this many points (above 1)", .low = 0}),
                    parameter(&U::quiet_checks,
                              {.name = "quiet_checks", .fallback = 1, .help = "no warnings on the data's variations"}),
                },
            .check = check,
        },
        "usdfil{n} Run(s): 1", "{link}_USD{id}");
}

void UserFilter::check(const BlockSettings& s, const LinkContext& link, Findings& found) {
    UsdfilParams p = options(s.flag("polar_interpolation"), s.integer("smoothing_points"), s.flag("quiet_checks"));
    p.file_options[kOptAbscissaIsFrequency] = s.integer("abscissa");
    p.file_options[kOptDataKind] = s.integer("data");
    p.file_options[kOptRelativeAbscissa] = s.flag("relative_abscissa") ? 1 : 0;
    p.abscissa_offset = s.real("abscissa_offset_thz");
    p.abscissa_scale = s.real("abscissa_scale");
    p.centre_frequency = s.real("centre_frequency_thz");
    p.data_file = s.text("data_file");
    const std::string problem = description_problem(p, link.centre_thz);
    if (!problem.empty()) found.error("data_file", "data_file: " + problem);
}

const KindRegistration registration{declare_kind<UserFilter>()};

}  // namespace
}  // namespace nodrix

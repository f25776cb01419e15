// The raised-cosine optical band-pass filter (orcfil), the channel
// demultiplexer of the link. In the round that sizes it the block tabulates
// its power transmission, writes the table to its working file "rc" + six
// digits and hands the same lines to the synthesis of the optical filter it
// holds, which filters the samples.
#include "models/filters/raised_cosine.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "models/filters/optical_filter.h"
#include "numerics/constants.h"
#include "runtime/format.h"

namespace nodrix {

RaisedCosineLayout raised_cosine_layout(const RaisedCosineShape& p) {
    RaisedCosineLayout l;
    const float r = p.roll_off;
    const float n = p.shape_exponent;
    const float b = p.bandwidth;
    const float fc = p.centre_frequency;
    if (p.bandwidth_definition != 1)
        l.f0 = b / 2.0f;
    else
        l.f0 = (b / 2.0f) / (1.0f + (2.0f * r / kPiF) * std::asin(1.0f - 2.0f * std::pow(0.75f, 1.0f / (2.0f * n))));
    l.e_o = (1.0f + r) * l.f0;
    l.e_i = (1.0f - r) * l.f0;
    l.w = 2.0f * r * l.f0;
    l.s_t = 0.02f * l.w;
    l.s_p = std::max(0.02f * l.w, 0.02f * l.e_i);
    l.s_l = l.s_p;
    l.s_u = l.s_p;
    l.f_lo = fc - l.e_o - l.e_i;
    l.f_hi = fc + 2.0f * l.f0;
    if (fc - 1.1f * l.e_o < l.f_lo) {
        l.f_lo = fc - 1.1f * l.e_o;
        l.s_l = 0.002f * l.e_o;
    }
    if (fc + 1.1f * l.e_o > l.f_hi) {
        l.f_hi = fc + 1.1f * l.e_o;
        l.s_u = 0.002f * l.e_o;
    }
    if (l.s_t < 1e-5f) {
        l.s_t = 1e-5f;
        l.small_roll_off = true;
        l.s_p = std::max(l.s_p, 1e-5f);
        l.s_l = std::max(l.s_l, 1e-5f);
        l.s_u = std::max(l.s_u, 1e-5f);
    }
    return l;
}

std::vector<std::pair<float, float>> raised_cosine_lines(const RaisedCosineShape& p, const RaisedCosineLayout& l,
                                                         float fband_lo, float fband_hi) {
    std::vector<std::pair<float, float>> out;
    const float fc = p.centre_frequency;
    const float r = p.roll_off;
    const float n = p.shape_exponent;
    float last = l.f_hi;
    auto write = [&](float f, float t) {
        out.emplace_back(f, t);
        last = f;
    };
    // Lower stop band, at most 500 lines.
    if (fband_lo < l.f_lo) {
        const float s = (l.f_lo - fband_lo) / l.s_l > 500.0f ? 0.002f * (l.f_lo - fband_lo) : l.s_l;
        for (float f = fband_lo; f < l.f_lo; f = next_frequency(f, s)) write(f, 0.0f);
    }
    float f = l.f_lo;
    float h = 0.0f;
    if (r != 0.0f && l.f_lo <= l.f_hi) {
        // Each test sees the frequency left by the one before it.
        while (f <= l.f_hi) {
            if (f < fc - l.e_o) {
                f = next_frequency(f, l.s_l);
                h = 0.0f;
            }
            if (fc - l.e_o <= f && f <= fc - l.e_i) {
                f = next_frequency(f, l.s_t);
                h = std::pow((1.0f + std::cos(kPiF * (f - fc + l.e_i) / l.w)) / 2.0f, n);
            }
            if (fc - l.e_i < f && f < fc + l.e_i) {
                f = next_frequency(f, l.s_p);
                h = 1.0f;
            }
            if (fc + l.e_i <= f && f <= fc + l.e_o) {
                f = next_frequency(f, l.s_t);
                h = std::pow((1.0f + std::cos(kPiF * (f - fc - l.e_i) / l.w)) / 2.0f, n);
            }
            if (f > fc + l.e_o) {
                f = next_frequency(f, l.s_u);
                h = 0.0f;
            }
            write(f, h * h);
        }
    } else if (r == 0.0f && l.f_lo < l.f_hi) {
        while (f < l.f_hi) {
            if (f < fc - l.f0) {
                f = next_frequency(f, l.s_l);
                h = 0.0f;
            }
            if (fc - l.f0 <= f && f <= fc + l.f0) {
                f = next_frequency(f, l.s_p);
                h = 1.0f;
            }
            if (f > fc + l.f0) {
                f = next_frequency(f, l.s_u);
                h = 0.0f;
            }
            write(f, h * h);
        }
    }
    // Upper stop band from the last written frequency, at most 500 lines.
    if (fband_hi > l.f_hi) {
        const float s = (fband_hi - l.f_hi) / l.s_u > 500.0f ? 0.002f * (fband_hi - l.f_hi) : l.s_u;
        f = last;
        do {
            f = next_frequency(f, s);
            write(f, 0.0f);
        } while (f < fband_hi);
    }
    return out;
}

namespace {

constexpr const char* kTitle = "# TEMPORARY FILE FOR RAISED COSINE TRANSFER FUNCTION";
constexpr const char* kWarning = "Raised cosine optical filter at: ";

struct RaisedCosineFilter : OpticalFilterBlock {
    float centre_frequency_thz = 0.0f;      // fc [THz]
    float bandwidth_thz = 0.0f;             // B [THz]
    float roll_off = 0.0f;                  // r, 0 (rectangular) to 1
    float shape_exponent = 1.0f;            // n, exponent of the raised-cosine amplitude
    std::int32_t bandwidth_definition = 0;  // 0 nominal, 1 the width at 0.75 power transmission

    static KindDeclaration<RaisedCosineFilter> declaration() {
        using R = RaisedCosineFilter;
        return declare_optical_filter<R>(
            {
                .name = "raised_cosine_filter",
                .routine = "orcfil",
                .help = "raised-cosine optical band-pass filter (a demultiplexer channel)",
                .family = BlockFamily::filters,
                .parameters =
                    {
                        parameter(&R::centre_frequency_thz,
                                  {.name = "centre_frequency_thz", .unit = "THz", .help = "centre frequency",
                                   .required = true}),
                        parameter(&R::bandwidth_thz, {.name = "bandwidth_thz", .unit = "THz", .help = "bandwidth",
                                                      .low = 0, .low_open = true, .required = true,
                                                      .limits = kOpticalBandwidthLimits}),
                        parameter(&R::roll_off, {.name = "roll_off", .fallback = 0.0,
                                                 .help = "roll-off factor (0: rectangular)", .low = 0, .high = 1}),
                        parameter(&R::shape_exponent,
                                  {.name = "shape_exponent", .fallback = 1.0,
                                   .help = "exponent of the raised-cosine amplitude", .low = 0, .low_open = true}),
                        parameter(&R::bandwidth_definition,
                                  {.name = "bandwidth_definition", .type = ParamType::choice, .fallback = 0,
                                   .help = "the bandwidth is twice the nominal half-width, or the width at 0.75 power "
                                           "transmission",
                                   .choices = {{"nominal", 0}, {"three_quarter_power", 1}}}),
                    },
                .check = check_optical_bandwidth,
            },
            "orcfil{n} Run(s): 1", "{link}_ORC{id}");
    }

    RaisedCosineShape shape() const {
        return {shape_exponent, roll_off, centre_frequency_thz, bandwidth_thz, bandwidth_definition};
    }

    // The synthesis interpolates modulus only, in polar form, with quiet
    // checks. The bandwidth definition only sets where B is measured: it does
    // not complement the filter (a band-pass must not turn into a band-stop).
    UsdfilParams synthesis(const RunContext& ctx) const {
        UsdfilParams u;
        u.synthesis_options = {1, 0, -1};
        u.file_options = {identity.instance, ctx.polarisations(), 1, 2, 0, 0, write_charts ? 1 : 0, 0};
        name_synthesis(u);
        return u;
    }

    // The description's lines: the title, "##", then the table between the
    // simulated band edges (nothing when the shape cannot be tabulated).
    std::vector<std::string> description(const RunContext& ctx) const {
        std::vector<std::string> lines{kTitle, "##"};
        const Messages& messages = ctx.messages();
        if (!(bandwidth_thz > 0.0f && shape_exponent > 0.0f && roll_off >= 0.0f && roll_off <= 1.0f)) {
            // Nothing to tabulate: the synthesis turns the filter off.
            messages.error(kWarning);
            messages.info(trim_right(title));
            if (!(bandwidth_thz > 0.0f)) messages.info("     the bandwidth must be positive");
            if (!(roll_off >= 0.0f && roll_off <= 1.0f)) messages.info("     the roll-off must lie between 0 and 1");
            if (!(shape_exponent > 0.0f)) messages.info("     the shape exponent must be positive");
            return lines;
        }
        const RaisedCosineLayout l = raised_cosine_layout(shape());
        if (l.small_roll_off) {
            messages.warning(kWarning);
            messages.info(trim_right(title));
            messages.info("     the roll-off parameter value " + fmt::E(roll_off, 15, 8));
            messages.info("     is very small ");
            messages.info("     results may be inaccurate ");
        }
        const Band& band = ctx.settings().band;
        for (const auto& [f, t] : raised_cosine_lines(shape(), l, band.low_thz, band.high_thz))
            lines.push_back(fmt::F(f, 12, 8) + " " + fmt::F(t, 12, 8));
        return lines;
    }

    void design(const RunContext& ctx, StateClaims& state) {
        design_tabulated(*this, ctx, state, synthesis(ctx), "rc", [&] { return description(ctx); });
    }

    void setup(const RunContext& ctx) { filter.setup(ctx, synthesis(ctx)); }
};

const KindRegistration registration{declare_kind<RaisedCosineFilter>()};

}  // namespace
}  // namespace nodrix

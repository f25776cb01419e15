// The Lorentzian optical band-pass filter (lorfil). In the round that sizes
// it the block tabulates its power transmission and phase, writes the table
// to its working file "lo" + six digits and hands the same lines to the
// synthesis of the optical filter it holds, which filters the samples.
#include "models/filters/lorentzian.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "models/filters/optical_filter.h"
#include "runtime/format.h"

namespace nodrix {

float lorentzian_half_width(float bandwidth, std::int32_t order) {
    return (bandwidth / 2.0f) / std::sqrt(std::pow(2.0f, 1.0f / static_cast<float>(order)) - 1.0f);
}

std::vector<LorentzianLine> lorentzian_lines(const LorentzianShape& p, float fband_lo, float fband_hi, bool& small) {
    std::vector<LorentzianLine> out;
    const float fc = p.centre_frequency;
    const float g = lorentzian_half_width(p.bandwidth, p.order);
    float s_o = 0.008928572f * (2.0f * g);
    float s_c = 0.00125f * (8.0f * g);
    const float outer_lo = fc - 6.0f * g;
    const float inner_lo = fc - 4.0f * g;
    const float inner_hi = fc + 4.0f * g;
    const float outer_hi = fc + 6.0f * g;
    const float s_lo = 0.002f * (outer_lo - fband_lo);
    const float s_hi = 0.002f * (fband_hi - outer_hi);
    small = s_c < 1e-5f || s_o < 1e-5f;
    if (small) {
        s_c = std::max(s_c, 1e-5f);
        s_o = std::max(s_o, 1e-5f);
    }
    auto write = [&](float f) {
        const float x = (f - fc) / g;
        const float single = 1.0f / (1.0f + x * x);
        float t = 1.0f;
        for (std::int32_t k = 0; k < p.order; ++k) t *= single;
        out.push_back({f, t, -std::atan(x)});
    };
    float f = fband_lo;
    if (fband_lo < outer_lo) {
        const float s = (outer_lo - fband_lo) / s_o < 500.0f ? s_o : s_lo;
        for (; f < outer_lo; f = next_frequency(f, s)) write(f);
    }
    for (f = outer_lo; f < inner_lo; f = next_frequency(f, s_o)) write(f);
    for (; f < inner_hi; f = next_frequency(f, s_c)) write(f);
    for (; f < outer_hi; f = next_frequency(f, s_o)) write(f);
    if (fband_hi > outer_hi) {
        const float s = (fband_hi - outer_hi) / s_o < 500.0f ? s_o : s_hi;
        for (; f < fband_hi; f = next_frequency(f, s)) write(f);
    }
    return out;
}

namespace {

constexpr const char* kTitle = "# TEMPORARY FILE FOR LORENTZIAN TRANSFER FUNCTION";
constexpr const char* kWarning = "Lorentzian optical filter at: ";

struct LorentzianFilter : OpticalFilterBlock {
    float centre_frequency_thz = 0.0f;  // fc [THz]
    float bandwidth_thz = 0.0f;         // B, full 3-dB width of the power transmission [THz]
    std::int32_t order = 1;             // power of the Lorentzian
    bool complement = false;            // transmit 1 - T instead of T

    static KindDeclaration<LorentzianFilter> declaration() {
        using L = LorentzianFilter;
        return declare_optical_filter<L>(
            {
                .name = "lorentzian_filter",
                .routine = "lorfil",
                .help = "Lorentzian optical band-pass filter of integer order",
                .family = BlockFamily::filters,
                .parameters =
                    {
                        parameter(&L::centre_frequency_thz,
                                  {.name = "centre_frequency_thz", .unit = "THz", .help = "centre frequency",
                                   .required = true}),
                        parameter(&L::bandwidth_thz,
                                  {.name = "bandwidth_thz", .unit = "THz",
                                   .help = "full 3-dB width of the power transmission", .low = 0, .low_open = true, .required = true, .limits = kOpticalBandwidthLimits}),
                        parameter(&L::order,
                                  {.name = "order", .fallback = 1, .help = "power of the Lorentzian", .low = 1}),
                        parameter(&L::complement,
                                  {.name = "complement", .fallback = 0, .help = "transmit 1 - T instead of T"}),
                    },
                .check = check_optical_bandwidth,
            },
            "lorfil{n} Run(s): 1", "{link}_LOR{id}");
    }

    // The synthesis interpolates modulus and phase in polar form, with quiet checks.
    UsdfilParams synthesis(const RunContext& ctx) const {
        UsdfilParams u;
        u.synthesis_options = {1, 0, -1};
        u.file_options = {identity.instance, ctx.polarisations(), 1, 0, 0, 0, write_charts ? 1 : 0,
                          complement ? 1 : 0};
        name_synthesis(u);
        return u;
    }

    // The description's lines: the title, "##", then the table between the
    // simulated band edges (nothing when the shape cannot be tabulated). A
    // blank separates the two exponent fields, so that a negative phase does
    // not run into the transmission.
    std::vector<std::string> description(const RunContext& ctx) const {
        std::vector<std::string> lines{fmt::A_right(kTitle, 52), "##"};
        const Messages& messages = ctx.messages();
        if (!(bandwidth_thz > 0.0f) || order < 1) {
            // Nothing to tabulate: the synthesis turns the filter off.
            messages.error(kWarning);
            messages.info(trim_right(title));
            if (!(bandwidth_thz > 0.0f)) messages.info("     the bandwidth must be positive");
            if (order < 1) messages.info("     the order must be at least 1");
            return lines;
        }
        bool small = false;
        const Band& band = ctx.settings().band;
        const auto table = lorentzian_lines({order, centre_frequency_thz, bandwidth_thz}, band.low_thz, band.high_thz, small);
        if (small) {
            messages.warning(kWarning);
            messages.info(trim_right(title));
            messages.info("     the bandwidth parameter(GHz) " + fmt::E(1000.0f * bandwidth_thz, 15, 8));
            messages.info("     is very small ");
            messages.info("     results may be inaccurate ");
        }
        for (const LorentzianLine& l : table)
            lines.push_back(fmt::F(l.f, 12, 8) + " " + fmt::E(l.t, 15, 8) + " " + fmt::E(l.phase, 15, 8));
        return lines;
    }

    void design(const RunContext& ctx, StateClaims& state) {
        design_tabulated(*this, ctx, state, synthesis(ctx), "lo", [&] { return description(ctx); });
    }

    void setup(const RunContext& ctx) { filter.setup(ctx, synthesis(ctx)); }
};

const KindRegistration registration{declare_kind<LorentzianFilter>()};

}  // namespace
}  // namespace nodrix

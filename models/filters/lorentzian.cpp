#include "models/filters/lorentzian.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "kernel/control_blocks.h"
#include "kernel/filexx.h"
#include "models/filters/optical_filter.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"

namespace nodrix {
namespace {

constexpr const char* kTitle = "# TEMPORARY FILE FOR LORENTZIAN TRANSFER FUNCTION";
constexpr const char* kWarning = "Lorentzian optical filter at: ";

void write_description(const LorfilParams& p, const std::string& name) {
    remove_run_file(name + ".DAT");
    std::int32_t unit = 0;
    opnfil(name.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(name.size()));
    if (unit_stream(unit) == nullptr) return;  // the synthesis then reports the missing file
    unit_write_line(unit, fmt::A_right(kTitle, 52));
    unit_write_line(unit, "##");
    if (!(p.bandwidth > 0.0f) || p.order < 1) {
        // Nothing to tabulate: the synthesis turns the filter off.
        opxerr(kWarning);
        opxinfo(trim_right(p.block_name));
        if (!(p.bandwidth > 0.0f)) opxinfo("     the bandwidth must be positive");
        if (p.order < 1) opxinfo("     the order must be at least 1");
        clodev(unit, 0);
        return;
    }
    bool small = false;
    const auto lines = lorentzian_lines(p, f_vbs_band.fbandlo, f_vbs_band.fbandhi, small);
    if (small) {
        opxwarn(kWarning);
        opxinfo(trim_right(p.block_name));
        opxinfo("     the bandwidth parameter(GHz) " + fmt::E(1000.0f * p.bandwidth, 15, 8));
        opxinfo("     is very small ");
        opxinfo("     results may be inaccurate ");
    }
    // A blank separates the two exponent fields, so that a negative phase
    // does not run into the transmission.
    for (const LorentzianLine& l : lines)
        unit_write_line(unit, fmt::F(l.f, 12, 8) + " " + fmt::E(l.t, 15, 8) + " " + fmt::E(l.phase, 15, 8));
    clodev(unit, 0);
}

}  // namespace

float lorentzian_half_width(float bandwidth, std::int32_t order) {
    return (bandwidth / 2.0f) / std::sqrt(std::pow(2.0f, 1.0f / static_cast<float>(order)) - 1.0f);
}

std::vector<LorentzianLine> lorentzian_lines(const LorfilParams& p, float fband_lo, float fband_hi, bool& small) {
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

void lorfil(const LorfilParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in,
            OpticalSignal& sig_out) {
    if (zzctrl.pass != 0) {  // a sample: the filter runs from its storage
        filter_sample(in, out, sig_in, sig_out);
        return;
    }
    UsdfilParams u;
    u.synthesis_options = {1, 0, -1, 0};
    u.file_options = {p.instance, optcl_ctrl.npol, 1, 0, 0, 0, p.write_charts, p.complement};
    u.abscissa_offset = 0.0f;
    u.abscissa_scale = 1.0f;
    u.centre_frequency = 0.0f;
    u.block_name = p.block_name;
    u.file_base = p.file_base;
    described_filter(
        u, p.instance, "lo", [&p](const std::string& name) { write_description(p, name); }, in, out, sig_in, sig_out);
}

}  // namespace nodrix

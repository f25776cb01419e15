#include "models/filters/raised_cosine.h"

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

constexpr const char* kTitle = "# TEMPORARY FILE FOR RAISED COSINE TRANSFER FUNCTION";
constexpr const char* kWarning = "Raised cosine optical filter at: ";

bool parameters_valid(const OrcfilParams& p) {
    return p.bandwidth > 0.0f && p.shape_exponent > 0.0f && p.roll_off >= 0.0f && p.roll_off <= 1.0f;
}

void write_description(const OrcfilParams& p, const std::string& name) {
    remove_run_file(name + ".DAT");
    std::int32_t unit = 0;
    opnfil(name.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(name.size()));
    if (unit_stream(unit) == nullptr) return;  // the synthesis then reports the missing file
    unit_write_line(unit, kTitle);
    unit_write_line(unit, "##");
    if (!parameters_valid(p)) {
        // Nothing to tabulate: the synthesis turns the filter off.
        opxerr(kWarning);
        opxinfo(trim_right(p.block_name));
        if (!(p.bandwidth > 0.0f)) opxinfo("     the bandwidth must be positive");
        if (!(p.roll_off >= 0.0f && p.roll_off <= 1.0f)) opxinfo("     the roll-off must lie between 0 and 1");
        if (!(p.shape_exponent > 0.0f)) opxinfo("     the shape exponent must be positive");
        clodev(unit, 0);
        return;
    }
    const RaisedCosineLayout l = raised_cosine_layout(p);
    if (l.small_roll_off) {
        opxwarn(kWarning);
        opxinfo(trim_right(p.block_name));
        opxinfo("     the roll-off parameter value " + fmt::E(p.roll_off, 15, 8));
        opxinfo("     is very small ");
        opxinfo("     results may be inaccurate ");
    }
    for (const auto& [f, t] : raised_cosine_lines(p, l, f_vbs_band.fbandlo, f_vbs_band.fbandhi))
        unit_write_line(unit, fmt::F(f, 12, 8) + " " + fmt::F(t, 12, 8));
    clodev(unit, 0);
}

}  // namespace

RaisedCosineLayout raised_cosine_layout(const OrcfilParams& p) {
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

std::vector<std::pair<float, float>> raised_cosine_lines(const OrcfilParams& p, const RaisedCosineLayout& l,
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

void orcfil(const OrcfilParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig_in,
            OpticalSignal& sig_out) {
    if (zzctrl.pass != 0) {  // a sample: the filter runs from its storage
        filter_sample(in, out, sig_in, sig_out);
        return;
    }
    UsdfilParams u;
    u.synthesis_options = {1, 0, -1, 0};
    // The bandwidth definition only sets where B is measured: it does not
    // complement the filter (a band-pass must not turn into a band-stop).
    u.file_options = {p.instance, optcl_ctrl.npol, 1, 2, 0, 0, p.write_charts, 0};
    u.abscissa_offset = 0.0f;
    u.abscissa_scale = 1.0f;
    u.centre_frequency = 0.0f;
    u.block_name = p.block_name;
    u.file_base = p.file_base;
    described_filter(
        u, p.instance, "rc", [&p](const std::string& name) { write_description(p, name); }, in, out, sig_in, sig_out);
}

}  // namespace nodrix

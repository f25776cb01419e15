#include "project/step_resonance.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "runtime/opxfile.h"

namespace nodrix {

namespace {

// The lasers' frequencies, rising, each once.
std::vector<double> laser_frequencies(const Link& link) {
    std::vector<double> f;
    for (const LinkBlock& b : link.blocks)
        if (b.kind != nullptr && b.kind->name == "laser") f.push_back(b.settings.real("frequency_thz"));
    std::sort(f.begin(), f.end());
    f.erase(std::unique(f.begin(), f.end()), f.end());
    return f;
}

std::string fixed(const char* format, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// "192.35 + 192.45 - 192.55 THz (m = 1)", the first few of them.
std::string products_text(const std::vector<ResonantProduct>& found, const std::vector<double>& f) {
    constexpr std::size_t kShown = 6;
    std::string text;
    for (std::size_t i = 0; i < found.size() && i < kShown; ++i) {
        const ResonantProduct& p = found[i];
        text += (i == 0 ? "" : ", ") + fixed("%.4f", f[p.a]) + " + " + fixed("%.4f", f[p.b]) + " - " +
                fixed("%.4f", f[p.c]) + " THz (m = " + std::to_string(p.m) + ")";
    }
    if (found.size() > kShown) text += " and " + std::to_string(found.size() - kShown) + " more";
    return text;
}

}  // namespace

int warn_resonant_steps(const LinkSchedule& s, const std::vector<StepPlanNote>& notes) {
    const std::vector<double> f = laser_frequencies(s.link());
    int warned = 0;
    for (const StepPlanNote& n : notes) {
        if (n.equal_steps < 8 || 2 * n.equal_steps < n.steps || !(n.effective_length_km > 0.0)) continue;
        const double tolerance = 0.5 * n.step_km / n.effective_length_km;
        const std::vector<ResonantProduct> found = resonant_products(f, n.beta2, n.step_km, tolerance);
        if (found.empty()) continue;
        ++warned;
        opxwarn("fibre " + std::to_string(n.instance) + ": " + std::to_string(n.equal_steps) + " of its " +
                std::to_string(n.steps) + " steps are " + fixed("%.6g", n.step_km) +
                " km long, which puts spurious four-wave mixing in phase, beta2 (2 pi df1)(2 pi df2) h = 2 pi m, "
                "for the channel pairs of " + products_text(found, f) +
                "; link.step_rule = \"graded\" has no repeating steps");
    }
    return warned;
}

}  // namespace nodrix

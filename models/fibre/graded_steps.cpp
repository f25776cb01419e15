#include "models/fibre/graded_steps.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "numerics/constants.h"
#include "xu/run_state.h"

namespace nodrix {

double fwm_step_bound(double beta2, double spread_thz, double cycles) {
    const double per_cycle = 2.0 * kPi * std::fabs(beta2) * spread_thz * spread_thz;  // [1/km]
    return per_cycle > 0.0 ? cycles / per_cycle : std::numeric_limits<double>::infinity();
}

double fwm_mismatch_cycles(double accuracy_db, double phi) {
    return phi > 0.0 ? std::pow(10.0, -accuracy_db / 20.0) / phi : std::numeric_limits<double>::infinity();
}

GradedProfile graded_profile(const GradedStepInput& in) {
    const double length = in.length;
    const double kerr_rate = in.gamma * in.peak_power;
    // The first step's Kerr bound (none without power or non-linearity).
    const double h_kerr = kerr_rate > 0.0 && in.phase > 0.0 ? in.phase / kerr_rate
                                                             : std::numeric_limits<double>::infinity();
    const double kappa_min = std::log(2.0) / length;
    const double kappa_loss = 2.0 * in.alpha / 3.0;
    // Where the dispersion bound would cap the last step, the growth is cut
    // to what takes the Kerr-bounded first step up to the cap.
    const double kappa_cap = h_kerr < in.h_max ? std::log(in.h_max / h_kerr) / length : 0.0;
    const double kappa = std::max(std::min(kappa_loss, kappa_cap), kappa_min);
    GradedProfile p;
    p.kappa = kappa;
    p.h0 = std::min(h_kerr, in.h_max * std::exp(-kappa * length)) / std::max(in.refinement, 1.0);
    return p;
}

double graded_count(const GradedStepInput& in, const GradedProfile& p) {
    return -std::expm1(-p.kappa * in.length) / (p.kappa * p.h0);
}

std::int32_t graded_steps(const GradedStepInput& in, std::span<double> h, std::int32_t most) {
    const double length = in.length;
    if (!(length > 0.0) || most < 1 || h.empty()) {
        if (most < 1 || h.empty()) return -1;
        h[0] = length;
        return 1;
    }
    const GradedProfile p = graded_profile(in);
    const double count = std::ceil(graded_count(in, p) - 1e-9);
    if (!(count <= static_cast<double>(std::min<std::size_t>(static_cast<std::size_t>(most), h.size())))) return -1;
    const auto n = std::max<std::int32_t>(1, static_cast<std::int32_t>(count));
    // Step ends at equal spacing of s(z) = (1 - exp(-kappa z)) / (kappa h0),
    // the number of profile steps up to z.
    const double total = std::expm1(-p.kappa * length);
    double previous = 0.0;
    for (std::int32_t j = 1; j < n; ++j) {
        const double z = -std::log1p(total * static_cast<double>(j) / static_cast<double>(n)) / p.kappa;
        h[static_cast<std::size_t>(j - 1)] = z - previous;
        previous = z;
    }
    h[static_cast<std::size_t>(n - 1)] = length - previous;
    return n;
}

void subdivide_steps(std::span<double> h, std::int32_t& n, double factor) {
    std::int64_t parts = std::max<std::int64_t>(1, std::llround(factor));
    while (parts > 1 && static_cast<std::size_t>(n * parts) > h.size()) --parts;
    if (parts == 1) return;
    for (std::int64_t i = n - 1; i >= 0; --i) {
        const double piece = h[static_cast<std::size_t>(i)] / static_cast<double>(parts);
        for (std::int64_t j = 0; j < parts; ++j) h[static_cast<std::size_t>(i * parts + j)] = piece;
    }
    n = static_cast<std::int32_t>(n * parts);
}

SymmetricSteps symmetric_steps(std::span<const double> h, std::int32_t n) {
    SymmetricSteps s;
    s.dispersion.reserve(static_cast<std::size_t>(n) + 1);
    s.kerr.reserve(static_cast<std::size_t>(n) + 1);
    double before = 0.0;
    for (std::int32_t i = 0; i < n; ++i) {
        const double step = h[static_cast<std::size_t>(i)];
        s.dispersion.push_back(0.5 * (before + step));
        s.kerr.push_back(step);
        before = step;
    }
    s.dispersion.push_back(0.5 * before);
    s.kerr.push_back(0.0);
    return s;
}

double kerr_effective_length(double gamma, double alpha, double h) {
    return alpha != 0.0 ? gamma * -std::expm1(-2.0 * alpha * h) / (2.0 * alpha) : gamma * h;
}

}  // namespace nodrix

namespace nodrix {

std::vector<ResonantProduct> resonant_products(std::span<const double> f, double beta2, double h, double tolerance) {
    std::vector<ResonantProduct> found;
    for (std::size_t c = 0; c < f.size(); ++c)
        for (std::size_t a = 0; a < f.size(); ++a)
            for (std::size_t b = a; b < f.size(); ++b) {
                if (a == c || b == c) continue;
                // beta2 (2 pi df1)(2 pi df2) h / (2 pi), the frequencies in THz and beta2 in ps^2/km.
                const double cycles = std::fabs(beta2 * 2.0 * kPi * (f[a] - f[c]) * (f[b] - f[c]) * h);
                const auto m = std::llround(cycles);
                if (m >= 1 && std::fabs(cycles - static_cast<double>(m)) <= tolerance) found.push_back({a, b, c, m});
            }
    return found;
}


void StepPlanLog::add(const StepPlanNote& note) {
    for (StepPlanNote& n : notes_)
        if (n.instance == note.instance) {
            n = note;
            return;
        }
    notes_.push_back(note);
}

void note_step_plan(const StepPlanNote& note) {
    if (StepPlanLog* log = LiveLog<StepPlanLog>::current()) log->add(note);
}

void note_fibre_latency(std::int32_t instance, std::int64_t latency) {
    StepPlanLog* log = LiveLog<StepPlanLog>::current();
    if (log == nullptr) return;
    StepPlanNote note;
    note.instance = instance;
    for (const StepPlanNote& n : log->notes())
        if (n.instance == instance) note = n;
    note.latency = latency;
    log->add(note);
}

}  // namespace nodrix

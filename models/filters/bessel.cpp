#include "models/filters/bessel.h"

#include <algorithm>
#include <cmath>

#include "kernel/control_blocks.h"
#include "kernel/lib00.h"
#include "kernel/storage.h"

namespace nodrix {
namespace {

constexpr std::int32_t kMaxOrder = 10;
// Marks the order slot of a filter whose design was refused (its codes are
// already reported): the filter then outputs 0 without further reports.
constexpr std::int32_t kNoDesign = -1;

ChartRange chart_range;

// First sample of a run: the electrical library's time word at or below 0.
bool first_sample() { return zdctrl.dtime <= 0.0; }

double sampling_frequency() { return 1.0 / zdctrl.ddelt; }

// Largest accepted low-pass/high-pass bandwidth, 0.2 fs, in the parameter's precision.
float bandwidth_limit() { return static_cast<float>(0.2 * sampling_frequency()); }

// Shared per-sample handling of a designed cascade: the order slot must hold
// the order the design was made for.
bool designed_for(std::int32_t order_slot, std::int32_t order) {
    std::int32_t& designed = *ist_at(order_slot);
    if (designed == order) return true;
    if (designed != kNoDesign) {
        tsedet("oR");
        designed = kNoDesign;  // reported once; the filter stays silent from here on
    }
    return false;
}

// The state of one cascade: its coefficients and section states, the order
// it was designed for, and the library's response-measurement slot (unused
// here, kept for its place).
struct CascadeState {
    std::int32_t coef, state, order, response;
};

// The block's own slot: the library's bookkeeping word, unused here, kept
// for its place before the cascade's state.
struct FilbesState {
    std::int32_t bookkeeping;
};
constexpr StateSlot<FilbesState> kFilbesState[] = {{&FilbesState::bookkeeping, SlotKind::integer, 1}};

CascadeState claim_cascade(std::int32_t coefficients, std::int32_t states) {
    const StateSlot<CascadeState> slots[] = {
        {&CascadeState::coef, SlotKind::real_double, coefficients},
        {&CascadeState::state, SlotKind::real_double, states},
        {&CascadeState::order, SlotKind::integer, 1},
        {&CascadeState::response, SlotKind::integer, 1},
    };
    return claim_state(slots);
}

// Band-pass form shared by fqbsbb and fqbsba.
void bandpass_form(std::int32_t order, float centre, float bandwidth, float gain, double input, double& output) {
    const CascadeState st = claim_cascade(bandpass_coefficients(order), 4 * order);
    const std::int32_t p_coef = st.coef;
    const std::int32_t p_state = st.state;
    const std::int32_t p_order = st.order;
    if (zzctrl.pass == 0) return;
    if (first_sample()) {
        const double dt = zdctrl.ddelt;
        const double f1 = static_cast<double>(centre) - 0.5 * static_cast<double>(bandwidth);
        const double f2 = static_cast<double>(centre) + 0.5 * static_cast<double>(bandwidth);
        bool ok = true;
        if (bandwidth < 0.0f) {
            tsedet("lR");
            ok = false;
        } else if (!(f1 > 0.0 && f2 < 0.5 * sampling_frequency())) {
            // Both 3-dB edges must lie between 0 and the Nyquist frequency.
            tsedet("mR");
            ok = false;
        }
        if (order > kMaxOrder) {
            tsedet("pR");
            ok = false;
        }
        if (ok) {
            design_bandpass(order, xtan(kPi * f1 * dt), xtan(kPi * f2 * dt), dist_at(p_coef));
            std::fill(dist_at(p_state), dist_at(p_state) + 4 * order, 0.0);
        }
        *ist_at(p_order) = ok ? order : kNoDesign;
    }
    if (!designed_for(p_order, order)) {
        output = 0.0;
        return;
    }
    output = static_cast<double>(gain) * run_bandpass(order, dist_at(p_coef), dist_at(p_state), input);
}

}  // namespace

double xtan(double x) { return std::tan(x); }

void oqfcha(double lowest, double highest) {
    chart_range.lowest = lowest;
    chart_range.highest = highest;
    ++chart_range.requests;
}

ChartRange last_chart_range() { return chart_range; }

BesselPrototype bessel_prototype(std::int32_t order) {
    using c = std::complex<double>;
    switch (order) {
        case 1: return {1.0, {}};
        case 2: return {0.0, {c(-1.101601, 0.63601)}};
        case 3: return {1.3226758, {c(-1.0474092, 0.9992645)}};
        case 4: return {0.0, {c(-0.995209, 1.257106), c(-1.370068, 0.41025)}};
        case 5: return {1.502316, {c(-0.957677, 1.471124), c(-1.380877, 0.71791)}};
        case 6: return {0.0, {c(-0.9306565, 1.6618633), c(-1.3818581, 0.9714719), c(-1.5714904, 0.3208964)}};
        case 7:
            return {1.6843682, {c(-0.9098678, 1.8364514), c(-1.3789032, 1.1915667), c(-1.6120388, 0.5892445)}};
        case 8:
            return {0.0,
                    {c(-0.8928697, 1.9983258), c(-1.3738412, 1.3883566), c(-1.6369394, 0.8227956),
                     c(-1.7574084, 0.2728675)}};
        case 9:
            return {1.856601,
                    {c(-0.8783993, 2.1498005), c(-1.3675883, 1.5677337), c(-1.6523965, 1.0313895),
                     c(-1.8071705, 0.5123837)}};
        case 10:
            return {0.0,
                    {c(-0.8657569, 2.2926048), c(-1.3606922, 1.7335057), c(-1.6618102, 1.2211002),
                     c(-1.8421962, 0.7272576), c(-1.9276196, 0.2416235)}};
        default: return {};
    }
}

std::int32_t lowhigh_coefficients(std::int32_t order) { return (order % 2 != 0 ? 2 : 0) + 3 * (order / 2); }

std::int32_t bandpass_coefficients(std::int32_t order) { return 3 * order; }

void design_lowhigh(std::int32_t type, std::int32_t order, double t, double* k) {
    const BesselPrototype proto = bessel_prototype(order);
    const bool high = type == 3;
    if (order % 2 != 0) {
        const double p = proto.real_pole;
        const double a = high ? t / p : p * t;
        k[0] = high ? 1.0 / (a + 1.0) : a / (a + 1.0);
        k[1] = (a - 1.0) / (a + 1.0);
        k += 2;
    }
    const double t2 = t * t;
    for (const auto& pole : proto.pairs) {
        const double re = pole.real();
        const double m = std::norm(pole);
        if (!high) {
            const double d = 1.0 - 2.0 * t * re + m * t2;
            k[0] = m * t2 / d;
            k[1] = 2.0 * (m * t2 - 1.0) / d;
            k[2] = (1.0 + 2.0 * t * re + m * t2) / d;
        } else {
            // The prototype with s replaced by 1/s.
            const double d = 1.0 - 2.0 * t * re / m + t2 / m;
            k[0] = 1.0 / d;
            k[1] = 2.0 * (t2 / m - 1.0) / d;
            k[2] = (1.0 + 2.0 * t * re / m + t2 / m) / d;
        }
        k += 3;
    }
}

namespace {

// After the input stops, a section's output decays towards zero and, once
// it reaches the subnormal doubles, rounding holds it there for ever (a dead
// band or a limit cycle a few hundred of the smallest doubles wide): every
// later sample would then work on subnormal operands, which many processors
// handle a hundred times slower. A section output below 2^-400 is taken as
// zero instead. The filter's inputs and output are reals: a non-zero input
// is at least 2^-149, and a double below 2^-150 becomes a zero output. A
// value that follows from a non-zero input through the sections' input
// coefficients (about 2^-43 together for the receiver's fifth-order
// low-pass at 8 GHz) stays more than 53 binary orders above 2^-400, so a
// value below the floor added to it is lost in rounding and dropping it
// changes nothing; where it is not lost, both values are far below 2^-150
// and the output is zero either way (at most its sign differs). The floor
// lies more than 600 binary orders above the subnormal range, so no product
// of a state value and a coefficient comes near that range.
constexpr double kSectionFloor = 0x1p-400;

double above_floor(double y) { return std::fabs(y) < kSectionFloor ? 0.0 : y; }

// A cascade at rest (input and every state value zero) stays at rest: its
// output is zero, and its state stays all zeros (the recursion would at
// most change the signs of those zeros, which no section output keeps: a
// zero output passes the floor as +0). In the long tail of a run after the
// light has passed, this skips the sections' chain of dependent products.
bool at_rest(const double* s, std::int32_t count, double x) {
    bool rest = x == 0.0;
    for (std::int32_t i = 0; i < count; ++i) rest &= s[i] == 0.0;
    return rest;
}

}  // namespace

double run_lowhigh(std::int32_t type, std::int32_t order, const double* k, double* s, double x) {
    if (at_rest(s, 2 * order, x)) return 0.0;
    const double sign = type == 3 ? -1.0 : 1.0;
    double y = x;
    if (order % 2 != 0) {
        // s[0] previous input, s[1] previous output.
        y = above_floor(k[0] * (x + sign * s[0]) - k[1] * s[1]);
        s[0] = x;
        s[1] = y;
        k += 2;
        s += 2;
        x = y;
    }
    for (std::int32_t pair = 0; pair < order / 2; ++pair) {
        // s[0], s[1] the last two inputs, s[2], s[3] the last two outputs.
        y = above_floor(k[0] * (x + 2.0 * sign * s[0] + s[1]) - k[1] * s[2] - k[2] * s[3]);
        s[1] = s[0];
        s[0] = x;
        s[3] = s[2];
        s[2] = y;
        k += 3;
        s += 4;
        x = y;
    }
    return y;
}

void design_bandpass(std::int32_t order, double w1, double w2, double* k) {
    const BesselPrototype proto = bessel_prototype(order);
    const double bw = w2 - w1;
    const double w0sq = w1 * w2;
    // Analog section g s / (s^2 + A s + C) under s = (1 - z^-1) / (1 + z^-1).
    auto section = [&k](double g, double a, double c) {
        const double d = 1.0 + a + c;
        k[0] = g / d;
        k[1] = 2.0 * (c - 1.0) / d;
        k[2] = (1.0 - a + c) / d;
        k += 3;
    };
    if (order % 2 != 0) {
        const double a = proto.real_pole * bw;
        section(a, a, w0sq);
    }
    for (const auto& p : proto.pairs) {
        // S = (s^2 + w0^2) / (bw s) maps the pole p to the roots of
        // s^2 - p bw s + w0^2 = 0; each root with its conjugate is one section,
        // and the pair's numerator |p|^2 bw^2 s^2 is shared between them.
        const std::complex<double> b = p * bw;
        const std::complex<double> root = std::sqrt(b * b - 4.0 * w0sq);
        const double g = std::abs(p) * bw;
        for (const std::complex<double> q : {(b + root) / 2.0, (b - root) / 2.0}) section(g, -2.0 * q.real(), std::norm(q));
    }
}

double run_bandpass(std::int32_t order, const double* k, double* s, double x) {
    if (at_rest(s, 4 * order, x)) return 0.0;
    double y = x;
    for (std::int32_t i = 0; i < order; ++i) {
        y = above_floor(k[0] * (x - s[1]) - k[1] * s[2] - k[2] * s[3]);
        s[1] = s[0];
        s[0] = x;
        s[3] = s[2];
        s[2] = y;
        k += 3;
        s += 4;
        x = y;
    }
    return y;
}

void fqbslh(std::int32_t type, std::int32_t order, float bandwidth, float gain, double input, double& output) {
    const CascadeState st = claim_cascade(lowhigh_coefficients(order), 2 * order);
    const std::int32_t p_coef = st.coef;
    const std::int32_t p_state = st.state;
    const std::int32_t p_order = st.order;
    if (zzctrl.pass == 0) return;
    if (first_sample()) {
        bool ok = true;
        if (bandwidth < 0.0f) {
            tsedet("lR");
            ok = false;
        }
        if (bandwidth > bandwidth_limit()) {
            tsedet("mR");
            ok = false;
        }
        if (order > kMaxOrder) {
            tsedet("pR");
            ok = false;
        }
        if (ok) {
            const double t = xtan(kPi * static_cast<double>(bandwidth) * zdctrl.ddelt);
            design_lowhigh(type, order, t, dist_at(p_coef));
            std::fill(dist_at(p_state), dist_at(p_state) + 2 * order, 0.0);
        }
        *ist_at(p_order) = ok ? order : kNoDesign;
    }
    if (!designed_for(p_order, order)) {
        output = 0.0;
        return;
    }
    output = static_cast<double>(gain) * run_lowhigh(type, order, dist_at(p_coef), dist_at(p_state), input);
}

void fqbsbb(std::int32_t order, float centre, float bandwidth, float gain, double input, double& output) {
    bandpass_form(order, centre, bandwidth, gain, input, output);
}

void fqbsba(std::int32_t order, float centre, float bandwidth, float gain, double input, double& output) {
    bandpass_form(order, centre, bandwidth, gain, input, output);
}

void filbes(const FilbesParams& p, const ElectricalSample& in, ElectricalSample& out) {
    const bool type_ok = p.filter_type >= 1 && p.filter_type <= 3;
    if (first_sample()) {
        if (!type_ok) tsedet("bR");
        if (p.order < 1) tsedet("cR");
        if (p.filter_type != 2 && p.centre_frequency != 0.0f) tsedet("dR");
        if (p.write_charts > 1) tsedet("eR");
    }
    claim_state(kFilbesState);
    if (!type_ok || p.order < 1) {
        // No form to run: the output stays 0.
        if (zzctrl.pass != 0) out.value = 0.0f;
        return;
    }
    const double x = in.value;
    double y = 0.0;
    // Band-pass centres from 0.2 fs up take the upper form.
    const bool upper = p.filter_type == 2 && static_cast<double>(p.centre_frequency) * zdctrl.ddelt >= 0.2;
    if (p.filter_type == 2) {
        if (!upper)
            fqbsbb(p.order, p.centre_frequency, p.bandwidth, p.output_gain, x, y);
        else
            fqbsba(p.order, p.centre_frequency, p.bandwidth, p.output_gain, x, y);
    } else {
        fqbslh(p.filter_type, p.order, p.bandwidth, p.output_gain, x, y);
    }
    if (zzctrl.pass == 0) return;
    if (first_sample() && p.write_charts == 1) {
        const double fs = sampling_frequency();
        if (upper)
            oqfcha(p.centre_frequency - 0.4 * fs, p.centre_frequency + 0.4 * fs);
        else
            oqfcha(0.0, 0.4 * fs);
    }
    out.value = static_cast<float>(y);
}

}  // namespace nodrix

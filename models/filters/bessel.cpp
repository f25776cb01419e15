// The electrical Bessel filter (filbes): low-pass, high-pass and band-pass
// cascades of first- and second-order sections obtained from the Bessel
// prototype poles by the bilinear transform with frequency pre-warping. The
// sections are designed once per run at set-up; every sample runs the
// cascade in double precision on the section states the block holds.
#include "models/filters/bessel.h"

#include <algorithm>
#include <cmath>

#include "kernel/block_declaration.h"
#include "numerics/constants.h"

namespace nodrix {

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


namespace {

constexpr std::int32_t kMaxOrder = 10;
constexpr std::int32_t kLowPass = 1;
constexpr std::int32_t kBandPass = 2;
constexpr std::int32_t kHighPass = 3;

constexpr const char* kBadType = "Bessel filter: type outside low_pass, band_pass and high_pass, the output stays 0";
constexpr const char* kBadOrder = "Bessel filter: order below 1, the output stays 0";
constexpr const char* kCentreNotBandPass = "Bessel filter: a centre frequency given to a low- or high-pass, ignored";
constexpr const char* kNegativeBandwidth = "Bessel filter: negative bandwidth, the output stays 0";
constexpr const char* kBandTooWide =
    "Bessel filter: bandwidth above 0.2 / time_step_ps, which the time step cannot carry; the output stays 0";
constexpr const char* kEdgesOutside =
    "Bessel filter: band-pass edges outside 0 to 0.5 / time_step_ps; the output stays 0";
constexpr const char* kOrderTooHigh = "Bessel filter: order above 10, the output stays 0";

struct BesselFilter {
    std::int32_t type = kLowPass;      // 1 low-pass, 2 band-pass, 3 high-pass
    std::int32_t order = 1;            // 1 to 10
    float bandwidth_thz = 0.0f;        // 3-dB bandwidth (low-, high-pass: the 3-dB frequency) [THz]
    float centre_frequency_thz = 0.0f; // band-pass centre [THz]; 0 for low- and high-pass
    float output_gain = 1.0f;          // multiplies the filter output
    bool write_charts = false;         // keep the response chart's frequency range
    std::string chart_title;           // title of that chart

    Input<ElectricalSample> input;
    Output<ElectricalSample> output;

    // A bookkeeping word of the filter, then the cascade: its coefficients,
    // its section states, the order it was designed for and a word for a
    // response measurement. The words keep their places in the block's
    // storage; the cascade is claimed only for a type and order it can run.
    State<std::int32_t> bookkeeping;
    State<double> coefficients;
    State<double> sections;
    State<std::int32_t> designed_order;
    State<std::int32_t> response;

    bool designed = false;  // set-up made the cascade; otherwise the output stays 0
    // The frequency range [THz] of the response chart asked for with
    // write_charts, from the run's set-up.
    double chart_low_thz = 0.0;
    double chart_high_thz = 0.0;

    static KindDeclaration<BesselFilter> declaration() {
        using B = BesselFilter;
        return {
            .name = "bessel_filter",
            .routine = "filbes",
            .help = "electrical Bessel filter: low-pass, band-pass or high-pass",
            .family = BlockFamily::filters,
            .parameters =
                {
                    parameter(&B::type, {.name = "type", .type = ParamType::choice, .fallback = 1, .help = "response",
                                         .choices = {{"low_pass", 1}, {"band_pass", 2}, {"high_pass", 3}}}),
                    parameter(&B::order, {.name = "order", .fallback = 1, .help = "order", .low = 1, .high = 10}),
                    parameter(&B::bandwidth_thz,
                              {.name = "bandwidth_thz", .unit = "THz",
                               .help = "3-dB bandwidth (3-dB frequency of a low-pass)", .low = 0, .low_open = true,
                               .required = true,
                               .limits = "low- and high-pass: at most 0.2 / time_step_ps; band-pass: both 3-dB "
                                         "edges above 0 and below 0.5 / time_step_ps"}),
                    parameter(&B::centre_frequency_thz,
                              {.name = "centre_frequency_thz", .unit = "THz", .fallback = 0.0,
                               .help = "centre of a band-pass", .limits = "0 for a low- or high-pass"}),
                    parameter(&B::output_gain, {.name = "output_gain", .fallback = 1.0, .help = "factor on the output"}),
                    parameter(&B::write_charts,
                              {.name = "write_charts", .fallback = 0, .help = "write the filter's charts"}),
                    parameter(&B::chart_title,
                              {.name = "chart_title", .type = ParamType::text, .help = "title of the response chart"}),
                },
            .inputs = {port(&B::input, {.key = "input", .help = "the signal in"})},
            .outputs = {port(&B::output, {.key = "output", .help = "the filtered signal"})},
            .check = check,
        };
    }

    // The design as set-up makes it: a low- or high-pass of at most 0.2
    // times the sampling rate and no centre; a band-pass whose 3-dB edges lie
    // between 0 and half the sampling rate.
    static void check(const BlockSettings& s, const LinkContext& link, Findings& found);

    bool runnable() const { return type >= kLowPass && type <= kHighPass && order >= 1; }

    void design(const RunContext&, StateClaims& state) {
        state.claim(bookkeeping, 1);
        if (!runnable()) return;
        const std::int32_t count = type == kBandPass ? bandpass_coefficients(order) : lowhigh_coefficients(order);
        state.claim(coefficients, count);
        state.claim(sections, (type == kBandPass ? 4 : 2) * order);
        state.claim(designed_order, 1);
        state.claim(response, 1);
    }

    Status setup(const RunContext& ctx) {
        designed = false;
        Status status;
        if (type < kLowPass || type > kHighPass) status.add(kBadType);
        if (order < 1) status.add(kBadOrder);
        if (type != kBandPass && centre_frequency_thz != 0.0f) status.add(kCentreNotBandPass);
        if (!runnable()) return status;
        // A centre given to a low- or high-pass is reported and ignored; what
        // follows leaves the filter undesigned.
        const std::size_t reported = status.errors().size();
        const double dt = ctx.time_step_double();
        const double sampling = 1.0 / dt;
        if (bandwidth_thz < 0.0f) status.add(kNegativeBandwidth);
        if (order > kMaxOrder) status.add(kOrderTooHigh);
        if (type == kBandPass) {
            const double f1 = static_cast<double>(centre_frequency_thz) - 0.5 * static_cast<double>(bandwidth_thz);
            const double f2 = static_cast<double>(centre_frequency_thz) + 0.5 * static_cast<double>(bandwidth_thz);
            if (bandwidth_thz >= 0.0f && !(f1 > 0.0 && f2 < 0.5 * sampling)) status.add(kEdgesOutside);
            if (status.errors().size() != reported) return status;
            design_bandpass(order, std::tan(kPi * f1 * dt), std::tan(kPi * f2 * dt), coefficients.data());
        } else {
            if (bandwidth_thz > static_cast<float>(0.2 * sampling)) status.add(kBandTooWide);
            if (status.errors().size() != reported) return status;
            design_lowhigh(type, order, std::tan(kPi * static_cast<double>(bandwidth_thz) * dt), coefficients.data());
        }
        std::fill(sections.values().begin(), sections.values().end(), 0.0);
        designed_order[0] = order;
        designed = true;
        // Band-pass centres from 0.2 fs up have their chart about the centre.
        const bool upper = type == kBandPass && static_cast<double>(centre_frequency_thz) * dt >= 0.2;
        if (write_charts) {
            chart_low_thz = upper ? centre_frequency_thz - 0.4 * sampling : 0.0;
            chart_high_thz = upper ? centre_frequency_thz + 0.4 * sampling : 0.4 * sampling;
        }
        return status;
    }

    void run(const RunContext&) {
        if (!designed) {
            output->value = 0.0f;
            return;
        }
        const double x = input->value;
        const double y = type == kBandPass ? run_bandpass(order, coefficients.data(), sections.data(), x)
                                           : run_lowhigh(type, order, coefficients.data(), sections.data(), x);
        output->value = static_cast<float>(static_cast<double>(output_gain) * y);
    }
};

void BesselFilter::check(const BlockSettings& s, const LinkContext& link, Findings& found) {
    const float bandwidth = s.real("bandwidth_thz");
    const float centre = s.real("centre_frequency_thz");
    const double sampling = link.sampling_thz();
    const std::string type = s.integer("type") == 1 ? "low_pass" : s.integer("type") == 2 ? "band_pass" : "high_pass";
    if (s.integer("type") != 2) {
        if (centre != 0.0f)
            found.error("centre_frequency_thz", "centre_frequency_thz = " + number_text(centre) +
                                                    " applies to a band-pass only; allowed for a " + type + ": 0");
        const float limit = static_cast<float>(0.2 * sampling);
        if (bandwidth > limit)
            found.error("bandwidth_thz", "bandwidth_thz = " + number_text(bandwidth) +
                                             " is above what the time step carries; allowed for a " + type +
                                             ": at most 0.2 / time_step_ps = " + number_text(limit));
        return;
    }
    const double low = static_cast<double>(centre) - 0.5 * static_cast<double>(bandwidth);
    const double high = static_cast<double>(centre) + 0.5 * static_cast<double>(bandwidth);
    if (!(low > 0.0 && high < 0.5 * sampling))
        found.error("bandwidth_thz", "the band-pass edges, centre_frequency_thz -+ bandwidth_thz / 2 = " +
                                         number_text(static_cast<float>(low)) + " to " +
                                         number_text(static_cast<float>(high)) +
                                         " THz, leave the band the time step carries; allowed: both above 0 and below "
                                         "0.5 / time_step_ps = " + number_text(static_cast<float>(0.5 * sampling)));
}

const KindRegistration registration{declare_kind<BesselFilter>()};

}  // namespace
}  // namespace nodrix

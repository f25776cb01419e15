#include "models/fibre/split_step.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "numerics/constants.h"
#include "runtime/format.h"
#include "runtime/io_file.h"
#include "runtime/wisdom.h"
#include "xu/run_state.h"

namespace nodrix {

namespace {

// Counts beyond this are all "more than the step list holds"; keeping them
// bounded keeps the integer arithmetic exact.
constexpr double kCountCeiling = 1e15;

std::int64_t bounded_count(double v) {
    if (!(v < kCountCeiling)) return static_cast<std::int64_t>(kCountCeiling);
    return static_cast<std::int64_t>(v);
}

// Equal pieces of a fibre that needs `count` steps: (count div 50000) + 1 of
// them. Their number is bounded by the step-list length so that an absurd
// design cannot flood the dimensioning file; the generator splits again.
std::vector<double> equal_pieces(double length, std::int64_t count) {
    const std::int64_t p = std::min<std::int64_t>(count / kMaxSteps + 1, kMaxSteps);
    return std::vector<double>(static_cast<std::size_t>(p), length / static_cast<double>(p));
}

}  // namespace

DispersionBound dispersion_bound(double beta2, double beta3, double beta4, double beta5, double dt) {
    const double w = 0.8 * kPi / dt;
    const double dplus = beta2 + beta3 * w + beta4 * w * w / 2.0 + beta5 * w * w * w / 6.0;
    const double dminus = beta2 - beta3 * w + beta4 * w * w / 2.0 - beta5 * w * w * w / 6.0;
    DispersionBound b;
    b.d = std::max(std::fabs(dplus), std::fabs(dminus));
    if (b.d == 0.0) b.d = 1e-6;
    b.h_max = 1000.0 * dt * dt / b.d;
    return b;
}

std::int64_t step_ceiling(double v) {
    if (!(v < kCountCeiling)) return static_cast<std::int64_t>(kCountCeiling);
    std::int64_t r = std::llround(v);
    if (r == 0 || v - static_cast<double>(r) > 0.0001) ++r;
    return r;
}


void write_split_request(std::int32_t memfile, const SplitRequest& request, int field_width) {
    if (SplitRequestLog* log = LiveLog<SplitRequestLog>::current()) log->add(request);
    if (memfile < 0) return;  // no dimensioning file open in this pass
    const std::int32_t instance = request.instance;
    const std::vector<double>& pieces = request.pieces_km;
    auto field = [field_width](const std::string& number) {
        return field_width > 12 ? fmt::A(number, field_width) : number;
    };
    const std::string fiber = "fiber " + field(fmt::I(instance, 12)) + "\n";
    io_write_str(memfile, fiber.c_str());
    const std::string numsplit = "numsplit " + field(fmt::I(static_cast<std::int64_t>(pieces.size()), 12)) + "\n";
    io_write_str(memfile, numsplit.c_str());
    for (double length : pieces) {
        const std::string line = "length " + field(fmt::E(length, 12, 5)) + "\n";
        io_write_str(memfile, line.c_str());
    }
}

void stpeli(double beta2, double beta3, double beta4, double beta5, double length, double dt, std::int32_t& n,
            std::span<double> h, std::int32_t memfile, std::int32_t instance) {
    std::fill(h.begin(), h.end(), 0.0);
    const DispersionBound bound = dispersion_bound(beta2, beta3, beta4, beta5, dt);
    const std::int64_t count = bounded_count(std::floor(length / bound.h_max)) + 1;
    if (count > kMaxSteps) {
        write_split_request(memfile, SplitRequest{instance, equal_pieces(length, count)}, 12);
        n = -1;
        return;
    }
    n = static_cast<std::int32_t>(count);
    for (std::int32_t i = 0; i < n; ++i) h[static_cast<std::size_t>(i)] = length / static_cast<double>(n);
}

namespace {

// Pieces of a fibre split by the four-wave-mixing estimate: each piece
// collects the allowed four-wave-mixing figure with its own input power.
std::vector<double> fwm_pieces(const NonlinearStepInput& in, double carriers, double f, double spans) {
    const double length = in.length;
    const double alpha = in.alpha;
    const double accuracy = std::pow(10.0, -0.05 * in.fwm_accuracy);
    double s = 20000.0;
    double z = 0.0;
    double power = in.total_power;
    std::vector<double> pieces;
    for (;;) {
        auto piece_x = [&] { return std::sqrt(s) * carriers * accuracy / (power * std::sqrt(spans * f) * in.gamma); };
        double x = piece_x();
        double ell = 0.0;
        bool usable = x > 0.0 && std::isfinite(x);
        if (usable) {
            if (alpha > 0.0) {
                while (0.5 / alpha <= x) {
                    s *= 0.5;
                    x = piece_x();
                }
                ell = -std::log(1.0 - 2.0 * alpha * x) / (2.0 * alpha);
            } else {
                ell = x;
            }
        }
        // Far along a lossy fibre the power underflows and the piece length
        // with it: the rest of the fibre is one last piece.
        usable = usable && ell > 0.0;
        const bool last = !usable || z + ell >= length || pieces.size() + 1 >= static_cast<std::size_t>(kMaxSteps);
        if (last) {
            if (pieces.empty()) {
                pieces.assign(2, length / 2.0);
            } else {
                pieces.push_back(length - z);
            }
            return pieces;
        }
        pieces.push_back(ell);
        z += ell;
        power *= std::exp(-2.0 * alpha * ell);
    }
}

// True when no step of the list is longer than the lossless phase limit allows.
bool steps_keep_phase(std::span<const double> h, std::int32_t m, const NonlinearStepInput& in) {
    const double gp = in.gamma * in.peak_power;
    if (!(gp > 0.0)) return true;
    double z = 0.0;
    for (std::int32_t i = 0; i < m; ++i) {
        const double limit = kTwoPi / (in.phase_divisor * gp * std::exp(-2.0 * in.alpha * z));
        if (h[static_cast<std::size_t>(i)] > limit) return false;
        z += h[static_cast<std::size_t>(i)];
    }
    return true;
}

// Steps of equal effective length (growing along a lossy fibre).
void equal_phase_steps(std::span<double> h, std::int32_t m, const NonlinearStepInput& in) {
    const double alpha = in.alpha;
    if (alpha > 0.0) {
        const double c = (1.0 - std::exp(-2.0 * alpha * in.length)) / static_cast<double>(m);
        for (std::int32_t i = 1; i <= m; ++i)
            h[static_cast<std::size_t>(i - 1)] =
                std::log((1.0 - static_cast<double>(i - 1) * c) / (1.0 - static_cast<double>(i) * c)) / (2.0 * alpha);
    } else {
        for (std::int32_t i = 0; i < m; ++i) h[static_cast<std::size_t>(i)] = in.length / static_cast<double>(m);
    }
}

// The figures of the non-linear rule that every part of it uses.
struct StepRuleTerms {
    DispersionBound bound;
    double kerr = 0.0;      // the Kerr phase over the fibre [rad]
    double carriers = 0.0;  // detected carriers, at least 3
    double f = 0.0;         // the four-wave-mixing product count factor
    double spans = 0.0;     // spans of the reference system
};

// Steps of equal non-linear phase along a lossy fibre: how many the phase
// limit asks for, walking the fibre (one when the first step already may
// span it).
std::int64_t lossy_phase_count(const NonlinearStepInput& in) {
    const double alpha = in.alpha;
    const double gamma = in.gamma;
    const double length = in.length;
    const double gp = gamma * in.peak_power;
    auto ratio = [&](double z) {
        return 4.0 * kPi * alpha / (in.phase_divisor * gamma * in.peak_power * std::exp(-2.0 * alpha * z));
    };
    if (gp == 0.0 || ratio(0.0) >= 1.0) return 1;
    std::int64_t c = 0;
    double z = 0.0;
    while (z <= length && c < kMaxSteps + 1 && ratio(z) < 1.0) {
        z += -std::log(1.0 - ratio(z)) / (2.0 * alpha);
        ++c;
    }
    return c;
}

// From `bad` (a count whose steps break the phase limit) a doubling and
// bisection search for the smallest count that keeps it; the list h holds
// its steps. Returns kMaxSteps + 1 when none within the step list does.
std::int64_t search_phase_count(std::span<double> h, std::int64_t bad, const NonlinearStepInput& in) {
    std::int64_t step = 1;
    std::int64_t good = -1;
    while (good < 0) {
        const std::int64_t trial = bad + step;
        if (trial > kMaxSteps) return kMaxSteps + 1;
        equal_phase_steps(h, static_cast<std::int32_t>(trial), in);
        if (steps_keep_phase(h, static_cast<std::int32_t>(trial), in))
            good = trial;
        else
            bad = trial;
        step *= 2;
    }
    while (good - bad > 1) {
        const std::int64_t mid = bad + (good - bad) / 2;
        equal_phase_steps(h, static_cast<std::int32_t>(mid), in);
        if (steps_keep_phase(h, static_cast<std::int32_t>(mid), in))
            good = mid;
        else
            bad = mid;
    }
    equal_phase_steps(h, static_cast<std::int32_t>(good), in);
    return good;
}

// Steps of equal non-linear phase, at least m of them: the smallest count
// from m whose steps keep the phase limit (a few single increments, then
// the search; the longest step shrinks as the count grows, so the test is
// monotone). False, with the split request written, when the step list
// cannot hold them.
bool equal_phase_plan(const NonlinearStepInput& in, const StepRuleTerms& terms, std::int64_t m, std::int32_t& n,
                      std::span<double> h, std::int32_t memfile, std::int32_t instance) {
    int increments = 0;
    for (;;) {
        if (m > kMaxSteps) {
            write_split_request(memfile,
                                SplitRequest{instance, fwm_pieces(in, terms.carriers, terms.f, terms.spans),
                                             SplitReason::steps, terms.kerr},
                                50);
            n = -1;
            return false;
        }
        const auto mi = static_cast<std::int32_t>(m);
        equal_phase_steps(h, mi, in);
        if (steps_keep_phase(h, mi, in)) break;
        if (++increments < 64) {
            ++m;
            continue;
        }
        m = search_phase_count(h, m, in);
        if (m <= kMaxSteps) break;
    }
    std::fill(h.begin() + m, h.end(), 0.0);
    n = static_cast<std::int32_t>(m);
    return true;
}

// Dispersion cap: steps that dispersion does not allow become equal steps of
// at most h_D. False, with the split request written, when they do not fit
// the step list.
bool cap_by_dispersion(const NonlinearStepInput& in, const StepRuleTerms& terms, std::int32_t& n,
                       std::span<double> h, std::int32_t& uniform, std::int32_t memfile, std::int32_t instance) {
    const double length = in.length;
    const double h_max = terms.bound.h_max;
    std::int32_t j = 0;
    double short_sum = 0.0;
    for (std::int32_t i = 0; i < n; ++i)
        if (h[static_cast<std::size_t>(i)] < h_max) {
            j = i + 1;
            short_sum += h[static_cast<std::size_t>(i)];
        }
    if (j >= n) return true;
    const std::int64_t r = bounded_count(std::round((length - short_sum) / h_max)) + 1;
    if (j + r > kMaxSteps) {
        std::vector<double> pieces;
        if (j > 0) pieces.push_back(short_sum);
        const std::vector<double> rest = equal_pieces(length - short_sum, r);
        pieces.insert(pieces.end(), rest.begin(), rest.end());
        write_split_request(memfile, SplitRequest{instance, pieces, SplitReason::steps, terms.kerr}, 50);
        n = -1;
        return false;
    }
    const double hr = (length - short_sum) / static_cast<double>(r);
    std::fill(h.begin() + j, h.end(), 0.0);
    for (std::int64_t i = j; i < j + r; ++i) h[static_cast<std::size_t>(i)] = hr;
    n = static_cast<std::int32_t>(j + r);
    if (j == 0 || static_cast<double>(r) > 0.2 * static_cast<double>(j)) uniform = 1;
    return true;
}

}  // namespace

void stpeva(const NonlinearStepInput& in, double dt, std::int32_t& n, std::span<double> h, std::int32_t& uniform,
            std::int32_t memfile, std::int32_t instance) {
    std::fill(h.begin(), h.end(), 0.0);
    StepRuleTerms terms;
    terms.bound = dispersion_bound(in.beta2, in.beta3, in.beta4, in.beta5, dt);
    const double length = in.length;
    const double alpha = in.alpha;
    const double gamma = in.gamma;

    const double leff = alpha > 0.0 ? (1.0 - std::exp(-2.0 * alpha * length)) / (2.0 * alpha) : length;
    terms.kerr = gamma * in.peak_power * leff;
    const double carriers = static_cast<double>(std::max(in.carriers, 3));
    terms.carriers = carriers;
    terms.f = (carriers - 1.0) * (carriers - 1.0) * carriers / (3.0 * carriers - 2.0);
    terms.spans = static_cast<double>(step_ceiling(in.system_length / length));

    const std::int64_t n_disp = step_ceiling(4.0 * kPi * length * std::fabs(in.beta2) / (dt * dt));
    const double fwm = (in.total_power / carriers) * gamma * leff;
    const std::int64_t n_fwm = step_ceiling(std::pow(10.0, in.fwm_accuracy / 10.0) * fwm * fwm * terms.f * terms.spans);
    const std::int64_t n_phase = step_ceiling(in.peak_power * length * gamma * in.phase_divisor / kTwoPi);

    if (n_disp <= n_fwm) {
        // Equal steps fixed by dispersion.
        const std::int64_t m = std::max(n_disp, n_phase);
        uniform = 1;
        if (m > kMaxSteps) {
            write_split_request(memfile,
                                SplitRequest{instance, equal_pieces(length, m), SplitReason::steps, terms.kerr}, 50);
            n = -1;
            return;
        }
        n = static_cast<std::int32_t>(m);
        for (std::int32_t i = 0; i < n; ++i) h[static_cast<std::size_t>(i)] = length / static_cast<double>(n);
    } else {
        // Steps of equal non-linear phase.
        const std::int64_t c = alpha == 0.0 ? n_phase : lossy_phase_count(in);
        if (!equal_phase_plan(in, terms, std::max(n_fwm, c), n, h, memfile, instance)) return;
        uniform = 0;
    }
    cap_by_dispersion(in, terms, n, h, uniform, memfile, instance);
}

namespace {

// cos and sin of the Kerr phase: series for small phases, exactly otherwise.
inline void kerr_cos_sin(double phi, double& c, double& s) {
    // Series in Horner form with the reciprocal factorials as constants.
    constexpr double k2 = 1.0 / 2.0, k3 = 1.0 / 6.0, k4 = 1.0 / 24.0, k5 = 1.0 / 120.0, k6 = 1.0 / 720.0,
                     k7 = 1.0 / 5040.0;
    const double a = std::fabs(phi);
    const double p2 = phi * phi;
    if (a < 0.008) {
        c = 1.0 - p2 * (k2 - p2 * k4);
        s = phi * (1.0 - p2 * (k3 - p2 * k5));
    } else if (a < 0.0174) {
        c = 1.0 - p2 * (k2 - p2 * (k4 - p2 * k6));
        s = phi * (1.0 - p2 * (k3 - p2 * (k5 - p2 * k7)));
    } else {
        c = std::cos(phi);
        s = std::sin(phi);
    }
}

}  // namespace

void kerr_rotation(double phi, double& c, double& s) { kerr_cos_sin(phi, c, s); }

namespace {

// Work of this size or more is shared between the two lanes of the plan
// store; below it handing work to the helper thread costs more than it saves.
constexpr std::int64_t kLaneWork = 2048;

// One block of the linear half-step as two independent chains of half length.
// The forward transform of the M samples x padded with M zeros splits into
// X[2j] = F(x)[j] and X[2j+1] = F(x w^n)[j] (forward transforms of length M,
// w = exp(-i pi / M)); the product Y = X H keeps that split; the backward
// transform of length 2M splits into P and Q, the backward transforms of the
// even and of the odd products: y[n] = P[n] + w^-n Q[n] and
// y[n + M] = P[n] - w^-n Q[n]. A backward transform is taken as the conjugate
// of the forward transform of the conjugate, so that one plan (the forward
// one of length M) serves both directions: the chains keep conj(P) and
// conj(Q), and the overlap-add conjugates back. It gives y[n] + T[n] as the
// output and keeps y[n + M] as the memory T. Lane 0 (the calling thread)
// carries the odd chain, which has the extra twist, lane 1 the even one.
struct LinearBlock {
    FftPlan to_spectrum[2];  // per chain: its samples to its spectrum (empty when M = 1)
    FftPlan to_result[2];    // per chain: its spectrum back
    const Complex* w;        // w^n, n < M
    const Complex* h;        // the 2M coefficients in chain order
    Complex* memory;         // M samples
    Complex* block;          // M samples, filtered in place
    Complex* work;           // 4M values: conj(P), X even, conj(Q) (and x w^n), X odd
    std::int64_t m;
};

void transform(const FftPlan& plan, const Complex* in, Complex* out) {
    if (!plan) {
        out[0] = in[0];  // length 1
        return;
    }
    fft_run(plan, in, out);
}

// A complex double as a pair of lanes (re, im): the loops below do two
// operations per instruction, each the same rounded operation as in the
// plain complex arithmetic written beside them (a - b as a + (-1) b, and a
// sign change as a product by -1, are exact).
using Pair = double __attribute__((vector_size(16)));
inline Pair load(const Complex& c) { return Pair{c.real(), c.imag()}; }
inline void store(Complex& c, Pair v) { c = Complex(v[0], v[1]); }
constexpr Pair kConjugate = {1.0, -1.0};
constexpr Pair kNegateReal = {-1.0, 1.0};
// (ar br - ai bi, ar bi + ai br)
inline Pair product(Pair a, Pair b) { return Pair{a[0], a[0]} * b + (Pair{a[1], a[1]} * Pair{b[1], b[0]}) * kNegateReal; }

// The series of kerr_rotation for phases below 0.008, in Horner form.
constexpr double k2 = 1.0 / 2.0, k3 = 1.0 / 6.0, k4 = 1.0 / 24.0, k5 = 1.0 / 120.0;

// The non-linear half-step of one sample: a u exp(-i g |u|^2).
inline void rotate(double x, double y, double g, double a, double& xr, double& yr) {
    const double phi = g * (x * x + y * y);
    double c = 0.0;
    double s = 0.0;
    kerr_cos_sin(phi, c, s);
    xr = a * (x * c + y * s);
    yr = a * (y * c - x * s);
}

// The element loops of the half-steps, one complex number per operation.
struct PairLoops {
    // result = x w
    static void twist(Complex* result, const Complex* x, const Complex* w, std::int64_t m) {
        for (std::int64_t n = 0; n < m; ++n) store(result[n], product(load(x[n]), load(w[n])));
    }
    // spectrum[j] = conj(spectrum[j] h[j]), h the chain's half of the coefficients
    static void filter(Complex* spectrum, const Complex* h, std::int64_t m) {
        for (std::int64_t j = 0; j < m; ++j) store(spectrum[j], product(load(spectrum[j]), load(h[j])) * kConjugate);
    }
    // w^n conj(Q) = conj(w^-n Q); conj(P) + w^n conj(Q) = conj(y[n]) and
    // conj(P) - w^n conj(Q) = conj(y[n + M]). Output y[n] + T[n], memory y[n + M].
    static void overlap(const Complex* p, const Complex* q, const Complex* w, Complex* memory, Complex* block,
                        std::int64_t from, std::int64_t to) {
        for (std::int64_t n = from; n < to; ++n) {
            const Pair t = product(load(w[n]), load(q[n]));
            const Pair pn = load(p[n]);
            store(block[n], (pn + t) * kConjugate + load(memory[n]));
            store(memory[n], (pn - t) * kConjugate);
        }
    }
    // The overlap-add of samples from..to followed by the non-linear
    // half-step of the same samples.
    static void overlap_kerr(const Complex* p, const Complex* q, const Complex* w, Complex* memory, Complex* block,
                             std::int64_t from, std::int64_t to, double g, double a) {
        overlap(p, q, w, memory, block, from, to);
        kerr(reinterpret_cast<double*>(block), static_cast<std::int32_t>(from), static_cast<std::int32_t>(to), g, a);
    }
    // Samples from..to of the buffer v (re, im interleaved), two at a time
    // while both phases are small (the common case): the series of
    // kerr_rotation, operation for operation; the others one by one.
    static void kerr(double* v, std::int32_t from, std::int32_t to, double g, double a) {
        std::int32_t i = from;
        const Pair g2 = {g, g};
        const Pair a2 = {a, a};
        for (; i + 1 < to; i += 2) {
            const Pair x = {v[2 * i], v[2 * i + 2]};
            const Pair y = {v[2 * i + 1], v[2 * i + 3]};
            const Pair phi = g2 * (x * x + y * y);
            if (!(std::fabs(phi[0]) < 0.008 && std::fabs(phi[1]) < 0.008)) {
                rotate(v[2 * i], v[2 * i + 1], g, a, v[2 * i], v[2 * i + 1]);
                rotate(v[2 * i + 2], v[2 * i + 3], g, a, v[2 * i + 2], v[2 * i + 3]);
                continue;
            }
            const Pair p2 = phi * phi;
            const Pair c = 1.0 - p2 * (k2 - p2 * k4);
            const Pair sn = phi * (1.0 - p2 * (k3 - p2 * k5));
            const Pair xr = a2 * (x * c + y * sn);
            const Pair yr = a2 * (y * c - x * sn);
            v[2 * i] = xr[0];
            v[2 * i + 1] = yr[0];
            v[2 * i + 2] = xr[1];
            v[2 * i + 3] = yr[1];
        }
        for (; i < to; ++i) rotate(v[2 * i], v[2 * i + 1], g, a, v[2 * i], v[2 * i + 1]);
    }
};

bool wide_loops_on = true;

#if defined(__x86_64__) || defined(__i386__)
// The same loops on processors with AVX, two complex numbers (or four
// samples) per operation. Every element still goes through the same rounded
// operations in the same order (AVX alone has no fused multiply-add), so the
// results are the same to the bit; more of them are done at once.
#define NODRIX_AVX __attribute__((target("avx"), always_inline))
using Quad = double __attribute__((vector_size(32)));
using QuadIndex = std::int64_t __attribute__((vector_size(32)));
constexpr Quad kConjugate2 = {1.0, -1.0, 1.0, -1.0};
constexpr Quad kNegateReal2 = {-1.0, 1.0, -1.0, 1.0};
NODRIX_AVX inline Quad load2(const Complex* c) {
    Quad q;
    std::memcpy(&q, c, sizeof q);
    return q;
}
NODRIX_AVX inline void store2(Complex* c, Quad q) { std::memcpy(static_cast<void*>(c), &q, sizeof q); }
NODRIX_AVX inline Quad product2(Quad a, Quad b) {
    const Quad re = __builtin_shuffle(a, QuadIndex{0, 0, 2, 2});
    const Quad im = __builtin_shuffle(a, QuadIndex{1, 1, 3, 3});
    return re * b + (im * __builtin_shuffle(b, QuadIndex{1, 0, 3, 2})) * kNegateReal2;
}

// The non-linear half-step of four samples held as (x0 y0 x1 y1) and
// (x2 y2 x3 y3): the series of kerr_rotation, operation for operation, when
// all four phases are below 0.008; otherwise false, with lo and hi unchanged.
NODRIX_AVX inline bool kerr4(Quad& lo, Quad& hi, Quad g4, Quad a4) {
    const Quad small = {0.008, 0.008, 0.008, 0.008};
    const Quad x = __builtin_shuffle(lo, hi, QuadIndex{0, 2, 4, 6});
    const Quad y = __builtin_shuffle(lo, hi, QuadIndex{1, 3, 5, 7});
    const Quad phi = g4 * (x * x + y * y);
    const auto within = (phi < small) & (-phi < small);  // |phi| < 0.008
    if (!(within[0] && within[1] && within[2] && within[3])) return false;
    const Quad p2 = phi * phi;
    const Quad c = 1.0 - p2 * (k2 - p2 * k4);
    const Quad sn = phi * (1.0 - p2 * (k3 - p2 * k5));
    const Quad xr = a4 * (x * c + y * sn);
    const Quad yr = a4 * (y * c - x * sn);
    lo = __builtin_shuffle(xr, yr, QuadIndex{0, 4, 1, 5});
    hi = __builtin_shuffle(xr, yr, QuadIndex{2, 6, 3, 7});
    return true;
}

struct QuadLoops {
    __attribute__((target("avx"))) static void twist(Complex* result, const Complex* x, const Complex* w,
                                                     std::int64_t m) {
        std::int64_t n = 0;
        for (; n + 1 < m; n += 2) store2(result + n, product2(load2(x + n), load2(w + n)));
        PairLoops::twist(result + n, x + n, w + n, m - n);
    }
    __attribute__((target("avx"))) static void filter(Complex* spectrum, const Complex* h, std::int64_t m) {
        std::int64_t j = 0;
        for (; j + 1 < m; j += 2) store2(spectrum + j, product2(load2(spectrum + j), load2(h + j)) * kConjugate2);
        PairLoops::filter(spectrum + j, h + j, m - j);
    }
    __attribute__((target("avx"))) static void overlap(const Complex* p, const Complex* q, const Complex* w,
                                                       Complex* memory, Complex* block, std::int64_t from,
                                                       std::int64_t to) {
        std::int64_t n = from;
        for (; n + 1 < to; n += 2) {
            const Quad t = product2(load2(w + n), load2(q + n));
            const Quad pn = load2(p + n);
            store2(block + n, (pn + t) * kConjugate2 + load2(memory + n));
            store2(memory + n, (pn - t) * kConjugate2);
        }
        PairLoops::overlap(p, q, w, memory, block, n, to);
    }
    // Four samples at a time: their overlap-add, then their non-linear
    // half-step while still in registers (the same operations as overlap
    // followed by kerr, one pass over the samples instead of two).
    __attribute__((target("avx"))) static void overlap_kerr(const Complex* p, const Complex* q, const Complex* w,
                                                            Complex* memory, Complex* block, std::int64_t from,
                                                            std::int64_t to, double g, double a) {
        const Quad g4 = {g, g, g, g};
        const Quad a4 = {a, a, a, a};
        std::int64_t n = from;
        for (; n + 3 < to; n += 4) {
            const Quad t0 = product2(load2(w + n), load2(q + n));
            const Quad t1 = product2(load2(w + n + 2), load2(q + n + 2));
            const Quad p0 = load2(p + n);
            const Quad p1 = load2(p + n + 2);
            Quad lo = (p0 + t0) * kConjugate2 + load2(memory + n);      // x0 y0 x1 y1
            Quad hi = (p1 + t1) * kConjugate2 + load2(memory + n + 2);  // x2 y2 x3 y3
            store2(memory + n, (p0 - t0) * kConjugate2);
            store2(memory + n + 2, (p1 - t1) * kConjugate2);
            const bool rotated = kerr4(lo, hi, g4, a4);
            store2(block + n, lo);
            store2(block + n + 2, hi);
            if (!rotated)
                PairLoops::kerr(reinterpret_cast<double*>(block), static_cast<std::int32_t>(n),
                                static_cast<std::int32_t>(n + 4), g, a);
        }
        PairLoops::overlap_kerr(p, q, w, memory, block, n, to, g, a);
    }
    __attribute__((target("avx"))) static void kerr(double* v, std::int32_t from, std::int32_t to, double g,
                                                    double a) {
        std::int32_t i = from;
        const Quad g4 = {g, g, g, g};
        const Quad a4 = {a, a, a, a};
        for (; i + 3 < to; i += 4) {
            Quad lo;
            Quad hi;
            std::memcpy(&lo, v + 2 * i, sizeof lo);      // x0 y0 x1 y1
            std::memcpy(&hi, v + 2 * i + 4, sizeof hi);  // x2 y2 x3 y3
            if (!kerr4(lo, hi, g4, a4)) {
                PairLoops::kerr(v, i, i + 4, g, a);
                continue;
            }
            std::memcpy(v + 2 * i, &lo, sizeof lo);
            std::memcpy(v + 2 * i + 4, &hi, sizeof hi);
        }
        PairLoops::kerr(v, i, to, g, a);
    }
};

#undef NODRIX_AVX

// The processor's features are read once as the program starts (libgcc);
// asking is a test of that word.
bool wide_loops() { return wide_loops_on && __builtin_cpu_supports("avx"); }
#else
using QuadLoops = PairLoops;
bool wide_loops() { return false; }
#endif

// Samples per piece of the chain's element loops; before each piece the
// chain asks the cache for the lines of the filter and of the overlap memory
// that it (or its lane's overlap-add) reads later in the step.
constexpr std::int64_t kFetchPiece = 64;
constexpr std::int64_t kLineSamples = 64 / sizeof(Complex);  // samples per cache line

// Asks for `lines` cache lines from `from` into the second-level cache, for
// reading (and, with `write`, for writing too). A hint: the loops' results do
// not depend on it.
inline void fetch_lines(const Complex* from, std::int64_t lines, bool write) {
    const char* c = reinterpret_cast<const char*>(from);
    for (std::int64_t i = 0; i < lines; ++i) {
        if (write)
            __builtin_prefetch(c + 64 * i, 1, 2);
        else
            __builtin_prefetch(c + 64 * i, 0, 2);
    }
}

// The chain of the even (parity 0) or the odd (parity 1) samples of the spectrum.
// Its lane (1 - parity) then combines mostly the half `combined` of the
// memory (the overlap-add's pieces, OverlapPieces).
//
// A step's filter (2M coefficients) and overlap memory (M samples) are read
// once per buffer and are far too many over all steps for any cache: left
// to themselves they arrive when the filter product and the overlap-add
// first touch them, and those loops wait on every line. So the chain asks
// for them early, a few lines at each piece of its own element loops, and
// the transforms between those loops give them time to arrive: the lines of
// its half of the filter while it prepares its samples, the lines of its
// lane's half of the memory while it filters.
template <class Loops>
void linear_chain(const LinearBlock& b, int parity) {
    const std::int64_t m = b.m;
    const Complex* x = b.block;
    Complex* result = b.work + 2 * parity * m;
    Complex* spectrum = result + m;
    const Complex* h = b.h + parity * m;
    // Lane 1 - parity combines mostly the half 1 - parity of the memory.
    Complex* combined = b.memory + (1 - parity) * (m / 2);
    // The even chain transforms x, the odd one x w^n; both from a copy of
    // their own, so that the transform reads memory local to its thread (the
    // block was last written half by each thread): the copy takes the other
    // thread's half in one sequential pass, where the transform's own strided
    // reads of it would wait on every line.
    for (std::int64_t c = 0; c < m; c += kFetchPiece) {
        const std::int64_t len = std::min(kFetchPiece, m - c);
        fetch_lines(h + c, (len + kLineSamples - 1) / kLineSamples, false);
        if (parity == 1)
            Loops::twist(result + c, x + c, b.w + c, len);
        else
            std::copy(x + c, x + c + len, result + c);
    }
    transform(b.to_spectrum[parity], result, spectrum);
    for (std::int64_t c = 0; c < m; c += kFetchPiece) {
        const std::int64_t len = std::min(kFetchPiece, m - c);
        // Half as many memory lines as filter lines: one per two pieces' worth.
        if (m >= 2 * kLineSamples) fetch_lines(combined + c / 2, (len / 2 + kLineSamples - 1) / kLineSamples, true);
        Loops::filter(spectrum + c, h + c, len);  // conj(X H)
    }
    transform(b.to_result[parity], spectrum, result);
}

// The overlap-add of a block, dealt out to the two lanes in pieces: lane 0
// takes the next piece from the front, lane 1 the next from the back, until
// they meet. Each lane mostly combines the half whose memory its chain asked
// the cache for, and a lane that starts late or runs slower (the helper
// woken late, its processor taken by other work) leaves its last pieces to
// the other instead of keeping it waiting. Every sample goes through the same
// operations whichever lane combines it, and the pieces keep the four-sample
// groups of the wide loops, so the split changes no bit.
class alignas(64) OverlapPieces {
public:
    // Piece length: a microsecond or two of work, where taking a piece (one
    // exchange of a shared word) costs a small fraction of that.
    static constexpr std::int64_t kLength = 512;

    void deal(std::int64_t m) {
        length_ = std::min(kLength, m);
        ends_.store(static_cast<std::uint64_t>(m / length_) << 32, std::memory_order_relaxed);
    }
    std::int64_t length() const { return length_; }
    // The index of the next piece of `lane`, or -1 once none is left.
    std::int64_t take(int lane) {
        std::uint64_t e = ends_.load(std::memory_order_relaxed);
        for (;;) {
            const std::uint64_t front = e & 0xffffffffu;
            const std::uint64_t back = e >> 32;
            if (front >= back) return -1;
            const std::uint64_t next = lane == 0 ? e + 1 : e - (std::uint64_t{1} << 32);
            if (ends_.compare_exchange_weak(e, next, std::memory_order_relaxed))
                return static_cast<std::int64_t>(lane == 0 ? front : back - 1);
        }
    }

private:
    std::atomic<std::uint64_t> ends_{0};  // the front piece (low half) and one past the back piece
    std::int64_t length_ = 1;
};

// The overlap-add of the pieces a lane takes, and with `kerr` the non-linear
// half-step of the same samples (the block is then the whole buffer).
template <class Loops>
void overlap_add(const LinearBlock& b, int lane, const double* kerr, OverlapPieces& pieces) {
    const std::int64_t length = pieces.length();
    for (std::int64_t i = pieces.take(lane); i >= 0; i = pieces.take(lane)) {
        const std::int64_t from = i * length;
        const std::int64_t to = from + length;
        if (kerr != nullptr)
            Loops::overlap_kerr(b.work, b.work + 2 * b.m, b.w, b.memory, b.block, from, to, kerr[0], kerr[1]);
        else
            Loops::overlap(b.work, b.work + 2 * b.m, b.w, b.memory, b.block, from, to);
    }
}

}  // namespace

void chain_order(std::complex<double>* coef, std::int32_t k) {
    if (k < 1) return;
    const std::int64_t m = std::int64_t{1} << k;
    std::vector<std::complex<double>> odd(static_cast<std::size_t>(m));
    for (std::int64_t j = 0; j < m; ++j) {
        odd[static_cast<std::size_t>(j)] = coef[2 * j + 1];
        coef[j] = coef[2 * j];  // j <= 2j: read before it is overwritten
    }
    std::copy(odd.begin(), odd.end(), coef + m);
}

bool slinea_ready(std::int32_t k) {
    if (k < 0 || k >= kMaxPlanExponent) return false;
    if (k >= 1 && forward_plan(k) == nullptr) return false;
    return fft_twiddles(k + 1) != nullptr;
}

namespace {

// The plans of the chains for the work array at hand (its alignment decides
// which); false when one cannot be made.
bool chain_plans(LinearBlock& b) {
    for (int parity = 0; parity < 2; ++parity) {
        Complex* result = b.work + 2 * parity * b.m;
        Complex* spectrum = result + b.m;
        b.to_spectrum[parity] = {};
        b.to_result[parity] = {};
        if (b.m == 1) continue;
        const auto m = static_cast<std::int32_t>(b.m);
        b.to_spectrum[parity] = fft_plan(m, FFTW_FORWARD, result, spectrum);
        b.to_result[parity] = fft_plan(m, FFTW_FORWARD, spectrum, result);
        if (!b.to_spectrum[parity] || !b.to_result[parity]) return false;
    }
    return true;
}

}  // namespace

void slinea(std::int32_t step, const std::int32_t* exponent, const std::int32_t* /*offset*/, const std::int32_t* blocks,
            const std::complex<double>* coef, std::complex<double>* memory, std::int32_t n,
            std::complex<double>* work, std::complex<double>* buffer, const double* g, const double* a) {
    const bool kerr_given = g != nullptr && a != nullptr;
    const std::int32_t k = exponent[step - 1];
    if (!slinea_ready(k)) {
        if (kerr_given) snonli(step, g, a, n, buffer);
        return;
    }
    const std::int64_t m = std::int64_t{1} << k;
    const std::int64_t nb = std::min<std::int64_t>(blocks[step - 1], n / m);
    LinearBlock b{};
    b.w = fft_twiddles(k + 1);
    b.h = coef;
    b.memory = memory;
    b.work = work;
    b.m = m;
    if (!chain_plans(b)) {
        if (kerr_given) snonli(step, g, a, n, buffer);
        return;
    }
    const bool concurrent = 2 * m >= kLaneWork;
    // A filter as long as the buffer: the non-linear half-step rides along
    // with the overlap-add, on the same pieces of the same samples.
    const double kerr[2] = {kerr_given ? g[step - 1] : 0.0, kerr_given ? a[step - 1] : 0.0};
    const bool along = kerr_given && nb == 1 && m == n;
    OverlapPieces pieces;
    auto run = [&b, nb, buffer, m, concurrent, &kerr, along, &pieces]<class Loops>() {
        auto chains = [&b](int lane) { linear_chain<Loops>(b, 1 - lane); };
        auto combine = [&b, &kerr, along, &pieces](int lane) {
            overlap_add<Loops>(b, lane, along ? kerr : nullptr, pieces);
        };
        for (std::int64_t i = 0; i < nb; ++i) {
            b.block = buffer + i * m;
            run_lanes(chains, concurrent);
            pieces.deal(m);
            run_lanes(combine, concurrent);
        }
    };
    if (wide_loops())
        run.template operator()<QuadLoops>();
    else
        run.template operator()<PairLoops>();
    if (kerr_given && !along) snonli(step, g, a, n, buffer);
}

void set_wide_loops(bool on) { wide_loops_on = on; }

void snonli(std::int32_t step, const double* g, const double* a, std::int32_t n, std::complex<double>* buffer) {
    const double gi = g[step - 1];
    const double ai = a[step - 1];
    double* v = reinterpret_cast<double*>(buffer);
    // Sample by sample: the two halves of the buffer are independent lanes.
    const bool wide = wide_loops();
    auto halves = [gi, ai, v, n, wide](int lane) {
        const std::int32_t from = lane == 0 ? 0 : n / 2;
        const std::int32_t to = lane == 0 ? n / 2 : n;
        if (wide)
            QuadLoops::kerr(v, from, to, gi, ai);
        else
            PairLoops::kerr(v, from, to, gi, ai);
    };
    run_lanes(halves, n >= kLaneWork);
}

}  // namespace nodrix

// Step choice, split requests and the two half-operators of the split-step
// method, against hand-worked values, closed forms and a direct convolution.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "numerics/constants.h"
#include "models/fibre/split_step.h"
#include "tests/models/fibre/fibre_test_support.h"

namespace nodrix {
namespace {

using testing::padded_lines;
using testing::split_pieces;
using Field = std::vector<std::complex<double>>;

class SplitStep : public testing::FibreTest {
protected:
    // The time step of a link with default settings [ps].
    static double dt() { return static_cast<double>(SimulationSettings{}.time_step_ps); }
    std::vector<double> h = std::vector<double>(kMaxSteps, 0.0);
    // The split request of the non-linear rule for `s`, which must not fit.
    std::string split_request(const NonlinearStepInput& s) {
        const std::int32_t mem = open_memfile();
        std::int32_t n = 0, uniform = 0;
        stpeva(s, dt(), n, h, uniform, mem, 73);
        EXPECT_EQ(n, -1);
        return memfile_text(mem);
    }
};

// The reference span's inputs: 16 carriers of 1 mW, the peak estimate of the
// dimensioning pass, 0.2 dB/km, gamma 1.26809 /W/km.
NonlinearStepInput reference_span() {
    const double x = 25.0 * 0.06666667;
    return {.beta2 = -20.2205, .beta3 = 0.147459, .total_power = 16.0,
            .peak_power = (1.0 + 0.5 * 15.0 * std::exp(-x * x)) * 16.0, .carriers = 16,
            .alpha = 0.2 / (20.0 * std::log10(std::exp(1.0))), .gamma = 1.26809e-3, .length = 120.0,
            .system_length = 121.0};
}

double leff(double alpha, double z0, double z1) {
    return (std::exp(-2.0 * alpha * z0) - std::exp(-2.0 * alpha * z1)) / (2.0 * alpha);
}

TEST_F(SplitStep, DispersionBoundOfTheReferenceDesigns) {
    const double dt = SplitStep::dt();
    const DispersionBound grating = dispersion_bound(2448.86, 0.0, 0.0, 0.0, dt);
    EXPECT_NEAR(grating.d, 2448.86, 1e-9);
    EXPECT_NEAR(grating.h_max, 0.0016749, 5e-8);
    const DispersionBound span = dispersion_bound(-20.2205, 0.147459, 0.0, 0.0, dt);
    EXPECT_NEAR(span.d, 26.0072, 1e-4);
    EXPECT_NEAR(span.h_max, 0.15771, 1e-5);
    // No dispersion: D = 1e-6, and dispersion never limits a step.
    const DispersionBound none = dispersion_bound(0.0, 0.0, 0.0, 0.0, dt);
    EXPECT_EQ(none.d, 1e-6);
    EXPECT_NEAR(none.h_max, 1000.0 * dt * dt / 1e-6, 1e-6);
    // beta4 and beta5 enter with Omega^2/2 and +-Omega^3/6, Omega = 0.8 pi / dt.
    const double w = 0.8 * kPi / dt;
    EXPECT_NEAR(dispersion_bound(1.0, 0.0, 0.01, 0.001, dt).d, 1.0 + 0.01 * w * w / 2.0 + 0.001 * w * w * w / 6.0, 1e-9);
}

TEST_F(SplitStep, StepCeiling) {
    const std::pair<double, std::int64_t> cases[] = {{0.0, 1},     {0.3, 1}, {2.0, 2}, {2.00005, 2},
                                                     {2.0002, 3}, {2.4, 3}, {2.6, 3}, {7.49, 8}};
    for (const auto& [v, expected] : cases) EXPECT_EQ(step_ceiling(v), expected) << v;
}

TEST_F(SplitStep, LinearRuleGivesEqualStepsOrASplitRequest) {
    std::int32_t n = 0;
    stpeli(2448.86, 0.0, 0.0, 0.0, 1.0, dt(), n, h, -1, 74);
    ASSERT_EQ(n, 598);
    for (std::int32_t i = 0; i < n; ++i) ASSERT_DOUBLE_EQ(h[static_cast<std::size_t>(i)], 1.0 / 598.0);
    EXPECT_EQ(h[598], 0.0);
    // h_D = 1.67493e-5 km: 59704 steps, two pieces of 0.5 km in 12-character fields.
    const std::int32_t mem = open_memfile();
    stpeli(244886.0, 0.0, 0.0, 0.0, 1.0, dt(), n, h, mem, 74);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(memfile_text(mem), "fiber           74\nnumsplit            2\nlength  0.50000E+00\nlength  0.50000E+00\n");
}

TEST_F(SplitStep, ReferenceSpanStepsRespectDispersionAndPhase) {
    const NonlinearStepInput s = reference_span();
    std::int32_t n = 0, uniform = -7;
    stpeva(s, dt(), n, h, uniform, -1, 73);
    ASSERT_TRUE(n > 700 && n < 800) << n;
    double z = 0.0;
    for (std::int32_t i = 0; i < n; ++i) {
        const double hi = h[static_cast<std::size_t>(i)];
        EXPECT_LE(hi, 0.15771 + 1e-6) << i;
        EXPECT_GE(hi, i > 0 ? h[static_cast<std::size_t>(i - 1)] - 1e-12 : 0.0) << "steps grow along a lossy fibre";
        // Lossless phase of the step at its input power: at most 1 degree.
        EXPECT_LE(s.gamma * s.peak_power * std::exp(-2.0 * s.alpha * z) * hi, kTwoPi / 360.0 + 1e-12) << i;
        z += hi;
    }
    EXPECT_NEAR(z, 120.0, 1e-9);
    EXPECT_EQ(h[static_cast<std::size_t>(n)], 0.0);
    EXPECT_EQ(uniform, 1);  // most of the span is equal steps fixed by dispersion
    // The equal tail: r = round((L - S)/h_D) + 1 steps of (L - S)/r.
    const double tail = h[static_cast<std::size_t>(n - 1)];
    std::int32_t j = n;
    while (j > 0 && h[static_cast<std::size_t>(j - 1)] == tail) --j;
    const double short_sum = std::accumulate(h.begin(), h.begin() + j, 0.0);
    const double r = std::round((120.0 - short_sum) / 0.157710) + 1.0;
    EXPECT_EQ(n - j, static_cast<std::int32_t>(r));
    EXPECT_NEAR(tail, (120.0 - short_sum) / r, 1e-12);
}

TEST_F(SplitStep, EqualPhaseStepsHaveEqualEffectiveLengths) {
    NonlinearStepInput s = reference_span();
    s.beta2 = 0.01;  // h_D = 410 km: no cap, but dispersion still outnumbers four-wave mixing
    s.beta3 = 0.0;
    s.total_power = 1.0;
    s.peak_power = 100.0;
    s.length = 50.0;
    std::int32_t n = 0, uniform = 1;
    stpeva(s, dt(), n, h, uniform, -1, 73);
    ASSERT_GT(n, 10);
    EXPECT_EQ(uniform, 0);
    double z = 0.0;
    const double first = leff(s.alpha, 0.0, h[0]);
    for (std::int32_t i = 0; i < n; ++i) {
        EXPECT_NEAR(leff(s.alpha, z, z + h[static_cast<std::size_t>(i)]), first, 1e-9 * first) << i;
        z += h[static_cast<std::size_t>(i)];
    }
    EXPECT_NEAR(z, 50.0, 1e-9);
    // One step fewer would break the phase limit somewhere.
    const double limit_first = kTwoPi / (360.0 * s.gamma * s.peak_power);
    const double c = (1.0 - std::exp(-2.0 * s.alpha * 50.0)) / (n - 1);
    double zz = 0.0;
    bool broken = false;
    for (std::int32_t i = 1; i <= n - 1; ++i) {
        const double hi = std::log((1.0 - (i - 1) * c) / (1.0 - i * c)) / (2.0 * s.alpha);
        if (hi > limit_first / std::exp(-2.0 * s.alpha * zz)) broken = true;
        zz += hi;
    }
    EXPECT_TRUE(broken);
    // Without loss the phase rule gives N_phi equal steps and Leff = L.
    s.alpha = 0.0;
    stpeva(s, dt(), n, h, uniform, -1, 73);
    ASSERT_EQ(n, step_ceiling(100.0 * 50.0 * s.gamma * 360.0 / kTwoPi));
    for (std::int32_t i = 0; i < n; ++i) EXPECT_DOUBLE_EQ(h[static_cast<std::size_t>(i)], 50.0 / n);
}

TEST_F(SplitStep, FewerThanThreeCarriersCountAsThree) {
    // Four-wave mixing dominates: many strong carriers on a lossless fibre.
    NonlinearStepInput s{.beta2 = -20.0, .total_power = 300.0, .peak_power = 1.0, .gamma = 2e-3, .length = 20.0,
                         .system_length = 20.0};
    std::int32_t counts[5] = {};
    for (std::int32_t c = 0; c < 5; ++c) {
        s.carriers = c;
        std::int32_t uniform = 0;
        stpeva(s, dt(), counts[c], h, uniform, -1, 73);
    }
    for (int c : {0, 1, 2}) EXPECT_EQ(counts[c], counts[3]) << c;
    EXPECT_NE(counts[4], counts[3]);
    // N_F with C' = 3: F = 4 * 3 / 7, P/C' = 100 mW.
    EXPECT_EQ(counts[3], step_ceiling(std::pow(10.0, 1.8) * std::pow(100.0 * 2e-3 * 20.0, 2) * (12.0 / 7.0)));
}

TEST_F(SplitStep, SplitRequestsOfTheNonLinearRule) {
    // A single four-wave-mixing piece (57296 steps of equal phase) splits in halves.
    EXPECT_EQ(split_request({.beta2 = -20.0, .total_power = 0.01, .peak_power = 1e5, .carriers = 3, .gamma = 1e-3,
                             .length = 10.0, .system_length = 10.0}),
              padded_lines({"fiber           73", "numsplit            2", "length  0.50000E+01", "length  0.50000E+01"}));
    // One phase-limited step longer than h_D = 4.1e-5 km: 121900 dispersion
    // steps, three equal pieces, and no piece for the (empty) short steps.
    EXPECT_EQ(split_request({.beta2 = 1e5, .peak_power = 1.0, .carriers = 3, .gamma = 1e-3, .length = 5.0,
                             .system_length = 5.0}),
              padded_lines({"fiber           73", "numsplit            3", "length  0.16667E+01", "length  0.16667E+01",
                            "length  0.16667E+01"}));
    // Several four-wave-mixing pieces cover the lossy fibre.
    const std::vector<double> pieces = split_pieces(split_request({.beta2 = -20.0, .total_power = 400.0, .peak_power = 1e5,
                                                                   .carriers = 4, .alpha = 0.05, .gamma = 2e-3, .length = 80.0,
                                                                   .system_length = 80.0}), 73);
    ASSERT_GT(pieces.size(), 2u);
    EXPECT_NEAR(std::accumulate(pieces.begin(), pieces.end(), 0.0), 80.0, 1e-3);
    // The first piece: effective length x = sqrt(S) C 10^(-0.05 X) / (P sqrt(s F) gamma),
    // with S = 20000 halved until x < 0.5/alpha = 10 km: S = 625, x = 8.3 km.
    const double x = std::sqrt(625.0) * 4.0 * std::pow(10.0, -0.9) / (400.0 * std::sqrt(9.0 * 4.0 / 10.0) * 2e-3);
    ASSERT_LT(x, 10.0);
    ASSERT_GE(x * std::sqrt(2.0), 10.0);
    EXPECT_NEAR(pieces[0], -std::log(1.0 - 2.0 * 0.05 * x) / (2.0 * 0.05), 5e-4);  // E12.5
}

// A request goes to the innermost live log as well as to the file, with its
// Kerr phase gamma P L_eff. Beyond about 800 km of 0.2 dB/km the equal
// effective lengths of the non-linear rule round away (1 - e^(-2 alpha L) is
// 1) and the rule asks for pieces (one_channel's span: from 812.5 km on):
// they cover the fibre, however long, with positive lengths, even where its
// power underflows.
TEST_F(SplitStep, SplitRequestsReachTheLiveLogAndCoverTheFibre) {
    const double alpha = 0.2 / (20.0 * std::log10(std::exp(1.0)));
    for (const double length : {4000.0, 1e6}) {
        const SplitRequestLog outer;
        const SplitRequestLog log;
        std::int32_t n = 0, uniform = 0;
        stpeva({.beta2 = -20.2205, .total_power = 0.5, .peak_power = 1.0, .carriers = 1, .alpha = alpha,
                .gamma = 1.26809e-3, .length = length, .system_length = 121.0},
               dt(), n, h, uniform, -1, 6);
        ASSERT_TRUE(n == -1 && log.requests().size() == 1 && outer.requests().empty());
        const SplitRequest& r = log.requests()[0];
        EXPECT_NEAR(r.kerr_phase_rad, 1.26809e-3 * (1.0 - std::exp(-2.0 * alpha * length)) / (2.0 * alpha), 1e-12);
        for (double piece : r.pieces_km) ASSERT_TRUE(piece > 0.0 && piece < length) << piece;
        EXPECT_NEAR(std::accumulate(r.pieces_km.begin(), r.pieces_km.end(), 0.0), length, 1e-9 * length);
    }
}

// Fields of Gaussian samples.
struct Noise {
    std::mt19937 rng;
    std::normal_distribution<double> g{0.0, 1.0};
    Field operator()(std::size_t n, double scale = 1.0) {
        Field v(n);
        for (auto& x : v) x = std::complex<double>{g(rng), g(rng)} * scale;
        return v;
    }
};

// One filter step of exponent k over `input` in buffers of n samples; with
// `shifted` the work array and the buffers lie one double off the 16-byte
// alignment (as a double complex array may), so that other plans serve them;
// with g and a the non-linear half-step follows within slinea.
Field linear_step(std::int32_t k, std::int32_t n, const Field& coef, const Field& input, Field& memory,
                  bool shifted = false, const double* g = nullptr, const double* a = nullptr) {
    const std::int32_t exponent[1] = {k};
    const std::int32_t offset[1] = {0};
    const std::int32_t blocks[1] = {n >> k};
    std::vector<double> storage(2 * (4 * static_cast<std::size_t>(n) + input.size()) + 2);
    double* start = storage.data() + ((reinterpret_cast<std::uintptr_t>(storage.data()) % 16 == 0) == shifted ? 1 : 0);
    auto* work = reinterpret_cast<std::complex<double>*>(start);
    auto* output = work + 4 * n;
    std::copy(input.begin(), input.end(), output);
    Field chain = coef;
    chain_order(chain.data(), k);
    for (std::size_t b = 0; b < input.size(); b += static_cast<std::size_t>(n))
        slinea(1, exponent, offset, blocks, chain.data(), memory.data(), n, work, output + b, g, a);
    return Field(output, output + input.size());
}

TEST_F(SplitStep, OverlapAddOverBuffersEqualsOneLongConvolution) {
    Noise noise{std::mt19937(7)};
    for (const std::int32_t k : {4, 6}) {
        const std::int32_t m = 1 << k;
        // A filter of M taps and its 2M-point response divided by 2M.
        const Field taps = noise(static_cast<std::size_t>(m));
        Field coef(static_cast<std::size_t>(2 * m));
        for (std::int32_t j = 0; j < 2 * m; ++j) {
            for (std::int32_t q = 0; q < m; ++q)
                coef[static_cast<std::size_t>(j)] += taps[static_cast<std::size_t>(q)] * std::polar(1.0, -kTwoPi * j * q / (2.0 * m));
            coef[static_cast<std::size_t>(j)] /= 2.0 * m;
        }
        const Field input = noise(64 * 5);  // five buffers of 64
        for (const bool shifted : {false, true}) {
            Field memory(static_cast<std::size_t>(m));
            const Field output = linear_step(k, 64, coef, input, memory, shifted);
            for (std::size_t i = 0; i < input.size(); ++i) {
                std::complex<double> expected;
                for (std::size_t q = 0; q < static_cast<std::size_t>(m) && q <= i; ++q) expected += taps[q] * input[i - q];
                ASSERT_NEAR(std::abs(output[i] - expected), 0.0, 1e-10) << "k " << k << " shifted " << shifted << " sample " << i;
            }
        }
    }
}

// The overlap-add of one step the plain way: each block padded with M zeros,
// one forward and one backward transform of length 2M.
void plain_overlap_add(std::int32_t k, const Field& coef, Field& memory, std::complex<double>* block) {
    const std::size_t m = std::size_t{1} << k;
    Field in(2 * m), out(2 * m);
    std::copy(block, block + m, in.begin());
    const auto length = static_cast<std::int32_t>(2 * m);
    fft_run(fft_plan(length, FFTW_FORWARD, in.data(), out.data()), in.data(), out.data());
    for (std::size_t i = 0; i < 2 * m; ++i) out[i] *= coef[i];
    fft_run(fft_plan(length, FFTW_BACKWARD, out.data(), in.data()), out.data(), in.data());
    for (std::size_t i = 0; i < m; ++i) {
        block[i] = in[i] + memory[i];
        memory[i] = in[m + i];
    }
}

TEST_F(SplitStep, ThreadsLoopWidthsAndTheNonLinearStepAlongGiveTheSameBits) {
    Noise noise{std::mt19937(11)};
    const double gleff[1] = {0.01};
    const double loss[1] = {0.99};
    for (const std::int32_t k : {10, 12}) {
        for (const std::int32_t blocks : {2, 1}) {  // one block: the non-linear step rides along
            SCOPED_TRACE(::testing::Message() << "k " << k << ", blocks " << blocks);
            const std::size_t m = std::size_t{1} << k;
            const std::int32_t n = blocks << k;
            const Field coef = noise(2 * m, 1.0 / (2.0 * static_cast<double>(m)));
            std::vector<Field> buffers(3);
            for (auto& b : buffers) b = noise(static_cast<std::size_t>(n));
            // The plain algorithm, block after block.
            Field plain_memory(m);
            std::vector<Field> plain = buffers;
            for (auto& b : plain)
                for (std::int32_t i = 0; i < blocks; ++i) plain_overlap_add(k, coef, plain_memory, b.data() + i * m);
            std::vector<Field> results;
            for (const int threads : {2, 1}) {
                for (const bool wide : {true, false}) {
                    for (const bool along : {false, true}) {
                        set_lane_threads(threads);
                        set_wide_loops(wide);
                        Field memory(m);
                        Field all;
                        for (std::size_t b = 0; b < buffers.size(); ++b) {
                            Field buffer = along ? linear_step(k, n, coef, buffers[b], memory, false, gleff, loss)
                                                 : linear_step(k, n, coef, buffers[b], memory);
                            if (!along) {
                                double worst = 0.0;  // against the plain algorithm before the non-linear step
                                for (std::size_t i = 0; i < buffer.size(); ++i)
                                    worst = std::max(worst, std::abs(buffer[i] - plain[b][i]));
                                EXPECT_LT(worst, 1e-13);
                                snonli(1, gleff, loss, n, buffer.data());
                            }
                            all.insert(all.end(), buffer.begin(), buffer.end());
                        }
                        all.insert(all.end(), memory.begin(), memory.end());
                        results.push_back(all);
                    }
                }
            }
            set_lane_threads(0);
            set_wide_loops(true);
            for (const Field& r : results) {
                ASSERT_EQ(r.size(), results[0].size());
                EXPECT_EQ(std::memcmp(r.data(), results[0].data(), r.size() * sizeof(r[0])), 0);
            }
        }
    }
    EXPECT_FALSE(slinea_ready(14));
    EXPECT_FALSE(slinea_ready(-1));
    EXPECT_TRUE(slinea_ready(0));
}

TEST_F(SplitStep, NonLinearStepRotatesEverySampleByItsOwnPhase) {
    for (const double phi : {0.005, 0.012, 0.6}) {  // the three ranges of the rotation
        double c = 0.0, s = 0.0;
        kerr_rotation(phi, c, s);
        EXPECT_NEAR(c, std::cos(phi), 1e-14);
        EXPECT_NEAR(s, std::sin(phi), 1e-14);
    }
    // A CW of power P through a lossless step of gamma Leff = G: phase -G P, power kept.
    for (const double gleff : {1e-4, 2.2e-4, 0.01}) {
        const double g[1] = {gleff};
        const double a[1] = {1.0};
        Field buffer(8, {std::sqrt(50.0), 0.0});
        buffer[3] = {3.0, -4.0};
        snonli(1, g, a, 8, buffer.data());
        EXPECT_NEAR(std::arg(buffer[0]), -gleff * 50.0, 1e-13);
        EXPECT_NEAR(std::norm(buffer[0]), 50.0, 1e-11);
        EXPECT_NEAR(std::norm(buffer[3]), 25.0, 1e-12);
        EXPECT_NEAR(std::arg(buffer[3]), std::atan2(-4.0, 3.0) - gleff * 25.0, 1e-13);
    }
    // Loss: power times exp(-2 alpha h).
    const double no_gamma[1] = {0.0};
    const double loss[1] = {std::exp(-0.046 * 3.0)};
    Field lossy(4, {2.0, 1.0});
    snonli(1, no_gamma, loss, 4, lossy.data());
    EXPECT_NEAR(std::norm(lossy[2]), 5.0 * std::exp(-2.0 * 0.046 * 3.0), 1e-12);

    // Long enough for both threads, odd so that one sample is left over, with
    // small phases alone at first and then phases of all three ranges mixed
    // among neighbours: each sample gets the rotation of its own phase, with
    // the element loops four or two doubles wide.
    const std::int32_t n = 4099;
    const double g[1] = {0.002};
    const double a[1] = {0.97};
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double scale[4] = {1.0, 2.4, 4.0, 12.0};  // |phi| below 0.008, in the middle range, beyond
    Field input(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
        const double r = i < 1024 ? 1.0 : scale[static_cast<std::size_t>((i * 7 / 3) % 4)];
        input[static_cast<std::size_t>(i)] = {r * u(rng), r * u(rng)};
    }
    for (const int threads : {2, 1}) {
        for (const bool wide : {true, false}) {
            set_lane_threads(threads);
            set_wide_loops(wide);
            Field buffer = input;
            snonli(1, g, a, n, buffer.data());
            for (std::size_t i = 0; i < buffer.size(); ++i) {
                const double x = input[i].real();
                const double y = input[i].imag();
                double c = 0.0, s = 0.0;
                kerr_rotation(g[0] * (x * x + y * y), c, s);
                ASSERT_EQ(buffer[i].real(), a[0] * (x * c + y * s)) << i;
                ASSERT_EQ(buffer[i].imag(), a[0] * (y * c - x * s)) << i;
            }
        }
    }
    set_lane_threads(0);
    set_wide_loops(true);
}

}  // namespace
}  // namespace nodrix

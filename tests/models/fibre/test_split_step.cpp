// Step choice, split requests and the two half-operators of the split-step
// method, against hand-worked values, closed forms and a direct convolution.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <numeric>
#include <random>
#include <sstream>
#include <vector>

#include "kernel/control_blocks.h"
#include "models/fibre/split_step.h"
#include "runtime/io_file.h"
#include "runtime/wisdom.h"
#include "tests/models/fibre/fibre_test_plans.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::NodrixTest;
using testing::read_text;

class SplitStep : public NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
        testing::use_estimated_plans();
    }
    // Opens a dimensioning file; its text is read back by `memfile_text`.
    std::int32_t open_memfile() { return io_open("split.mem", kIoWrite, 0); }
    std::string memfile_text(std::int32_t id) {
        io_close(id);
        return read_text("split.mem");
    }
    std::vector<double> h = std::vector<double>(kMaxSteps, 0.0);
};

// The reference span's inputs: 16 carriers of 1 mW, the peak estimate of the
// dimensioning pass, 0.2 dB/km, gamma 1.26809 /W/km.
NonlinearStepInput reference_span() {
    NonlinearStepInput s;
    s.beta2 = -20.2205;
    s.beta3 = 0.147459;
    s.total_power = 16.0;
    s.carriers = 16;
    const double x = 25.0 * 0.06666667;
    s.peak_power = (1.0 + 0.5 * 15.0 * std::exp(-x * x)) * 16.0;
    s.alpha = 0.2 / (20.0 * std::log10(std::exp(1.0)));
    s.gamma = 1.26809e-3;
    s.length = 120.0;
    s.system_length = 121.0;
    s.phase_divisor = 360.0;
    s.fwm_accuracy = 18.0;
    return s;
}

TEST_F(SplitStep, DispersionBoundOfTheReferenceDesigns) {
    const double dt = zdctrl.ddelt;
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
    const DispersionBound higher = dispersion_bound(1.0, 0.0, 0.01, 0.001, dt);
    EXPECT_NEAR(higher.d, 1.0 + 0.01 * w * w / 2.0 + 0.001 * w * w * w / 6.0, 1e-9);
}

TEST_F(SplitStep, StepCeiling) {
    const struct {
        double v;
        std::int64_t expected;
    } cases[] = {{0.0, 1}, {0.3, 1}, {2.0, 2}, {2.00005, 2}, {2.0002, 3}, {2.4, 3}, {2.6, 3}, {7.49, 8}};
    for (const auto& c : cases) EXPECT_EQ(step_ceiling(c.v), c.expected) << c.v;
}

TEST_F(SplitStep, GratingGetsEqualSteps) {
    std::int32_t n = 0;
    stpeli(2448.86, 0.0, 0.0, 0.0, 1.0, n, h, -1, 74);
    ASSERT_EQ(n, 598);
    for (std::int32_t i = 0; i < n; ++i) ASSERT_DOUBLE_EQ(h[static_cast<std::size_t>(i)], 1.0 / 598.0);
    EXPECT_EQ(h[598], 0.0);
}

TEST_F(SplitStep, LinearRuleSplitRequestHasTwelveCharacterFields) {
    const std::int32_t mem = open_memfile();
    std::int32_t n = 0;
    // h_D = 1.67493e-5 km: 59704 steps, two pieces of 0.5 km.
    stpeli(244886.0, 0.0, 0.0, 0.0, 1.0, n, h, mem, 74);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(memfile_text(mem),
              "fiber           74\n"
              "numsplit            2\n"
              "length  0.50000E+00\n"
              "length  0.50000E+00\n");
}

TEST_F(SplitStep, ReferenceSpanStepsRespectDispersionAndPhase) {
    const NonlinearStepInput s = reference_span();
    std::int32_t n = 0;
    std::int32_t uniform = -7;
    stpeva(s, n, h, uniform, -1, 73);
    ASSERT_GT(n, 700);
    ASSERT_LT(n, 800);
    const double h_d = 0.15771;
    double sum = 0.0;
    double z = 0.0;
    for (std::int32_t i = 0; i < n; ++i) {
        const double hi = h[static_cast<std::size_t>(i)];
        EXPECT_LE(hi, h_d + 1e-6) << i;
        if (i > 0) {
            EXPECT_GE(hi, h[static_cast<std::size_t>(i - 1)] - 1e-12) << "steps grow along a lossy fibre";
        }
        // Lossless phase of the step at its input power: at most 1 degree.
        EXPECT_LE(s.gamma * s.peak_power * std::exp(-2.0 * s.alpha * z) * hi, kTwoPi / 360.0 + 1e-12) << i;
        sum += hi;
        z += hi;
    }
    EXPECT_NEAR(sum, 120.0, 1e-9);
    EXPECT_EQ(h[static_cast<std::size_t>(n)], 0.0);
    // Most of the span is equal steps fixed by dispersion: uniform.
    EXPECT_EQ(uniform, 1);
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
    // No dispersion cap (beta = 0), lossy fibre dominated by the phase rule.
    NonlinearStepInput s = reference_span();
    s.beta2 = 0.01;  // h_D = 410 km: no cap, but dispersion still outnumbers four-wave mixing
    s.beta3 = 0.0;
    s.total_power = 1.0;
    s.peak_power = 100.0;
    s.length = 50.0;
    std::int32_t n = 0;
    std::int32_t uniform = 1;
    stpeva(s, n, h, uniform, -1, 73);
    ASSERT_GT(n, 10);
    EXPECT_EQ(uniform, 0);
    double z = 0.0;
    const double first = (1.0 - std::exp(-2.0 * s.alpha * h[0])) / (2.0 * s.alpha);
    for (std::int32_t i = 0; i < n; ++i) {
        const double hi = h[static_cast<std::size_t>(i)];
        const double leff = (std::exp(-2.0 * s.alpha * z) - std::exp(-2.0 * s.alpha * (z + hi))) / (2.0 * s.alpha);
        EXPECT_NEAR(leff, first, 1e-9 * first) << i;
        z += hi;
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
    stpeva(s, n, h, uniform, -1, 73);
    const std::int64_t n_phi = step_ceiling(100.0 * 50.0 * s.gamma * 360.0 / kTwoPi);
    ASSERT_EQ(n, n_phi);
    for (std::int32_t i = 0; i < n; ++i) EXPECT_DOUBLE_EQ(h[static_cast<std::size_t>(i)], 50.0 / n);
}

TEST_F(SplitStep, FewerThanThreeCarriersCountAsThree) {
    // Four-wave mixing dominates: many strong carriers on a lossless fibre.
    NonlinearStepInput s;
    s.beta2 = -20.0;
    s.total_power = 300.0;
    s.peak_power = 1.0;
    s.gamma = 2e-3;
    s.length = 20.0;
    s.system_length = 20.0;
    s.phase_divisor = 360.0;
    s.fwm_accuracy = 18.0;
    std::vector<std::int32_t> counts;
    for (std::int32_t c : {0, 1, 2, 3, 4}) {
        s.carriers = c;
        std::int32_t n = 0;
        std::int32_t uniform = 0;
        stpeva(s, n, h, uniform, -1, 73);
        counts.push_back(n);
    }
    EXPECT_EQ(counts[0], counts[3]);
    EXPECT_EQ(counts[1], counts[3]);
    EXPECT_EQ(counts[2], counts[3]);
    EXPECT_NE(counts[4], counts[3]);
    // N_F with C' = 3: F = 4 * 3 / 7, P/C' = 100 mW.
    const double nf = std::pow(10.0, 1.8) * std::pow(100.0 * 2e-3 * 20.0, 2) * (12.0 / 7.0) * 1.0;
    EXPECT_EQ(counts[3], step_ceiling(nf));
}

TEST_F(SplitStep, SingleFourWaveMixingPieceSplitsInHalves) {
    const std::int32_t mem = open_memfile();
    NonlinearStepInput s;
    s.beta2 = -20.0;
    s.total_power = 0.01;
    s.peak_power = 1e5;  // 57296 steps of equal phase
    s.carriers = 3;
    s.gamma = 1e-3;
    s.length = 10.0;
    s.system_length = 10.0;
    s.phase_divisor = 360.0;
    s.fwm_accuracy = 18.0;
    std::int32_t n = 0;
    std::int32_t uniform = 0;
    stpeva(s, n, h, uniform, mem, 73);
    EXPECT_EQ(n, -1);
    const std::string pad(38, ' ');
    EXPECT_EQ(memfile_text(mem), "fiber           73" + pad + "\n" +
                                     "numsplit            2" + pad + "\n" +
                                     "length  0.50000E+01" + pad + "\n" +
                                     "length  0.50000E+01" + pad + "\n");
}

TEST_F(SplitStep, FourWaveMixingPiecesCoverTheFibre) {
    const std::int32_t mem = open_memfile();
    NonlinearStepInput s;
    s.beta2 = -20.0;
    s.total_power = 400.0;
    s.peak_power = 1e5;
    s.carriers = 4;
    s.alpha = 0.05;
    s.gamma = 2e-3;
    s.length = 80.0;
    s.system_length = 80.0;
    s.phase_divisor = 360.0;
    s.fwm_accuracy = 18.0;
    std::int32_t n = 0;
    std::int32_t uniform = 0;
    stpeva(s, n, h, uniform, mem, 73);
    EXPECT_EQ(n, -1);
    const std::string text = memfile_text(mem);
    std::istringstream in(text);
    std::string word;
    double value = 0.0;
    in >> word >> value;
    EXPECT_EQ(word, "fiber");
    EXPECT_EQ(value, 73.0);
    int pieces = 0;
    in >> word >> pieces;
    EXPECT_EQ(word, "numsplit");
    ASSERT_GT(pieces, 2);
    double total = 0.0;
    double first = 0.0;
    for (int i = 0; i < pieces; ++i) {
        in >> word >> value;
        EXPECT_EQ(word, "length");
        if (i == 0) first = value;
        total += value;
    }
    EXPECT_NEAR(total, 80.0, 1e-3);
    // The first piece: effective length x = sqrt(S) C 10^(-0.05 X) / (P sqrt(s F) gamma),
    // with S = 20000 halved until x < 0.5/alpha = 10 km: S = 625, x = 8.3 km.
    const double f = 9.0 * 4.0 / 10.0;
    const double x = std::sqrt(625.0) * 4.0 * std::pow(10.0, -0.9) / (400.0 * std::sqrt(f) * 2e-3);
    ASSERT_LT(x, 10.0);
    ASSERT_GE(x * std::sqrt(2.0), 10.0);
    EXPECT_NEAR(first, -std::log(1.0 - 2.0 * 0.05 * x) / (2.0 * 0.05), 5e-4);  // E12.5
}

TEST_F(SplitStep, DispersionCapSplitHasNoEmptyPiece) {
    // One phase-limited step longer than h_D = 4.1e-5 km: 121900 dispersion
    // steps, three equal pieces, and no piece for the (empty) short steps.
    const std::int32_t mem = open_memfile();
    NonlinearStepInput s;
    s.beta2 = 1e5;
    s.peak_power = 1.0;
    s.carriers = 3;
    s.gamma = 1e-3;
    s.length = 5.0;
    s.system_length = 5.0;
    s.phase_divisor = 360.0;
    s.fwm_accuracy = 18.0;
    std::int32_t n = 0;
    std::int32_t uniform = 0;
    stpeva(s, n, h, uniform, mem, 73);
    EXPECT_EQ(n, -1);
    const std::string pad(38, ' ');
    EXPECT_EQ(memfile_text(mem), "fiber           73" + pad + "\n" + "numsplit            3" + pad + "\n" +
                                     "length  0.16667E+01" + pad + "\n" + "length  0.16667E+01" + pad + "\n" +
                                     "length  0.16667E+01" + pad + "\n");
}

TEST_F(SplitStep, OverlapAddOverBuffersEqualsOneLongConvolution) {
    zzctrl.pass = 1;
    std::mt19937 rng(7);
    std::normal_distribution<double> g(0.0, 1.0);
    for (const std::int32_t k : {4, 6}) {
        const std::int32_t m = 1 << k;
        const std::int32_t n = 64;
        // A filter of M taps and its 2M-point response divided by 2M.
        std::vector<std::complex<double>> taps(static_cast<std::size_t>(m));
        for (auto& t : taps) t = {g(rng), g(rng)};
        std::vector<std::complex<double>> coef(static_cast<std::size_t>(2 * m));
        for (std::int32_t j = 0; j < 2 * m; ++j) {
            std::complex<double> sum;
            for (std::int32_t q = 0; q < m; ++q)
                sum += taps[static_cast<std::size_t>(q)] * std::polar(1.0, -kTwoPi * j * q / (2.0 * m));
            coef[static_cast<std::size_t>(j)] = sum / (2.0 * m);
        }
        const std::int32_t exponent[1] = {k};
        const std::int32_t offset[1] = {0};
        const std::int32_t blocks[1] = {n / m};
        std::vector<std::complex<double>> memory(static_cast<std::size_t>(m));
        std::vector<std::complex<double>> work(static_cast<std::size_t>(4 * n));
        const int nbuffers = 5;
        std::vector<std::complex<double>> input(static_cast<std::size_t>(n * nbuffers));
        for (auto& v : input) v = {g(rng), g(rng)};
        std::vector<std::complex<double>> output;
        for (int b = 0; b < nbuffers; ++b) {
            std::vector<std::complex<double>> buffer(input.begin() + b * n, input.begin() + (b + 1) * n);
            slinea(1, exponent, offset, blocks, coef.data(), memory.data(), n, work.data(), buffer.data());
            output.insert(output.end(), buffer.begin(), buffer.end());
        }
        for (std::size_t i = 0; i < input.size(); ++i) {
            std::complex<double> expected;
            for (std::int32_t q = 0; q < m && q <= static_cast<std::int32_t>(i); ++q) {
                expected += taps[static_cast<std::size_t>(q)] * input[i - static_cast<std::size_t>(q)];
            }
            ASSERT_NEAR(std::abs(output[i] - expected), 0.0, 1e-10) << "k " << k << " sample " << i;
        }
    }
    // Outside the run phase the buffer is left alone.
    zzctrl.pass = 0;
    const std::int32_t exponent[1] = {4};
    const std::int32_t offset[1] = {0};
    const std::int32_t blocks[1] = {1};
    std::vector<std::complex<double>> coef(32, {1.0, 0.0}), memory(16), work(64), buffer(16, {1.0, 2.0});
    slinea(1, exponent, offset, blocks, coef.data(), memory.data(), 16, work.data(), buffer.data());
    EXPECT_EQ(buffer[3], std::complex<double>(1.0, 2.0));
}


// The overlap-add of one step the plain way: each block padded with M zeros,
// one forward and one backward FFTW transform of length 2M (estimated plans).
void plain_overlap_add(std::int32_t k, const std::vector<std::complex<double>>& coef,
                       std::vector<std::complex<double>>& memory, std::vector<std::complex<double>>& block) {
    const std::size_t m = std::size_t{1} << k;
    std::vector<fftw_complex> in(2 * m), out(2 * m);
    for (std::size_t i = 0; i < 2 * m; ++i) in[i] = i < m ? fftw_complex{block[i].real(), block[i].imag()} : fftw_complex{0, 0};
    fftw_one(pplan.forward[static_cast<std::size_t>(k + 1)], in.data(), out.data());
    for (std::size_t i = 0; i < 2 * m; ++i) {
        const std::complex<double> y = std::complex<double>(out[i].re, out[i].im) * coef[i];
        out[i] = fftw_complex{y.real(), y.imag()};
    }
    fftw_one(pplan.backward[static_cast<std::size_t>(k + 1)], out.data(), in.data());
    for (std::size_t i = 0; i < m; ++i) {
        block[i] = std::complex<double>(in[i].re, in[i].im) + memory[i];
        memory[i] = {in[m + i].re, in[m + i].im};
    }
}

TEST_F(SplitStep, LargeFiltersSplitOnTwoThreadsGiveTheSameBitsAsOnOne) {
    zzctrl.pass = 1;
    std::mt19937 rng(11);
    std::normal_distribution<double> g(0.0, 1.0);
    for (const std::int32_t k : {10, 12}) {
        SCOPED_TRACE(k);
        const std::int32_t m = 1 << k;
        const std::int32_t n = 2 * m;  // two blocks per buffer
        std::vector<std::complex<double>> coef(static_cast<std::size_t>(2 * m));
        for (auto& c : coef) c = std::complex<double>(g(rng), g(rng)) / (2.0 * m);
        const std::int32_t exponent[1] = {k};
        const std::int32_t offset[1] = {0};
        const std::int32_t blocks[1] = {2};
        const double gleff[1] = {0.01};
        const double loss[1] = {0.99};
        std::vector<std::vector<std::complex<double>>> buffers(3, std::vector<std::complex<double>>(n));
        for (auto& b : buffers)
            for (auto& v : b) v = {g(rng), g(rng)};
        // The plain algorithm, buffer after buffer.
        std::vector<std::complex<double>> plain_memory(static_cast<std::size_t>(m));
        std::vector<std::vector<std::complex<double>>> plain = buffers;
        for (auto& b : plain) {
            for (std::int32_t i = 0; i < 2; ++i) {
                std::vector<std::complex<double>> block(b.begin() + i * m, b.begin() + (i + 1) * m);
                plain_overlap_add(k, coef, plain_memory, block);
                std::copy(block.begin(), block.end(), b.begin() + i * m);
            }
        }
        std::vector<std::vector<std::complex<double>>> results;
        for (const int threads : {2, 1}) {
            set_lane_threads(threads);
            std::vector<std::complex<double>> memory(static_cast<std::size_t>(m));
            std::vector<std::complex<double>> work(static_cast<std::size_t>(4 * n));
            std::vector<std::complex<double>> all;
            for (std::size_t b = 0; b < buffers.size(); ++b) {
                std::vector<std::complex<double>> buffer = buffers[b];
                slinea(1, exponent, offset, blocks, coef.data(), memory.data(), n, work.data(), buffer.data());
                // Against the plain algorithm before the non-linear step.
                double worst = 0.0;
                for (std::int32_t i = 0; i < n; ++i)
                    worst = std::max(worst, std::abs(buffer[static_cast<std::size_t>(i)] - plain[b][static_cast<std::size_t>(i)]));
                EXPECT_LT(worst, 1e-13);
                snonli(1, gleff, loss, n, buffer.data());
                all.insert(all.end(), buffer.begin(), buffer.end());
            }
            all.insert(all.end(), memory.begin(), memory.end());
            results.push_back(all);
        }
        set_lane_threads(0);
        ASSERT_EQ(results[0].size(), results[1].size());
        EXPECT_EQ(std::memcmp(results[0].data(), results[1].data(), results[0].size() * sizeof(results[0][0])), 0);
    }
    EXPECT_FALSE(slinea_ready(14));
    EXPECT_FALSE(slinea_ready(-1));
    EXPECT_TRUE(slinea_ready(0));
}

TEST_F(SplitStep, NonLinearStepOfEverySampleIsTheRotationOfItsOwnPhase) {
    // Long enough for both threads, odd so that one sample is left over, with
    // phases of all three ranges mixed among neighbours.
    zzctrl.pass = 1;
    const std::int32_t n = 4099;
    const double gi = 0.002;
    const double ai = 0.97;
    const double g[1] = {gi};
    const double a[1] = {ai};
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    const double scale[4] = {1.0, 2.4, 4.0, 12.0};  // |phi| below 0.008, in the middle range, beyond
    std::vector<std::complex<double>> buffer(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) {
        const double r = scale[static_cast<std::size_t>((i * 7 / 3) % 4)];
        buffer[static_cast<std::size_t>(i)] = {r * u(rng), r * u(rng)};
    }
    const std::vector<std::complex<double>> input = buffer;
    for (const int threads : {2, 1}) {
        set_lane_threads(threads);
        buffer = input;
        snonli(1, g, a, n, buffer.data());
        for (std::int32_t i = 0; i < n; ++i) {
            const double x = input[static_cast<std::size_t>(i)].real();
            const double y = input[static_cast<std::size_t>(i)].imag();
            double c = 0.0;
            double s = 0.0;
            kerr_rotation(gi * (x * x + y * y), c, s);
            ASSERT_EQ(buffer[static_cast<std::size_t>(i)].real(), ai * (x * c + y * s)) << i;
            ASSERT_EQ(buffer[static_cast<std::size_t>(i)].imag(), ai * (y * c - x * s)) << i;
        }
    }
    set_lane_threads(0);
}

TEST_F(SplitStep, NonLinearStepPhaseEnergyAndLoss) {
    zzctrl.pass = 1;
    // Phases in the three ranges of the rotation.
    for (const double phi : {0.005, 0.012, 0.6}) {
        double c = 0.0;
        double s = 0.0;
        kerr_rotation(phi, c, s);
        EXPECT_NEAR(c, std::cos(phi), 1e-14);
        EXPECT_NEAR(s, std::sin(phi), 1e-14);
    }
    // A CW of power P through a lossless step of gamma Leff = G: phase -G P, power kept.
    const double power = 50.0;
    for (const double gleff : {1e-4, 2.2e-4, 0.01}) {
        const double g[1] = {gleff};
        const double a[1] = {1.0};
        std::vector<std::complex<double>> buffer(8, {std::sqrt(power), 0.0});
        buffer[3] = {3.0, -4.0};
        snonli(1, g, a, 8, buffer.data());
        EXPECT_NEAR(std::arg(buffer[0]), -gleff * power, 1e-13);
        EXPECT_NEAR(std::norm(buffer[0]), power, 1e-11);
        EXPECT_NEAR(std::norm(buffer[3]), 25.0, 1e-12);
        EXPECT_NEAR(std::arg(buffer[3]), std::atan2(-4.0, 3.0) - gleff * 25.0, 1e-13);
    }
    // Loss: power times exp(-2 alpha h).
    const double alpha = 0.046;
    const double hstep = 3.0;
    const double g[1] = {0.0};
    const double a[1] = {std::exp(-alpha * hstep)};
    std::vector<std::complex<double>> buffer(4, {2.0, 1.0});
    snonli(1, g, a, 4, buffer.data());
    EXPECT_NEAR(std::norm(buffer[2]), 5.0 * std::exp(-2.0 * alpha * hstep), 1e-12);
}

}  // namespace
}  // namespace nodrix

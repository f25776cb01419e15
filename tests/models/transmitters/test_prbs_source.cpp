#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "models/transmitters/prbs_source.h"
#include "tests/models/transmitters/sample_harness.h"

namespace nodrix {
namespace {

using testing::begin_run;
using testing::begin_sample;

class PrbsTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        testing::set_project_constants();
    }
};

// ---- Independent references ----------------------------------------------

// The polynomial of a table entry as a bit mask (decimal digits are octal digits).
std::uint64_t polynomial_bits(std::int32_t entry) { return std::stoull(std::to_string(entry), nullptr, 8); }

// Sequence of a Fibonacci register of the polynomial started with all ones:
// bit i of `state` holds s(n + i); s(n + degree) is the parity of the
// state masked by the polynomial's lower coefficients.
std::vector<int> lfsr_sequence(std::uint64_t poly, int degree, int length) {
    std::uint64_t state = (std::uint64_t{1} << degree) - 1;
    const std::uint64_t low = poly & state;
    std::vector<int> s;
    for (int n = 0; n < length; ++n) {
        s.push_back(static_cast<int>(state & 1));
        const auto next = static_cast<std::uint64_t>(__builtin_popcountll(state & low) & 1);
        state = (state >> 1) | (next << (degree - 1));
    }
    return s;
}

// x^e modulo the polynomial, over GF(2).
std::uint64_t power_of_x(std::uint64_t e, std::uint64_t poly, int degree) {
    auto mul = [&](std::uint64_t a, std::uint64_t b) {
        std::uint64_t r = 0;
        while (b != 0) {
            if (b & 1) r ^= a;
            b >>= 1;
            a <<= 1;
            if ((a >> degree) & 1) a ^= poly;
        }
        return r;
    };
    std::uint64_t result = 1;
    std::uint64_t base = 2;
    for (; e != 0; e >>= 1) {
        if (e & 1) result = mul(result, base);
        base = mul(base, base);
    }
    return result;
}

// Primitive: x has order 2^degree - 1 modulo the polynomial.
bool primitive(std::uint64_t poly, int degree) {
    const std::uint64_t order = (std::uint64_t{1} << degree) - 1;
    if (power_of_x(order, poly, degree) != 1) return false;
    std::uint64_t rest = order;
    for (std::uint64_t q = 2; q * q <= rest; ++q) {
        if (rest % q != 0) continue;
        while (rest % q == 0) rest /= q;
        if (power_of_x(order / q, poly, degree) == 1) return false;
    }
    return rest == 1 || power_of_x(order / rest, poly, degree) != 1;
}

// Runs the source per sample and returns the logical outputs and clock values.
struct SourceRun {
    std::vector<LogicalSignal> lg;
    std::vector<float> clk;
};
SourceRun run_source(const SpnseqParams& p, int samples) {
    ElectricalSample clk;
    LogicalSignal lg{};
    begin_run();
    spnseq(p, clk, lg);
    SourceRun r;
    for (int k = 1; k <= samples; ++k) {
        begin_sample(k);
        spnseq(p, clk, lg);
        r.lg.push_back(lg);
        r.clk.push_back(clk.value);
    }
    return r;
}

SpnseqParams prbs(int degree, int variant, int nsbit = 1, int ioffs = 0, int nstart = 0, int nlev = 1) {
    SpnseqParams p;
    p.isrc = 0;
    p.ndeg = degree;
    p.ipoly = variant;
    p.nsbit = nsbit;
    p.ioffs = ioffs;
    p.nstart = nstart;
    p.nlev = nlev;
    p.iclk = 1;
    return p;
}

// ---- Polynomial table ------------------------------------------------------

TEST_F(PrbsTest, TableHoldsPrimitivePolynomialsOfEachDegree) {
    const std::vector<std::int32_t> degree7 = {203, 211, 217, 221, 235, 247, 253, 271, 277,
                                               301, 313, 323, 325, 345, 357, 361, 367, 375};
    const std::int32_t sparse[] = {1021,    2011,     4005,      10123,     20033,     42103,      100003,
                                   210013,  400011,   1000201,   2000047,   4000011,   10000005,   20000003,
                                   40000041, 100000207, 200000011, 400000107, 1000000047, 2000000011};
    const int all_primitive[] = {6, 6, 18, 16};  // every primitive polynomial of degrees 5 to 8
    for (int degree = kPrbsMinDegree; degree <= kPrbsMaxDegree; ++degree) {
        const int n = prbs_variants(degree);
        ASSERT_GE(n, 1) << degree;
        if (degree <= 8) {
            EXPECT_EQ(n, all_primitive[degree - 5]) << degree;
        } else {
            EXPECT_EQ(prbs_polynomial(degree, 1), sparse[degree - 9]);
        }
        std::uint64_t previous = 0;
        for (int v = 1; v <= n; ++v) {
            const std::int32_t entry = prbs_polynomial(degree, v);
            const std::uint64_t poly = polynomial_bits(entry);
            EXPECT_EQ(64 - __builtin_clzll(poly), degree + 1) << entry;
            EXPECT_TRUE(primitive(poly, degree)) << degree << " " << entry;
            if (degree <= 8) {
                EXPECT_GT(poly, previous) << entry;  // increasing order
            }
            if (degree == 7) {
                EXPECT_EQ(entry, degree7[static_cast<std::size_t>(v - 1)]);
            }
            previous = poly;
            // Small degrees: the block's register runs through all 2^n - 1
            // non-zero states before it returns to all ones.
            if (degree <= 16) {
                std::vector<std::int32_t> reg(static_cast<std::size_t>(degree), 1);
                std::vector<std::int32_t> taps(static_cast<std::size_t>(degree));
                ASSERT_TRUE(prbs_taps(entry, degree, taps.data()));
                const long period = (1L << degree) - 1;
                long steps = 0;
                do {
                    prbs_step(reg.data(), taps.data(), degree);
                    ++steps;
                } while (steps <= period && std::count(reg.begin(), reg.end(), 1) != degree);
                EXPECT_EQ(steps, period) << entry;
            }
        }
        EXPECT_EQ(prbs_polynomial(degree, 0), 0);
        EXPECT_EQ(prbs_polynomial(degree, n + 1), 0);
    }
    EXPECT_EQ(prbs_variants(4), 0);
    EXPECT_EQ(prbs_variants(29), 0);
}

TEST_F(PrbsTest, TapsFromOctalDigits) {
    std::int32_t taps[7];
    ASSERT_TRUE(prbs_taps(203, 7, taps));  // x^7 + x + 1
    EXPECT_EQ(std::vector<std::int32_t>(taps, taps + 7), (std::vector<std::int32_t>{1, 1, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(prbs_taps(375, 7, taps));  // x^7 + x^6 + x^5 + x^4 + x^3 + x^2 + 1
    EXPECT_EQ(std::vector<std::int32_t>(taps, taps + 7), (std::vector<std::int32_t>{1, 0, 1, 1, 1, 1, 1}));
    EXPECT_FALSE(prbs_taps(283, 7, taps));  // 8 is no octal digit
}

TEST_F(PrbsTest, AutomaticDegree) {
    struct Case {
        int nlev;
        float tend;
        int nsbit;
        float delt;
        int degree;
    };
    const Case cases[] = {
        {1, 6404.5f, 1, 1.0f, 13},     // 6404 halves 12 times before reaching 1
        {2, 3202.25f, 1, 1.0f, 13},    // the same count from two bits per symbol
        {1, 640443.06f, 1561, 0.0640443f, 13},  // the project's run: 6406 symbols
        {1, 0.5f, 1, 1.0f, 5},         // below one symbol
        {1, 64.0f, 1, 1.0f, 7},        // 64 -> 1 in 6 halvings
        {1, 1.0e12f, 1, 1.0f, 28},     // kept at 28
    };
    for (const Case& c : cases) EXPECT_EQ(prbs_auto_degree(c.nlev, c.tend, c.nsbit, c.delt), c.degree) << c.tend;
}

// ---- Block: PRBS -------------------------------------------------------------

TEST_F(PrbsTest, Degree7EveryVariantGivesItsMaximalLengthSequence) {
    for (int v = 1; v <= prbs_variants(7); ++v) {
        const SourceRun r = run_source(prbs(7, v), 1 + 2 * 127);
        // Sample 1 is the first symbol boundary of the run: all ones. From
        // sample 2 on, one register bit per sample: s(1), s(2), ...
        EXPECT_EQ(r.lg[0][0], 1);
        const std::vector<int> s = lfsr_sequence(polynomial_bits(prbs_polynomial(7, v)), 7, 2 * 127 + 1);
        int ones = 0;
        for (int k = 2; k <= 1 + 2 * 127; ++k) {
            const LogicalSignal& lg = r.lg[static_cast<std::size_t>(k - 1)];
            ASSERT_EQ(lg[1], -1);
            ASSERT_EQ(lg[0], s[static_cast<std::size_t>(k - 1)]) << "variant " << v << " sample " << k;
            if (k <= 128) ones += lg[0];
        }
        EXPECT_EQ(ones, 64);  // an m-sequence of period 127 holds 64 ones
        // Period exactly 127: no shorter shift reproduces the sequence.
        for (int shift = 1; shift <= 127; ++shift) {
            bool same = true;
            for (int k = 1; k <= 127 && same; ++k)
                same = r.lg[static_cast<std::size_t>(k)][0] == r.lg[static_cast<std::size_t>(k + shift)][0];
            EXPECT_EQ(same, shift == 127) << "variant " << v << " shift " << shift;
        }
    }
}

TEST_F(PrbsTest, StartPatternAndFirstSampleAdvance) {
    const std::vector<int> s = lfsr_sequence(polynomial_bits(203), 7, 40);
    {
        // ioffs 0, nsbit 3, nstart 5: the first sample advances 5 x 3 + 1
        // samples, meeting 6 boundaries; it is itself a boundary, so it shows
        // all ones, and the register has stepped 6 times. The next boundary
        // (sample 4) shows s(6).
        const SourceRun r = run_source(prbs(7, 1, 3, 0, 5, 2), 12);
        const int expect[12][2] = {{1, 1}, {1, 1}, {1, 1}, {s[12], s[13]}, {s[12], s[13]}, {s[12], s[13]},
                                   {s[14], s[15]}, {s[14], s[15]}, {s[14], s[15]}, {s[16], s[17]}, {s[16], s[17]}, {s[16], s[17]}};
        for (int k = 0; k < 12; ++k) {
            EXPECT_EQ(r.lg[static_cast<std::size_t>(k)][0], expect[k][0]) << k + 1;
            EXPECT_EQ(r.lg[static_cast<std::size_t>(k)][1], expect[k][1]) << k + 1;
            EXPECT_EQ(r.lg[static_cast<std::size_t>(k)][2], -1);
            EXPECT_EQ(r.clk[static_cast<std::size_t>(k)], k % 3 == 0 ? 1.0f : 0.0f) << k + 1;
        }
    }
    {
        // ioffs 1, nsbit 3, nstart 5: the first sample advances 5 x 3 + 2 + 1
        // samples (6 boundaries, register at s(6), ending one short of the
        // next boundary): all zeros; sample 2 is the 7th boundary (all ones),
        // sample 5 the 8th, showing s(7) (nlev 1).
        const SourceRun r = run_source(prbs(7, 1, 3, 1, 5, 1), 10);
        const int expect[10] = {0, 1, 1, 1, s[7], s[7], s[7], s[8], s[8], s[8]};
        for (int k = 0; k < 10; ++k) {
            EXPECT_EQ(r.lg[static_cast<std::size_t>(k)][0], expect[k]) << k + 1;
            EXPECT_EQ(r.clk[static_cast<std::size_t>(k)], k % 3 == 1 ? 1.0f : 0.0f) << k + 1;
        }
    }
    {
        // A start beyond whole register periods gives the same symbols.
        const SourceRun a = run_source(prbs(7, 4, 2, 1, 7, 1), 300);
        const SourceRun b = run_source(prbs(7, 4, 2, 1, 7 + 3 * 127, 1), 300);
        for (int k = 0; k < 300; ++k) ASSERT_EQ(a.lg[static_cast<std::size_t>(k)][0], b.lg[static_cast<std::size_t>(k)][0]);
    }
}

TEST_F(PrbsTest, ClockForms) {
    // nsbit 4, ioffs 1: sample 1 ends at phase m = 3, then m = 0, 1, 2, 3, ...
    SpnseqParams p = prbs(7, 1, 4, 1);
    p.iclk = 1;
    const SourceRun pulse = run_source(p, 9);
    p.iclk = 2;
    const SourceRun square = run_source(p, 9);
    p.iclk = 3;
    const SourceRun sine = run_source(p, 9);
    const float expect_pulse[9] = {0, 1, 0, 0, 0, 1, 0, 0, 0};
    const float expect_square[9] = {-1, 1, 1, -1, -1, 1, 1, -1, -1};
    for (int k = 0; k < 9; ++k) {
        EXPECT_EQ(pulse.clk[static_cast<std::size_t>(k)], expect_pulse[k]) << k + 1;
        EXPECT_EQ(square.clk[static_cast<std::size_t>(k)], expect_square[k]) << k + 1;
        // sin(2 pi (t / (4 delt) - 1/4)) with t = (k - 1) delt: 0 at the boundaries.
        EXPECT_NEAR(sine.clk[static_cast<std::size_t>(k)], std::sin(2.0 * kPi * (k / 4.0 - 0.25)), 1e-5) << k + 1;
    }
}

TEST_F(PrbsTest, AutomaticDegreeIsAnnouncedPerSampleAndUsed) {
    zzctrl.tend = 6404.5f;
    zzctrl.delt = 1.0f;
    zdctrl.ddelt = 1.0;
    SpnseqParams p = prbs(0, 1);
    ElectricalSample clk;
    LogicalSignal lg{};
    ::testing::internal::CaptureStderr();
    begin_run();
    spnseq(p, clk, lg);
    EXPECT_EQ(::testing::internal::GetCapturedStderr().find("14913"), std::string::npos);  // silent set-up
    ::testing::internal::CaptureStderr();
    const int n = 8191 * 2 + 1;
    std::vector<int> seq;
    for (int k = 1; k <= n; ++k) {
        begin_sample(k);
        spnseq(p, clk, lg);
        seq.push_back(lg[0]);
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("NODRIX WARNING CONDITION - CODE = 14913"), std::string::npos) << err;
    const std::vector<int> s = lfsr_sequence(polynomial_bits(20033), 13, n);
    for (int k = 2; k <= n; ++k) ASSERT_EQ(seq[static_cast<std::size_t>(k - 1)], s[static_cast<std::size_t>(k - 1)]) << k;
}

TEST_F(PrbsTest, ParameterErrors) {
    struct Case {
        SpnseqParams p;
        const char* code;
    };
    SpnseqParams deg = prbs(29, 1);
    SpnseqParams offs = prbs(7, 1, 4, 4);
    SpnseqParams negative = prbs(7, 1, 4, -1);
    SpnseqParams variant = prbs(7, 19);
    SpnseqParams levels = prbs(7, 1, 1, 0, 0, 9);
    const Case cases[] = {{deg, "ERROR CODE = 14011"},
                          {offs, "ERROR CODE = 14013"},
                          {negative, "ERROR CODE = 14013"},
                          {variant, "ERROR CODE = 14014"},
                          {levels, "ERROR CODE = 14012"}};
    for (const Case& c : cases) {
        ::testing::internal::CaptureStderr();
        const SourceRun r = run_source(c.p, 3);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.code), std::string::npos) << err;
        // No data from a faulty source: zeros and the terminator -3.
        const std::int32_t nlev = std::min(c.p.nlev, 8);
        for (const LogicalSignal& lg : r.lg) {
            for (std::int32_t j = 0; j < nlev; ++j) EXPECT_EQ(lg[static_cast<std::size_t>(j)], 0);
            EXPECT_EQ(lg[static_cast<std::size_t>(nlev)], -3);
        }
    }
}

TEST_F(PrbsTest, StorageOfTheSetUp) {
    // Project source: loci(3), loch(2), loci(1 + 2 x 7 + 2).
    testing::begin_counting();
    ElectricalSample clk;
    LogicalSignal lg{};
    lg.fill(7);
    spnseq(prbs(7, 13, 1561, 227, 72), clk, lg);
    EXPECT_EQ(optcl_ctrl.memused, (4 * 3 + 8) + (4 * 2 + 8) + (4 * 17 + 8));
    EXPECT_EQ(lg[0], 0);
    EXPECT_EQ(lg[1], -3);
    EXPECT_EQ(lg[2], 7);  // nothing written past the terminator
}

// ---- Block: user file ----------------------------------------------------------

SpnseqParams user_file(const std::string& name, int nlev) {
    SpnseqParams p = prbs(7, 1, 1, 0, 0, nlev);
    p.isrc = 1;
    p.fname = name;
    p.fname.resize(50, ' ');
    return p;
}

TEST_F(PrbsTest, UserFileSymbolsWrapAround) {
    testing::write_text("bits.DAT", "user data\n##\n2\n1 0\n0 0\n\n1 1\n");
    const SourceRun r = run_source(user_file("bits__", 2), 8);  // trailing underscores are dropped
    // Sample 1: the first boundary, all ones; then symbols 2, 3, 1, 2, 3, ...
    const int expect[8][2] = {{1, 1}, {0, 0}, {1, 1}, {1, 0}, {0, 0}, {1, 1}, {1, 0}, {0, 0}};
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(r.lg[static_cast<std::size_t>(k)][0], expect[k][0]) << k + 1;
        EXPECT_EQ(r.lg[static_cast<std::size_t>(k)][1], expect[k][1]) << k + 1;
        EXPECT_EQ(r.lg[static_cast<std::size_t>(k)][2], -1);
    }
    EXPECT_TRUE(std::filesystem::exists("bits.DAT"));  // kept
}

TEST_F(PrbsTest, UserFileProblems) {
    struct Case {
        const char* text;  // null: no file
        int nlev;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"##\n1\n1\n0\n", 2,
         {"Nodrix-E-Datasource bad file \n", "File and datasource dialog have not\n", "the same logical level\n"}},
        {"##\n1\n1\n2\n", 1, {"Nodrix-E-Datasource bad file\n", "File must contain only 0 or 1 \n"}},
        {"##\n1\n-1\n", 1, {"Nodrix-E-Datasource bad file\n", "File must contain only 0 or 1 \n"}},
        {"##\n1\n", 1, {"Nodrix-E-Datasource bad file \n"}},
        {"no header\n1\n", 1, {"Nodrix-E-Datasource bad file \n"}},
        {nullptr, 1, {"Nodrix-E-Datasource bad file \n", "File not found: data.DAT\n"}},
    };
    for (const Case& c : cases) {
        std::filesystem::remove("data.DAT");
        if (c.text != nullptr) testing::write_text("data.DAT", c.text);
        ::testing::internal::CaptureStderr();
        const SourceRun r = run_source(user_file("  data", c.nlev), 2);
        const std::string err = ::testing::internal::GetCapturedStderr();
        std::size_t at = 0;
        for (const std::string& line : c.lines) {
            const std::size_t found = err.find(line, at);
            EXPECT_NE(found, std::string::npos) << line << " in\n" << err;
            at = found == std::string::npos ? at : found + line.size();
        }
        for (const LogicalSignal& lg : r.lg) EXPECT_EQ(lg[static_cast<std::size_t>(c.nlev)], -3);
        EXPECT_EQ(std::filesystem::exists("data.DAT"), c.text != nullptr);  // a missing file is not created
    }
}

TEST_F(PrbsTest, UserFileStorageCountsSymbols) {
    testing::write_text("data.DAT", "##\n2\n1 0\n0 1\n1 1\n");
    testing::begin_counting();
    ElectricalSample clk;
    LogicalSignal lg{};
    spnseq(user_file("data", 2), clk, lg);
    // loci(3), loch(2), loci(nlev + 3), loci(nlev x 3 symbols)
    EXPECT_EQ(optcl_ctrl.memused, (4 * 3 + 8) + (4 * 2 + 8) + (4 * 5 + 8) + (4 * 6 + 8));
    EXPECT_EQ(lg[0], 0);
    EXPECT_EQ(lg[1], 0);
    EXPECT_EQ(lg[2], -3);
}

}  // namespace
}  // namespace nodrix

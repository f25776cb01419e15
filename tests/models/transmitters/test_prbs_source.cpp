#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "models/transmitters/prbs_source.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using testing::stderr_of;
using PrbsTest = testing::BlockTest;

// The polynomial of a table entry as a bit mask (decimal digits are octal digits).
std::uint64_t polynomial_bits(std::int32_t entry) { return std::stoull(std::to_string(entry), nullptr, 8); }

// Fibonacci register of the polynomial from all ones: bit i holds s(n + i); s(n + degree) is the parity of
// the state masked by the polynomial's lower coefficients.
std::vector<int> lfsr_sequence(std::int32_t entry, int degree, int length) {
    std::uint64_t state = (std::uint64_t{1} << degree) - 1;
    const std::uint64_t low = polynomial_bits(entry) & state;
    std::vector<int> s;
    for (int n = 0; n < length; ++n) {
        s.push_back(static_cast<int>(state & 1));
        state = (state >> 1) | (static_cast<std::uint64_t>(__builtin_popcountll(state & low) & 1) << (degree - 1));
    }
    return s;
}

// x^e modulo the polynomial over GF(2); primitive when x has order 2^degree - 1.
std::uint64_t power_of_x(std::uint64_t e, std::uint64_t poly, int degree) {
    auto mul = [&](std::uint64_t a, std::uint64_t b) {
        std::uint64_t r = 0;
        for (; b != 0; b >>= 1) {
            if (b & 1) r ^= a;
            a <<= 1;
            if ((a >> degree) & 1) a ^= poly;
        }
        return r;
    };
    std::uint64_t result = 1;
    for (std::uint64_t base = 2; e != 0; e >>= 1, base = mul(base, base))
        if (e & 1) result = mul(result, base);
    return result;
}
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

// A data source's settings: a register of the degree and variant, or a bit file.
struct Source {
    int degree = 7, variant = 1, samples_per_bit = 1, offset = 0, skipped = 0, levels = 1;
    std::string file;
};

// The source made through its registry entry, designed, set up and run for
// `samples` samples: its logical outputs and clock values.
struct SourceRun { std::vector<LogicalSignal> lg; std::vector<float> clk; };
SourceRun run_source(const Source& p, int samples) {
    testing::BlockBench bench("prbs_source");
    bench.set("degree", p.degree).set("polynomial", p.variant).set("samples_per_bit", p.samples_per_bit);
    bench.set("first_boundary_samples", p.offset).set("skipped_symbols", p.skipped).set("bits_per_symbol", p.levels);
    if (!p.file.empty()) bench.set("source", 1.0).set("file", p.file);
    const LogicalSignal& lg = bench.output<LogicalSignal>("output");
    const ElectricalSample& clk = bench.output<ElectricalSample>("clock_output");
    bench.start();
    SourceRun r;
    for (int k = 1; k <= samples; ++k) {
        bench.run(k);
        r.lg.push_back(lg);
        r.clk.push_back(clk.value);
    }
    return r;
}

TEST_F(PrbsTest, TableHoldsOnlyPrimitivePolynomialsCheckedBySecondMethod) {
    const int all_primitive[] = {6, 6, 18, 16};  // every primitive polynomial of degrees 5 to 8
    for (int degree = kPrbsMinDegree; degree <= kPrbsMaxDegree; ++degree) {
        const int n = prbs_variants(degree);
        EXPECT_TRUE(degree > 8 ? n >= 1 : n == all_primitive[degree - 5]) << degree;
        std::uint64_t previous = 0;
        for (int v = 1; v <= n; ++v) {
            const std::uint64_t poly = polynomial_bits(prbs_polynomial(degree, v));
            EXPECT_EQ(64 - __builtin_clzll(poly), degree + 1) << poly;
            EXPECT_TRUE(primitive(poly, degree)) << degree << " " << prbs_polynomial(degree, v);
            EXPECT_TRUE(degree > 8 || poly > previous) << poly;  // distinct, increasing
            previous = poly;
        }
        EXPECT_EQ(prbs_polynomial(degree, n + 1), 0);
    }
    EXPECT_EQ(prbs_variants(4) + prbs_variants(29), 0);
    std::int32_t taps[7];
    ASSERT_TRUE(prbs_taps(375, 7, taps));  // x^7 + x^6 + x^5 + x^4 + x^3 + x^2 + 1
    EXPECT_EQ(std::vector<std::int32_t>(taps, taps + 7), (std::vector<std::int32_t>{1, 0, 1, 1, 1, 1, 1}));
    EXPECT_FALSE(prbs_taps(283, 7, taps));  // 8 is no octal digit
}

TEST_F(PrbsTest, Degree7EveryVariantGivesItsMaximalLengthSequence) {
    for (int v = 1; v <= prbs_variants(7); ++v) {
        const SourceRun r = run_source({.variant = v}, 1 + 2 * 127);
        // Sample 1 is the run's first symbol boundary (all ones), then one register bit per sample: s(1), s(2), ...
        EXPECT_EQ(r.lg[0][0], 1);
        const std::vector<int> s = lfsr_sequence(prbs_polynomial(7, v), 7, 2 * 127 + 1);
        for (int k = 2; k <= 1 + 2 * 127; ++k) {
            ASSERT_EQ(r.lg[k - 1][1], -1);
            ASSERT_EQ(r.lg[k - 1][0], s[k - 1]) << "variant " << v << " sample " << k;
        }
    }
}

TEST_F(PrbsTest, BadParametersGiveNoDataOnlyTheTerminator) {
    const std::pair<Source, const char*> cases[] = {
        {{.degree = 29}, "ERROR CODE = 14011"}, {{.samples_per_bit = 4, .offset = 4}, "ERROR CODE = 14013"},
        {{.variant = 19}, "ERROR CODE = 14014"}, {{.levels = 9}, "ERROR CODE = 14012"}};
    for (const auto& [p, code] : cases) {
        SourceRun r;
        EXPECT_NE(stderr_of([&] { r = run_source(p, 3); }).find(code), std::string::npos) << code;
        const int nlev = std::min(p.levels, 8);  // zeros and the terminator -3
        for (const LogicalSignal& lg : r.lg)
            for (int j = 0; j <= nlev; ++j) EXPECT_EQ(lg[j], j == nlev ? -3 : 0) << code;
    }
}

TEST_F(PrbsTest, BadOrMissingUserFilesGiveNoDataAndCreateNothing) {
    struct Case { const char* text; int nlev; std::string lines; };  // text null: no file
    const std::string bad = "Nodrix-E-Datasource bad file \n";
    const std::string only_bits = "Nodrix-E-Datasource bad file\nFile must contain only 0 or 1 \n";
    const Case cases[] = {
        {"##\n1\n1\n0\n", 2, bad + "File and datasource dialog have not\nthe same logical level\n"},
        {"##\n1\n1\n2\n", 1, only_bits},
        {"no header\n1\n", 1, bad},
        {nullptr, 1, bad + "File not found: data.DAT\n"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove("data.DAT");
        if (c.text != nullptr) testing::write_text("data.DAT", c.text);
        SourceRun r;
        const std::string err = stderr_of([&] { r = run_source({.levels = c.nlev, .file = "  data"}, 2); });
        EXPECT_NE(err.find(c.lines), std::string::npos) << c.lines << " in\n" << err;
        for (const LogicalSignal& lg : r.lg) EXPECT_EQ(lg[c.nlev], -3);
        EXPECT_EQ(std::filesystem::exists("data.DAT"), c.text != nullptr);  // a missing file is not created
    }
}

TEST_F(PrbsTest, UserFileSymbolsCycleAfterTheFirstSymbolOfOnes) {
    testing::write_text("cycle.DAT", "## three symbols\n1\n1\n\n1\n0\n");
    const SourceRun r = run_source({.file = "cycle"}, 7);
    std::vector<int> shown;
    for (const LogicalSignal& lg : r.lg) shown.push_back(lg[0]);
    EXPECT_EQ(shown, (std::vector<int>{1, 1, 0, 1, 1, 0, 1}));  // the blank record is no symbol
    EXPECT_EQ(r.lg[0][1], -1);
    std::filesystem::remove("cycle.DAT");
}

}  // namespace
}  // namespace nodrix

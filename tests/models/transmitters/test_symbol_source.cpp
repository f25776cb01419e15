// The symbol source and the multi-level driver: Gray mapping, the two-level
// chain against the data source and NRZ driver, four-level drive voltages.
#include <vector>

#include "models/transmitters/multilevel.h"
#include "tests/models/measurements/run_harness.h"
#include "tests/support/block_bench.h"

namespace nodrix {
namespace {

using SymbolTest = testing::BlockTest;

// Drive samples of a source and driver chain, bench by bench.
struct Chain {
    std::vector<std::int32_t> symbols;  // the source's output, first word
    std::vector<std::int32_t> second;   // its second word
    std::vector<float> drive;
};

Chain run_chain(const char* source_kind, const char* driver_kind, int levels, double rise, double crossing, int n) {
    const bool multi = std::string(source_kind) == "symbol_source";
    testing::BlockBench source(source_kind);
    source.set(multi ? "samples_per_symbol" : "samples_per_bit", 8).set("degree", 7).set("skipped_symbols", 3);
    if (multi) source.set("levels", levels);
    else source.set("bits_per_symbol", levels == 4 ? 2 : 1);
    const LogicalSignal& bits = source.output<LogicalSignal>("output");
    testing::BlockBench driver(driver_kind);
    driver.set(multi ? "samples_per_symbol" : "samples_per_bit", 8).set("low_level_v", -1.5).set("high_level_v", 2.5);
    driver.set(multi ? "rise_time_symbols" : "rise_time_bits", rise).set("crossing_point_percent", crossing);
    if (multi) driver.set("levels", levels);
    LogicalSignal& in = driver.input<LogicalSignal>("input");
    const ElectricalSample& out = driver.output<ElectricalSample>("output");
    source.context().enter_round(SetupRound::state);
    driver.context().enter_round(SetupRound::state);
    EXPECT_TRUE(source.start().ok());
    EXPECT_TRUE(driver.start().ok());
    Chain c;
    for (int step = 1; step <= n; ++step) {
        source.run(step);
        in = bits;
        driver.run(step);
        c.symbols.push_back(bits[0]);
        c.second.push_back(bits[1]);
        c.drive.push_back(out.value);
    }
    return c;
}

TEST_F(SymbolTest, TwoLevelsAreTheDataSourceAndNrzDriver) {
    for (const double rise : {0.0, 0.3, 0.9}) {
        for (const double crossing : {50.0, 35.0, 70.0}) {
            const Chain nrz = run_chain("prbs_source", "nrz_driver", 2, rise, crossing, 1200);
            const Chain two = run_chain("symbol_source", "multilevel_driver", 2, rise, crossing, 1200);
            EXPECT_EQ(two.symbols, nrz.symbols);
            EXPECT_EQ(two.drive, nrz.drive) << rise << " " << crossing;  // bit for bit
        }
    }
}

TEST_F(SymbolTest, FourLevelsGrayMapTheDataSourcesBitPairs) {
    const Chain pairs = run_chain("prbs_source", "nrz_driver", 4, 0.0, 50.0, 2400);
    const Chain four = run_chain("symbol_source", "multilevel_driver", 4, 0.0, 50.0, 2400);
    const int level_of_pair[2][2] = {{0, 1}, {3, 2}};
    std::vector<int> seen(4, 0);
    for (std::size_t k = 0; k < four.drive.size(); ++k) {
        const int level = level_of_pair[pairs.symbols[k]][pairs.second[k]];
        EXPECT_EQ(2 * four.symbols[k] + four.second[k], level) << k;
        // Rectangular pulses at -1.5, -1/6, 7/6 and 2.5 V.
        EXPECT_NEAR(four.drive[k], -1.5 + level * 4.0 / 3.0, 1e-6) << k;
        ++seen[level];
    }
    for (int level = 0; level < 4; ++level) EXPECT_GT(seen[level], 300) << level;
}

// Drive for a sequence of level indices, one per 4-sample symbol.
std::vector<float> drive_levels(const std::vector<int>& levels, double rise, int spacing) {
    testing::BlockBench bench("multilevel_driver");
    bench.set("samples_per_symbol", 4).set("low_level_v", 0.0).set("high_level_v", 3.0);
    bench.set("rise_time_symbols", rise).set("spacing", spacing).set("level_1_v", 0.5).set("level_2_v", 2.0);
    LogicalSignal& in = bench.input<LogicalSignal>("input");
    const ElectricalSample& out = bench.output<ElectricalSample>("output");
    bench.context().enter_round(SetupRound::state);
    EXPECT_TRUE(bench.start().ok());
    std::vector<float> values;
    int step = 0;
    for (const int level : levels)
        for (int k = 0; k < 4; ++k) {
            in[0] = level >> 1;
            in[1] = level & 1;
            bench.run(++step);
            values.push_back(out.value);
        }
    return values;
}

TEST_F(SymbolTest, FourLevelEdgesTakeOneTimeWhateverTheirHeight) {
    // Rectangular, equal spacing: levels 0, 1, 2, 3 V.
    EXPECT_EQ(drive_levels({0, 2, 1, 3}, 0.0, 0), (std::vector<float>{0, 0, 0, 0, 2, 2, 2, 2, 1, 1, 1, 1, 3, 3, 3, 3}));
    // Inner levels as given: 0, 0.5, 2, 3 V.
    EXPECT_EQ(drive_levels({1, 2}, 0.0, 1), (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f, 2, 2, 2, 2}));
    // Edges of T = 1.25 x 0.4 symbols = 2 samples: the full swing at 1.5 V per
    // sample, one level at 0.5 V per sample; the driver starts at level 3 and
    // takes each symbol's level at its start.
    const std::vector<float> edges = drive_levels({3, 0, 1, 3, 2}, 0.4, 0);
    const std::vector<float> expected{3, 3, 3, 3, 1.5f, 0, 0, 0, 0.5f, 1, 1, 1, 2, 3, 3, 3, 2.5f, 2, 2, 2};
    ASSERT_EQ(edges.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) EXPECT_NEAR(edges[k], expected[k], 1e-6) << k;
}

TEST_F(SymbolTest, InnerLevelsOutOfOrderAreRefused) {
    testing::BlockBench bench("multilevel_driver");
    BlockSettings s = BlockSettings::defaults(bench.kind());
    s.set_number("spacing", 1);
    s.set_number("level_1_v", 1.0);
    s.set_number("level_2_v", 0.5);
    Findings found;
    bench.kind().check(s, LinkContext{}, found);
    ASSERT_EQ(found.list().size(), 1u);
    EXPECT_EQ(found.list()[0].param, "level_1_v");
    EXPECT_EQ(found.list()[0].text, "spacing = \"per_level\": the levels must rise from -2.5 V through level_1_v = 1 V "
                                    "and level_2_v = 0.5 V to 2.5 V");
    s.set_number("level_2_v", 2.0);
    Findings fine;
    bench.kind().check(s, LinkContext{}, fine);
    EXPECT_TRUE(fine.list().empty());
}

}  // namespace
}  // namespace nodrix

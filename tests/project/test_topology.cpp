// The block diagram of sim_160G: instances, order and connections.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "project/topology.h"

namespace nodrix::sim160g {
namespace {

TEST(Topology, EveryInstanceOnceInScheduleOrder) {
    const auto s = schedule();
    ASSERT_EQ(s.size(), 132u);
    std::set<std::int32_t> seen;
    for (const Instance& b : s) seen.insert(b.instance);
    EXPECT_EQ(seen.size(), 132u);
    EXPECT_EQ(*seen.begin(), 1);
    EXPECT_EQ(*seen.rbegin(), 132);
    // Schedule order is not instance order: laser 66 first, estimator 132 last.
    EXPECT_EQ(s.front().instance, 66);
    EXPECT_EQ(s[68].instance, 69);
    EXPECT_EQ(s[76].instance, 92);
    EXPECT_EQ(s[77].instance, 93);
    EXPECT_EQ(s.back().instance, 132);
    const std::vector<std::int32_t> tail{110, 111, 118, 125, 132};
    for (std::size_t k = 0; k < tail.size(); ++k) EXPECT_EQ(s[127 + k].instance, tail[k]);
}

TEST(Topology, EveryInputIsProducedEarlier) {
    std::set<std::int32_t> optical;
    std::set<std::int32_t> electrical;
    std::set<std::int32_t> windows;
    for (const Instance& b : schedule()) {
        switch (b.kind) {
            case Kind::nrz_driver:
                EXPECT_TRUE(std::count_if(schedule().begin(), schedule().end(), [&](const Instance& o) {
                    return o.kind == Kind::data_source && o.instance == b.inputs[0];
                }));
                break;
            case Kind::bessel:
            case Kind::ber:
            case Kind::scope: EXPECT_TRUE(electrical.count(b.inputs[0])) << b.instance; break;
            case Kind::laser:
            case Kind::data_source: break;
            default:
                for (std::int32_t in : b.inputs) {
                    if (in != 0) {
                        EXPECT_TRUE(optical.count(in)) << b.instance << " reads " << in;
                    }
                }
        }
        if (b.kind == Kind::modulator) {
            EXPECT_TRUE(electrical.count(b.drive));
        }
        if (b.window_from != 0) {
            EXPECT_TRUE(windows.count(b.window_from)) << b.instance;
        }
        windows.insert(b.instance);
        if (has_optical_output(b.kind)) optical.insert(b.output);
        if (b.kind == Kind::photodiode || b.kind == Kind::bessel || b.kind == Kind::nrz_driver ||
            b.kind == Kind::data_source)
            electrical.insert(b.output);
    }
}

TEST(Topology, SignalNumbersOfTheLink) {
    std::map<std::int32_t, const Instance*> by;
    for (const Instance& b : schedule()) by[b.instance] = &b;
    EXPECT_EQ(by[66]->output, 66);   // a laser's output carries its own number
    EXPECT_EQ(by[67]->output, 67);
    EXPECT_EQ(by[64]->output, 123);  // clocks ze0123 (source 64) to ze0138 (source 1)
    EXPECT_EQ(by[1]->output, 138);
    EXPECT_EQ(by[68]->inputs, (std::array<std::int32_t, 4>{67, 63, 59, 55}));
    EXPECT_EQ(by[69]->inputs, (std::array<std::int32_t, 4>{17, 34, 51, 68}));
    EXPECT_EQ(by[73]->output, 71);
    EXPECT_EQ(by[74]->output, 72);
    EXPECT_EQ(by[129]->output, 120);
    EXPECT_EQ(by[78]->inputs[0], 75);
    EXPECT_EQ(by[78]->output, 76);
    EXPECT_EQ(by[79]->output, 77);
    EXPECT_EQ(by[110]->inputs[0], 104);
    EXPECT_EQ(by[118]->inputs[0], 110);
    EXPECT_EQ(by[132]->inputs[0], 122);
    int delay_records = 0;
    for (const Instance& b : schedule()) delay_records += writes_delay_record(b.kind);
    EXPECT_EQ(delay_records, 18);
}

}  // namespace
}  // namespace nodrix::sim160g

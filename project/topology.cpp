#include "project/topology.h"

#include <vector>

namespace nodrix::sim160g {
namespace {

// The sixteen transmitters in schedule order, four per combiner group:
// laser, data source, NRZ driver, modulator instance numbers.
struct Transmitter {
    std::int32_t laser, source, driver, modulator;
};
constexpr Transmitter kTransmitters[16] = {
    {66, 64, 65, 67}, {62, 60, 61, 63}, {58, 56, 57, 59}, {54, 52, 53, 55},
    {49, 47, 48, 50}, {45, 43, 44, 46}, {41, 39, 40, 42}, {37, 35, 36, 38},
    {32, 30, 31, 33}, {28, 26, 27, 29}, {24, 22, 23, 25}, {20, 18, 19, 21},
    {15, 13, 14, 16}, {11, 9, 10, 12},  {7, 5, 6, 8},     {3, 1, 2, 4},
};
constexpr std::int32_t kGroupCombiners[4] = {68, 51, 34, 17};

// The demultiplexer filters in schedule order (the power meter 94 comes after
// the fifth), and the photodiode and Bessel filter behind each.
constexpr std::int32_t kFilters[16] = {77, 80, 83, 86, 89, 95, 98, 101, 104, 107, 112, 115, 119, 122, 126, 129};
constexpr std::int32_t kPhotodiodes[16] = {78, 81, 84, 87, 90, 96, 99, 102, 105, 108, 113, 116, 120, 123, 127, 130};
constexpr std::int32_t kBessels[16] = {79, 82, 85, 88, 91, 97, 100, 103, 106, 109, 114, 117, 121, 124, 128, 131};

std::vector<Instance> build() {
    std::vector<Instance> s;
    s.reserve(kBlocks);
    for (int g = 0; g < 4; ++g) {
        std::array<std::int32_t, 4> group_outputs{};
        for (int k = 0; k < 4; ++k) {
            const Transmitter& t = kTransmitters[4 * g + k];
            // Data sources' logical outputs carry the source's number; their
            // clocks are ze0123 (source 64) to ze0138 (source 1); the drivers'
            // outputs carry the driver's number.
            const std::int32_t clock = 123 + 4 * g + k;
            s.push_back({t.laser, Kind::laser, {0, 0, 0, 0}, 0, t.laser, 0});
            s.push_back({t.source, Kind::data_source, {0, 0, 0, 0}, 0, clock, 0});
            s.push_back({t.driver, Kind::nrz_driver, {t.source, 0, 0, 0}, 0, t.driver, 0});
            s.push_back({t.modulator, Kind::modulator, {t.laser, 0, 0, 0}, t.driver, t.modulator, t.laser});
            group_outputs[static_cast<std::size_t>(k)] = t.modulator;
        }
        s.push_back({kGroupCombiners[g], Kind::combiner, group_outputs, 0, kGroupCombiners[g], group_outputs[0]});
    }
    // The line; the combiner takes the window of its input scheduled first (68).
    s.push_back({69, Kind::combiner, {17, 34, 51, 68}, 0, 69, 68});
    s.push_back({70, Kind::amplifier_fg, {69, 0, 0, 0}, 0, 70, 69});
    s.push_back({71, Kind::power_meter, {70, 0, 0, 0}, 0, 0, 70});
    s.push_back({72, Kind::spectrum, {70, 0, 0, 0}, 0, 0, 70});
    s.push_back({73, Kind::fibre, {70, 0, 0, 0}, 0, 71, 70});
    s.push_back({74, Kind::fibre, {71, 0, 0, 0}, 0, 72, 73});
    s.push_back({75, Kind::amplifier_fp, {72, 0, 0, 0}, 0, 73, 74});
    s.push_back({76, Kind::amplifier_fg, {73, 0, 0, 0}, 0, 74, 75});
    s.push_back({92, Kind::spectrum, {73, 0, 0, 0}, 0, 0, 75});
    s.push_back({93, Kind::power_meter, {73, 0, 0, 0}, 0, 0, 75});
    for (int k = 0; k < 16; ++k) {
        s.push_back({kFilters[k], Kind::raised_cosine, {74, 0, 0, 0}, 0, 75 + 3 * k, 76});
        if (k == 4) s.push_back({94, Kind::power_meter, {74, 0, 0, 0}, 0, 0, 76});
    }
    for (int k = 0; k < 16; ++k)
        s.push_back({kPhotodiodes[k], Kind::photodiode, {75 + 3 * k, 0, 0, 0}, 0, 76 + 3 * k, kFilters[k]});
    for (int k = 0; k < 16; ++k)
        s.push_back({kBessels[k], Kind::bessel, {76 + 3 * k, 0, 0, 0}, 0, 77 + 3 * k, 0});
    // Measurements: the estimators and scopes take the good interval of the
    // photodiode in front of their Bessel filter.
    s.push_back({110, Kind::ber, {104, 0, 0, 0}, 0, 0, 108});
    s.push_back({111, Kind::scope, {104, 0, 0, 0}, 0, 0, 108});
    s.push_back({118, Kind::scope, {110, 0, 0, 0}, 0, 0, 116});
    s.push_back({125, Kind::ber, {116, 0, 0, 0}, 0, 0, 123});
    s.push_back({132, Kind::ber, {122, 0, 0, 0}, 0, 0, 130});
    return s;
}

}  // namespace

std::span<const Instance> schedule() {
    static const std::vector<Instance> order = build();
    return order;
}

bool has_optical_output(Kind k) {
    switch (k) {
        case Kind::laser:
        case Kind::modulator:
        case Kind::combiner:
        case Kind::amplifier_fg:
        case Kind::amplifier_fp:
        case Kind::fibre:
        case Kind::raised_cosine: return true;
        default: return false;
    }
}

bool shows_its_input(Kind k) { return k == Kind::photodiode || k == Kind::power_meter || k == Kind::spectrum; }

bool writes_delay_record(Kind k) { return k == Kind::fibre || k == Kind::raised_cosine; }

}  // namespace nodrix::sim160g

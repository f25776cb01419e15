// The multi-level driver: a symbol source's level indices as the modulator's
// drive voltage. M = 2 or 4 levels, equally spaced between the lower and the
// upper level or each inner level set on its own (to pre-distort a
// non-linear modulator), joined by the NRZ driver's linear edges: every
// transition lasts the same time whatever its height, and rising and falling
// edges start apart to place the crossing point. With M = 2 it is the NRZ
// driver.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "kernel/block_declaration.h"
#include "models/transmitters/multilevel.h"
#include "models/transmitters/nrz_driver.h"
#include "runtime/format.h"

namespace nodrix {
namespace {

constexpr const char* kAdjusted = "The crossing point has been adjusted";
constexpr std::int32_t kMaxLevels = 4;

// Words of the integer record: previous level, current level, sample counter
// within the symbol.
enum : std::size_t { kPrevious = 0, kCurrent = 1, kCounter = 2 };

struct MultilevelDriver {
    std::int32_t levels = 4;                // M, 2 or 4
    std::int32_t samples_per_symbol = 1;    // >= 1
    float low_level_v = -2.5f;              // voltage of level 0
    float high_level_v = 2.5f;              // voltage of level M - 1
    std::int32_t spacing = 0;               // 0 equal, 1 inner levels as given
    float level_1_v = -0.8333333f;          // level 1 of four, spacing "per_level"
    float level_2_v = 0.8333333f;           // level 2 of four, spacing "per_level"
    float rise_time_symbols = 0.0f;         // 10-90 % edge duration; 0 gives rectangular pulses
    float crossing_point_percent = 50.0f;   // eye crossing point, percent of each transition

    Input<LogicalSignal> input;
    Output<ElectricalSample> output;

    State<std::int32_t> counters;  // previous level, current level, sample counter
    State<float> volts;            // the M levels, ascending

    NrzShape designed;  // edges and crossing, taken in the design
    std::array<float, kMaxLevels> level_values{};

    static KindDeclaration<MultilevelDriver> declaration();

    std::int32_t count() const { return levels == 4 ? 4 : 2; }

    RecnrzParams params() const {
        return RecnrzParams{samples_per_symbol, low_level_v, high_level_v, rise_time_symbols, crossing_point_percent};
    }

    // The levels from the lower to the upper one: as the NRZ driver orders
    // its two levels, the lower of the two outer voltages is level 0.
    void place_levels() {
        const float lower = designed.lower;
        const float upper = designed.upper;
        level_values = {lower, upper, upper, upper};
        if (count() == 2) return;
        if (spacing == 1) {
            level_values = {lower, level_1_v, level_2_v, upper};
        } else {
            const float step = (upper - lower) / 3.0f;
            level_values = {lower, lower + step, lower + 2.0f * step, upper};
        }
    }

    void design(const RunContext& ctx, StateClaims& state) {
        if (!ctx.keeps_state()) return;
        state.claim(counters, 3);
        state.claim(volts, count());
        designed = nrz_shape(params());
        place_levels();
        if (designed.adjusted) {
            ctx.messages().warning(kAdjusted);
            ctx.messages().warning("to: " + fmt::F(designed.crossing * 100.0f, 5, 1) + " percent");
        }
    }

    // The driver starts at the upper level, as the NRZ driver starts on a 1 bit.
    void setup(const RunContext&) {
        if (counters.size() == 0) return;
        counters[kPrevious] = counters[kCurrent] = count() - 1;
        counters[kCounter] = 1;
        std::copy_n(level_values.begin(), count(), volts.data());
    }

    // The level index the input's bits carry (most significant first).
    std::int32_t level_in() const {
        const LogicalSignal& lg = *input;
        const std::int32_t index = count() == 4 ? 2 * (lg[0] != 0 ? 1 : 0) + (lg[1] != 0 ? 1 : 0) : lg[0] != 0 ? 1 : 0;
        return index;
    }

    // One drive sample (value, 0, 0) for the current symbol.
    void run(const RunContext&) {
        const std::int32_t level = level_in();
        ElectricalSample& out = *output;
        out.w2 = 0.0f;
        out.w3 = 0.0f;
        const float* v = volts.data();
        if (!(rise_time_symbols > 0.0f && samples_per_symbol >= 1)) {
            out.value = v[level];
            return;
        }
        std::int32_t& k = counters[kCounter];
        if (k > samples_per_symbol) {
            k = 1;
            counters[kPrevious] = counters[kCurrent];
            counters[kCurrent] = level;
        }
        const std::int32_t prev = counters[kPrevious];
        const std::int32_t cur = counters[kCurrent];
        // Every transition takes the edge's time: its slope scales with its
        // height (for two levels the height is the swing, the factor +-1).
        const float swing = designed.upper - designed.lower;
        const float step = designed.slope * ((v[cur] - v[prev]) / swing);
        if (prev == cur)
            out.value = v[cur];
        else if (cur > prev)
            out.value = edge_value(k, samples_per_symbol, designed.edge, designed.rise_offset, v[prev], v[cur], step);
        else
            out.value = edge_value(k, samples_per_symbol, designed.edge, designed.fall_offset, v[prev], v[cur], step);
        ++k;
    }
};

std::string volts_text(float v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
    return buf;
}

// Inner levels given one by one lie in order between the outer ones.
void check_multilevel_driver(const BlockSettings& s, const LinkContext&, Findings& found) {
    if (s.integer("levels") != 4 || s.integer("spacing") != 1) return;
    const float low = std::min(s.real("low_level_v"), s.real("high_level_v"));
    const float high = std::max(s.real("low_level_v"), s.real("high_level_v"));
    const float l1 = s.real("level_1_v");
    const float l2 = s.real("level_2_v");
    if (!(low < l1 && l1 < l2 && l2 < high))
        found.error("level_1_v", "spacing = \"per_level\": the levels must rise from " + volts_text(low) + " V through "
                                     "level_1_v = " + volts_text(l1) + " V and level_2_v = " + volts_text(l2) + " V to " +
                                     volts_text(high) + " V");
}

KindDeclaration<MultilevelDriver> MultilevelDriver::declaration() {
    using D = MultilevelDriver;
    return {
        .name = "multilevel_driver",
        .help = "multi-level driver: a symbol source's levels as the modulator's drive voltage, with linear edges",
        .family = BlockFamily::transmitters,
        .parameters =
            {
                parameter(&D::levels, {.name = "levels", .fallback = 4, .help = "number of levels M",
                                       .choices = {{"2", 2}, {"4", 4}}, .limits = "that of its symbol source"}),
                parameter(&D::samples_per_symbol, {.name = "samples_per_symbol", .unit = "samples",
                                                   .help = "samples per symbol", .low = 1, .required = true,
                                                   .limits = "that of its symbol source"}),
                parameter(&D::low_level_v,
                          {.name = "low_level_v", .unit = "V", .fallback = -2.5, .help = "voltage of level 0"}),
                parameter(&D::high_level_v,
                          {.name = "high_level_v", .unit = "V", .fallback = 2.5, .help = "voltage of level M - 1"}),
                parameter(&D::spacing, {.name = "spacing", .type = ParamType::choice, .fallback = 0,
                                        .help = "levels equally spaced, or the inner ones as given",
                                        .choices = {{"equal", 0}, {"per_level", 1}}}),
                parameter(&D::level_1_v, {.name = "level_1_v", .unit = "V", .fallback = -0.8333333,
                                          .help = "voltage of level 1 of four when spacing is \"per_level\"",
                                          .limits = "between low_level_v and level_2_v"}),
                parameter(&D::level_2_v, {.name = "level_2_v", .unit = "V", .fallback = 0.8333333,
                                          .help = "voltage of level 2 of four when spacing is \"per_level\"",
                                          .limits = "between level_1_v and high_level_v"}),
                parameter(&D::rise_time_symbols,
                          {.name = "rise_time_symbols", .unit = "symbol periods", .fallback = 0.0,
                           .help = "10-90 % edge duration; 0 gives rectangular pulses", .low = 0}),
                parameter(&D::crossing_point_percent,
                          {.name = "crossing_point_percent", .unit = "%", .fallback = 50.0,
                           .help = "eye crossing point, percent of each transition", .low = 0, .high = 100}),
            },
        .inputs = {port(&D::input, {.key = "input", .help = "the symbol source's level indices"})},
        .outputs = {port(&D::output, {.key = "output", .help = "the drive voltage"})},
        .check = check_multilevel_driver,
    };
}

const KindRegistration registration{declare_kind<MultilevelDriver>()};

}  // namespace
}  // namespace nodrix

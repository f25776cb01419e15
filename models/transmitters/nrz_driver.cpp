// The NRZ pulse driver (recnrz): the data bits as the modulator's drive
// voltage, two levels joined by linear edges whose start is delayed to place
// the eye crossing point.
#include "models/transmitters/nrz_driver.h"

#include <string>

#include "kernel/block_declaration.h"
#include "runtime/format.h"

namespace nodrix {
namespace {

// The driver's state: integers (previous bit, current bit, sample counter
// within the bit) and reals (the shape's levels, offsets, slope and edge length).
enum : std::size_t { kPrevious = 0, kCurrent = 1, kCounter = 2 };
enum : std::size_t { kLower = 0, kUpper = 1, kRiseOffset = 2, kFallOffset = 3, kSlope = 4, kEdge = 5 };

bool has_edges(const RecnrzParams& p) { return p.rise_time > 0.0f && p.samples_per_bit >= 1; }

}  // namespace

float edge_value(std::int32_t k, std::int32_t samples, float edge, float offset, float from, float to, float step) {
    if (k <= static_cast<std::int32_t>(offset)) return from;
    if (k >= static_cast<std::int32_t>(static_cast<float>(samples) * edge + offset + 1.0f)) return to;
    return from + (static_cast<float>(k) - offset) * step;
}

NrzShape nrz_shape(const RecnrzParams& p) {
    NrzShape s;
    s.lower = p.low_level;
    s.upper = p.high_level;
    float c = p.crossing_point * 0.01f;
    if (p.high_level < p.low_level) {
        s.lower = p.high_level;
        s.upper = p.low_level;
        c = 1.0f - c;
    }
    if (has_edges(p)) {
        s.edge = 1.25f * p.rise_time;
        // The edges of one bit must meet inside the bit: the crossing point
        // lies within [1 - 1/(2T), 1/(2T)].
        const float reach = 1.0f / (2.0f * s.edge);
        if (c < 0.5f && c < 1.0f - reach) {
            c = 1.0f - reach;
            s.adjusted = true;
        } else if (c > 0.5f && c > reach) {
            c = reach;
            s.adjusted = true;
        }
        const float swing = s.upper - s.lower;
        s.slope = swing / (static_cast<float>(p.samples_per_bit) * s.edge);
        if (c < 0.5f) {
            const float d = (1.0f - c) * swing / s.slope;
            s.rise_offset = 2.0f * d - swing / s.slope;
        } else if (c > 0.5f) {
            const float d = c * swing / s.slope;
            s.fall_offset = 2.0f * d - swing / s.slope;
        }
    }
    s.crossing = c;
    return s;
}

namespace {

constexpr const char* kAdjusted = "The crossing point has been adjusted";

struct NrzDriver {
    std::int32_t samples_per_bit = 1;      // samples per bit period, >= 1
    float low_level_v = -2.5f;             // voltage of a 0 bit
    float high_level_v = 2.5f;             // voltage of a 1 bit
    float rise_time_bits = 0.0f;           // 10-90 % edge duration; 0 gives rectangular pulses
    float crossing_point_percent = 50.0f;  // eye crossing point, percent of the swing

    Input<LogicalSignal> input;
    Output<ElectricalSample> output;

    State<std::int32_t> bits;  // previous bit, current bit, sample counter
    State<float> shape;        // levels, edge offsets, slope, edge

    NrzShape designed;  // taken in the design, kept at set-up

    static KindDeclaration<NrzDriver> declaration();

    RecnrzParams params() const {
        return RecnrzParams{samples_per_bit, low_level_v, high_level_v, rise_time_bits, crossing_point_percent};
    }

    // Only the rounds that keep state claim it and report a moved crossing point.
    void design(const RunContext& ctx, StateClaims& state) {
        if (!ctx.keeps_state()) return;
        state.claim(bits, 3);
        state.claim(shape, 6);
        designed = nrz_shape(params());
        if (designed.adjusted) {
            ctx.messages().warning(kAdjusted);
            ctx.messages().warning("to: " + fmt::F(designed.crossing * 100.0f, 5, 1) + " percent");
        }
    }

    void setup(const RunContext&) {
        if (bits.size() == 0) return;  // designed in a round that keeps no state
        bits[kPrevious] = bits[kCurrent] = bits[kCounter] = 1;
        shape[kLower] = designed.lower;
        shape[kUpper] = designed.upper;
        shape[kRiseOffset] = designed.rise_offset;
        shape[kFallOffset] = designed.fall_offset;
        shape[kSlope] = designed.slope;
        shape[kEdge] = designed.edge;
    }

    // One drive sample (value, 0, 0) for the current data bit.
    void run(const RunContext&) {
        const std::int32_t bit = (*input)[0];
        const RecnrzParams p = params();
        const float* f = shape.data();
        ElectricalSample& out = *output;
        out.w2 = 0.0f;
        out.w3 = 0.0f;
        if (!has_edges(p)) {
            out.value = bit != 0 ? f[kUpper] : f[kLower];
            return;
        }
        std::int32_t& k = bits[kCounter];
        if (k > p.samples_per_bit) {
            k = 1;
            bits[kPrevious] = bits[kCurrent];
            bits[kCurrent] = bit != 0 ? 1 : 0;
        }
        const std::int32_t prev = bits[kPrevious];
        const std::int32_t cur = bits[kCurrent];
        if (prev == cur)
            out.value = cur != 0 ? f[kUpper] : f[kLower];
        else if (cur != 0)
            out.value = edge_value(k, p.samples_per_bit, f[kEdge], f[kRiseOffset], f[kLower], f[kUpper], f[kSlope]);
        else
            out.value = edge_value(k, p.samples_per_bit, f[kEdge], f[kFallOffset], f[kUpper], f[kLower], -f[kSlope]);
        ++k;
    }
};

KindDeclaration<NrzDriver> NrzDriver::declaration() {
    using D = NrzDriver;
    return {
        .name = "nrz_driver",
        .routine = "recnrz",
        .help = "NRZ pulse driver: the data bits as the modulator's drive voltage, with linear edges",
        .family = BlockFamily::transmitters,
        .parameters =
            {
                parameter(&D::samples_per_bit, {.name = "samples_per_bit", .unit = "samples",
                                                .help = "samples per bit period", .low = 1, .required = true,
                                                .limits = "that of its data source"}),
                parameter(&D::low_level_v,
                          {.name = "low_level_v", .unit = "V", .fallback = -2.5, .help = "voltage of a 0 bit"}),
                parameter(&D::high_level_v,
                          {.name = "high_level_v", .unit = "V", .fallback = 2.5, .help = "voltage of a 1 bit"}),
                parameter(&D::rise_time_bits,
                          {.name = "rise_time_bits", .unit = "bit periods", .fallback = 0.0,
                           .help = "10-90 % edge duration; 0 gives rectangular pulses", .low = 0}),
                parameter(&D::crossing_point_percent,
                          {.name = "crossing_point_percent", .unit = "%", .fallback = 50.0,
                           .help = "eye crossing point, percent of the swing", .low = 0, .high = 100}),
            },
        .inputs = {port(&D::input, {.key = "input", .help = "the data source's bits"})},
        .outputs = {port(&D::output, {.key = "output", .help = "the drive voltage"})},
    };
}

const KindRegistration registration{declare_kind<NrzDriver>()};

}  // namespace
}  // namespace nodrix

#include "models/transmitters/nrz_driver.h"

#include <string>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

// Instance storage: integers (previous bit, current bit, sample counter within
// the bit) and reals (the shape's levels, offsets, slope and edge length).
enum : std::size_t { kPrevious = 0, kCurrent = 1, kCounter = 2 };
enum : std::size_t { kLower = 0, kUpper = 1, kRiseOffset = 2, kFallOffset = 3, kSlope = 4, kEdge = 5 };

// The state of one driver.
struct NrzState {
    std::int32_t words, shape;
};
constexpr StateSlot<NrzState> kNrzState[] = {
    {&NrzState::words, SlotKind::integer, 3},  // previous bit, current bit, sample counter
    {&NrzState::shape, SlotKind::real, 6},     // levels, edge offsets, slope, edge
};

bool has_edges(const RecnrzParams& p) { return p.rise_time > 0.0f && p.samples_per_bit >= 1; }

// Value on an edge that starts `offset` samples into the bit and runs from
// `from` by `step` per sample until it reaches the other level.
float edge_value(std::int32_t k, std::int32_t samples, float edge, float offset, float from, float to, float step) {
    if (k <= static_cast<std::int32_t>(offset)) return from;
    if (k >= static_cast<std::int32_t>(static_cast<float>(samples) * edge + offset + 1.0f)) return to;
    return from + (static_cast<float>(k) - offset) * step;
}

}  // namespace

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

void recnrz(const RecnrzParams& p, std::int32_t bit, ElectricalSample& output) {
    // With nohist 1 the set-up neither keeps state nor asks for storage.
    if (zzctrl.pass == 0 && zzflmn.nohist == 1) return;
    const NrzState claimed = claim_state(kNrzState);
    const std::int32_t ipos = claimed.words;
    const std::int32_t hpos = claimed.shape;

    if (zzctrl.pass == 0) {
        const NrzShape s = nrz_shape(p);
        if (s.adjusted) {
            opxwarn("The crossing point has been adjusted");
            opxwarn("to: " + fmt::F(s.crossing * 100.0f, 5, 1) + " percent");
        }
        if (zzsupv.storephase == 1) {
            std::int32_t* st = ist_at(ipos);
            st[kPrevious] = st[kCurrent] = st[kCounter] = 1;
            float* f = hist_at(hpos);
            f[kLower] = s.lower;
            f[kUpper] = s.upper;
            f[kRiseOffset] = s.rise_offset;
            f[kFallOffset] = s.fall_offset;
            f[kSlope] = s.slope;
            f[kEdge] = s.edge;
        }
        return;
    }

    const float* f = hist_at(hpos);
    output.w2 = 0.0f;
    output.w3 = 0.0f;
    if (!has_edges(p)) {
        output.value = bit != 0 ? f[kUpper] : f[kLower];
        return;
    }
    std::int32_t* st = ist_at(ipos);
    std::int32_t& k = st[kCounter];
    if (k > p.samples_per_bit) {
        k = 1;
        st[kPrevious] = st[kCurrent];
        st[kCurrent] = bit != 0 ? 1 : 0;
    }
    const std::int32_t prev = st[kPrevious];
    const std::int32_t cur = st[kCurrent];
    if (prev == cur)
        output.value = cur != 0 ? f[kUpper] : f[kLower];
    else if (cur != 0)
        output.value = edge_value(k, p.samples_per_bit, f[kEdge], f[kRiseOffset], f[kLower], f[kUpper], f[kSlope]);
    else
        output.value = edge_value(k, p.samples_per_bit, f[kEdge], f[kFallOffset], f[kUpper], f[kLower], -f[kSlope]);
    ++k;
}

}  // namespace nodrix

#include "kernel/signals.h"

#include <algorithm>

namespace nodrix {
namespace {

// Bins (counted from 0) over which the group-delay extremes are taken: the
// band the link carries, without the grid's margins.
constexpr int kInbandFirst = 102;
constexpr int kInbandLast = 922;

// Smallest and largest value of a 1024-bin array over the in-band bins.
void opx_gd_minvet(const float* gd, float& r) { r = *std::min_element(gd + kInbandFirst, gd + kInbandLast + 1); }
void opx_gd_maxvet(const float* gd, float& r) { r = *std::max_element(gd + kInbandFirst, gd + kInbandLast + 1); }

}  // namespace

float least_group_delay(const float* gd) {
    float r = 0.0f;
    opx_gd_minvet(gd, r);
    return r;
}

void group_delay_window(const InputWindow& in, const float* gd, float ref, TimeWindow& out) {
    float dmin = 0.0f;
    float dmax = 0.0f;
    opx_gd_minvet(gd, dmin);
    opx_gd_maxvet(gd, dmax);
    const float early = dmin - ref;
    const float late = dmax - ref;
    out.ton = in.ton + early;
    out.tgoodi = in.ton + late;
    out.toff = in.ton + in.twinin + late;
    out.tgoodf = in.ton + in.twinin + early;
}

}  // namespace nodrix

#include "kernel/control_blocks.h"

#include "kernel/signals.h"

#include <algorithm>

namespace nodrix {

ZzCtrl zzctrl;
ZdCtrl zdctrl;
OptclCtrl optcl_ctrl;
FVbsBand f_vbs_band;
FLimit flimit;
std::array<std::int32_t, 10> seeds{};
InfTop inftop;
PolMon polmon;
Ssprsn ssprsn;
ZzFlmn zzflmn;
ZzSupv zzsupv;
ZzSupt zzsupt;
ZzMax zzmax;
ZzMaxd zzmaxd;
ZtMax ztmax;
ZzScal zzscal;
ZzCoun zzcoun;
ZzErr zzerr;

void opx_gd_minvet(const float* gd, float& r) {
    r = *std::min_element(gd + kInbandFirst, gd + kInbandLast + 1);
}

void opx_gd_maxvet(const float* gd, float& r) {
    r = *std::max_element(gd + kInbandFirst, gd + kInbandLast + 1);
}

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

void reset_control_blocks() {
    zzctrl = {};
    zdctrl = {};
    optcl_ctrl = {};
    f_vbs_band = {};
    flimit = {};
    seeds = {};
    inftop = {};
    polmon = {};
    ssprsn = {};
    zzflmn = {};
    zzsupv = {};
    zzsupt = {};
    zzmax = {};
    zzmaxd = {};
    ztmax = {};
    zzscal = {};
    zzcoun = {};
    zzerr = {};
}

}  // namespace nodrix

#include "models/measurements/power_meter.h"

#include <algorithm>
#include <cmath>

#include "kernel/control_blocks.h"
#include "kernel/filexx.h"
#include "kernel/storage.h"
#include "models/measurements/observation.h"
#include "models/measurements/run_end.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {

std::vector<std::string> opowme_report(const std::string& title, float power) {
    const bool truncated = power < 1e-10f;
    const float dbm = truncated ? -100.0f : 10.0f * std::log10(power);
    std::vector<std::string> lines = {
        "",
        "Optical power at " + fmt::A(title, 50),
        " P Power [dBm] = " + fmt::F(dbm, 12, 3),
        " P Power [mW] = " + fmt::E(power, 12, 3),
        "",
    };
    if (truncated) {
        lines.push_back("WARNING !");
        lines.push_back("  The evaluated optical power is very low");
        lines.push_back("  and has been conventionally truncated to" + fmt::F(-100.0, 12, 3) + " dBm");
    }
    return lines;
}

namespace {

// Power of one field sample [mW]: |x|^2 with one polarisation, |x|^2 + |y|^2 with two.
float sample_power(const FieldSample& x, const FieldSample& y) {
    float p = x.re * x.re + x.im * x.im;
    if (optcl_ctrl.npol != 1) p += y.re * y.re + y.im * y.im;
    return p;
}

void write_report(const OpowmeParams& p, float power) {
    const std::string name = cut_at_first_blank(p.report_name.c_str());
    if (name.empty()) {
        const auto last = p.title.find_last_not_of(' ');
        opxerr("Optical power meter " + p.title.substr(0, last == std::string::npos ? 0 : last + 1) +
               ": no report name given");
        return;
    }
    std::int32_t unit = 0;
    opnfil(name.c_str(), kFormattedNew, unit, static_cast<std::int32_t>(name.size()));
    if (unit_stream(unit) == nullptr) return;  // the registry has reported why
    for (const std::string& line : opowme_report(p.title, power)) unit_write_line(unit, line);
    clodev(unit, 0);
}

// The state of one meter, kept while its input is in band.
struct MeterState {
    std::int32_t sums;
};
constexpr StateSlot<MeterState> kMeterState[] = {
    {&MeterState::sums, SlotKind::real_double, 2},  // running sum of the power samples and their number
};

}  // namespace

void opowme(const OpowmeParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig) {
    const bool active = optcl_ctrl.setuponly == 0;
    const bool in_band = sig.iv != 0;
    const std::int32_t d = (active && in_band) ? claim_state(kMeterState).sums : 0;

    if (zzctrl.pass == 0) {
        if (!active) return;
        group_delay_window(in, sig.gd.data(), least_group_delay(sig.gd.data()), out);
        if (zzflmn.nohist == 0) forget_observation(p.report_name);
        if (in_band && zzflmn.nohist == 0) {
            dist_at(d)[0] = 0.0;
            dist_at(d)[1] = 0.0;
        }
        return;
    }

    if (!active) return;
    const float t = zzctrl.time;
    const float start = out.tgoodi + polmon.tmon;
    if (in_band && t >= start && t <= out.tgoodf - polmon.tmon) {
        double* acc = dist_at(d);
        acc[0] += sample_power(sig.x, sig.y);
        acc[1] += 1.0;
    }
    if (!run_end_sample()) return;
    const float end = out.tgoodf - polmon.tmon;
    // An input out of band is measured (as nothing) over the whole window.
    const double collected =
        in_band ? dist_at(d)[1] : std::max(std::floor((std::min(t, end) - start) / zzctrl.delt) + 1.0, 0.0);
    post_observation(p.report_name, interval_coverage(ObservationUnit::samples, static_cast<std::int64_t>(collected),
                                                      1, start, end, t, zzctrl.delt));
    if (t >= start) {
        // No sample in the window (an empty window, or an input out of band)
        // measures no power.
        float power = 0.0f;
        if (in_band && dist_at(d)[1] > 0.0) power = static_cast<float>(dist_at(d)[0] / dist_at(d)[1]);
        write_report(p, power);
    }
}

}  // namespace nodrix

#include "models/measurements/osa.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "models/measurements/observation.h"
#include "models/measurements/run_end.h"
#include "runtime/chart_compact.h"
#include "runtime/opxfile.h"
#include "runtime/wisdom.h"

namespace nodrix {
namespace {

constexpr float kPowerFloor = 1e-20f;  // smallest bin power kept before the dB conversion
constexpr float kDynamicRange = 150.0f;  // dB shown below the peak

// The frame's transform: in place, of any length, estimated rather than
// measured (a frame is transformed rarely, and its lengths are rarely powers
// of two). The plan store keeps it for the run.
FftPlan frame_plan(std::int32_t n, std::complex<double>* frame) {
    const FftPlan plan = fft_plan(n, FFTW_FORWARD, frame, frame, true);
    if (!plan) opxerr("Optical spectrum analyser: cannot plan the FFT of the frame");
    return plan;
}

std::string trimmed_right(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

}  // namespace

std::int32_t spectrum_frame_length(std::int32_t fft_length) { return fft_length % 2 != 0 ? fft_length + 1 : fft_length; }

SpettlState spettl(std::int32_t n, bool collect, float re, float im) {
    SpettlState s;
    const std::int32_t zd = lozd(n);
    const std::int32_t h = loch(n);
    const std::int32_t i = loci(4);
    s.frame = zisd_at(zd);
    s.power = hist_at(h);
    s.words = ist_at(i);
    if (zzctrl.pass == 0) return s;

    std::int32_t* w = s.words;
    if (zzctrl.time <= 0.0f) {
        // First call of the run.
        w[0] = n;
        w[1] = 0;
        w[2] = 0;
        std::fill_n(s.power, n, 0.0f);
        w[3] = frame_plan(n, s.frame) ? 1 : 0;
    }
    if (!collect) return s;
    const std::int32_t pos = w[1] % n;
    s.frame[pos] = {static_cast<double>(re), static_cast<double>(im)};
    ++w[1];
    if (pos == n - 1) {
        // Planned at the first call, or now when the run did not start at t = 0.
        const FftPlan plan = frame_plan(n, s.frame);
        w[3] = plan ? 1 : 0;
        if (!plan) return s;
        ++w[2];
        fft_run(plan, s.frame, s.frame);
        for (std::int32_t k = 0; k < n; ++k) {
            const double r = s.frame[k].real();
            const double m = s.frame[k].imag();
            s.power[k] += static_cast<float>(r * r + m * m);
        }
    }
    return s;
}

SpectrumAxis spectrum_axis(std::int32_t n, float fref, float dt) {
    SpectrumAxis a;
    // 10 % of the band is trimmed at each edge: i1 = N / 10. (Evaluating
    // N ((fref - 0.4/dt) - (fref - 0.5/dt)) dt in single precision gives
    // 99.9998 for N = 1000 and would truncate to one bin less.)
    a.i1 = std::max<std::int32_t>(n / 10, 1);
    a.i2 = std::max(n - a.i1, a.i1);
    const double f = fref;
    const double d = dt;
    a.start_frequency = f + (2.0 * a.i1 - n - 2.0) / (2.0 * n * d);
    a.stop_frequency = f + (2.0 * a.i2 - n - 2.0) / (2.0 * n * d);
    a.frequency_step = 1.0 / (n * d);
    return a;
}

void spectrum_to_db(const float* power, std::int32_t n, std::int32_t frames, float dt, float* db, float& minimum,
                    float& maximum) {
    // Centre the spectrum: the zero frequency moves to bin N/2 + 1 (from 1).
    const std::int32_t shift = n % 2 == 0 ? n / 2 : (n + 1) / 2;
    for (std::int32_t k = 0; k < n; ++k) db[(k + shift) % n] = power[k];
    if (frames > 0) {
        const float scale = dt / (static_cast<float>(n) * static_cast<float>(frames));
        for (std::int32_t k = 0; k < n; ++k) db[k] = std::max(db[k], kPowerFloor) * scale;
    } else {
        // Nothing was measured: an empty spectrum at the power floor.
        std::fill_n(db, n, kPowerFloor);
    }
    const auto [lo, hi] = std::minmax_element(db, db + n);
    const float largest = std::max(*hi, kPowerFloor);
    const float smallest = std::max(*lo, kPowerFloor);
    maximum = 10.0f * std::log10(largest);
    minimum = 10.0f * std::log10(smallest);
    const float floor = maximum - kDynamicRange;
    for (std::int32_t k = 0; k < n; ++k) db[k] = std::max(10.0f * std::log10(db[k]), floor);
}

void optspr(const OptsprParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig) {
    if (zzctrl.pass == 0) {
        group_delay_window(in, sig.gd.data(), least_group_delay(sig.gd.data()), out);
        if (optcl_ctrl.setuponly == 1) return;
        forget_observation(p.file_name);
        if (p.fft_length < 1) {
            opxerr("Optical spectrum analyser " + trimmed_right(p.title) + ": the FFT length must be positive");
            return;
        }
    }
    if (optcl_ctrl.setuponly == 1 || p.fft_length < 1) return;

    const std::int32_t n = spectrum_frame_length(p.fft_length);
    const bool two = optcl_ctrl.npol != 1;
    const float t = zzctrl.time;
    const float m = polmon.tmon;
    const bool collect = zzctrl.pass != 0 && sig.iv != 0 && t >= out.tgoodi + m && t < out.tgoodf - m;
    const SpettlState sx = spettl(n, collect, sig.x.re, sig.x.im);
    SpettlState sy;
    if (two) sy = spettl(n, collect, sig.y.re, sig.y.im);
    if (zzctrl.pass == 0 || !run_end_sample()) return;
    post_observation(p.file_name, interval_coverage(ObservationUnit::frames, sx.words[1], n, out.tgoodi + m,
                                                    out.tgoodf - m, t, zzctrl.delt));

    // End of the run: the averaged spectrum of both polarisations.
    std::vector<float> power(sx.power, sx.power + n);
    if (two)
        for (std::int32_t k = 0; k < n; ++k) power[static_cast<std::size_t>(k)] += sy.power[k];
    std::vector<float> db(static_cast<std::size_t>(n));
    Qsp1Header h;
    float minimum;
    float maximum;
    spectrum_to_db(power.data(), n, sx.words[2], zzctrl.delt, db.data(), minimum, maximum);
    const SpectrumAxis axis = spectrum_axis(n, f_vbs_band.fcenter, zzctrl.delt);
    h.delt = zdctrl.ddelt;
    h.fsym = f_vbs_band.fcenter;
    h.frequency_step = axis.frequency_step;
    h.start_frequency = axis.start_frequency;
    h.stop_frequency = axis.stop_frequency;
    h.minimum = minimum;
    h.maximum = maximum;
    const std::vector<double> values(db.begin() + (axis.i1 - 1), db.begin() + axis.i2);
    const std::string path = trimmed_right(p.file_name) + ".qsp";
    qsp1_write(path, h, values);  // a failure is reported by the io layer, naming the file
}

}  // namespace nodrix

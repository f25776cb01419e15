// The optical spectrum analyser (optspr): the power spectrum of an optical
// signal by averaged periodograms. Its frame collectors (spettl, one per
// polarisation) gather the field samples of the measuring window in frames of
// N, transform each full frame and accumulate |X_k|^2; at the end of the run
// the averaged spectrum is centred on the band centre, trimmed by 10 % of the
// band at each edge and written within 150 dB of its peak: as the power in a
// resolution bandwidth in dBm, an XY chart whose axes name their units (file
// base + ".qxy"), or on the older scale, 10 log10 of the density in mW/THz,
// as the spectrum file (file base + ".qsp").
#include "models/measurements/osa.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/block_declaration.h"
#include "models/measurements/file_name_check.h"
#include "models/measurements/observation.h"
#include "runtime/chart_compact.h"

namespace nodrix {
namespace {

constexpr float kPowerFloor = 1e-20f;  // smallest bin power kept before the dB conversion
constexpr float kDynamicRange = 150.0f;  // dB shown below the peak
constexpr double kLightNmThz = 299792.458;  // speed of light [nm THz]
constexpr std::int32_t kDensityScale = 0;  // 10 log10 of mW/THz, the spectrum file
constexpr std::int32_t kDbmScale = 1;      // dBm in the resolution bandwidth, the XY chart

std::string trimmed_right(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

// One polarisation's frame collector: the current frame, the accumulated
// |X_k|^2 (uncentred) and its words: N, samples collected, frames
// transformed, 1 when the transform is planned.
struct FrameCollector {
    State<std::complex<double>> frame;
    State<float> power;
    State<std::int32_t> words;
    // The frame's transform: in place, of any length, estimated rather than
    // measured (a frame is transformed rarely, and its lengths are rarely
    // powers of two). The plan store keeps it for the run.
    FftPlan plan;

    void claim(StateClaims& state, std::int32_t n) {
        state.claim(frame, n);
        state.claim(power, n);
        state.claim(words, 4);
    }

    // Counters and accumulated power from zero (the records are allocated
    // zeroed), the frame length and the transform.
    bool start(const PlanStore& plans, std::int32_t n) {
        words[0] = n;
        plan = plans.plan(n, FFTW_FORWARD, frame.data(), frame.data(), true);
        words[3] = plan ? 1 : 0;
        return static_cast<bool>(plan);
    }
};

// Stores (re, im) and transforms the frame when it is full.
void spettl(FrameCollector& c, const PlanStore& plans, float re, float im) {
    std::int32_t* w = c.words.data();
    const std::int32_t n = w[0];
    const std::int32_t pos = w[1] % n;
    c.frame[static_cast<std::size_t>(pos)] = {static_cast<double>(re), static_cast<double>(im)};
    ++w[1];
    if (pos != n - 1 || !c.plan) return;
    ++w[2];
    plans.execute(c.plan, c.frame.data(), c.frame.data());
    float* power = c.power.data();
    for (std::int32_t k = 0; k < n; ++k) {
        const double r = c.frame[static_cast<std::size_t>(k)].real();
        const double m = c.frame[static_cast<std::size_t>(k)].imag();
        power[k] += static_cast<float>(r * r + m * m);
    }
}

struct SpectrumAnalyser {
    std::int32_t fft_length = 1000;  // frame length [samples]; an odd value is raised by 1
    std::string title;               // caption
    std::string file_name;           // spectrum file, ".qsp" or ".qxy" appended; trailing blanks dropped
    std::int32_t scale = kDbmScale;
    float resolution_bandwidth_nm = 0.1f;  // at the band centre's wavelength

    Input<OpticalSignal> input;
    Window window;

    std::array<FrameCollector, 2> collectors;  // x, and y with two polarisations
    // Set at the last sample: the collectors hold what the spectrum is made of.
    bool run_ended = false;
    ObservationCoverage coverage;

    static KindDeclaration<SpectrumAnalyser> declaration() {
        using A = SpectrumAnalyser;
        return {
            .name = "spectrum_analyser",
            .routine = "optspr",
            .help = "optical spectrum analyser: averaged periodograms written as a spectrum file (.qsp)",
            .family = BlockFamily::measurements,
            .parameters =
                {
                    parameter(&A::fft_length, {.name = "fft_length", .type = ParamType::integer, .unit = "samples",
                                               .fallback = 1000,
                                               .help = "frame length (an odd value is raised by 1)", .low = 1}),
                    parameter(&A::title, {.name = "title", .text_fallback = "optspr{n} Run(s): 1",
                                          .help = "caption in the report"}),
                    parameter(&A::file_name, {.name = "file_name", .text_fallback = "{link}_OSA{id}",
                                              .help = "spectrum file name (\".qxy\", or \".qsp\" on the density "
                                                      "scale, appended)"}),
                    parameter(&A::scale,
                              {.name = "scale", .type = ParamType::choice, .fallback = kDbmScale,
                               .help = "\"dbm\": power in the resolution bandwidth [dBm], an XY chart; "
                                       "\"density_db\": 10 log10 of the density in mW/THz, a spectrum file",
                               .choices = {{"density_db", kDensityScale}, {"dbm", kDbmScale}}}),
                    parameter(&A::resolution_bandwidth_nm,
                              {.name = "resolution_bandwidth_nm", .unit = "nm", .fallback = 0.1,
                               .help = "resolution bandwidth of the dBm scale, at the band centre's wavelength",
                               .low = 0, .low_open = true}),
                },
            .inputs = {port(&A::input, {.key = "input", .help = "the light measured"})},
            .window = &A::window,
            .check = [](const BlockSettings& s, const LinkContext&, Findings& found) {
                check_result_file_name(s, "file_name", false, found);
            },
        };
    }

    std::int32_t frame_length() const { return spectrum_frame_length(fft_length); }
    bool two_polarisations(const RunContext& ctx) const { return ctx.fields() != 1; }

    // The analyser passes its input's window on, from its least delayed component.
    Status design(const RunContext& ctx, StateClaims& state) {
        const float* gd = input->gd.data();
        group_delay_window(window.input(ctx), gd, least_group_delay(gd), window.output());
        run_ended = false;
        if (fft_length < 1)
            return Status::error("Optical spectrum analyser " + trimmed_right(title) +
                                 ": the FFT length must be positive");
        const std::int32_t n = frame_length();
        collectors[0].claim(state, n);
        if (two_polarisations(ctx)) collectors[1].claim(state, n);
        return {};
    }

    // Counters and accumulated power start from zero; an earlier run's
    // coverage is none of this run's.
    Status setup(const RunContext& ctx) {
        forget_observation(file_name);
        run_ended = false;
        if (fft_length < 1) return {};  // its design has said why; it holds no state
        bool planned = collectors[0].start(ctx.plans(), frame_length());
        if (two_polarisations(ctx)) planned = collectors[1].start(ctx.plans(), frame_length()) && planned;
        if (!planned) return Status::error("Optical spectrum analyser: cannot plan the FFT of the frame");
        return {};
    }

    void run(const RunContext& ctx) {
        if (run_ended || fft_length < 1) return;
        const TimeWindow& good = window.output();
        const float t = ctx.time();
        const float m = ctx.monitor_offset();
        if (input->iv != 0 && t >= good.tgoodi + m && t < good.tgoodf - m) {
            spettl(collectors[0], ctx.plans(), input->x.re, input->x.im);
            if (two_polarisations(ctx)) spettl(collectors[1], ctx.plans(), input->y.re, input->y.im);
        }
        if (!ctx.last_sample()) return;
        run_ended = true;
        coverage = interval_coverage(ObservationUnit::frames, collectors[0].words[1], frame_length(), good.tgoodi + m,
                                     good.tgoodf - m, t, ctx.time_step());
    }

    // The averaged spectrum of both polarisations, as the collectors held it
    // at the last sample.
    Status finish(const RunContext& ctx) {
        if (!run_ended) return {};
        post_observation(file_name, coverage);
        const std::int32_t n = frame_length();
        std::vector<float> power(collectors[0].power.data(), collectors[0].power.data() + n);
        if (two_polarisations(ctx))
            for (std::int32_t k = 0; k < n; ++k) power[static_cast<std::size_t>(k)] += collectors[1].power[static_cast<std::size_t>(k)];
        const SpectrumAxis axis = spectrum_axis(n, ctx.band_centre(), ctx.time_step());
        if (scale == kDbmScale) return write_dbm_chart(ctx, power, axis);
        std::vector<float> db(static_cast<std::size_t>(n));
        Qsp1Header h;
        float minimum;
        float maximum;
        spectrum_to_db(power.data(), n, collectors[0].words[2], ctx.time_step(), db.data(), minimum, maximum);
        h.delt = ctx.time_step_double();
        h.fsym = ctx.band_centre();
        h.frequency_step = axis.frequency_step;
        h.start_frequency = axis.start_frequency;
        h.stop_frequency = axis.stop_frequency;
        h.minimum = minimum;
        h.maximum = maximum;
        const std::vector<double> values(db.begin() + (axis.i1 - 1), db.begin() + axis.i2);
        qsp1_write(trimmed_right(file_name) + ".qsp", h, values);  // a failure is reported by the io layer, naming the file
        return {};
    }

    // The power in the resolution bandwidth [dBm] against frequency [THz],
    // the bins of the spectrum file, within 150 dB of the peak.
    Status write_dbm_chart(const RunContext& ctx, const std::vector<float>& power, const SpectrumAxis& axis) {
        const std::int32_t n = frame_length();
        const std::int32_t frames = collectors[0].words[2];
        const double dt = ctx.time_step_double();
        // Centred density [mW/THz]: |X_k|^2 dt / (N frames).
        std::vector<double> density(static_cast<std::size_t>(n), 0.0);
        const std::int32_t shift = n % 2 == 0 ? n / 2 : (n + 1) / 2;
        for (std::int32_t k = 0; k < n && frames > 0; ++k)
            density[static_cast<std::size_t>((k + shift) % n)] = power[static_cast<std::size_t>(k)] * dt / (double(n) * frames);
        const double fc = ctx.band_centre();
        const double resolution = fc * fc * resolution_bandwidth_nm / kLightNmThz;
        const std::vector<double> in_resolution = resolution_bandwidth_power(density, axis.frequency_step, resolution);
        std::vector<double> x, y;
        double peak = 1e-20;
        for (std::int32_t k = axis.i1; k <= axis.i2; ++k) peak = std::max(peak, in_resolution[static_cast<std::size_t>(k - 1)]);
        const double floor = 10.0 * std::log10(peak) - kDynamicRange;
        for (std::int32_t k = axis.i1; k <= axis.i2; ++k) {
            x.push_back(axis.start_frequency + (k - axis.i1) * axis.frequency_step);
            const double p = std::max(in_resolution[static_cast<std::size_t>(k - 1)], 1e-20);
            y.push_back(std::max(10.0 * std::log10(p), floor));
        }
        char unit[48];
        std::snprintf(unit, sizeof unit, "dBm/%g nm", static_cast<double>(resolution_bandwidth_nm));
        const std::int32_t id = qxy1_create(trimmed_right(file_name) + ".qxy");
        if (id < 0) return {};  // reported by the io layer, naming the file
        qxy1_write_chart(id, trimmed_right(title), "frequency", "THz", "power", unit, x, y);
        qxy1_close(id);
        return {};
    }
};

const KindRegistration registration{declare_kind<SpectrumAnalyser>()};

}  // namespace

std::int32_t spectrum_frame_length(std::int32_t fft_length) { return fft_length % 2 != 0 ? fft_length + 1 : fft_length; }
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

std::vector<double> resolution_bandwidth_power(const std::vector<double>& density, double step, double resolution) {
    const std::size_t n = density.size();
    std::vector<double> out(n, 0.0);
    const double half = 0.5 * resolution / step;  // in bins
    const auto reach = static_cast<std::ptrdiff_t>(std::ceil(half + 0.5));
    for (std::size_t k = 0; k < n; ++k) {
        double sum = 0.0;
        for (std::ptrdiff_t j = std::max<std::ptrdiff_t>(0, std::ptrdiff_t(k) - reach);
             j <= std::min<std::ptrdiff_t>(std::ptrdiff_t(n) - 1, std::ptrdiff_t(k) + reach); ++j) {
            // Overlap of bin j, [j - 1/2, j + 1/2], with [k - half, k + half], in bins.
            const double d = double(j) - double(k);
            const double overlap = std::min(d + 0.5, half) - std::max(d - 0.5, -half);
            if (overlap > 0.0) sum += density[static_cast<std::size_t>(j)] * overlap * step;
        }
        out[k] = sum;
    }
    return out;
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
}  // namespace nodrix

// The optical filter every optical filter kind holds (the user-defined filter
// `usdfil`, and the raised-cosine and Lorentzian filters that tabulate their
// own description): a tabulated transfer function (a filter description) is
// synthesised into a finite impulse response in the round that sizes the
// block, kept in the block, and applied sample by sample to both
// polarisations by FFT overlap-add. The hand-over file "kn" + six digits
// (and, with charts, the requested-data file "kp" + six digits) is written
// as a result of the set-up; the block never reads it back.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/block_declaration.h"

namespace nodrix {

// Words of the file options (index = word - 1).
enum UsdfilFileOption : int {
    kOptInstance = 0,            // block instance number (names the working files)
    kOptPolarisations = 1,       // 1 or 2
    kOptAbscissaIsFrequency = 2, // 1 frequency [THz], 0 wavelength [nm]
    kOptDataKind = 3,            // 0 modulus and phase, 1 modulus and group delay, 2 modulus only
    kOptRelativeAbscissa = 4,    // 1 relative to centre_frequency, 0 absolute
    kOptModulusInDb = 5,         // 1 power transmission in dB, 0 linear
    kOptWriteCharts = 6,         // 1 keep the requested data and write the chart file
    kOptComplement = 7,          // 1 the filter transmits 1 - P where the description transmits P
};

// Words of the synthesis options.
enum UsdfilSynthesisOption : int {
    kOptPolarInterpolation = 0,  // 1 modulus and phase interpolated separately, 0 real and imaginary parts
    kOptSmoothingWindow = 1,     // above 1: moving average over this many points
    kOptQuietChecks = 2,         // -1 suppresses the data-variation warnings and the option listing
};

struct UsdfilParams {
    std::array<std::int32_t, 3> synthesis_options{1, 0, -1};  // UsdfilSynthesisOption words
    std::array<std::int32_t, 8> file_options{};               // UsdfilFileOption words
    float abscissa_offset = 0.0f;   // [THz], added to every converted frequency
    float abscissa_scale = 1.0f;    // multiplies the abscissa before conversion
    float centre_frequency = 0.0f;  // [THz], reference of relative abscissas
    std::string_view data_file;     // description file name without ".DAT", blank-padded (50)
    std::string_view block_name;    // shown in messages (48)
    std::string_view file_base;     // base of the chart file name (50)
};

// The text of a filter description, line by line, as the synthesis reads it;
// `opened` is false when there was no file to read.
struct DescriptionText {
    bool opened = false;
    std::vector<std::string> lines;
};

// The user's description file (p.data_file), read whole.
DescriptionText read_description_file(const UsdfilParams& p);

// What makes a filter's description file unusable for the synthesis, which
// would turn the filter and the branch after it off (in words; empty when
// nothing): no file, one that cannot be read, no "##" line, fewer than two
// points, abscissas that do not give increasing frequencies. The band centre
// [THz] is that of the link.
std::string description_problem(const UsdfilParams& p, float band_centre_thz);

// One point of the filter charts: offset frequency [THz], power transmission
// (linear), and the phase [rad] or group delay [ps].
struct ChartPoint {
    double f = 0.0;
    double power = 0.0;
    double third = 0.0;
};

// What the synthesis made of a description, kept for the later rounds and
// the run.
struct SynthesisedFilter {
    std::int32_t active = 0;  // 1: the filter runs; 0: it and the branch after it are off
    std::int32_t status = 0;  // 1 synthesised, -1 failed, 0 not attempted
    std::int32_t n = 1;       // FFT length N of the overlap-add (1 when off)
    std::int32_t log2n = 1;   // log2 N (1 when off)
    float peak = 0.0f;        // peak power gain, the largest |H_k|^2 (0 when off)
    std::array<float, kBins> transmission{};       // power transmission per spectral bin
    std::array<float, kBins> delay{};              // the filter's group delay per bin [ps]
    std::vector<std::complex<double>> response;    // H_k, the realised frequency response (FFT order)
    // With charts: the described points inside the simulation band, and the
    // realised filter's points (frequency, power, delay).
    std::vector<ChartPoint> requested;
    std::vector<ChartPoint> realised;
};

// The filter a block of any optical filter kind holds.
class OpticalFilter {
public:
    // The round that sizes the block: reads, checks and synthesises the
    // description, writes the hand-over file (and the requested-data file
    // with charts). A filter whose input is off is not synthesised.
    void synthesise(const RunContext& ctx, const UsdfilParams& p, const DescriptionText& text,
                    const OpticalSignal& sig_in);
    // Every round: the output's spectral description and window from the
    // synthesised filter and the input, and the state for the samples. The
    // state round deletes the hand-over file, as a run leaves none.
    void design(const RunContext& ctx, StateClaims& state, const UsdfilParams& p, const InputWindow& in,
                TimeWindow& out, const OpticalSignal& sig_in, OpticalSignal& sig_out);
    // The run's set-up: the charts, and the state filled for the samples.
    void setup(const RunContext& ctx, const UsdfilParams& p);
    // One sample.
    void run(const RunContext& ctx, const InputWindow& in, const TimeWindow& out, const OpticalSignal& sig_in,
             OpticalSignal& sig_out);
    const SynthesisedFilter& synthesised() const { return made_; }

private:
    void overlap_add(bool two_polarisations);

    SynthesisedFilter made_;
    // The state of the samples: N, log2 N, the samples collected in the
    // current block; the response and the X and Y input blocks and overlap
    // tails, N values each. Claimed only while the filter is active.
    State<std::int32_t> length_;
    State<std::int32_t> log2_length_;
    State<std::int32_t> count_;
    State<std::complex<double>> response_;
    State<std::complex<double>> x_;
    State<std::complex<double>> y_;
    State<std::complex<double>> x_tail_;
    State<std::complex<double>> y_tail_;
    bool running_ = false;  // set up with an active filter
};

// ---- What the optical filter kinds share in their declarations ----

// An optical filter's bandwidth against the link: wider than the simulated
// band it passes all of it (a warning); narrower than one bin of the
// spectral grid, the grid cannot describe its response (an error).
void check_optical_bandwidth(const BlockSettings& s, const LinkContext& link, Findings& found);
inline constexpr std::string_view kOpticalBandwidthLimits =
    "at least one bin of the grid, (grid_high_thz - grid_low_thz) / 1024; wider than band_high_thz - band_low_thz "
    "passes the whole band (a warning)";
ParamSpec title_entry(std::string_view fallback);
ParamSpec file_name_entry(std::string_view fallback);
ParamSpec write_charts_entry();

// What every optical filter kind holds besides its own shape: the chart
// switch, the caption and file base, one optical input and output, its
// window and identity, and the synthesised filter that does the work. A kind
// derives from it and lists the shared entries through
// `declare_optical_filter`.
struct OpticalFilterBlock {
    bool write_charts = false;
    std::string title;      // caption in messages
    std::string file_name;  // base of the chart file name

    Input<OpticalSignal> input;
    Output<OpticalSignal> output;
    Window window;
    BlockIdentity identity;  // the instance number names the working files

    OpticalFilter filter;

    // The synthesis's caption and chart file base.
    void name_synthesis(UsdfilParams& p) const {
        p.block_name = title;
        p.file_base = file_name;
    }

    // Every round: in the round that sizes the block, synthesise from the
    // description `describe()` gives; then the output's description and the
    // state for the samples.
    template <class Describe>
    void design_filter(const RunContext& ctx, StateClaims& state, const UsdfilParams& p, Describe&& describe) {
        if (ctx.setup_round() == SetupRound::sizing) filter.synthesise(ctx, p, describe(), *input);
        filter.design(ctx, state, p, window.input(ctx), window.output(), *input, *output);
    }

    void run(const RunContext& ctx) { filter.run(ctx, window.input(ctx), window.output(), *input, *output); }
};

// A kind's declaration with the entries every optical filter shares appended:
// the chart switch, caption and file name (after the kind's own parameters),
// the light in and out, the window, the delay record and the identity.
template <class K>
KindDeclaration<K> declare_optical_filter(KindDeclaration<K> d, std::string_view title_fallback,
                                          std::string_view file_fallback) {
    d.parameters.push_back(parameter<K, bool>(&K::write_charts, write_charts_entry()));
    d.parameters.push_back(parameter<K, std::string>(&K::title, title_entry(title_fallback)));
    d.parameters.push_back(parameter<K, std::string>(&K::file_name, file_name_entry(file_fallback)));
    d.inputs = {port<K, OpticalSignal>(&K::input, {.key = "input", .help = "the light in"})};
    d.outputs = {port<K, OpticalSignal>(&K::output, {.key = "output", .help = "the filtered light"})};
    d.window = &K::window;
    d.delay_record = true;
    d.identity = &K::identity;
    return d;
}

// ---- Helpers of the filters' files ----

// The text without its trailing blanks (names come blank-padded).
std::string trim_right(std::string_view s);

// Next tabulated frequency of a description file: f + step, but always moving
// the single-precision value forward, even where the step is below half a
// unit of its last place.
float next_frequency(float f, float step);

// Working-file name: the two-letter prefix and the number as six digits
// (77 and "rc" give "rc000077"); numbers are taken modulo 10^6.
std::string filename_generation(std::int32_t number, std::string_view prefix);

// Deletes a working file (name + ".DAT") through the file registry, when it exists.
void delete_working_file(const RunContext& ctx, const std::string& name);

// The working file a filter kind writes its own description to: `name`
// (".DAT" added), a stale copy replaced; empty when it cannot be opened.
UnitFile open_own_description(const RunContext& ctx, const std::string& name);

// A description a filter kind tabulates itself: `tabulate()` gives its lines
// (the title, "##", then the points), written to the working file `name`
// and handed to the synthesis as written. Nothing is tabulated when the file
// cannot be opened: the synthesis then finds no description.
template <class Tabulate>
DescriptionText write_own_description(const RunContext& ctx, const std::string& name, Tabulate&& tabulate) {
    DescriptionText text;
    const UnitFile file = open_own_description(ctx, name);
    if (!file) return text;
    text.opened = true;
    text.lines = tabulate();
    for (const std::string& line : text.lines) file.write_line(line);
    return text;
}

// The design of a kind that tabulates its own description: while the block
// is designed the description sits in the working file `prefix` + six digits
// (the instance number); a run leaves none behind.
template <class Tabulate>
void design_tabulated(OpticalFilterBlock& b, const RunContext& ctx, StateClaims& state, const UsdfilParams& p,
                      std::string_view prefix, Tabulate&& tabulate) {
    const std::string name = filename_generation(b.identity.instance, prefix);
    b.design_filter(ctx, state, p, [&] { return write_own_description(ctx, name, tabulate); });
    if (ctx.keeps_state()) delete_working_file(ctx, name);
}

}  // namespace nodrix

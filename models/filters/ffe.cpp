// The feed-forward equaliser (ffe): a transversal filter of N taps at symbol
// (T) or half-symbol (T/2) spacing on the received electrical signal, placed
// between the receiver's filter and the decision. Its taps are given, or
// trained by least mean squares on the known pattern of the symbol source
// (the same register and polynomial) over a training span of the received
// signal, then frozen. Until the training ends the signal passes delayed by
// the cursor tap, as the equalised signal is afterwards. The taps go to a
// report.
#include "models/filters/ffe.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

#include "kernel/block_declaration.h"
#include "kernel/filexx.h"
#include "models/measurements/file_name_check.h"
#include "models/measurements/observed_input.h"
#include "models/transmitters/multilevel.h"
#include "models/transmitters/prbs_source.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {

std::vector<std::int32_t> training_pattern(std::int32_t degree, std::int32_t polynomial, std::int32_t levels) {
    std::vector<std::int32_t> pattern;
    const std::int32_t entry = prbs_polynomial(degree, polynomial);
    std::vector<std::int32_t> reg(static_cast<std::size_t>(std::max(degree, 1)), 1);
    std::vector<std::int32_t> taps(reg.size(), 0);
    if (entry == 0 || !prbs_taps(entry, degree, taps.data())) return pattern;
    // The register's period is odd: bit pairs repeat after as many symbols.
    const std::int64_t period = (std::int64_t{1} << degree) - 1;
    pattern.reserve(static_cast<std::size_t>(period));
    for (std::int64_t k = 0; k < period; ++k) {
        const std::int32_t first = prbs_step(reg.data(), taps.data(), degree);
        pattern.push_back(levels == 4 ? gray_level(first, prbs_step(reg.data(), taps.data(), degree)) : first);
    }
    return pattern;
}

namespace {

double centred(std::int32_t level, std::int32_t levels) { return level - 0.5 * (levels - 1); }

// The correlation of the samples at a phase with the pattern from a lag.
constexpr std::size_t kCorrelationSymbols = 2048;

}  // namespace

TrainingAlignment align_training(std::span<const float> x, std::int32_t per_symbol,
                                 std::span<const std::int32_t> pattern, std::int32_t levels) {
    TrainingAlignment a;
    const auto n = static_cast<std::size_t>(per_symbol);
    const std::size_t symbols = x.size() / n;
    if (symbols == 0 || pattern.empty()) return a;
    double sum = 0.0;
    for (std::size_t k = 0; k < symbols * n; ++k) sum += x[k];
    a.mean = sum / static_cast<double>(symbols * n);
    double best_variance = -1.0;
    for (std::size_t p = 0; p < n; ++p) {
        double v = 0.0;
        for (std::size_t k = 0; k < symbols; ++k) v += (x[p + k * n] - a.mean) * (x[p + k * n] - a.mean);
        if (v > best_variance) best_variance = v, a.phase = static_cast<std::int32_t>(p);
    }
    const std::size_t used = std::min(symbols, kCorrelationSymbols);
    const std::size_t period = pattern.size();
    double best = -1.0;
    for (std::size_t lag = 0; lag < period; ++lag) {
        double c = 0.0;
        for (std::size_t k = 0; k < used; ++k)
            c += (x[static_cast<std::size_t>(a.phase) + k * n] - a.mean) * centred(pattern[(lag + k) % period], levels);
        if (std::fabs(c) > best) best = std::fabs(c), a.lag = static_cast<std::int32_t>(lag);
    }
    double xl = 0.0;
    double ll = 0.0;
    for (std::size_t k = 0; k < symbols; ++k) {
        const double l = centred(pattern[(static_cast<std::size_t>(a.lag) + k) % period], levels);
        xl += (x[static_cast<std::size_t>(a.phase) + k * n] - a.mean) * l;
        ll += l * l;
    }
    a.gain = ll > 0.0 ? xl / ll : 0.0;
    return a;
}

double lms_train(std::span<const float> x, std::int32_t per_symbol, std::int32_t spacing, std::int32_t cursor,
                 std::span<const std::int32_t> pattern, std::int32_t levels, const TrainingAlignment& a, double step,
                 std::int32_t passes, std::span<double> taps) {
    std::fill(taps.begin(), taps.end(), 0.0);
    taps[static_cast<std::size_t>(cursor)] = 1.0;
    double variance = 0.0;
    for (const float v : x) variance += (v - a.mean) * (v - a.mean);
    variance /= static_cast<double>(std::max<std::size_t>(x.size(), 1));
    if (!(variance > 0.0) || pattern.empty()) return 0.0;
    const double mu = step / (static_cast<double>(taps.size()) * variance);
    const std::size_t period = pattern.size();
    const std::int64_t reach = static_cast<std::int64_t>(taps.size() - 1) * spacing;
    double squares = 0.0;
    for (std::int32_t pass = 0; pass < passes; ++pass) {
        squares = 0.0;
        std::int64_t decisions = 0;
        for (std::int64_t k = 0;; ++k) {
            const std::int64_t n = a.phase + static_cast<std::int64_t>(cursor) * spacing + k * per_symbol;
            if (n >= static_cast<std::int64_t>(x.size())) break;
            if (n < reach) continue;
            const double target = a.gain * centred(pattern[(static_cast<std::size_t>(a.lag) + static_cast<std::size_t>(k)) % period], levels);
            double y = 0.0;
            for (std::size_t j = 0; j < taps.size(); ++j) y += taps[j] * (x[static_cast<std::size_t>(n) - j * spacing] - a.mean);
            const double e = target - y;
            for (std::size_t j = 0; j < taps.size(); ++j) taps[j] += mu * e * (x[static_cast<std::size_t>(n) - j * spacing] - a.mean);
            squares += e * e;
            ++decisions;
        }
        if (decisions > 0) squares /= static_cast<double>(decisions);
    }
    return squares;
}

namespace {

// Words of the integer record.
enum : std::size_t { kRing = 0, kCollected = 1, kTrained = 2 };

struct Ffe {
    std::int32_t samples_per_symbol = 1;
    std::int32_t taps = 7;                 // N
    std::int32_t spacing = 1;              // 1 symbol (T), 2 half symbol (T/2)
    std::int32_t mode = 0;                 // 0 trained, 1 fixed
    std::string fixed_taps;                // N numbers when fixed
    std::int32_t levels = 4;               // M of the symbol source
    std::int32_t degree = 7;               // its register
    std::int32_t polynomial = 1;
    float training_delay_ps = 0.0f;        // after the input's good interval opens (and the guard)
    std::int32_t training_symbols = 2048;
    float step = 0.01f;                    // normalised LMS step
    std::int32_t passes = 50;
    std::string title;
    std::string report_name;               // ".DAT" appended

    Input<ElectricalSample> input;
    Output<ElectricalSample> output;
    const TimeWindow* input_window = &window_of_no_block();

    State<float> history;    // the last (N - 1) x spacing + 1 input samples, a ring
    State<float> training;   // the training span's samples
    State<double> weights;   // the taps
    State<std::int32_t> words;

    std::vector<std::int32_t> pattern;  // one period of the known symbols
    TrainingAlignment alignment;
    double mse = 0.0;
    double trained_at_ps = 0.0;

    static KindDeclaration<Ffe> declaration();

    std::int32_t tap_spacing() const { return spacing == 2 ? samples_per_symbol / 2 : samples_per_symbol; }
    std::int32_t cursor() const { return taps / 2; }
    std::int32_t ring_length() const { return (taps - 1) * tap_spacing() + 1; }
    std::int32_t training_length() const { return training_symbols * samples_per_symbol; }

    Status design(const RunContext&, StateClaims& state) {
        Status status;
        if (tap_spacing() < 1) status.add("ffe: half-symbol spacing needs at least 2 samples per symbol");
        if (mode == 1 && parsed_taps().size() != static_cast<std::size_t>(taps))
            status.add("ffe: fixed_taps must hold " + std::to_string(taps) + " numbers");
        if (!status.ok()) return status;
        state.claim(history, ring_length());
        if (mode == 0) state.claim(training, training_length());
        state.claim(weights, taps);
        state.claim(words, 3);
        return {};
    }

    std::vector<double> parsed_taps() const {
        std::vector<double> values;
        const char* s = fixed_taps.c_str();
        for (char* end = nullptr;; s = end) {
            while (*s == ' ' || *s == ',') ++s;
            if (*s == '\0') break;
            const double v = std::strtod(s, &end);
            if (end == s) return {};
            values.push_back(v);
        }
        return values;
    }

    void setup(const RunContext&) {
        std::fill(weights.data(), weights.data() + taps, 0.0);
        weights[static_cast<std::size_t>(cursor())] = 1.0;
        alignment = TrainingAlignment{};
        if (mode == 1) {
            const std::vector<double> given = parsed_taps();
            std::copy(given.begin(), given.end(), weights.data());
            words[kTrained] = 1;
        } else {
            pattern = training_pattern(degree, polynomial, levels);
        }
    }

    void train(const RunContext& ctx) {
        const std::span<const float> x(training.data(), training.size());
        alignment = align_training(x, samples_per_symbol, pattern, levels);
        mse = lms_train(x, samples_per_symbol, tap_spacing(), cursor(), pattern, levels, alignment, step, passes,
                        std::span<double>(weights.data(), weights.size()));
        words[kTrained] = 1;
        trained_at_ps = ctx.time_double();
    }

    void run(const RunContext& ctx) {
        const auto ring = static_cast<std::size_t>(ring_length());
        const std::int32_t position = words[kRing];
        history[static_cast<std::size_t>(position)] = input->value;
        words[kRing] = (position + 1) % static_cast<std::int32_t>(ring);
        if (words[kTrained] == 0) {
            const float start = input_window->tgoodi + ctx.monitor_offset() + training_delay_ps;
            if (ctx.time() >= start && words[kCollected] < training_length())
                training[static_cast<std::size_t>(words[kCollected]++)] = input->value;
            if (words[kCollected] == training_length()) train(ctx);
        }
        const double mean = mode == 0 ? alignment.mean : 0.0;
        double y = mean;
        for (std::size_t j = 0; j < static_cast<std::size_t>(taps); ++j) {
            const std::size_t back = j * static_cast<std::size_t>(tap_spacing());
            const std::size_t k = (static_cast<std::size_t>(position) + ring - back % ring) % ring;
            y += weights[j] * (history[k] - mean);
        }
        *output = ElectricalSample{static_cast<float>(y), 0.0f, 0.0f};
    }

    Status finish(const RunContext& ctx) {
        const std::string name = cut_at_first_blank(report_name.c_str());
        if (name.empty()) return {};
        const ReportFile file = ctx.files().create_report(name);
        if (!file) return {};
        auto line = [&](const std::string& text) { unit_write_line(file.unit(), text); };
        line("Feed-forward Equaliser at " + fmt::A(title, 50));
        line("Taps = " + fmt::I(taps, 3) + ", spacing [ps] = " + fmt::F(tap_spacing() * ctx.time_step_double(), 12, 5) +
             ", cursor tap = " + fmt::I(cursor(), 3));
        if (mode == 1) {
            line("Fixed taps");
        } else if (words[kTrained] == 0) {
            line("");
            line("WARNING !");
            line("  The run ended before the training span was complete: the taps are not trained");
        } else {
            line("Trained by least mean squares on " + fmt::I(training_symbols, 7) + " symbols, frozen at [ps] = " +
                 fmt::F(trained_at_ps, 14, 3));
            line("Decision phase [ps] = " + fmt::F(alignment.phase * ctx.time_step_double(), 12, 5) +
                 ", pattern symbol = " + fmt::I(alignment.lag, 9));
            line("Training mean = " + fmt::E(alignment.mean, 12, 5) + ", gain per level = " + fmt::E(alignment.gain, 12, 5));
            line(" P Training mean squared error per gain^2 = " +
                 fmt::E(alignment.gain != 0.0 ? mse / (alignment.gain * alignment.gain) : 0.0, 12, 5));
        }
        line("Tap  delay [ps]        value");
        for (std::int32_t j = 0; j < taps; ++j)
            line(fmt::I(j, 3) + fmt::F((j - cursor()) * tap_spacing() * ctx.time_step_double(), 12, 4) +
                 fmt::E(weights[static_cast<std::size_t>(j)], 16, 8));
        return {};
    }
};

void check_ffe(const BlockSettings& s, const LinkContext&, Findings& found) {
    if (s.integer("spacing") == 2 && s.integer("samples_per_symbol") % 2 != 0)
        found.error("spacing", "spacing = \"half_symbol\" needs an even samples_per_symbol, not " +
                                   std::to_string(s.integer("samples_per_symbol")));
    if (s.integer("mode") == 0 && prbs_polynomial(s.integer("degree"), s.integer("polynomial")) == 0)
        found.error("polynomial", "polynomial = " + std::to_string(s.integer("polynomial")) + " is beyond the " +
                                      std::to_string(prbs_variants(s.integer("degree"))) + " polynomials of degree " +
                                      std::to_string(s.integer("degree")));
    if (s.integer("mode") == 0 && s.integer("training_symbols") < 4 * s.integer("taps"))
        found.error("training_symbols", "training_symbols = " + std::to_string(s.integer("training_symbols")) +
                                            " is below 4 x taps = " + std::to_string(4 * s.integer("taps")));
    if (s.integer("mode") == 1) {
        std::size_t count = 0;
        const std::string& text = s.text("fixed_taps");
        const char* p = text.c_str();
        bool numbers = true;
        for (char* end = nullptr;; p = end) {
            while (*p == ' ' || *p == ',') ++p;
            if (*p == '\0') break;
            std::strtod(p, &end);
            if (end == p) {
                numbers = false;
                break;
            }
            ++count;
        }
        if (!numbers || count != static_cast<std::size_t>(s.integer("taps")))
            found.error("fixed_taps", "mode = \"fixed\": fixed_taps must hold taps = " +
                                          std::to_string(s.integer("taps")) + " numbers separated by commas");
    }
    check_result_file_name(s, "report_name", true, found);
}

KindDeclaration<Ffe> Ffe::declaration() {
    using F = Ffe;
    return {
        .name = "ffe",
        .help = "feed-forward equaliser: N taps at T or T/2, trained by least mean squares on the known pattern or fixed",
        .family = BlockFamily::filters,
        .parameters =
            {
                parameter(&F::samples_per_symbol, {.name = "samples_per_symbol", .unit = "samples",
                                                   .help = "samples per symbol", .low = 1, .required = true,
                                                   .limits = "that of the symbol source; even for half-symbol spacing"}),
                parameter(&F::taps, {.name = "taps", .fallback = 7, .help = "number of taps; the middle one is the cursor",
                                     .low = 1, .high = 63}),
                parameter(&F::spacing, {.name = "spacing", .type = ParamType::choice, .fallback = 1,
                                        .help = "tap spacing", .choices = {{"symbol", 1}, {"half_symbol", 2}}}),
                parameter(&F::mode, {.name = "mode", .type = ParamType::choice, .fallback = 0,
                                     .help = "taps trained on the known pattern, or given",
                                     .choices = {{"trained", 0}, {"fixed", 1}}}),
                parameter(&F::fixed_taps, {.name = "fixed_taps", .text_fallback = "",
                                           .help = "the taps, comma-separated, when mode is \"fixed\"",
                                           .limits = "taps numbers"}),
                parameter(&F::levels, {.name = "levels", .fallback = 4, .help = "number of levels M",
                                       .choices = {{"2", 2}, {"4", 4}}, .limits = "that of the symbol source"}),
                parameter(&F::degree, {.name = "degree", .fallback = 7, .help = "shift-register degree of the pattern",
                                       .low = 5, .high = 20, .limits = "that of the symbol source"}),
                parameter(&F::polynomial, {.name = "polynomial", .fallback = 1,
                                           .help = "feedback polynomial variant of the pattern", .low = 1,
                                           .limits = "that of the symbol source"}),
                parameter(&F::training_delay_ps, {.name = "training_delay_ps", .unit = "ps", .fallback = 0.0,
                                                  .help = "start of the training after the input's good interval opens",
                                                  .low = 0}),
                parameter(&F::training_symbols, {.name = "training_symbols", .fallback = 2048,
                                                 .help = "symbols of the training span", .low = 1,
                                                 .limits = "at least 4 x taps"}),
                parameter(&F::step, {.name = "step", .fallback = 0.01,
                                     .help = "LMS step over taps x the signal's variance", .low = 0, .high = 1,
                                     .low_open = true}),
                parameter(&F::passes, {.name = "passes", .fallback = 50, .help = "LMS passes over the training span",
                                       .low = 1}),
                parameter(&F::title, {.name = "title", .text_fallback = "ffe{n}", .help = "caption in the report"}),
                parameter(&F::report_name, {.name = "report_name", .text_fallback = "{link}_FFE{id}",
                                            .help = "report of the taps (\".DAT\" appended)"}),
            },
        .inputs = {observed_input(&F::input, &F::input_window, {.key = "input", .help = "the received signal"})},
        .outputs = {port(&F::output, {.key = "output", .help = "the equalised signal"})},
        .check = check_ffe,
    };
}

const KindRegistration registration{declare_kind<Ffe>()};

}  // namespace
}  // namespace nodrix

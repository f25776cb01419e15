// The measurements' kinds of the older form: a closure over pestim,
// which read the control blocks and find their storage by position.
// They register themselves at start-up; declaring a kind as one struct
// (docs/adding-a-block.md) takes it out of this file, as it took the power
// meter, the spectrum analyser and the eye scope.
#include "kernel/block_kind.h"
#include "models/measurements/ber_estimator.h"
#include "models/measurements/file_name_check.h"

namespace nodrix {
namespace {

using P = ParamSpec;
using T = ParamType;

std::function<void()> make_ber_estimator(const BlockSettings& s, const BlockWiring& w) {
    PestimParams p;
    p.delay = s.real("delay_ps");
    p.window = s.real("window_ps");
    p.samples_per_bit = s.integer("samples_per_bit");
    p.pattern_length = s.integer("pattern_length");
    p.estimator_kind = s.integer("estimator");
    p.fixed_threshold = s.real("fixed_threshold_a");
    p.nv = {s.flag("instant_chart") ? 1 : 0, s.flag("threshold_chart") ? 1 : 0,
            s.flag("relative_threshold_report") ? 1 : 0, s.flag("fixed_threshold_report") ? 1 : 0};
    p.rv = {s.real("relative_threshold"), s.real("chi_square_degrees")};
    p.title = s.text("title");
    p.report_name = s.text("report_name");
    p.title2 = p.title;
    p.file_name = s.text("chart_name");
    return [p, w] { pestim(p, *w.producer_window, *w.electrical_input); };
}

void check_ber_estimator(const BlockSettings& s, const LinkContext&, Findings& found) {
    check_result_file_name(s, "report_name", true, found);
    if (s.flag("instant_chart") || s.flag("threshold_chart")) check_result_file_name(s, "chart_name", false, found);
}

const std::vector<PortSpec> kElectricalIn = {
    PortSpec{.key = "input", .kind = SignalKind::electrical, .help = "the received signal"}};

ParamSpec title(std::string_view fallback) {
    return P{.name = "title", .type = T::text, .text_fallback = fallback, .help = "caption in the report"};
}

// The observation window of the estimator: from the start of
// the good interval of their input plus the monitoring offset.
std::vector<ParamSpec> observation(std::vector<ParamSpec> more) {
    std::vector<ParamSpec> params = {
        P{.name = "delay_ps", .unit = "ps", .fallback = 0.0, .help = "delay of the observation's start"},
        P{.name = "window_ps", .unit = "ps", .help = "length of the observation", .low = 0, .low_open = true,
          .required = true},
        P{.name = "samples_per_bit", .type = T::integer, .unit = "samples", .help = "samples per bit of the signal",
          .low = 1, .required = true,
          .limits = "those of the channel's data source and NRZ driver"},
    };
    params.insert(params.end(), more.begin(), more.end());
    return params;
}

KindSpec ber_estimator_kind() {
    return KindSpec{
        .name = "ber_estimator",
        .routine = "pestim",
        .help = "BER and Q estimator: best sampling instant and threshold, report and charts",
        .params = observation({
            P{.name = "pattern_length", .type = T::integer, .fallback = 3, .help = "bits forming a pattern",
              .choices = {{"1", 1}, {"3", 3}, {"5", 5}}},
            P{.name = "estimator", .type = T::choice, .fallback = 0, .help = "what is estimated",
              .choices = {{"q", -1}, {"ber", 0}, {"ber_every_instant", 1}}},
            P{.name = "fixed_threshold_a", .unit = "A", .fallback = 0.0,
              .help = "decision threshold of the fixed-threshold report"},
            P{.name = "relative_threshold", .fallback = 0.5,
              .help = "threshold between the levels of the relative-threshold report", .low = 0, .high = 1},
            P{.name = "chi_square_degrees", .fallback = 0.0,
              .help = "degrees of freedom of the chi-square statistics (0: Gaussian)", .low = 0},
            P{.name = "instant_chart", .type = T::flag, .fallback = 1,
              .help = "chart against the sampling instant (Q estimator: the Q chart)"},
            P{.name = "threshold_chart", .type = T::flag, .fallback = 1,
              .help = "chart against the threshold (Q estimator: eye closure and eye results)"},
            P{.name = "relative_threshold_report", .type = T::flag, .fallback = 1,
              .help = "results at the relative threshold (Q estimator: jitter)"},
            P{.name = "fixed_threshold_report", .type = T::flag, .fallback = 1,
              .help = "results at the fixed and mean thresholds (Q estimator: instant tolerance)"},
            title("pestim{n} Run(s): 1"),
            P{.name = "report_name", .type = T::text, .text_fallback = "{link}_PST{id}",
              .help = "report file name (\".DAT\" appended)"},
            P{.name = "chart_name", .type = T::text, .text_fallback = "{link}_BER{id}",
              .help = "chart file name (\".qxy\" appended)"},
        }),
        .inputs = kElectricalIn,
        .outputs = {},
        .windowed = false,
        .make = make_ber_estimator,
        .check = check_ber_estimator,
    };
}

KindSpec in_family(KindSpec kind) {
    kind.family = BlockFamily::measurements;
    return kind;
}

const KindRegistration registrations[] = {KindRegistration{in_family(ber_estimator_kind())}};

}  // namespace
}  // namespace nodrix

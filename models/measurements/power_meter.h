// The optical power meter: the mean optical power of a signal over the part of
// the run in which every spectral component is present, reported at the end of
// the run in dBm and mW.
#pragma once

#include <string>
#include <vector>

#include "kernel/signals.h"

namespace nodrix {

struct OpowmeParams {
    std::string title;        // instance title printed in the report (50 characters)
    std::string report_name;  // report file unit name, used up to its first blank
};

void opowme(const OpowmeParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& sig);

// The report lines for a mean power P [mW], with the truncation warning when
// P is below 1e-10 mW (then the power in dBm is taken as -100).
std::vector<std::string> opowme_report(const std::string& title, float power);

}  // namespace nodrix

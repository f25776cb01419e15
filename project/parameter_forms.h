// The other forms in which a link may give a kind's parameters, and how the
// parameters follow from them when the link is read.
//
// Designer's units, for every kind that has such a parameter:
//   NAME_mw   (power in mW)            NAME_dbm  (dBm: P = 10^(dBm / 10) mW)
//   NAME_linear (gain, loss, noise figure as a power ratio)
//                                      NAME_db   (dB: 10^(dB / 10))
//   NAMEwidth_thz, NAMEspacing_thz (a width in frequency)
//                                      ..._ghz   (GHz / 1000)
// and the forms a kind declares for itself (a fibre's preset, its dispersion
// in ps/nm/km, ...; kernel/block_kind.h).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kernel/block_kind.h"

namespace nodrix {

// Every other form of a kind: its designer's units, then its own.
const std::vector<ParameterForm>& parameter_forms(const KindSpec& kind);
const ParameterForm* find_form(const KindSpec& kind, std::string_view key);

// True when two different keys give one quantity: a parameter and a form
// that stands for it, which one place may not give both of.
bool same_quantity(const KindSpec& kind, std::string_view a, std::string_view b);

// The parameters the given forms set, each with where it came from.
void derive_parameters(const KindSpec& kind, const GivenValues& given, std::vector<DerivedValue>& derived,
                       Findings& found);

}  // namespace nodrix

namespace nodrix {

// ---- A number against a parameter's range ----------------------------------

bool in_range(const ParamSpec& p, double v);
// "NAME = V is out of range; allowed: ...".
std::string range_problem(const ParamSpec& p, double v);
// What is wrong with a real for a parameter: out of its range, or not held
// in single precision, as the blocks hold it; empty when nothing is.
std::string value_problem(const ParamSpec& p, double v);

}  // namespace nodrix

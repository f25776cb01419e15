// The project sim_160G: the reference link, built in from
// projects/sim_160G.toml so that the executable needs no file beside it.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "project/link.h"
#include "project/link_schedule.h"

namespace nodrix::sim160g {

// The text of the built-in link description.
std::string_view link_text();

// The schedule of the built-in link with the given overrides (variants for
// studies, such as "73.gamma_per_w_per_km=0" for a span without the Kerr
// effect); null when an override is wrong (reported).
std::unique_ptr<LinkSchedule> make_schedule(const std::vector<LinkOverride>& overrides = {});

}  // namespace nodrix::sim160g

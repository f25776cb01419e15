#include "project/sim_160g.h"

namespace nodrix {
namespace embedded {
extern const std::string_view sim_160g_toml;
}  // namespace embedded

namespace sim160g {

std::string_view link_text() { return embedded::sim_160g_toml; }

std::unique_ptr<LinkSchedule> make_schedule(const std::vector<LinkOverride>& overrides) {
    auto link = load_link_text(link_text(), "sim_160G.toml", ".", overrides);
    if (!link) return nullptr;
    auto schedule = std::make_unique<LinkSchedule>(std::move(*link));
    if (!schedule->ok()) return nullptr;
    return schedule;
}

}  // namespace sim160g
}  // namespace nodrix

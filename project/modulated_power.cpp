#include "project/modulated_power.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace nodrix {
namespace {

// The driver nearest along the drive's first inputs, or null.
const LinkBlock* driver_of(const Link& link, const LinkBlock& modulator) {
    const LinkBlock* b = modulator.drive != 0 ? link.producer(modulator.drive) : nullptr;
    for (std::size_t guard = 0; b != nullptr && guard <= link.blocks.size(); ++guard) {
        if (b->kind->name == "nrz_driver" || b->kind->name == "multilevel_driver") return b;
        b = b->inputs.empty() ? nullptr : link.producer(b->inputs[0]);
    }
    return nullptr;
}

// The voltages a driver sends, each equally often.
std::vector<double> drive_levels(const LinkBlock& driver) {
    const BlockSettings& s = driver.settings;
    const double low = s.real("low_level_v");
    const double high = s.real("high_level_v");
    if (driver.kind->name == "nrz_driver" || s.integer("levels") == 2) return {low, high};
    if (s.integer("spacing") == 1) return {low, s.real("level_1_v"), s.real("level_2_v"), high};
    return {low, low + (high - low) / 3.0, low + 2.0 * (high - low) / 3.0, high};
}

}  // namespace

std::optional<double> mean_power_transmission(const Link& link, const LinkBlock& modulator) {
    const LinkBlock* driver = driver_of(link, modulator);
    if (driver == nullptr) return std::nullopt;
    const BlockSettings& m = modulator.settings;
    const double bias = m.real("bias_voltage_v");
    const double swing = m.real("switching_voltage_v");
    const double leak = std::clamp(1.0 - static_cast<double>(m.real("symmetry")), 0.0, 1.0);
    const std::vector<double> levels = drive_levels(*driver);
    double sum = 0.0;
    for (double v : levels) {
        const double phi = swing != 0.0 ? (v - bias) * std::numbers::pi / 2.0 / swing : 0.0;
        sum += std::cos(phi) * std::cos(phi) + leak * std::sin(phi) * std::sin(phi);
    }
    return sum / static_cast<double>(levels.size());
}

void derive_spectral_field_factors(Link& link, const std::vector<std::int32_t>& modulators) {
    for (LinkBlock& b : link.blocks) {
        if (std::find(modulators.begin(), modulators.end(), b.id) == modulators.end()) continue;
        if (const std::optional<double> mean = mean_power_transmission(link, b))
            b.settings.set_number("spectral_field_factor", std::sqrt(*mean));
    }
}

}  // namespace nodrix

#include "models/amplifiers/edfa.h"

#include "kernel/control_blocks.h"

namespace nodrix {
namespace {

constexpr float kW2mW = 1e15f;  // W/Hz to mW/THz, in single precision as the model uses it

}  // namespace

float flat_ase_density(float power_gain, float n_sp, float fc) {
    const float s = static_cast<float>((power_gain - 1.0f) * n_sp * kPlanck * fc * kW2mW);
    return s < 0.0f ? 0.0f : s;
}

float fixed_power_gain(float p_in, float a, float target, float g_max) {
    const float denominator = p_in + a;
    if (!(denominator > 0.0f)) return g_max;
    float g = (target + a) / denominator;
    // Below unit gain no ASE is added, so the signal alone has to meet the
    // target: G p_in = target.
    if (g < 1.0f && p_in > 0.0f) g = target / p_in;
    return g <= g_max ? g : g_max;
}

}  // namespace nodrix

#include "models/amplifiers/edfa.h"

#include "numerics/constants.h"

namespace nodrix {
namespace {

constexpr float kW2mW = 1e15f;  // W/Hz to mW/THz, in single precision as the model uses it

}  // namespace

float flat_ase_density(float power_gain, float n_sp, float fc) {
    const float s = static_cast<float>((power_gain - 1.0f) * n_sp * kPlanck * fc * kW2mW);
    return s < 0.0f ? 0.0f : s;
}

float inversion_factor(float power_gain, float noise_figure, std::int32_t definition) {
    if (definition == kNoiseFigureHighGain) return 0.5f * noise_figure;
    if (!(power_gain > 1.0f)) return 0.0f;
    const float n_sp = (noise_figure * power_gain - 1.0f) / (2.0f * (power_gain - 1.0f));
    return n_sp > 0.0f ? n_sp : 0.0f;
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

float fixed_power_gain_exact(float p_in, float noise_figure, float c, float target, float g_max) {
    const float denominator = p_in + 0.5f * noise_figure * c;
    if (!(denominator > 0.0f)) return g_max;
    float g = (target + 0.5f * c) / denominator;
    // At or below unit gain no ASE is added: G p_in = target.
    if (g <= 1.0f && p_in > 0.0f) g = target / p_in;
    return g <= g_max ? g : g_max;
}

}  // namespace nodrix

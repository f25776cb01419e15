// A variable optical attenuator: a loss without noise, the same at every
// frequency. The field is scaled by 10^(-loss_db / 20) and the spectral
// description by 10^(-loss_db / 10); the delays pass through unchanged.
#include <cmath>

#include "kernel/block_declaration.h"

namespace nodrix {
namespace {

struct Attenuator {
    float loss_db = 0.0f;  // loss at every frequency [dB], 0 to 300

    Input<OpticalSignal> input;
    Output<OpticalSignal> output;
    Window window;

    float field_factor = 1.0f;  // 10^(-loss_db / 20), set at design

    static KindDeclaration<Attenuator> declaration() {
        using A = Attenuator;
        return {
            .name = "attenuator",
            .help = "variable optical attenuator: a loss without noise, the same at every frequency",
            .family = BlockFamily::fibre,
            .parameters = {parameter(&A::loss_db,
                                     {.name = "loss_db", .unit = "dB", .fallback = 0.0,
                                      .help = "loss at every frequency (300 dB leaves 1e-30 of the power)", .low = 0,
                                      .high = 300})},
            .inputs = {port(&A::input, {.key = "input", .help = "the light in"})},
            .outputs = {port(&A::output, {.key = "output", .help = "the light out, attenuated"})},
            .window = &A::window,
        };
    }

    // The output's spectrum and power are the input's times the power
    // factor; its delays and window are the input's.
    void design(const RunContext& ctx, StateClaims&) {
        OpticalSignal& out = *output;
        const double loss = static_cast<double>(loss_db);
        field_factor = static_cast<float>(std::pow(10.0, -loss / 20.0));
        const float power_factor = static_cast<float>(std::pow(10.0, -loss / 10.0));
        out.x = ctx.empty_field();
        out.y = ctx.empty_field();
        for (std::size_t i = 0; i < kBins; ++i) out.ps[i] = input->ps[i] * power_factor;
        out.iv = input->iv;
        out.gd = input->gd;
        out.pp = input->iv != 0 ? input->pp * power_factor : 0.0f;
        if (input->iv != 0)
            group_delay_window(window.input(ctx), out.gd.data(), least_group_delay(input->gd.data()), window.output());
    }

    void run(const RunContext& ctx) {
        OpticalSignal& out = *output;
        const float t = ctx.time();
        if (input->iv == 0 || t < window.input(ctx).ton || t >= window.output().toff) {
            out.x = ctx.empty_field();
            out.y = ctx.empty_field();
            return;
        }
        const float fc = ctx.band_centre();
        out.x = FieldSample{input->x.re * field_factor, input->x.im * field_factor, fc};
        out.y = ctx.fields() == 2 ? FieldSample{input->y.re * field_factor, input->y.im * field_factor, fc}
                                  : ctx.empty_field();
    }
};

const KindRegistration registration{declare_kind<Attenuator>()};

}  // namespace
}  // namespace nodrix

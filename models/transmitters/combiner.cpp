// The passive optical combiner (ocmb04): up to four signals joined into one
// with a common amplitude factor. Its output carries the sum of the inputs'
// power spectra and powers and, per bin, the largest of their group delays;
// every sample it adds the inputs' fields. A port left open carries no light.
#include <algorithm>

#include "kernel/block_declaration.h"

namespace nodrix {
namespace {

struct Combiner {
    float amplitude_factor = 1.0f;  // on every input field (the powers take its square)
    float power_factor = 1.0f;      // extra factor on the average power
    float spectrum_factor = 1.0f;   // extra factor on the power spectrum

    Inputs<OpticalSignal, 4> inputs;
    Output<OpticalSignal> output;
    Window window;

    static KindDeclaration<Combiner> declaration() {
        using C = Combiner;
        return {
            .name = "combiner",
            .routine = "ocmb04",
            .help = "passive optical combiner of up to four inputs (open ports carry no light)",
            .family = BlockFamily::transmitters,
            .parameters =
                {
                    parameter(&C::amplitude_factor,
                              {.name = "amplitude_factor", .fallback = 1.0, .help = "factor on every input field"}),
                    parameter(&C::power_factor,
                              {.name = "power_factor", .fallback = 1.0, .help = "extra factor on the average power"}),
                    parameter(&C::spectrum_factor, {.name = "spectrum_factor", .fallback = 1.0,
                                                    .help = "extra factor on the power spectrum"}),
                },
            .inputs = {port(&C::inputs, {.key = "inputs", .help = "one to four signals"})},
            .outputs = {port(&C::output, {.key = "output", .help = "the combined light"})},
            .window = &C::window,
        };
    }

    void design(const RunContext& ctx, StateClaims&) {
        OpticalSignal& out = *output;
        const OpticalSignal &a = inputs[0], &b = inputs[1], &c = inputs[2], &d = inputs[3];
        out.x = ctx.empty_field();
        out.y = ctx.empty_field();
        const float power_scale = amplitude_factor * amplitude_factor;
        for (std::size_t i = 0; i < kBins; ++i)
            out.ps[i] = (a.ps[i] + b.ps[i] + c.ps[i] + d.ps[i]) * power_scale * spectrum_factor;
        out.iv = a.iv + b.iv + c.iv + d.iv != 0 ? 1 : 0;
        for (std::size_t i = 0; i < kBins; ++i) out.gd[i] = std::max({a.gd[i], b.gd[i], c.gd[i], d.gd[i]});
        if (out.iv == 0) {
            out.pp = 0.0f;  // the window is left as it was
            return;
        }
        out.pp = (a.pp + b.pp + c.pp + d.pp) * power_scale * power_factor;
        // Delays relative to the earliest input component.
        float earliest = least_group_delay(a.gd.data());
        for (int k = 1; k < 4; ++k) earliest = std::min(earliest, least_group_delay(inputs[k].gd.data()));
        group_delay_window(window.input(ctx), out.gd.data(), earliest, window.output());
    }

    void run(const RunContext& ctx) {
        OpticalSignal& out = *output;
        const float t = ctx.time();
        if (out.iv == 0 || t < window.input(ctx).ton || t >= window.output().toff) {
            out.x = ctx.empty_field();
            out.y = ctx.empty_field();
            return;
        }
        const OpticalSignal &a = inputs[0], &b = inputs[1], &c = inputs[2], &d = inputs[3];
        const float f = amplitude_factor;
        const float fc = ctx.band_centre();
        out.x = FieldSample{(a.x.re + b.x.re + c.x.re + d.x.re) * f, (a.x.im + b.x.im + c.x.im + d.x.im) * f, fc};
        if (ctx.fields() == 2)
            out.y = FieldSample{(a.y.re + b.y.re + c.y.re + d.y.re) * f, (a.y.im + b.y.im + c.y.im + d.y.im) * f, fc};
        else
            out.y = ctx.empty_field();
    }
};

const KindRegistration registration{declare_kind<Combiner>()};

}  // namespace
}  // namespace nodrix

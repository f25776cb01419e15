// The erbium-doped fibre amplifier holding a target output power (oampfp):
// the gain chosen from the input's spectrum to meet the target, never above
// the largest gain; the flat model, or with a negative gain or noise figure
// the profile model lowered from the gain profile; it adds amplified
// spontaneous emission.
#include "models/amplifiers/edfa_model.h"

namespace nodrix {
namespace {

struct AmplifierFixedPower {
    float max_gain_db = 0.0f;  // negative: the profile model (-99 or less: linear file values)
    std::string gain_profile_file;
    float noise_figure_linear = 2.81838f;
    bool ase_off = false;
    std::string noise_figure_profile_file;
    std::int32_t ase_polarisations = 2;  // 1 or 2
    std::int32_t noise_figure_definition = kNoiseFigureExact;
    float output_power_mw = 1.0f;  // target output power, > 0

    Input<OpticalSignal> input;
    Output<OpticalSignal> output;
    Window window;

    EdfaModel model;

    static KindDeclaration<AmplifierFixedPower> declaration() {
        using A = AmplifierFixedPower;
        std::vector<Parameter<A>> params = {
            parameter(&A::max_gain_db, {.name = "max_gain_db", .unit = "dB",
                                        .help = "largest gain; negative: the profile model", .high = 100,
                                        .required = true})};
        edfa_noise_parameters(params);
        params.push_back(parameter(&A::output_power_mw, {.name = "output_power_mw", .unit = "mW",
                                                         .help = "target output power", .low = 0,
                                                         .low_open = true, .required = true}));
        return {
            .name = "amplifier_fixed_power",
            .routine = "oampfp",
            .help = "erbium-doped fibre amplifier holding a target output power",
            .family = BlockFamily::amplifiers,
            .parameters = params,
            .inputs = {port(&A::input, {.key = "input", .help = "the light in"})},
            .outputs = {port(&A::output, {.key = "output", .help = "the light out"})},
            .window = &A::window,
            .check = check,
        };
    }

    static void check(const BlockSettings& s, const LinkContext& link, Findings& found) {
        check_edfa(s, link, "max_gain_db", found);
    }

    Status design(const RunContext& ctx, StateClaims& state) {
        const EdfaSettings p{max_gain_db, gain_profile_file, noise_figure_linear, ase_off,
                             noise_figure_profile_file, ase_polarisations, noise_figure_definition};
        return model.design_fixed_power(ctx, state, p, output_power_mw, *input, *output, window);
    }
    void setup(const RunContext& ctx) { model.setup(ctx); }
    void run(const RunContext& ctx) { model.run(ctx, *input, *output, window); }
    void finish(const RunContext& ctx) { model.finish(ctx); }
};

const KindRegistration registration{declare_kind<AmplifierFixedPower>()};

}  // namespace
}  // namespace nodrix

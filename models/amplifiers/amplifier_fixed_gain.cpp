// The erbium-doped fibre amplifier of fixed gain (oampfg): the flat model
// with one gain and one noise figure, or with a negative gain or noise figure
// the profile model from gain and noise-figure files; it adds amplified
// spontaneous emission.
#include "models/amplifiers/edfa_model.h"

namespace nodrix {
namespace {

struct AmplifierFixedGain {
    float gain_db = 0.0f;  // negative: the profile model (-99 or less: linear file values)
    std::string gain_profile_file;
    float noise_figure_linear = 2.81838f;
    bool ase_off = false;
    std::string noise_figure_profile_file;
    std::int32_t ase_polarisations = 2;  // 1 or 2
    std::int32_t noise_figure_definition = kNoiseFigureExact;

    Input<OpticalSignal> input;
    Output<OpticalSignal> output;
    Window window;

    EdfaModel model;

    static KindDeclaration<AmplifierFixedGain> declaration() {
        using A = AmplifierFixedGain;
        std::vector<Parameter<A>> params = {
            parameter(&A::gain_db, {.name = "gain_db", .unit = "dB", .help = "gain; negative: the profile model",
                                    .high = 100, .required = true})};
        edfa_noise_parameters(params);
        return {
            .name = "amplifier_fixed_gain",
            .routine = "oampfg",
            .help = "erbium-doped fibre amplifier of fixed gain, adding amplified spontaneous emission",
            .family = BlockFamily::amplifiers,
            .parameters = params,
            .inputs = {port(&A::input, {.key = "input", .help = "the light in"})},
            .outputs = {port(&A::output, {.key = "output", .help = "the light out"})},
            .window = &A::window,
            .check = check,
        };
    }

    static void check(const BlockSettings& s, const LinkContext& link, Findings& found) {
        check_edfa(s, link, "gain_db", found);
    }

    Status design(const RunContext& ctx, StateClaims& state) {
        const EdfaSettings p{gain_db, gain_profile_file, noise_figure_linear, ase_off,
                             noise_figure_profile_file, ase_polarisations, noise_figure_definition};
        return model.design_fixed_gain(ctx, state, p, *input, *output, window);
    }
    void setup(const RunContext& ctx) { model.setup(ctx); }
    void run(const RunContext& ctx) { model.run(ctx, *input, *output, window); }
    void finish(const RunContext& ctx) { model.finish(ctx); }
};

const KindRegistration registration{declare_kind<AmplifierFixedGain>()};

}  // namespace
}  // namespace nodrix

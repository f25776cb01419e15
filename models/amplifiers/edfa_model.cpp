#include "models/amplifiers/edfa_model.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "numerics/constants.h"
#include "models/amplifiers/edfa.h"
#include "numerics/fft.h"

namespace nodrix {
namespace {

constexpr float kW2mW = 1e15f;      // W/Hz to mW/THz, in single precision as the model uses it
constexpr float kHalfW2mW = 5e14f;  // half of it
constexpr const char* kNoTarget =
    "Fixed output power optical amplifier: the target output power must be positive; the branch after this "
    "block is turned off";

// Linear gain values are marked by a gain parameter of -99 or less.
bool linear_values(float gain_parameter) { return gain_parameter <= -99.0f; }

ProfileTable table_of(float parameter, const std::string& file, bool linear,
                      ProfileTable (*flat)(float, const EdfaRun&), const EdfaRun& run) {
    if (parameter >= 0.0f) return flat(parameter, run);
    return profile_table(read_profile_file(converti_nome(file)), linear);
}

// The profile model's view of the run, with the polarisations the ASE fills.
EdfaRun edfa_run(const RunContext& ctx, const EdfaSettings& p) {
    const SimulationSettings& s = ctx.settings();
    return EdfaRun{s.grid.low_thz,     s.grid.high_thz,    s.band.low_thz,         s.band.high_thz,
                   ctx.band_centre(), p.ase_polarisations, ctx.time_step_double(),
                   p.noise_figure_definition == kNoiseFigureExact};
}

void empty_outputs(const RunContext& ctx, OpticalSignal& out) {
    out.x = ctx.empty_field();
    out.y = ctx.empty_field();
}

// A fixed-output-power amplifier needs a positive target: otherwise the
// branch after it is turned off (empty fields, no spectrum, no power, the
// input's delays).
bool target_usable(const RunContext& ctx, float output_power_mw, const OpticalSignal& in, OpticalSignal& out,
                   const Window& window, Status& status) {
    if (output_power_mw > 0.0f) return true;
    status.add(kNoTarget);
    empty_outputs(ctx, out);
    out.ps.fill(0.0f);
    out.pp = 0.0f;
    out.iv = 0;
    out.gd = in.gd;
    group_delay_window(window.input(ctx), out.gd.data(), least_group_delay(in.gd.data()), window.output());
    return false;
}

// Fixed output power, flat model: the gain [dB] chosen from the input spectrum.
float fixed_power_gain_db(const RunContext& ctx, const EdfaSettings& p, float output_power_mw,
                          const OpticalSignal& in) {
    float p_in = 0.0f;
    for (float v : in.ps) p_in += v;
    const SpectralGrid& grid = ctx.settings().grid;
    const float g_max = std::pow(10.0f, 0.1f * p.gain_db);
    if (p.noise_figure_definition == kNoiseFigureExact) {
        // h fc over the grid in the polarisations the ASE fills, and the gain
        // that makes signal and ASE meet the target.
        const float c = p.ase_off ? 0.0f
                                  : static_cast<float>(kPlanck * ctx.band_centre() * p.ase_polarisations *
                                                       (grid.high_thz - grid.low_thz) * kW2mW);
        return 10.0f * std::log10(fixed_power_gain_exact(p_in, p.noise_figure_linear, c, output_power_mw, g_max));
    }
    const float n_sp = p.ase_off ? 0.0f : 0.5f * p.noise_figure_linear;
    const float a = static_cast<float>(n_sp * kPlanck * ctx.band_centre() * p.ase_polarisations *
                                       (grid.high_thz - grid.low_thz) * kW2mW);
    return 10.0f * std::log10(fixed_power_gain(p_in, a, output_power_mw, g_max));
}

}  // namespace

void check_edfa(const BlockSettings& s, const LinkContext& link, std::string_view gain_name, Findings& found) {
    const float gain = s.real(gain_name);
    const float noise_figure = s.real("noise_figure_linear");
    const std::string& gain_file = s.text("gain_profile_file");
    const std::string& noise_file = s.text("noise_figure_profile_file");
    bool named = true;
    if (gain < 0.0f && gain_file.empty()) {
        found.error(gain_name, std::string(gain_name) + " = " + number_text(gain) +
                                   " takes the gain from a profile (a negative gain), but gain_profile_file is not "
                                   "given; allowed: 0 or more, or a negative value with gain_profile_file");
        named = false;
    }
    if (noise_figure < 0.0f && noise_file.empty()) {
        found.error("noise_figure_linear", "noise_figure_linear = " + number_text(noise_figure) +
                                               " takes the noise figure from a profile (a negative value), but "
                                               "noise_figure_profile_file is not given; allowed: 0 or more, or a "
                                               "negative value with noise_figure_profile_file");
        named = false;
    }
    if (!named || (gain >= 0.0f && noise_figure >= 0.0f)) return;
    const ProfileFrame frame{link.grid_low_thz, link.grid_high_thz, link.band_low_thz, link.band_high_thz};
    if (const auto problem = profile_model_problem(gain, gain_file, noise_figure, noise_file, frame))
        found.error(problem->param, std::string(problem->param) + ": " + problem->text);
}

// ---- design ----

Status EdfaModel::design_fixed_gain(const RunContext& ctx, StateClaims& state, const EdfaSettings& p,
                                    const OpticalSignal& in, OpticalSignal& out, const Window& window) {
    flat_ = use_flat(p);
    ase_off_ = p.ase_off;
    gain_db_ = 0.0f;
    share_ase(ctx, p);
    if (in.iv == 0) {
        empty_outputs(ctx, out);
        out.iv = 0;
        return {};
    }
    if (flat_) {
        design_flat(ctx, state, p.gain_db, p, in, out, window);
        return {};
    }
    const bool linear = linear_values(p.gain_db);
    const EdfaRun run = edfa_run(ctx, p);
    const ProfileTable gain = table_of(p.gain_db, p.gain_profile_file, linear, default_gain_table, run);
    const ProfileTable nf =
        table_of(p.noise_figure_linear, p.noise_figure_profile_file, linear, default_noise_figure_table, run);
    design_profile(ctx, state, p.gain_db, gain, nf, p, in, out, window);
    return {};
}

Status EdfaModel::design_fixed_power(const RunContext& ctx, StateClaims& state, const EdfaSettings& p,
                                     float output_power_mw, const OpticalSignal& in, OpticalSignal& out,
                                     const Window& window) {
    flat_ = use_flat(p);
    ase_off_ = p.ase_off;
    gain_db_ = 0.0f;
    share_ase(ctx, p);
    if (in.iv == 0) {
        empty_outputs(ctx, out);
        out.iv = 0;
        return {};
    }
    if (!flat_) return design_fixed_power_profile(ctx, state, p, output_power_mw, in, out, window);
    state.claim(chosen_gain_db_, 1);
    Status status;
    if (!target_usable(ctx, output_power_mw, in, out, window, status)) return status;
    gain_db_ = fixed_power_gain_db(ctx, p, output_power_mw, in);
    design_flat(ctx, state, gain_db_, p, in, out, window);
    return status;
}

void EdfaModel::design_flat(const RunContext& ctx, StateClaims& state, float gain_db, const EdfaSettings& p,
                            const OpticalSignal& in, OpticalSignal& out, const Window& window) {
    out.iv = in.iv;
    if (out.iv != 0) {
        noise_.claim(state);
        state.claim(flat_values_, 3);
    }
    const float g = std::pow(10.0f, 0.05f * gain_db);
    const float power_gain = g * g;
    const float n_sp = p.ase_off ? 0.0f : inversion_factor(power_gain, p.noise_figure_linear, p.noise_figure_definition);
    const float s = flat_ase_density(power_gain, n_sp, ctx.band_centre());

    const float npol = static_cast<float>(p.ase_polarisations);
    const SpectralGrid& grid = ctx.settings().grid;
    const float ase_per_bin = npol * s * (grid.high_thz - grid.low_thz) / 1024.0f;
    for (int i = 0; i < kBins; ++i) out.ps[i] = power_gain * in.ps[i] + ase_per_bin;
    out.gd = in.gd;
    // 0.8 / dt is the simulated bandwidth: the ASE power the field carries.
    out.pp = power_gain * in.pp + npol * (0.8f / ctx.time_step()) * s;
    group_delay_window(window.input(ctx), out.gd.data(), least_group_delay(in.gd.data()), window.output());
    field_gain_ = g;
    inversion_ = n_sp;
    ase_density_ = s;
}

void EdfaModel::design_profile(const RunContext& ctx, StateClaims& state, float gain_parameter,
                               const ProfileTable& gain, const ProfileTable& noise_figure, const EdfaSettings& p,
                               const OpticalSignal& in, OpticalSignal& out, const Window& window) {
    designed_gain_response_.assign(kEdfaResponseSize, {});
    designed_noise_response_.assign(kEdfaResponseSize, {});
    std::int32_t n = 0;
    std::int32_t log2n = 0;
    float delay = 0.0f;
    elabora_vet(gain_parameter, gain, p.ase_off ? 1 : 0, noise_figure, in.ps.data(), out.ps.data(), in.iv, out.iv,
                n, log2n, designed_gain_response_.data(), designed_noise_response_.data(), delay, edfa_run(ctx, p));
    float pg = 0.0f;
    float pn = 0.0f;
    if (n > 0) {
        maxvet_complex(designed_gain_response_.data(), n, pg);
        maxvet_complex(designed_noise_response_.data(), n, pn);
    }
    for (int i = 0; i < kBins; ++i) out.gd[i] = in.gd[i] + delay;
    const float npol = static_cast<float>(p.ase_polarisations);
    const float half_photon = static_cast<float>(0.5 * kPlanck * ctx.band_centre() * kW2mW);
    out.pp = !p.ase_off ? pg * in.pp + (0.8f / ctx.time_step()) * npol * pn * half_photon : pg * in.pp;
    group_delay_window(window.input(ctx), out.gd.data(), least_group_delay(in.gd.data()), window.output());
    length_ = n;
    log2_length_ = log2n;
    if (n <= 0) return;
    state.claim(sizes_, 3);
    for (State<std::complex<double>>* area :
         {&gain_response_, &noise_response_, &x_, &y_, &x_noise_, &y_noise_, &x_tail_, &y_tail_})
        state.claim(*area, n);
    noise_.claim(state);
}

Status EdfaModel::design_fixed_power_profile(const RunContext& ctx, StateClaims& state, const EdfaSettings& p,
                                             float output_power_mw, const OpticalSignal& in, OpticalSignal& out,
                                             const Window& window) {
    Status status;
    if (!target_usable(ctx, output_power_mw, in, out, window, status)) return status;
    const bool linear = linear_values(p.gain_db);
    const EdfaRun run = edfa_run(ctx, p);
    ProfileData gain_data;
    ProfileTable gain;
    if (p.gain_db < 0.0f) {
        gain_data = read_profile_file(converti_nome(p.gain_profile_file));
        gain = profile_table(gain_data, linear);
    } else {
        gain = default_gain_table(p.gain_db, run);
    }
    const ProfileTable nf =
        table_of(p.noise_figure_linear, p.noise_figure_profile_file, linear, default_noise_figure_table, run);

    // The output power at the full gain decides how far the gain is lowered.
    std::array<float, kBins> ps{};
    edfa_spectrum(edfa_shape(gain, nf, linear, run.exact_noise_figure), p.ase_off ? 1 : 0, in.ps.data(), ps.data(), run);
    float p_out = 0.0f;
    for (float v : ps) p_out += v;
    const float offset = output_power_mw <= p_out ? 10.0f * std::log10(p_out / output_power_mw) : 0.0f;

    // The lowered gain goes through the temporary gain file. Its values keep
    // the form of the block's data (linear stays linear), so that the noise
    // figure is read the same way as before.
    const float lowered_parameter = linear ? -99.0f : -1.0f;
    ProfileTable lowered;
    if (p.gain_db < 0.0f && gain_data.status != ProfileData::Status::kRead) {
        lowered = gain;  // nothing usable: the branch goes off below
    } else if (copia_file(p.gain_db < 0.0f ? &gain_data : nullptr, linear, p.gain_db, offset, run)) {
        lowered = profile_table(read_profile_file(converti_nome(kEdfaGainTemporary)), linear);
    }
    design_profile(ctx, state, lowered_parameter, lowered, nf, p, in, out, window);
    return status;
}

// The ASE of the polarisations it fills, shared among the simulated fields.
// With two fields each carries one polarisation: the signal (in x) beats
// with the co-polarised ASE only, while the orthogonal ASE in y adds its
// power and its own ASE-ASE beat at a detector. The link keeps two fields
// whenever an amplifier fills both polarisations (RunContext::fields), so
// one field arises only with ASE in one polarisation; the doubled share
// stays for a lone amplifier bench that fills both in one field.
void EdfaModel::share_ase(const RunContext& ctx, const EdfaSettings& p) {
    const bool both = p.ase_polarisations == 2;
    if (ctx.fields() == 2) {
        x_ase_share_ = 1.0f;
        y_ase_share_ = both ? 1.0f : 0.0f;
    } else {
        x_ase_share_ = both ? 2.0f : 1.0f;
        y_ase_share_ = 0.0f;
    }
}

// ---- set-up, run, finish ----

void EdfaModel::setup(const RunContext&) {
    past_end_ = false;
    if (chosen_gain_db_.size() > 0) chosen_gain_db_[0] = gain_db_;
    if (flat_values_.size() > 0) {
        flat_values_[0] = field_gain_;
        flat_values_[1] = inversion_;
        flat_values_[2] = ase_density_;
    }
    if (sizes_.size() > 0) {
        sizes_[0] = length_;
        sizes_[1] = log2_length_;
        sizes_[2] = 0;
        std::copy_n(designed_gain_response_.begin(), length_, gain_response_.data());
        std::copy_n(designed_noise_response_.begin(), length_, noise_response_.data());
    }
}

void EdfaModel::run(const RunContext& ctx, const OpticalSignal& in, OpticalSignal& out, const Window& window) {
    if (in.iv == 0) {
        empty_outputs(ctx, out);
        out.iv = 0;
        return;
    }
    // Outside the window iv out keeps the value of the design (which may
    // have turned the branch off).
    const float t = ctx.time();
    if ((t > 0.0f && t < window.input(ctx).ton) || t >= window.output().toff) {
        empty_outputs(ctx, out);
        return;
    }
    if (flat_)
        run_flat(ctx, in, out, window);
    else
        run_profile(ctx, in, out, window);
}

// The flat model: g x + sqrt(S) z on each polarisation.
void EdfaModel::run_flat(const RunContext& ctx, const OpticalSignal& in, OpticalSignal& out, const Window& window) {
    if (out.iv == 0) {
        empty_outputs(ctx, out);
        return;
    }
    FieldSample z1;
    FieldSample z2;
    noise_.draw(ctx, z1, z2);
    const float t = ctx.time();
    if (!(window.input(ctx).ton <= t && t < window.output().toff)) {
        empty_outputs(ctx, out);
        return;
    }
    const float g = flat_values_[0];
    const float a = std::sqrt(x_ase_share_ * flat_values_[2]);
    out.x = FieldSample{g * in.x.re + a * z1.re, g * in.x.im + a * z1.im, in.x.fcenter};
    if (ctx.fields() == 2) {
        const float b = std::sqrt(y_ase_share_ * flat_values_[2]);
        out.y = FieldSample{g * in.y.re + b * z2.re, g * in.y.im + b * z2.im, in.y.fcenter};
    }
}

// The profile model: samples collected into blocks of N/2 and filtered by
// overlap-add, with the output N/2 samples behind.
void EdfaModel::run_profile(const RunContext& ctx, const OpticalSignal& in, OpticalSignal& out,
                            const Window& window) {
    const float t = ctx.time();
    if (t >= ctx.end_time()) past_end_ = true;
    if (out.iv == 0 || sizes_.size() == 0) {
        empty_outputs(ctx, out);
        return;
    }
    const std::int32_t n = sizes_[0];
    FieldSample z1;
    FieldSample z2;
    noise_.draw(ctx, z1, z2);
    if (!(window.input(ctx).ton <= t && t < window.output().toff) || n < 2) {
        empty_outputs(ctx, out);
        return;
    }
    const bool noise = !ase_off_;
    const bool two_pol = ctx.fields() == 2;
    std::int32_t counter = sizes_[2];
    if (counter == n / 2) {
        const std::complex<double>* hg = gain_response_.data();
        const std::complex<double>* hn = noise_response_.data();
        edfa_filter_block(x_.data(), x_noise_.data(), x_tail_.data(), hg, hn, n, sizes_[1], noise);
        if (two_pol) edfa_filter_block(y_.data(), y_noise_.data(), y_tail_.data(), hg, hn, n, sizes_[1], noise);
        counter = 0;
    }
    const std::int32_t p = counter;  // 0-based position of this sample
    std::complex<double>& bx = x_[static_cast<std::size_t>(p)];
    out.x = FieldSample{static_cast<float>(bx.real()), static_cast<float>(bx.imag()), in.x.fcenter};
    bx = {in.x.re, in.x.im};
    if (two_pol) {
        std::complex<double>& by = y_[static_cast<std::size_t>(p)];
        out.y = FieldSample{static_cast<float>(by.real()), static_cast<float>(by.imag()), in.y.fcenter};
        by = {in.y.re, in.y.im};
    }
    if (noise) {
        // White noise of density h fc / 2 per polarisation, shaped by sqrt(F).
        const float scale = std::sqrt(static_cast<float>(kPlanck * ctx.band_centre() * kHalfW2mW));
        const float x_scale = std::sqrt(x_ase_share_) * scale;
        const float y_scale = std::sqrt(y_ase_share_) * scale;
        x_noise_[static_cast<std::size_t>(p)] = {x_scale * z1.re, x_scale * z1.im};
        if (two_pol) y_noise_[static_cast<std::size_t>(p)] = {y_scale * z2.re, y_scale * z2.im};
    }
    sizes_[2] = p + 1;
}

// The temporary gain files go once a sample reached the end time.
void EdfaModel::finish(const RunContext&) {
    if (past_end_) delete_edfa_temporary_files();
}

}  // namespace nodrix

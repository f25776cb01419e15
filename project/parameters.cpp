#include "project/parameters.h"

#include <cstdio>

namespace nodrix::sim160g {
namespace {

// Data sources: degree-7 PRBS at one symbol per 1561 samples. Each source has
// its own feedback polynomial (variant 1..18 of the degree-7 list), the phase
// of its first symbol boundary [samples] and the symbols it skips, so that the
// sixteen channels carry decorrelated data with unaligned bit edges.
struct SourceData {
    std::int32_t ipoly, ioffs, nstart;
};
constexpr SourceData kSources[16] = {
    {13, 227, 72}, {2, 1063, 42}, {5, 311, 17},  {9, 1402, 96},  {17, 58, 5},    {1, 874, 61},
    {11, 1290, 33}, {7, 455, 110}, {15, 1531, 88}, {3, 702, 24},  {18, 149, 120}, {6, 987, 51},
    {14, 1176, 9},  {10, 533, 77}, {4, 1345, 103}, {16, 26, 38},
};

// The demultiplexer filter of each channel 1..16.
constexpr std::int32_t kChannelFilters[16] = {89, 95, 104, 77, 107, 129, 83, 80, 115, 98, 122, 119, 112, 101, 86, 126};

// Titles of measurement blocks: the model's name, its ordinal among the
// blocks of its kind in schedule order, and the run count.
std::string title(const char* model, int ordinal) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s%d Run(s): 1", model, ordinal);
    return buf;
}

int power_meter_ordinal(std::int32_t instance) { return instance == 71 ? 1 : instance == 93 ? 2 : 3; }

}  // namespace

std::string instance_name(const char* code, std::int32_t instance) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "sim_160G_%s%04d", code, instance);
    return buf;
}

LaslorParams laser_parameters(int k) {
    LaslorParams p;
    p.frequency = static_cast<float>(192.35 + 0.1 * k);  // one laser per demultiplexer channel (k from 0)
    p.power = 1.0f;
    p.linewidth = 10.0f;
    p.phase = 0.0f;
    p.noise_shaping = 0;
    p.resonance_frequency = 0.0f;
    p.resonance_peak = 0.0f;
    return p;
}

SpnseqParams data_source_parameters(int k) {
    SpnseqParams p;
    p.isrc = 0;
    p.ndeg = 7;
    p.ipoly = kSources[k].ipoly;
    p.ioffs = kSources[k].ioffs;
    p.nsbit = kSamplesPerBit;
    p.nstart = kSources[k].nstart;
    p.nlev = 1;
    p.iclk = 1;
    p.fname = std::string(50, ' ');
    return p;
}

RecnrzParams nrz_driver_parameters() { return RecnrzParams{kSamplesPerBit, -2.5f, 2.5f, 0.25f, 50.0f}; }

OamodParams modulator_parameters() { return OamodParams{3.0f, 2.5f, 5.0f, 0.999f, 0.0f, 0.7079457f}; }

Ocmb04Params combiner_parameters() { return Ocmb04Params{4, 1.0f, 1.0f, 1.0f}; }

OampfgParams fixed_gain_amplifier_parameters() {
    return OampfgParams{5.0f, std::string(50, ' '), 2.81838f, 0, std::string(50, ' ')};
}

OampfpParams fixed_power_amplifier_parameters() {
    return OampfpParams{35.0f, std::string(50, ' '), 2.81838f, 0, std::string(50, ' '), 10.0f};
}

FiberParams fibre_parameters(std::int32_t instance) {
    FiberParams p;
    const bool span = instance == 73;
    p.title = span ? "fiber1 Run(s): 1" : "fiber2 Run(s): 1";
    p.name = instance_name(span ? "FBR" : "GRT", instance);
    p.ipar.fill(0);
    p.rpar.fill(0.0f);
    p.ipar[0] = instance;
    p.ipar[2] = span ? 1 : 0;     // non-linear fibre / linear element
    p.ipar[12] = span ? 1 : 0;    // Raman pumps from files (unused: no Raman option is on)
    p.rpar[0] = span ? 120.0f : 1.0f;        // length [km]
    p.rpar[2] = span ? 0.2f : 0.0f;          // attenuation [dB/km]
    p.rpar[5] = span ? -20.2205f : 2448.86f;  // beta2 [ps2/km]
    p.rpar[6] = span ? 0.147459f : 0.0f;     // beta3 [ps3/km]
    p.rpar[10] = span ? 20.0f : 1e6f;        // length of the sections of constant dispersion [km]
    p.rpar[11] = span ? 1.26809f : 0.0f;     // gamma [1/W/km]
    if (span) {
        // Raman settings of the span, not used while its Raman options are off.
        p.rpar[12] = 0.18f;
        p.rpar[13] = 0.0122f;
        p.rpar[14] = 0.032f;
        p.rpar[15] = 299.792f;
        p.rpar[17] = 206.616f;
        p.rpar[18] = 1.2f;
        p.rpar[20] = 80.0f;
        p.rpar[21] = -1.0f;
        p.rpar[22] = 120.0f;
        p.rpar[25] = 300.0f;
    }
    p.rpar[26] = 121.0f;  // reference system length [km]
    p.ramf1 = std::string(50, ' ');
    p.ramf2 = std::string(50, ' ');
    p.ramtmp = "xr_raman_" + std::to_string(instance) + ".tmp";
    p.pumpf = std::string(50, ' ');
    p.plossf = std::string(50, ' ');
    p.lossf = std::string(50, ' ');
    p.memlim = 128974848;
    return p;
}

int demultiplexer_channel(std::int32_t instance) {
    for (int k = 0; k < 16; ++k)
        if (kChannelFilters[k] == instance) return k + 1;
    return 0;
}

OrcfilParams raised_cosine_parameters(std::int32_t instance) {
    OrcfilParams p;
    p.instance = instance;
    p.shape_exponent = 1.0f;
    p.roll_off = 0.2f;
    p.centre_frequency = static_cast<float>(192.35 + 0.1 * (demultiplexer_channel(instance) - 1));
    p.bandwidth = 0.04f;
    p.write_charts = 0;
    p.bandwidth_definition = 0;
    p.block_name = "orcfil" + std::to_string(demultiplexer_channel(instance)) + " Run(s): 1";
    p.file_base = instance_name("ORC", instance);
    return p;
}

FilbesParams bessel_parameters() {
    FilbesParams p;
    p.filter_type = 1;
    p.order = 5;
    p.centre_frequency = 0.0f;
    p.bandwidth = 0.008f;  // 8 GHz for the 10 Gb/s channels
    p.output_gain = 1.0f;
    p.write_charts = 0;
    p.chart_title = std::string(50, ' ');
    return p;
}

PestimParams ber_estimator_parameters(std::int32_t instance) {
    const int ordinal = instance == 110 ? 1 : instance == 125 ? 2 : 3;
    PestimParams p;
    p.delay = 0.0f;
    p.window = 12800.0f;
    p.samples_per_bit = kSamplesPerBit;
    p.pattern_length = 3;
    p.estimator_kind = 0;
    p.fixed_threshold = 0.002f;  // half the mark current of a 4 mW mark at 1 A/W [A]
    p.nv = {1, 1, 1, 1};
    p.rv = {0.5f, 0.0f};
    p.title = title("pestim", ordinal);
    p.report_name = instance_name("PST", instance);
    p.title2 = p.title;
    p.file_name = instance_name("BER", instance);
    return p;
}

OpowmeParams power_meter_parameters(std::int32_t instance) {
    return OpowmeParams{title("opowme", power_meter_ordinal(instance)), instance_name("OPM", instance)};
}

OptsprParams spectrum_analyser_parameters(std::int32_t instance) {
    OptsprParams p{};
    p.setting1 = 1;
    p.setting2 = 1;
    p.setting3 = 0;
    p.setting4 = 0.0f;
    p.fft_length = 1000;
    p.title = title("optspr", instance == 72 ? 1 : 2);
    p.file_name = instance_name("OSA", instance);
    return p;
}

ScopeParams scope_parameters(std::int32_t instance) {
    ScopeParams p{};
    p.delay = 0.0f;
    p.window = 12800.0f;
    p.samples_per_bit = kSamplesPerBit;
    p.recorded_samples_per_bit = 32;
    p.title = title("scope", instance == 111 ? 1 : 2);
    p.file_name = instance_name("EYE", instance);
    return p;
}

PhotodParams photodiode_parameters() { return PhotodParams{1.0f, 1, 0.0f, 1.0f, 0.0f}; }

}  // namespace nodrix::sim160g

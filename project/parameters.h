// The parameter data of sim_160G: one table per block kind, in the order the
// schedule calls the instances of that kind.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "filters/bessel.h"
#include "filters/raised_cosine.h"
#include "models/amplifiers/edfa.h"
#include "models/fibre/fibre_block.h"
#include "models/measurements/ber_estimator.h"
#include "models/measurements/eye_scope.h"
#include "models/measurements/power_meter.h"
#include "models/measurements/osa.h"
#include "models/receivers/photodiode.h"
#include "models/transmitters/combiner.h"
#include "models/transmitters/laser.h"
#include "models/transmitters/modulator.h"
#include "models/transmitters/nrz_driver.h"
#include "models/transmitters/prbs_source.h"

namespace nodrix::sim160g {

// Start time and window length of every source [ps] (the length can be
// changed for a run: the project description carries the one in use).
inline constexpr float kTstart = 0.0f;
inline constexpr float kTwinin = 15360.0f;
// Samples per bit of the 10 Gb/s channels: 1561 time steps of 0.0640443 ps.
inline constexpr std::int32_t kSamplesPerBit = 1561;

// The laser of the k-th transmitter in schedule order (laser 66 first).
LaslorParams laser_parameters(int k);
// The data source of the k-th transmitter.
SpnseqParams data_source_parameters(int k);
// Common to all transmitters.
RecnrzParams nrz_driver_parameters();
OamodParams modulator_parameters();
Ocmb04Params combiner_parameters();

// Amplifiers 70 and 76 (fixed gain) and 75 (fixed output power).
OampfgParams fixed_gain_amplifier_parameters();
OampfpParams fixed_power_amplifier_parameters();

// The span (73) and the dispersion-compensating grating (74).
FiberParams fibre_parameters(std::int32_t instance);

// The demultiplexer: the raised-cosine filter of an instance, and the channel
// (1..16, at 192.35 + 0.1 (channel - 1) THz) it selects.
OrcfilParams raised_cosine_parameters(std::int32_t instance);
int demultiplexer_channel(std::int32_t instance);

// The receivers' fifth-order Bessel low-pass.
FilbesParams bessel_parameters();

// Measurements, by instance number.
PestimParams ber_estimator_parameters(std::int32_t instance);
OpowmeParams power_meter_parameters(std::int32_t instance);
OptsprParams spectrum_analyser_parameters(std::int32_t instance);
ScopeParams scope_parameters(std::int32_t instance);
PhotodParams photodiode_parameters();

// The name of an instance's files: "sim_160G_" + a three-letter code + the
// four-digit instance number ("sim_160G_ORC0077").
std::string instance_name(const char* code, std::int32_t instance);

}  // namespace nodrix::sim160g

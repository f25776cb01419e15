// The field orthogonal to signals of one polarisation (RunContext::fields):
// it carries only the ASE that amplifiers add in that polarisation, noise
// independent of the signal. A fibre or a dispersion compensator hands it on
// with the element's loss at the band centre and its delay there, the
// delay the signal's field has, so both leave inside the same window.
//
// Why no dispersion: dispersion is an all-pass filter, and an all-pass
// filter leaves the spectrum of stationary Gaussian noise unchanged, so
// every statistic a detector or a meter draws from the orthogonal ASE (its
// power, its own beat noise) is the same with or without it. The Kerr effect
// of the signal on the orthogonal noise (cross-phase modulation, a phase)
// and the noise's own Kerr effect (far below the signal's power) likewise
// leave its statistics as they are. Only a loss that changes across the band
// shapes it: a fibre with a loss slope, curvature or profile hands the field
// through a short filter of that loss over its length, the loss its step
// filters give the signal. So the orthogonal field costs a delay line (and
// that filter), not a second split-step.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "kernel/block.h"
#include "kernel/signals.h"

namespace nodrix {

class OrthogonalField {
public:
    // The line of `delay` samples (1 or more; 0 claims nothing and the
    // field leaves empty). With `taps` (loss_shape_taps, late by half their
    // number), the line is shorter by that much and the filter follows it.
    void claim(StateClaims& state, std::int64_t delay, std::vector<std::complex<float>> taps = {});
    // Cleared; every sample leaves times `field_factor`.
    void setup(double field_factor);
    // The sample that entered `delay` samples ago leaves into `out`; `in`
    // takes its place.
    void sample(const FieldSample& in, FieldSample& out);

private:
    State<std::complex<float>> line_;
    State<std::complex<float>> history_;  // the filter's last inputs
    State<std::int32_t> position_;        // in the line, in the history
    std::vector<std::complex<float>> taps_;
    float factor_ = 0.0f;
};

}  // namespace nodrix

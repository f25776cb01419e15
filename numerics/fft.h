// The program's own radix-2 FFT, used by filter synthesis (propagation and
// spectra use FFTW plans from the plan store).
#pragma once

#include <complex>
#include <cstdint>

namespace nodrix {

// FFT of 2^log2n values in place (natural order in and out).
// direction +1: twiddle e^(+j 2 pi / m), result divided by the length (inverse);
// direction -1: twiddle e^(-j 2 pi / m), no scaling (forward).
void cfft2(std::complex<double>* a, std::int32_t log2n, std::int32_t direction);

}  // namespace nodrix

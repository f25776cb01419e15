// FFT plans for the fibre tests. The plan store measures its plans, which with
// this FFTW takes seconds per length; tests put estimated plans in place
// instead (as a wisdom file would make the measuring quick).
#pragma once

#include <fftw.h>

#include "runtime/wisdom.h"

namespace nodrix::testing {

inline void use_estimated_plans() {
    for (int n = 1; n <= kMaxPlanExponent; ++n) {
        if (pplan.forward[static_cast<std::size_t>(n)] == nullptr)
            pplan.forward[static_cast<std::size_t>(n)] = fftw_create_plan(1 << n, FFTW_FORWARD, FFTW_ESTIMATE);
        if (pplan.backward[static_cast<std::size_t>(n)] == nullptr)
            pplan.backward[static_cast<std::size_t>(n)] = fftw_create_plan(1 << n, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
}

}  // namespace nodrix::testing

#include "numerics/filter_tables.h"

#include <cmath>

#include "numerics/constants.h"

namespace nodrix {

namespace {

void fill(WwFunc& wwfunc) {
    const double g = 0.1 / std::sqrt(kPi);
    for (int i = 0; i < kTableSize; ++i) {
        const double x = table_x(i);
        const double s = std::erf(20.0 * x);
        const double x2 = x * x;
        wwfunc.e1[i] = x - s;
        wwfunc.e2[i] = (1.0 + x2) - 2.0 * s * x - g * std::exp(-400.0 * x2);
        wwfunc.e3[i] = (3.0 + x2) * x - (3.0 * x2 + 1.0) * s;
        wwfunc.e4[i] = 0.5 * (std::pow(x - 1.0, 4) * (1.0 + s) + (1.0 - s) * std::pow(x + 1.0, 4));
        wwfunc.e5[i] = 0.5 * (std::pow(x + 1.0, 5) * (1.0 - s) + std::pow(x - 1.0, 5) * (1.0 + s));
        wwfunc.es[i] = s;
        wwfunc.eg[i] = std::exp(-400.0 * x2);
        wwfunc.ep[i] = kPi * x;
        wwfunc.ew[i] = 0.5 * (2.0 - std::erf(40.0 * (x + 0.1)) + std::erf(40.0 * (x - 0.1)));
    }
}

// The tables, filled where they lie.
struct FilledTables : WwFunc {
    FilledTables() { fill(*this); }
};

}  // namespace

const WwFunc& filter_tables() {
    static const FilledTables tables;
    return tables;
}

void opx_filter_init() { filter_tables(); }

}  // namespace nodrix

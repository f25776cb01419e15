#include "models/fibre/orthogonal_field.h"

#include <algorithm>
#include <limits>

namespace nodrix {

void OrthogonalField::claim(StateClaims& state, std::int64_t delay) {
    if (delay < 1) return;
    const std::int64_t most = std::numeric_limits<std::int32_t>::max();
    state.claim(line_, static_cast<std::int32_t>(std::min(delay, most)));
    state.claim(position_, 1);
}

void OrthogonalField::setup(double field_factor) {
    factor_ = static_cast<float>(field_factor);
    if (position_.size() == 0) return;
    std::fill(line_.data(), line_.data() + line_.size(), std::complex<float>{});
    position_[0] = 0;
}

void OrthogonalField::sample(const FieldSample& in, FieldSample& out) {
    if (position_.size() == 0) return;
    std::int32_t& at = position_[0];
    std::complex<float>& slot = line_[static_cast<std::size_t>(at)];
    out.re = factor_ * slot.real();
    out.im = factor_ * slot.imag();
    slot = {in.re, in.im};
    if (++at == line_.size()) at = 0;
}

}  // namespace nodrix

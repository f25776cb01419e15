#include "models/fibre/orthogonal_field.h"

#include <algorithm>
#include <limits>

namespace nodrix {

void OrthogonalField::claim(StateClaims& state, std::int64_t delay, std::vector<std::complex<float>> taps) {
    const std::int64_t half = static_cast<std::int64_t>(taps.size() / 2);
    taps_.clear();
    if (delay < 1) return;
    if (!taps.empty() && delay > half) {
        taps_ = std::move(taps);
        delay -= half;
    }
    const std::int64_t most = std::numeric_limits<std::int32_t>::max();
    state.claim(line_, static_cast<std::int32_t>(std::min(delay, most)));
    if (!taps_.empty()) state.claim(history_, static_cast<std::int32_t>(taps_.size()));
    state.claim(position_, taps_.empty() ? 1 : 2);
}

void OrthogonalField::setup(double field_factor) {
    factor_ = static_cast<float>(field_factor);
    if (position_.size() == 0) return;
    std::fill(line_.data(), line_.data() + line_.size(), std::complex<float>{});
    std::fill(history_.data(), history_.data() + history_.size(), std::complex<float>{});
    std::fill(position_.data(), position_.data() + position_.size(), 0);
}

void OrthogonalField::sample(const FieldSample& in, FieldSample& out) {
    if (position_.size() == 0) return;
    std::int32_t& at = position_[0];
    std::complex<float>& slot = line_[static_cast<std::size_t>(at)];
    std::complex<float> leaving = slot;
    slot = {in.re, in.im};
    if (++at == line_.size()) at = 0;
    if (!taps_.empty()) {
        // sum_k h[k] y[n - k] over the history, newest first.
        std::int32_t& newest = position_[1];
        history_[static_cast<std::size_t>(newest)] = leaving;
        const std::int32_t m = history_.size();
        leaving = {};
        for (std::int32_t k = 0, i = newest; k < m; ++k, i = i == 0 ? m - 1 : i - 1)
            leaving += taps_[static_cast<std::size_t>(k)] * history_[static_cast<std::size_t>(i)];
        if (++newest == m) newest = 0;
    }
    out.re = factor_ * leaving.real();
    out.im = factor_ * leaving.imag();
}

}  // namespace nodrix

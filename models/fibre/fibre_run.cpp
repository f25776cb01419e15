// The run of the fibre block: its records, loaded at set-up from the step
// filters the filter-writing round designed, and the split-step propagation
// of every full buffer of N samples.
//
// A buffer passes the steps of the step plan one after another; each step
// applies its half-operators in the order of `first_order_step` (dispersion,
// then Kerr phase and loss). With symmetric splitting the set-up shifts the
// dispersion steps by half a step (one more of them, with no Kerr phase
// after the last), so the same order makes the second-order scheme. The buffer schedule (`schedule_buffers`) lets a
// buffer skip the steps its signal has not reached yet or has left.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "models/fibre/fibre.h"
#include "models/fibre/graded_steps.h"
#include "models/fibre/split_step.h"
#include "runtime/wisdom.h"

namespace nodrix {

void SplitStepRun::claim(StateClaims& state, const RunSizes& s) {
    sizes_ = s;
    state.claim(exponent_, s.steps);
    state.claim(offset_, s.steps);
    state.claim(blocks_, s.steps);
    state.claim(alpha_, s.steps);
    state.claim(gamma_, s.steps);
    state.claim(length_, s.steps);
    state.claim(gleff_, s.steps);
    state.claim(loss_, s.steps);
    state.claim(coef_, s.ncoef);
    state.claim(buffer_, s.n);
    state.claim(work_, 4 * s.n);
    state.claim(memory_, s.memlen);
    state.claim(first_, s.nbuf);
    state.claim(last_, s.nbuf);
    state.claim(dmin_, s.steps);
    state.claim(dmax_, s.steps);
    state.claim(counters_, 2);
}

// Per step the filter exponent, loss, gamma and length, and what the run
// derives from them; the step filters' transforms planned.
bool SplitStepRun::load_steps(const FibreDesignRecords& design) {
    const RunSizes& s = sizes_;
    if (design.steps.size() < static_cast<std::size_t>(s.steps) ||
        design.filters.size() < static_cast<std::size_t>(s.steps) ||
        design.delay_extremes.size() < static_cast<std::size_t>(s.steps))
        return false;
    std::int64_t coef_at = 0;
    std::int64_t memory_at = 0;
    for (std::int32_t i = 0; i < s.steps; ++i) {
        const StepRecord& r = design.steps[static_cast<std::size_t>(i)];
        const std::int32_t k = r.k;
        if (!(k >= 1 && k <= kMaxFilterExponent && (std::int32_t{1} << k) <= s.n)) return false;
        const std::int64_t m = std::int64_t{1} << k;
        if (!(coef_at + 2 * m <= s.ncoef && memory_at + m <= s.memlen)) return false;
        if (design.filters[static_cast<std::size_t>(i)]->size() != static_cast<std::size_t>(2 * m)) return false;
        const bool ready = slinea_ready(k);
        const double alpha = r.alpha;
        const double gamma = r.gamma;
        const double h = r.h;
        exponent_[i] = k;
        offset_[i] = static_cast<std::int32_t>(coef_at);
        blocks_[i] = static_cast<std::int32_t>(s.n / m);
        alpha_[i] = alpha;
        gamma_[i] = gamma;
        length_[i] = h;
        gleff_[i] = !nonlinear_      ? 0.0
                    : design.symmetric ? kerr_effective_length(gamma, alpha, h)
                    : alpha != 0.0     ? gamma * (1.0 - std::exp(-2.0 * alpha * h)) / (2.0 * alpha)
                                       : gamma * h;
        loss_[i] = std::exp(-alpha * h);
        coef_at += 2 * m;
        memory_at += m;
        if (!ready) return false;
    }
    return true;
}

// The step filters scaled by 1 / 2M for the inverse FFT, in the chain order
// of slinea, and the delay extremes after every step.
void SplitStepRun::load_filters(const FibreDesignRecords& design) {
    for (std::int32_t i = 0; i < sizes_.steps; ++i) {
        const std::int64_t m2 = std::int64_t{2} << exponent_[i];
        const double scale = 1.0 / static_cast<double>(m2);
        const std::vector<std::complex<double>>& designed = *design.filters[static_cast<std::size_t>(i)];
        std::complex<double>* c = coef_.data() + offset_[i];
        for (std::int64_t j = 0; j < m2; ++j) {
            c[j] = designed[static_cast<std::size_t>(j)];
            c[j] *= scale;
        }
        chain_order(c, exponent_[i]);
    }
    for (std::int32_t i = 0; i < sizes_.steps; ++i) {
        dmin_[i] = design.delay_extremes[static_cast<std::size_t>(i)][0];
        dmax_[i] = design.delay_extremes[static_cast<std::size_t>(i)][1];
    }
}

// A step whose filter equals the previous step's uses that copy: equal steps
// then share one cached filter instead of streaming every copy from memory
// at each buffer. The overlap memories stay per step.
void SplitStepRun::share_equal_filters() {
    for (std::int32_t i = 1; i < sizes_.steps; ++i) {
        if (exponent_[i] != exponent_[i - 1]) continue;
        const std::size_t bytes = sizeof(std::complex<double>) * (std::size_t{2} << exponent_[i]);
        if (std::memcmp(coef_.data() + offset_[i], coef_.data() + offset_[i - 1], bytes) == 0)
            offset_[i] = offset_[i - 1];
    }
}

// Steps each buffer passes: from the first step after which the buffer can
// hold signal to the first step whose signal starts after the buffer ends.
void SplitStepRun::schedule_buffers(float dt_single, float tindur) {
    const RunSizes& s = sizes_;
    const double dt = dt_single;
    const double span = static_cast<double>(s.n) * dt;
    for (std::int32_t b = 1; b <= s.nbuf; ++b) {
        const double end = static_cast<double>(b) * span;
        std::int32_t e = s.steps;
        for (std::int32_t i = 1; i <= s.steps; ++i)
            if (dmin_[i - 1] >= end) {
                e = i;
                break;
            }
        auto reaches = [&](std::int32_t i) { return end - (dmax_[i - 1] + tindur) < span; };
        std::int32_t i = e;
        while (i > 1 && reaches(i)) --i;
        const std::int32_t first = (i == 1 && reaches(1)) ? 1 : i + 1;
        first_[b - 1] = first;
        last_[b - 1] = e;
    }
}

bool SplitStepRun::load(FibreDesignRecords& design, bool nonlinear, const RunSizes& sizes, float dt, float tindur) {
    sizes_ = sizes;
    nonlinear_ = nonlinear;
    const bool ok = load_steps(design);
    if (ok) load_filters(design);
    // The design is used up: its filters are in the records now.
    design = FibreDesignRecords{};
    if (!ok) return false;
    share_equal_filters();
    std::fill(buffer_.data(), buffer_.data() + sizes_.n, std::complex<double>{});
    std::fill(memory_.data(), memory_.data() + sizes_.memlen, std::complex<double>{});
    counters_[0] = 0;
    counters_[1] = 0;
    schedule_buffers(dt, tindur);
    return true;
}

// Step i (1-based) in the order of the first-order splitting the fibre has
// always used: the step's dispersion (its filter, by overlap-add), then its
// Kerr phase and loss; slinea applies the second within the same pass over
// the samples where it can. A linear element takes the step's loss alone.
void SplitStepRun::first_order_step(std::int32_t i, std::int64_t memory_at) {
    const std::int32_t n = sizes_.n;
    std::complex<double>* buffer = buffer_.data();
    slinea(i, exponent_.data(), offset_.data(), blocks_.data(), coef_.data() + offset_[i - 1],
           memory_.data() + memory_at, n, work_.data(), buffer, nonlinear_ ? gleff_.data() : nullptr,
           nonlinear_ ? loss_.data() : nullptr);
    if (!nonlinear_ && loss_[i - 1] != 1.0) {
        const double a = loss_[i - 1];
        for (std::int32_t j = 0; j < n; ++j) buffer[j] *= a;
    }
}

// Buffer b (1-based) through the steps the schedule gives it.
void SplitStepRun::propagate(std::int32_t b) {
    const std::int32_t first = first_[b - 1];
    // Overlap memory of a step: after the memories (M each) of the steps before it.
    std::int64_t memory_at = 0;
    for (std::int32_t i = 1; i < first; ++i) memory_at += std::int64_t{1} << exponent_[i - 1];
    // The steps' lanes follow one another closely: the helper stays awake.
    const LaneSeries series;
    for (std::int32_t i = first; i <= last_[b - 1]; ++i) {
        first_order_step(i, memory_at);
        memory_at += std::int64_t{1} << exponent_[i - 1];
    }
}

void SplitStepRun::sample(const FieldSample& in, FieldSample& out) {
    std::int32_t& count = counters_[0];
    std::int32_t& buffers = counters_[1];
    const std::int32_t n = sizes_.n;
    if (count == n) {
        ++buffers;
        if (buffers <= sizes_.nbuf) propagate(buffers);
        count = 0;
    }
    ++count;
    std::complex<double>& slot = buffer_[static_cast<std::size_t>(count - 1)];
    out.re = static_cast<float>(slot.real());
    out.im = static_cast<float>(slot.imag());
    const std::int32_t filling = buffers + 1;
    if (filling <= sizes_.nbuf && first_[filling - 1] == 1)
        slot = std::complex<double>(in.re, in.im);
    else
        slot = std::complex<double>{};
}

}  // namespace nodrix

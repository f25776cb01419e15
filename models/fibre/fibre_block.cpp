#include "models/fibre/fibre_block.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <span>

#include "kernel/filexx.h"
#include "kernel/storage.h"
#include "models/fibre/fibre_parts.h"
#include "models/fibre/split_step.h"
#include "numerics/filter_tables.h"
#include "numerics/spline.h"
#include "runtime/format.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/record_file.h"
#include "runtime/wisdom.h"

namespace nodrix {

using namespace fibre_parts;

namespace {

// ---------------------------------------------------------------------------
// Run

struct RunView {
    std::int32_t* exponent;
    std::int32_t* offset;
    std::int32_t* blocks;
    double* alpha;
    double* gamma;
    double* length;
    double* gleff;
    double* loss;
    std::complex<double>* coef;
    std::complex<double>* buffer;
    std::complex<double>* work;
    std::complex<double>* memory;
    std::int32_t* first;
    std::int32_t* last;
    double* dmin;
    double* dmax;
    std::int32_t* state;
};

RunView view_of(const RunStorage& r) {
    return RunView{ist_at(r.exponent), ist_at(r.offset), ist_at(r.blocks), dist_at(r.alpha), dist_at(r.gamma),
                   dist_at(r.length), dist_at(r.gleff), dist_at(r.loss), zisd_at(r.coef), zisd_at(r.buffer),
                   zisd_at(r.work), zisd_at(r.memory), ist_at(r.first), ist_at(r.last), dist_at(r.dmin),
                   dist_at(r.dmax), ist_at(r.state)};
}

// Reads the records of "o1": per step the filter exponent, loss, gamma and
// length, and what the run derives from them.
bool load_steps(const WorkingUnits& units, bool nonlinear, const RunSizes& s, const RunView& v) {
    std::int64_t coef_at = 0;
    std::int64_t memory_at = 0;
    for (std::int32_t i = 0; i < s.steps; ++i) {
        std::int32_t k = 0;
        double alpha = 0.0, gamma = 0.0, h = 0.0;
        if (!(records::read_values(stream(units.o1), k, alpha, gamma, h) && k >= 1 && k <= kMaxFilterExponent &&
              (std::int32_t{1} << k) <= s.n))
            return false;
        const std::int64_t m = std::int64_t{1} << k;
        if (!(coef_at + 2 * m <= s.ncoef && memory_at + m <= s.memlen)) return false;
        const bool ready = slinea_ready(k);
        v.exponent[i] = k;
        v.offset[i] = static_cast<std::int32_t>(coef_at);
        v.blocks[i] = static_cast<std::int32_t>(s.n / m);
        v.alpha[i] = alpha;
        v.gamma[i] = gamma;
        v.length[i] = h;
        v.gleff[i] = !nonlinear ? 0.0 : alpha != 0.0 ? gamma * (1.0 - std::exp(-2.0 * alpha * h)) / (2.0 * alpha)
                                                   : gamma * h;
        v.loss[i] = std::exp(-alpha * h);
        coef_at += 2 * m;
        memory_at += m;
        if (!ready) return false;
    }
    return true;
}

// Reads the step filters of "o4" (scaled by 1 / 2M for the inverse FFT, in
// the chain order of slinea) and the delay extremes of "o7".
bool load_filters(const WorkingUnits& units, const RunSizes& s, const RunView& v) {
    std::vector<std::byte> record;
    for (std::int32_t i = 0; i < s.steps; ++i) {
        const std::int64_t m2 = std::int64_t{2} << v.exponent[i];
        const double scale = 1.0 / static_cast<double>(m2);
        std::complex<double>* c = v.coef + v.offset[i];
        for (std::int64_t j = 0; j < m2; ++j) {
            if (!(records::read(stream(units.o4), record) && record.size() >= sizeof(std::complex<double>)))
                return false;
            std::memcpy(&c[j], record.data(), sizeof(std::complex<double>));
            c[j] *= scale;
        }
        chain_order(c, v.exponent[i]);
    }
    for (std::int32_t i = 0; i < s.steps; ++i)
        if (!records::read_values(stream(units.o7), v.dmin[i], v.dmax[i])) return false;
    return true;
}

// A step whose filter equals the previous step's uses that copy: equal steps
// then share one cached filter instead of streaming every copy from memory
// at each buffer. The overlap memories stay per step.
void share_equal_filters(const RunSizes& s, const RunView& v) {
    for (std::int32_t i = 1; i < s.steps; ++i) {
        if (v.exponent[i] != v.exponent[i - 1]) continue;
        const std::size_t bytes = sizeof(std::complex<double>) * (std::size_t{2} << v.exponent[i]);
        if (std::memcmp(v.coef + v.offset[i], v.coef + v.offset[i - 1], bytes) == 0) v.offset[i] = v.offset[i - 1];
    }
}

// Steps each buffer passes: from the first step after which the buffer can
// hold signal to the first step whose signal starts after the buffer ends.
void schedule_buffers(const RunSizes& s, float tindur, const RunView& v) {
    const double dt = zzctrl.delt;
    const double span = static_cast<double>(s.n) * dt;
    for (std::int32_t b = 1; b <= s.nbuf; ++b) {
        const double end = static_cast<double>(b) * span;
        std::int32_t e = s.steps;
        for (std::int32_t i = 1; i <= s.steps; ++i)
            if (v.dmin[i - 1] >= end) {
                e = i;
                break;
            }
        auto reaches = [&](std::int32_t i) { return end - (v.dmax[i - 1] + tindur) < span; };
        std::int32_t i = e;
        while (i > 1 && reaches(i)) --i;
        const std::int32_t first = (i == 1 && reaches(1)) ? 1 : i + 1;
        v.first[b - 1] = first;
        v.last[b - 1] = e;
    }
}

// Loads the step filters from the working files, prepares the FFT plans and
// the buffer schedule, and removes the working files.
bool load_run(const FiberParams& p, const RunSizes& s, float tindur, const RunView& v) {
    WorkingUnits units;
    if (!open_working(ip(p, 1), false, units)) {
        close_working(units, 1);
        return false;
    }
    rewind_working(units, false);
    const bool ok = load_steps(units, ip(p, 3) == 1, s, v) && load_filters(units, s, v);
    close_working(units, 1);
    if (!ok) return false;
    share_equal_filters(s, v);
    std::fill(v.buffer, v.buffer + s.n, std::complex<double>{});
    std::fill(v.memory, v.memory + s.memlen, std::complex<double>{});
    v.state[0] = 0;
    v.state[1] = 0;
    schedule_buffers(s, tindur, v);
    return true;
}

void run_face(const FiberParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& input,
              OpticalSignal& output) {
    const float t = zzctrl.time;
    empty_outputs(output);
    if (zzsupv.storephase != 1) return;  // nothing was kept for a run
    const std::int32_t* saved = ist_at(claim_state(kSavedIntState).ints);
    if (saved[0] < 0) return;
    const float* restored = hist_at(claim_state(kSavedRealState).reals);
    const RunSizes s{saved[0], saved[1], saved[2], saved[3], saved[5]};
    RunStorage rs;
    request_run_storage(s, rs);
    const RunView v = view_of(rs);

    out.ton = restored[1];
    out.toff = restored[2];
    out.tgoodi = restored[3];
    out.tgoodf = restored[4];
    output.pp = restored[5];
    std::int32_t& count = v.state[0];
    std::int32_t& buffers = v.state[1];
    if (t <= 0.0f || count == kNotLoaded) {
        std::copy(restored + 7, restored + 7 + kBins, output.gd.begin());
        std::copy(restored + 7 + kBins, restored + 7 + 2 * kBins, output.ps.begin());
        if (!load_run(p, s, in.twinin, v)) {
            count = kDisabled;
            opxerr("Fiber at " + caption48(p) + "\n     the working files cannot be read");
        }
    }
    if (count < 0) return;
    if (t < in.ton || t >= out.toff) return;

    const std::int32_t n = s.n;
    if (count == n) {
        ++buffers;
        if (buffers <= s.nbuf) {
            const bool nonlinear = ip(p, 3) == 1;
            const std::int32_t first = v.first[buffers - 1];
            // Overlap memory of a step: after the memories (M each) of the steps before it.
            std::int64_t memory_at = 0;
            for (std::int32_t i = 1; i < first; ++i) memory_at += std::int64_t{1} << v.exponent[i - 1];
            for (std::int32_t i = first; i <= v.last[buffers - 1]; ++i) {
                // For a non-linear fibre the non-linear half-step follows within slinea.
                slinea(i, v.exponent, v.offset, v.blocks, v.coef + v.offset[i - 1], v.memory + memory_at, n, v.work,
                       v.buffer, nonlinear ? v.gleff : nullptr, nonlinear ? v.loss : nullptr);
                memory_at += std::int64_t{1} << v.exponent[i - 1];
                if (!nonlinear && v.loss[i - 1] != 1.0) {
                    const double a = v.loss[i - 1];
                    for (std::int32_t j = 0; j < n; ++j) v.buffer[j] *= a;
                }
            }
        }
        count = 0;
    }
    ++count;
    std::complex<double>& slot = v.buffer[count - 1];
    output.x.re = static_cast<float>(slot.real());
    output.x.im = static_cast<float>(slot.imag());
    const std::int32_t filling = buffers + 1;
    if (filling <= s.nbuf && v.first[filling - 1] == 1)
        slot = std::complex<double>(input.x.re, input.x.im);
    else
        slot = std::complex<double>{};
}

}  // namespace

void fiber1(const FiberParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& input,
            OpticalSignal& output) {
    const bool run = zzctrl.pass != 0;
    const float t = zzctrl.time;
    // In the run a block without a field, or outside its window, outputs
    // empty samples and does no work. At set-up a block without a field still
    // hands on the attenuated spectrum and the delays (its spectral face).
    if (optcl_ctrl.setuponly == 0 && run && (input.iv == 0 || (t > 0.0f && t < in.ton) || t >= out.toff)) {
        empty_outputs(output);
        output.iv = input.iv;
        return;
    }
    // A fibre with parameters it cannot simulate, or with the Raman options,
    // reports at set-up and stays dark.
    const char* problem = parameter_problem(p);
    if (problem != nullptr || raman_requested(p)) {
        empty_outputs(output);
        if (run) return;
        output.iv = input.iv;
        if (problem != nullptr)
            opxerr("Fiber at " + caption48(p) + "\n" + problem);
        else
            opxerr("Raman amplification is not available in this program\nSimulation stopped");
        return;
    }
    if (optcl_ctrl.setuponly == 1 || input.iv == 0) {
        spectral_face(p, input, output);
        return;
    }
    if (run)
        run_face(p, in, out, input, output);
    else
        fibre_parts::setup_face(p, in, out, input, output);
}

}  // namespace nodrix

#include "models/fibre/fibre_parts.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <span>

#include "numerics/filter_tables.h"
#include "numerics/spline.h"
#include "kernel/storage.h"
#include "models/fibre/split_step.h"
#include "kernel/filexx.h"
#include "runtime/format.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "runtime/record_file.h"
#include "runtime/wisdom.h"

namespace nodrix::fibre_parts {

std::string trimmed(const std::string& s) {
    const auto last = s.find_last_not_of(' ');
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

std::string working_name(const char* prefix, std::int32_t instance) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%06d", prefix, static_cast<int>(instance));
    return buf;
}

std::string report_name(const FiberParams& p) {
    std::string base = trimmed(p.name);
    const auto first = base.find_first_not_of(' ');
    base = first == std::string::npos ? std::string() : base.substr(first);
    for (char& c : base)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) c = '_';
    if (base.empty() || base.find_first_not_of('.') == std::string::npos) base = working_name("fr", ip(p, 1));
    return base;
}

const char* parameter_problem(const FiberParams& p) {
    if (!(rp(p, 1) > 0.0f)) return "     the length must be positive";
    if (!(std::fabs(rp(p, 2)) < 100.0f)) return "     the length tolerance must lie below 100 %";
    if (!(rp(p, 27) > 0.0f)) return "     the reference system length must be positive";
    if (ip(p, 1) < 0 || ip(p, 1) > 999999) return "     the instance number must lie between 0 and 999999";
    if (!(ssprsn.ssp7 > 0.0f)) return "     the largest non-linear phase per step must be positive";
    if (!(zzctrl.delt > 0.0f) || !(zdctrl.ddelt > 0.0)) return "     the time step must be positive";
    return nullptr;
}

void empty_outputs(OpticalSignal& output) {
    output.x = empty_field();
    output.y = empty_field();
}

void close_working(WorkingUnits& u, std::int32_t mode) {
    if (u.scratch) {
        close_unit(kScratchOm);
        close_unit(kScratchO7);
        close_unit(kScratchOs);
    } else {
        for (std::int32_t* unit : {&u.om, &u.o1, &u.o4, &u.o7, &u.os})
            if (*unit != 0) clodev(*unit, mode);
    }
    u = WorkingUnits{};
}

bool open_working(std::int32_t instance, bool dimensioning, WorkingUnits& u) {
    u = WorkingUnits{};
    if (dimensioning) {
        u.scratch = true;
        const bool ok = open_scratch_unit(kScratchOm, false) && open_scratch_unit(kScratchO7, false) &&
                        open_scratch_unit(kScratchOs, false);
        u.om = kScratchOm;
        u.o7 = kScratchO7;
        u.os = kScratchOs;
        if (!ok) opxerr("Fiber scratch units 95, 96 and 99 are not free");
        return ok;
    }
    auto open = [instance](const char* prefix, std::int32_t& unit) {
        const std::string name = working_name(prefix, instance);
        opnfil(name.c_str(), kUnformattedUnknown, unit, static_cast<std::int32_t>(name.size()));
        return unit_stream(unit) != nullptr;
    };
    return open("om", u.om) && open("o1", u.o1) && open("o4", u.o4) && open("o7", u.o7) && open("os", u.os);
}

void rewind_working(const WorkingUnits& u, bool dimensioning) {
    unit_rewind(u.om);
    unit_rewind(u.o7);
    unit_rewind(u.os);
    if (!dimensioning) {
        unit_rewind(u.o1);
        unit_rewind(u.o4);
    }
}

void request_run_storage(const RunSizes& s, RunStorage& r) {
    const StateSlot<RunStorage> slots[] = {
        {&RunStorage::exponent, SlotKind::integer, s.steps},        // per step: filter exponent k (M = 2^k),
        {&RunStorage::offset, SlotKind::integer, s.steps},          //   its first coefficient,
        {&RunStorage::blocks, SlotKind::integer, s.steps},          //   filter blocks per buffer (N / M)
        {&RunStorage::alpha, SlotKind::real_double, s.steps},       // per step: loss coefficient,
        {&RunStorage::gamma, SlotKind::real_double, s.steps},       //   non-linear coefficient,
        {&RunStorage::length, SlotKind::real_double, s.steps},      //   length,
        {&RunStorage::gleff, SlotKind::real_double, s.steps},       //   gamma times effective length,
        {&RunStorage::loss, SlotKind::real_double, s.steps},        //   field loss factor
        {&RunStorage::coef, SlotKind::complex_double, s.ncoef},     // the step filters
        {&RunStorage::buffer, SlotKind::complex_double, s.n},       // the field buffer of N samples
        {&RunStorage::work, SlotKind::complex_double, 4 * s.n},     // FFT work area
        {&RunStorage::memory, SlotKind::complex_double, s.memlen},  // overlap memories of the steps
        {&RunStorage::first, SlotKind::integer, s.nbuf},            // per buffer: first and last step it passes
        {&RunStorage::last, SlotKind::integer, s.nbuf},
        {&RunStorage::dmin, SlotKind::real_double, s.steps},        // per step: least and greatest delay
        {&RunStorage::dmax, SlotKind::real_double, s.steps},
        {&RunStorage::state, SlotKind::integer, 2},                 // sample and buffer counter
    };
    claim_state(slots, r);
}

bool run_storage_fits(const RunSizes& s) {
    if (zzsupv.storephase != 1) return true;
    const std::int64_t steps = s.steps;
    const std::int64_t ints = 3 * (steps + 2) + 2 * (std::int64_t{s.nbuf} + 2) + (2 + 2);
    const std::int64_t doubles = 7 * (steps + 2);
    const std::int64_t zd = (std::int64_t{s.ncoef} + 2) + (std::int64_t{s.n} + 2) + (4 * std::int64_t{s.n} + 2) +
                            (std::int64_t{s.memlen} + 2);
    const StorageCounts& k = storage_capacities();
    return zzsupv.i + ints - 1 <= k.i && zzsupv.d + doubles - 1 <= k.d && zzsupv.zd + zd - 1 <= k.zd;
}

bool saved_fits() {
    if (zzsupv.storephase != 1) return true;
    const StorageCounts& k = storage_capacities();
    return zzsupv.i + kSavedInts + 2 - 1 <= k.i && zzsupv.h + kSavedReals + 2 - 1 <= k.h;
}

void storage_error(const FiberParams& p) {
    opxerr("Fiber at " + caption48(p) + "\n     the kernel storage is too small for this fibre");
}

}  // namespace nodrix::fibre_parts

#include "kernel/run_context.h"

#include <algorithm>

#include "kernel/control_blocks.h"
#include "kernel/filexx.h"
#include "kernel/schedule.h"
#include "runtime/opxfile.h"

namespace nodrix {

const char* phase_name(Phase phase) {
    switch (phase) {
        case Phase::design: return "design";
        case Phase::setup: return "set-up";
        case Phase::run: return "run";
        case Phase::finish: return "finish";
    }
    return "";
}

void Messages::error(const std::string& text) const { opxerr(text); }
void Messages::warning(const std::string& text) const { opxwarn(text); }
void Messages::info(const std::string& text) const { opxinfo(text); }
void Messages::trace(const std::string& text) const { opxtrace(text); }

UnitFile& UnitFile::operator=(UnitFile&& other) noexcept {
    if (this != &other) {
        close();
        unit_ = other.unit_;
        other.unit_ = 0;
    }
    return *this;
}

bool UnitFile::write_line(const std::string& line) const { return unit_ != 0 && unit_write_line(unit_, line); }

bool UnitFile::read_line(std::string& line) const { return unit_ != 0 && unit_read_line(unit_, line); }

void UnitFile::close() {
    if (unit_ == 0) return;
    clodev(unit_, 0);
    unit_ = 0;
}

void UnitFile::remove() {
    if (unit_ == 0) return;
    clodev(unit_, 1);
    unit_ = 0;
}

UnitFile FileServices::open(const std::string& name, FileUse use) const {
    const std::string cut = cut_at_first_blank(name.c_str());
    const std::int32_t type = use == FileUse::report ? kFormattedNew
                              : use == FileUse::data ? kFormattedUnknown
                                                     : kUnformattedUnknown;
    std::int32_t unit = 0;
    opnfil(cut.c_str(), type, unit, static_cast<std::int32_t>(cut.size()));
    if (unit_stream(unit) == nullptr) return UnitFile{};  // the registry has reported why
    return UnitFile{unit};
}

std::int32_t FileServices::memory_map() const { return current_memory_map(); }

void RunContext::enter_sample(std::int32_t step) {
    phase_ = Phase::run;
    step_ = step;
    const double dt = time_step_double();
    const double t = static_cast<double>(step - 1) * dt;
    time_ = static_cast<float>(t);
    time_double_ = t;
    // The time words of the control blocks, for the blocks that read them.
    zzctrl.pass = 1;
    zzctrl.step = step;
    zzctrl.time = time_;
    zdctrl.dtime = time_double_;
    zzcoun.coun = step;
}

void RunContext::leave_samples() {
    step_ = 0;
    time_ = 0.0f;
    time_double_ = 0.0;
}

void mirror_settings(const SimulationSettings& s) {
    f_vbs_band = {s.band.centre_thz, s.band.low_thz, s.band.high_thz};
    flimit = {s.grid.reference_thz, s.grid.low_thz, s.grid.high_thz};
    optcl_ctrl.npol = s.polarisations;
    zzctrl.delt = s.time_step_ps;
    zdctrl.ddelt = static_cast<double>(s.time_step_ps);
    inftop.itop1 = s.topology;
    inftop.itop2 = s.topology;
    std::copy(s.seeds.begin(), s.seeds.end(), seeds.begin());
    optcl_ctrl.setuponly = 0;
    optcl_ctrl.optaux1 = 0;
    optcl_ctrl.optaux2 = 0;
    polmon.tmon = s.monitor_offset_ps;
    const SplitStepSettings& p = s.split_step;
    ssprsn = Ssprsn{p.fwm_accuracy_db, p.fourfold_precision_off ? 1 : 0, p.filter_precision_constant, 0, 0.0f,
                    p.peak_power_index, p.max_nonlinear_phase_deg, p.raman};
}

}  // namespace nodrix

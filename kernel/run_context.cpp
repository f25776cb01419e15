#include "kernel/run_context.h"

#include "kernel/filexx.h"
#include "kernel/lib00.h"
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

RunContext::RunContext(const SimulationSettings& settings)
    : settings_(settings), message_time_(&message_time_word()) {}

void RunContext::enter_sample(std::int32_t step) {
    phase_ = Phase::run;
    step_ = step;
    const double dt = time_step_double();
    const double t = static_cast<double>(step - 1) * dt;
    time_ = static_cast<float>(t);
    time_double_ = t;
    *message_time_ = time_;
}

void RunContext::leave_samples() {
    step_ = 0;
    time_ = 0.0f;
    time_double_ = 0.0;
}

}  // namespace nodrix

#include "kernel/driver.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "kernel/filexx.h"
#include "kernel/lib00.h"
#include "kernel/limits_file.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "runtime/opxfile.h"
#include "runtime/stop_points.h"
#include "runtime/wisdom.h"
#include "xu/run_state.h"

namespace nodrix {
namespace {

// What the driver keeps over a run of the program: the project it runs, how
// it sizes the storage and whether it simulates, and what its last call gave.
struct DriverState {
    ProjectDescription project;
    StorageMaxima last_maxima{};
    bool sample_by_sample = false;
    bool simulated = false;
    StorageSizing sizing;
};

DriverState& driver_state() { return current_run_state().part<DriverState>(); }

constexpr std::int64_t kMiB = 1024 * 1024;

}  // namespace

namespace {

SimulationSettings settings_of(const ProjectConstants& k, const ScheduleConstants& schedule) {
    SimulationSettings s;
    s.time_step_ps = k.delt;
    s.end_time_ps = schedule.tend;
    s.start_time_ps = schedule.tstart;
    s.emission_window_ps = schedule.twinin;
    s.band = Band{k.fcenter, k.fbandlo, k.fbandhi};
    s.grid = SpectralGrid{k.fgrid0, k.fgridlo, k.fgridhi};
    s.polarisations = k.polarisations;
    s.orthogonal_ase = k.orthogonal_ase;
    std::copy(std::begin(k.seeds), std::end(k.seeds), s.seeds.begin());
    s.topology = 1;
    s.monitor_offset_ps = k.tmon;
    s.split_step = k.split_step;
    return s;
}

}  // namespace

SimulationSettings simulation_settings(const ProjectDescription& project) {
    return settings_of(project.constants, project.schedule);
}

namespace {

Status schedule(RunContext& run, std::int32_t& nrun, std::int32_t& irun, std::int32_t& more, std::int32_t& first) {
    const ProjectSchedule& projec = driver_state().project.projec;
    if (projec) return projec(run, nrun, irun, more, first);
    return {};
}

StorageCounts larger(const StorageCounts& a, const StorageCounts& b) {
    return {std::max(a.h, b.h),   std::max(a.i, b.i),   std::max(a.d, b.d),
            std::max(a.c, b.c),   std::max(a.ht, b.ht), std::max(a.it, b.it),
            std::max(a.ct, b.ct), std::max(a.z, b.z),   std::max(a.zd, b.zd)};
}

std::string counts_text(const StorageCounts& m) {
    return "H " + std::to_string(m.h) + ", I " + std::to_string(m.i) + ", C " + std::to_string(m.c) + ", D " +
           std::to_string(m.d) + ", Z " + std::to_string(m.z) + ", ZD " + std::to_string(m.zd) + ", HT " +
           std::to_string(m.ht) + ", IT " + std::to_string(m.it) + ", CT " + std::to_string(m.ct);
}

// Capacities before the dimensioning pass: the defaults, raised by the limits
// file when there is one. False after an error.
bool initial_capacities(StorageCounts& k) {
    k = kDefaultCapacities;
    std::string file = driver_state().sizing.limits_file;
    if (file.empty()) {
        file = limits_file_name(driver_state().project.name);
        std::error_code ec;
        if (!std::filesystem::exists(file, ec)) return true;
    }
    StorageCounts read = kDefaultCapacities;
    if (!read_limits_file(file, read)) return false;
    k = larger(k, read);
    opxtrace("Storage capacities from the limits file " + file + ": " + counts_text(k));
    return true;
}

std::int64_t physical_memory() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && page > 0 ? std::int64_t{pages} * page : 0;
}

// Whether storage of these counts stays within the memory cap (the machine's
// physical memory unless the sizing gives one); a clear error when not,
// instead of a run that swaps or an allocation that aborts. The blocks hold
// their state themselves; the cap is checked on what the storage arrays of
// the counts would take, so that a run refused before keeps being refused.
bool within_cap(const StorageCounts& counts) {
    const std::int64_t bytes = storage_bytes(counts);
    std::int64_t cap = physical_memory();
    std::string cap_text = "the machine's physical memory of " + std::to_string(cap / kMiB) + " MiB";
    const std::int64_t maxmem_mib = driver_state().sizing.maxmem_mib;
    if (maxmem_mib > 0) {
        cap = maxmem_mib > INT64_MAX / kMiB ? INT64_MAX : maxmem_mib * kMiB;
        cap_text = "the memory cap of " + std::to_string(maxmem_mib) + " MiB";
    }
    if (cap > 0 && bytes > cap) {
        opxerr("The kernel storage needs " + std::to_string((bytes + kMiB - 1) / kMiB) + " MiB, more than " +
               cap_text);
        return false;
    }
    return true;
}

}  // namespace

void set_project(const ProjectDescription& project) { driver_state().project = project; }
void set_storage_sizing(const StorageSizing& sizing) { driver_state().sizing = sizing; }
const StorageSizing& storage_sizing() { return driver_state().sizing; }
void set_source_window(float twinin) { driver_state().project.schedule.twinin = twinin; }
void set_per_sample_run(bool on) { driver_state().sample_by_sample = on; }
bool per_sample_run() { return driver_state().sample_by_sample; }
bool last_run_simulated() { return driver_state().simulated; }
const ProjectDescription& current_project() { return driver_state().project; }

namespace {
std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}
}  // namespace

std::string limits_file_name(const std::string& project) { return "x0_" + lower(project) + ".hst"; }
std::string run_lock_name(const std::string& project) { return "x1_" + lower(project) + ".lck"; }

StorageMaxima last_storage_maxima() { return driver_state().last_maxima; }

namespace {

// The dimensioning passes: the blocks are designed and their state counted.
// The largest counts of all passes; `stopped` when a prerun ended after the
// first pass, or when a pass could not go on (`status` says why; reported).
StorageMaxima dimension(RunContext& run, std::int32_t prerun, std::int32_t& more, bool& stopped, Status& status) {
    StorageMaxima m{2, 2, 2, 2, 2, 2, 2, 2, 2};
    std::int32_t nrun = 1;
    std::int32_t irun = 0;
    std::int32_t first = 1;
    stopped = false;
    run.enter_driver_call(DriverCall::dimensioning);
    while (irun < nrun) {
        ++irun;
        run.storage().start_count();
        opxinit();
        if (const auto& block_setup = driver_state().project.block_setup) block_setup();
        opxplancreate();
        first = 1;
        opxtrace("Dimensioning pass " + std::to_string(irun) + " of project " + driver_state().project.name);
        status = schedule(run, nrun, irun, more, first);
        if (prerun == 1 || !status) {
            stopped = true;
            break;
        }
        m = larger(m, run.storage().counts());
    }
    return m;
}

// Whether the counts m fit the capacities, raised to them when autosizing,
// within the memory cap; otherwise the limits file is written and the
// status is 3.
bool storage_ready(const RunContext& run, const StorageMaxima& m, StorageCounts& capacities, std::int32_t& status) {
    if (storage_count_overflowed(m)) return false;  // reported while counting: no run
    if (storage_fits(m, capacities)) return within_cap(m);
    if (driver_state().sizing.autosize) {
        capacities = larger(capacities, m);
        opxtrace("Storage capacities raised to the counts: " + counts_text(capacities));
        return within_cap(capacities);
    }
    if (!(run.time_step() > 0.0f)) {
        opxerr("DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED");
        return false;
    }
    const std::string name = limits_file_name(driver_state().project.name);
    opxtrace("The storage does not fit the capacities: limits file " + name);
    write_limits_file(name, m);
    status = 3;
    return false;
}

// The runs, two schedule calls each: the initialisation, then the samples
// (or the second set-up call). The schedule asks for another run with more.
void run_passes(RunContext& run, std::int32_t& more) {
    tqflrs();
    std::int32_t first = 0;
    std::int32_t nrun = 1;
    std::int32_t irun = 0;
    while (irun < nrun) {
        ++irun;
        run.enter_driver_call(DriverCall::initialisation);
        opxtrace("Run " + std::to_string(irun) + ": initialisation");
        if (!schedule(run, nrun, irun, more, first) || stop_requested()) break;
        stop_point("initialised");
        run.enter_driver_call(DriverCall::second);
        more = 0;
        opxtrace(driver_state().sample_by_sample ? "Run " + std::to_string(irun) + ": simulation sample by sample"
                                  : "Run " + std::to_string(irun) + ": second call");
        if (!schedule(run, nrun, irun, more, first) || stop_requested()) break;
        driver_state().simulated = driver_state().sample_by_sample;
        if (more == 1) ++nrun;
    }
}

}  // namespace

void topmain(std::int32_t& prerun, std::int32_t& status) {
    driver_state().simulated = false;

    // Capacities beyond the memory cap stop the run before anything is designed.
    StorageCounts capacities{};
    status = 0;
    if (!initial_capacities(capacities) || !within_cap(capacities)) {
        opxplandestroy();
        opxend();
        return;
    }

    set_schedule_mode(driver_state().sample_by_sample ? ScheduleMode::per_sample : ScheduleMode::setup);
    RunContext run(simulation_settings(driver_state().project));
    std::int32_t more = 0;
    bool stopped_by_prerun = false;
    Status dimensioned;
    const StorageMaxima m = dimension(run, prerun, more, stopped_by_prerun, dimensioned);
    stop_point("dimensioned");
    driver_state().last_maxima = m;
    if (!stopped_by_prerun) opxtrace("Storage counted: " + counts_text(m));

    // Under a policy that stops at errors, a set-up that reported one runs no further.
    const bool stopped = stopped_by_prerun || stop_requested();
    const auto& after_dimensioning = driver_state().project.after_dimensioning;
    const bool accepted = stopped || !after_dimensioning || after_dimensioning();
    if (!accepted) status = 1;
    if (!stopped && accepted && storage_ready(run, m, capacities, status)) {
        run_passes(run, more);
        status = 0;
    }

    set_schedule_mode(ScheduleMode::setup);
    opxplandestroy();
    opxend();
}

}  // namespace nodrix

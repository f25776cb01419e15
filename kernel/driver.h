// The simulation driver of one project: a dimensioning pass that counts the
// kernel storage the project's blocks claim, a check of the counts against the
// storage capacities (the limits file and status 3 when they do not fit),
// then the runs, two schedule calls each.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "kernel/run_context.h"
#include "kernel/schedule.h"
#include "kernel/status.h"
#include "kernel/storage.h"

namespace nodrix {

// The project schedule: called once per dimensioning pass and twice per run,
// with the run's context. An error back from it ends the run.
using ProjectSchedule = std::function<Status(RunContext& run, std::int32_t& nrun, std::int32_t& irun,
                                             std::int32_t& more, std::int32_t& first)>;

// The project constants a run's settings are made of (by default the values
// of sim_160G).
struct ProjectConstants {
    float delt = 0.0640443f;
    float fcenter = 193.61597f;
    float fbandlo = 187.37029f;
    float fbandhi = 199.86163f;
    float fgrid0 = 193.61597f;
    float fgridlo = 185.80887f;
    float fgridhi = 201.42307f;
    std::int32_t seeds[10] = {349, 124, 541, 978, 457, 565, 942, 313, 583, 288};
    std::int32_t polarisations = 1;
    bool orthogonal_ase = false;  // the y field carries the ASE orthogonal to one-polarisation signals
    float tmon = 1280.0f;
    SplitStepSettings split_step;  // of the fibres
};

struct ProjectDescription {
    std::string name = "sim_160G";     // names the kernel files
    ProjectSchedule projec = nullptr;  // null: an empty block list
    // Start-up of the project's block library, called at the start of every
    // dimensioning pass before the plans are made (a link fills the filter
    // design tables here); null: nothing to set up.
    std::function<void()> block_setup = nullptr;
    ProjectConstants constants;
    ScheduleConstants schedule;        // the schedule's start time, window length and end time
    // Called after a dimensioning pass that goes on to a run, with the
    // blocks' windows of that pass in place, before the storage is allocated;
    // false stops the run with status 1 (the hook has reported why). Null:
    // nothing to look at.
    std::function<bool()> after_dimensioning = nullptr;
};

// The settings of a run of the project: its constants and its schedule's
// start time, emission window and end time.
SimulationSettings simulation_settings(const ProjectDescription& project);

// The project the driver runs (set by the project before main calls topmain).
void set_project(const ProjectDescription& project);
const ProjectDescription& current_project();
// Changes the window length of the sources (twinin, ps) of the current project.
void set_source_window(float twinin);

// The limits file name: "x0_" + lower-case project name + ".hst".
std::string limits_file_name(const std::string& project);
// The lock file of a run of the project in its directory: "x1_" + lower-case
// project name + ".lck".
std::string run_lock_name(const std::string& project);

void topmain(std::int32_t& prerun, std::int32_t& status);

// Asks topmain to run the project sample by sample after its dimensioning pass
// (the schedule's per-sample mode) instead of the set-up runs.
void set_per_sample_run(bool on);
bool per_sample_run();
// Whether the last topmain call simulated the link sample by sample (a run
// that stopped before, or a set-up run, did not).
bool last_run_simulated();

// The nine storage maxima of the last topmain call.
using StorageMaxima = StorageCounts;
StorageMaxima last_storage_maxima();

// How topmain sizes the kernel storage. The capacities start from the
// defaults; a limits file raises them (`limits_file`, or else the project's
// own "x0_<project>.hst" when the working directory holds one, so that a run
// that stopped with status 3 goes through when started again); `autosize`
// raises them to the dimensioning pass's counts, so that the run goes straight
// on instead of stopping with status 3. A damaged or unreadable limits file,
// and storage beyond the memory cap, are errors and nothing runs.
struct StorageSizing {
    std::string limits_file;         // empty: the project's own limits file, if present
    bool autosize = false;
    std::int64_t maxmem_mib = 0;     // cap on the storage [MiB]; 0: the machine's physical memory
};
void set_storage_sizing(const StorageSizing& sizing);
const StorageSizing& storage_sizing();

}  // namespace nodrix

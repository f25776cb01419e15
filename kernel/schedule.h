// The schedule mechanism: a project's block list, in schedule order, run once
// per schedule call. Around every block call it keeps the memory map (the
// storage each instance asked for and the in-band flag of its optical signal)
// and, after every fibre and optical filter, appends the block's group-delay
// profile to the delay file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "kernel/signals.h"

namespace nodrix {

class Block;
class RunContext;
class Status;

// One block instance of a schedule: a block declared as one struct
// (kernel/block_declaration.h), which the schedule takes through its phases.
struct BlockCall {
    BlockCall();
    BlockCall(BlockCall&&) noexcept;
    BlockCall& operator=(BlockCall&&) noexcept;
    ~BlockCall();
    std::int32_t instance = 0;            // the instance ("memory") number
    std::string kind;                     // its kind, "bessel_filter"
    std::string label;                    // names the block in its messages: "block 10 (bessel_filter)"
    std::unique_ptr<Block> block;         // its lifecycle
    // The optical signal whose "signal" line follows the "memory" line: the
    // block's own optical output, or its optical input for blocks without
    // optical output; null for blocks with no optical signal.
    const OpticalSignal* shown = nullptr;
    std::int32_t shown_number = 0;        // that signal's four-digit number
    // Fibre or optical filter: its input's group delay is cleared before the
    // call, and its output's group delay is appended to the delay file after it.
    bool delay_record = false;
    OpticalSignal* delay_input = nullptr;
    const OpticalSignal* delay_output = nullptr;
};

// Schedule constants (the project's generated values).
struct ScheduleConstants {
    float tstart = 0.0f;        // start time of every source [ps]
    float twinin = 15360.0f;    // window length of every source [ps]
    float tend = 640443.06f;    // simulation end time [ps]
};

// The project's memory map and delay file names: "x1_" + lower-case name + ".mem"/".dly".
std::string memory_map_name(const std::string& project);
std::string delay_file_name(const std::string& project);

// How a schedule call runs its blocks.
//  - setup: every call designs every block once (the sizing round): the
//    blocks set up their spectral description, synthesise their filters and
//    have the state they claim counted.
//  - per_sample: the driver's dimensioning pass makes the sizing round, then
//    counts the two rounds a run makes: a filter-writing round that writes the
//    blocks' working files outside the sizing round, then the state round. In
//    a run, the initialisation call makes the sizing round again and the state
//    round, in which blocks read their hand-over files and set up the state
//    they keep (counted into the blocks' bytes, not the counts); the second
//    call runs every block once per sample, for step = 1, 2, ... with
//    time = (step - 1) x time step, until the round in which the time reaches
//    the end time, and then finishes them. The memory map and the delay file
//    are those of the dimensioning pass.
enum class ScheduleMode { setup, per_sample };
void set_schedule_mode(ScheduleMode mode);
ScheduleMode schedule_mode();

// One schedule call, for the driver's call the context names
// (RunContext::driver_call). Outside the per-sample run calls: both files
// recreated, every block designed once in order with its memory-map lines
// (the bytes of the state it claimed) and delay record, both files closed. An
// error a block returns from a phase is reported and the run goes on; one
// that leaves the run unable to go on (an exception from a block) is reported
// naming the block, ends the call and comes back as an error. Every error is
// kept in the run's list (RunContext::errors). The samples stop after the
// round in which an error was reported when the error policy stops at errors
// (kernel/lib00.h), and the blocks then do not finish. Every block call is
// made with its label as the messages' origin.
Status run_schedule(RunContext& run, const std::string& project, std::span<BlockCall> blocks);

// A per-sample simulation shows its progress (percentage, elapsed and
// remaining time) on one line of the standard error when that is a terminal,
// unless this is turned off.
void set_progress_line(bool on);

// Number of sample rounds of the last per-sample simulation call.
std::int64_t last_sample_count();

// The identifier (io_*) of the open memory map during a schedule call, for
// blocks that write into it (the fibre's split requests); -1 outside a call.
std::int32_t current_memory_map();


}  // namespace nodrix

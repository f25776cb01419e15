// The schedule mechanism: a project's block list, in schedule order, run once
// per schedule call. Around every block call it keeps the memory map (the
// storage each instance asked for and the in-band flag of its optical signal)
// and, after every fibre and optical filter, appends the block's group-delay
// profile to the delay file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "kernel/signals.h"

namespace nodrix {

class Block;
class RunContext;
class Status;

// One block instance of a schedule: a block of the older form (a call of its
// routine, which reads the control blocks and finds its storage by position),
// or a block declared as one struct (kernel/block_declaration.h), which the
// schedule takes through its phases.
struct BlockCall {
    BlockCall();
    BlockCall(BlockCall&&) noexcept;
    BlockCall& operator=(BlockCall&&) noexcept;
    ~BlockCall();
    std::int32_t instance = 0;            // the instance ("memory") number
    std::string kind;                     // its kind, "bessel_filter"
    std::string label;                    // names the block in its messages: "block 10 (bessel_filter)"
    std::function<void()> call;           // older form: calls the block with its parameters and signals
    std::unique_ptr<Block> block;         // declared as one struct: its lifecycle
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
//  - setup: every call is an initialisation call (pass 0, blkmode 1,
//    storephase 0, nohist 1): the blocks set up their spectral description,
//    synthesise their filters and count their storage.
//  - per_sample: the driver's dimensioning pass stays a set-up call; in a run,
//    the initialisation call (pass 0) makes two rounds, a filter-writing round
//    (blkmode 0, nohist 1, counting) that writes the blocks' working files
//    outside the dimensioning mode, then the state round (blkmode 0, nohist 0,
//    storephase 1) in which blocks read their hand-over files and store their
//    state, the storage cursors at each block's start kept in the run history
//    under its instance number; the simulation call (pass 1) calls every block
//    once per sample, for step = 1, 2, ... with time = (step - 1) delt, each
//    block's cursors put back from the history first, until the round in
//    which the time reaches tend. The memory map and the delay file are those
//    of the dimensioning pass.
// A block declared as one struct is designed in every round of an
// initialisation call (its state counted as the storage of the older form),
// set up in the state round, run in the sample loop and finished after it.
enum class ScheduleMode { setup, per_sample };
void set_schedule_mode(ScheduleMode mode);
ScheduleMode schedule_mode();

// One schedule call: phase and storage words reset (pass 0, blkmode 1,
// storephase 0, nohist 1, tend, limit words), both files recreated, every
// block called once in order with its memory-map lines and delay record, the
// history step, both files closed. In the per-sample mode the run's calls
// behave as described above. An error a block returns from a phase is
// reported and the run goes on; one that leaves the run unable to go on (the
// kernel storage exhausted, an exception from a block) is reported naming the
// block, ends the call and comes back as an error. Every error is kept in the
// run's list (RunContext::errors). The samples stop after the round in which
// an error was reported when the error policy stops at errors
// (kernel/lib00.h), and the blocks then do not finish. Every block call is
// made with its label as the messages' origin.
Status run_schedule(RunContext& run, const std::string& project, std::span<BlockCall> blocks,
                    std::int32_t history_id);

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

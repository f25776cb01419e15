#include "kernel/schedule.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <vector>

#include "kernel/block.h"
#include "kernel/lib00.h"
#include "kernel/run_context.h"
#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "xu/run_state.h"

namespace nodrix {
namespace {

// What the schedule keeps over a run: its mode, the memory map open during a
// dimensioning call, the sample rounds of the last simulation and whether
// the progress line is wanted.
struct ScheduleState {
    std::int32_t memory_map_id = -1;
    ScheduleMode mode = ScheduleMode::setup;
    std::int64_t sample_rounds = 0;
    bool progress_line = true;
};

ScheduleState& schedule_state() { return current_run_state().part<ScheduleState>(); }

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A file that could not be opened (-1) takes no lines; the io layer has
// reported why, and a write that fails is reported there too.
void write_line(std::int32_t id, const char* keyword, const std::string& number, std::int32_t value) {
    if (id < 0) return;
    char line[128];
    std::snprintf(line, sizeof line, "%s %s %20d\n", keyword, number.c_str(), value);
    io_write_str(id, line);
}

// The memory map and the delay file of a round that writes them (ids of
// io_open, -1 for one that could not be opened).
struct ScheduleFiles {
    std::int32_t mem = -1;
    std::int32_t dly = -1;
};

// What a round of an initialisation call does to a block: designs it, or
// designs and sets it up (the state round of a run).
enum class Round { design, state };

// A block's phase error: reported as the block reports its errors, kept in
// the run's list naming the block.
void report(RunContext& run, const BlockCall& b, const Status& status) {
    for (const std::string& text : status.errors()) {
        run.messages().error(text);
        run.note_error(BlockError{b.instance, b.kind, text, false});
    }
}

// An error after which the run cannot go on (the kernel storage exhausted, an
// exception out of a block): reported naming the block, and the call's result.
Status stop(RunContext& run, const BlockCall& b, const std::exception& e) {
    const std::string text = (b.label.empty() ? "block " + std::to_string(b.instance) : b.label) + ": " + e.what();
    run.messages().error(text);
    run.note_error(BlockError{b.instance, b.kind, e.what(), true});
    return Status::error(text);
}

void initialise(RunContext& run, BlockCall& b, Round round) {
    if (!b.block) return;
    run.enter_phase(Phase::design);
    report(run, b, b.block->design(run));
    if (round != Round::state) return;
    run.enter_phase(Phase::setup);
    report(run, b, b.block->setup(run));
}

// Messages reported while a block is called name it (under a policy that
// names blocks).
class Origin {
public:
    explicit Origin(const BlockCall& b) { set_message_origin(b.label.c_str()); }
    ~Origin() { set_message_origin(nullptr); }
    Origin(const Origin&) = delete;
    Origin& operator=(const Origin&) = delete;
};

// Designs every block once; with `files`, writes the memory map (the bytes of
// the state each block claimed) and the delay file.
Status one_round(RunContext& run, std::span<BlockCall> blocks, const ScheduleFiles* files,
                 Round round = Round::design) {
    for (BlockCall& b : blocks) {
        run.storage().start_block();
        // The delay a fibre or filter records is its own. In the rounds that
        // write no delay file the group delays accumulate along the link, so
        // that every block's time window follows the light's arrival.
        if (files != nullptr && b.delay_record && b.delay_input != nullptr) b.delay_input->gd.fill(0.0f);
        try {
            const Origin origin(b);
            initialise(run, b, round);
        } catch (const std::exception& e) {
            return stop(run, b, e);
        }
        if (files == nullptr) continue;
        const std::int32_t mem_id = files->mem;
        const std::int32_t dly_id = files->dly;
        write_line(mem_id, "memory", std::to_string(b.instance), run.storage().block_bytes());
        if (b.shown != nullptr) {
            char number[16];
            std::snprintf(number, sizeof number, "%04d", b.shown_number);
            write_line(mem_id, "signal", number, b.shown->iv);
        }
        if (b.delay_record && b.delay_output != nullptr && dly_id >= 0 && io_write_int(dly_id, &b.instance, 1) == 0)
            io_write_flt(dly_id, b.delay_output->gd.data(), kBins);
    }
    return {};
}

// The progress line of a simulation: redrawn about twice a second, on the
// standard error only when it is a terminal, and wiped at the end.
class Progress {
public:
    explicit Progress(std::int64_t expected)
        : expected_(expected),
          shown_(schedule_state().progress_line && ::isatty(STDERR_FILENO) == 1), start_(Clock::now()) {}
    void update(std::int64_t step) {
        if (!shown_) return;
        const auto now = Clock::now();
        if (now - last_ < std::chrono::milliseconds(500)) return;
        last_ = now;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        const double done = std::min(1.0, static_cast<double>(step) / static_cast<double>(expected_));
        const double remaining = done > 0.0 ? elapsed * (1.0 - done) / done : 0.0;
        std::fprintf(stderr, "\rSimulating: %3d %%  elapsed %s  remaining %s ", static_cast<int>(100.0 * done),
                     clock_text(elapsed).c_str(), clock_text(remaining).c_str());
        drawn_ = true;
    }
    ~Progress() {
        if (drawn_) std::fprintf(stderr, "\r%60s\r", "");
    }

private:
    using Clock = std::chrono::steady_clock;
    static std::string clock_text(double seconds) {
        const long s = static_cast<long>(seconds + 0.5);
        char buf[32];
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
        return buf;
    }
    std::int64_t expected_;
    bool shown_;
    bool drawn_ = false;
    Clock::time_point start_;
    Clock::time_point last_{};
};

// What one sample asks of a block: its run, and its label for the messages.
struct SampleCall {
    Block* block = nullptr;
    const char* label = nullptr;
    const BlockCall* owner = nullptr;
};

std::vector<SampleCall> sample_calls(std::span<BlockCall> blocks) {
    std::vector<SampleCall> calls;
    calls.reserve(blocks.size());
    for (BlockCall& b : blocks)
        if (b.block) calls.push_back(SampleCall{b.block.get(), b.label.c_str(), &b});
    return calls;
}

// One round of the samples: every block once, in order; j is the block
// being called, for its messages' origin and the report of an exception,
// and the number of calls between rounds.
inline void sample_round(const RunContext& run, const std::vector<SampleCall>& calls, std::size_t& j) {
    for (j = 0; j < calls.size(); ++j) calls[j].block->run(run);
}

// While a sample loop lives, its messages' origin is the label of call j, or
// none (the last label, null) between rounds: one index kept up to date
// instead of an origin set around each of some 10^9 calls.
class OriginLookup {
public:
    OriginLookup(const std::vector<SampleCall>& calls, const std::size_t& j) {
        labels_.reserve(calls.size() + 1);
        for (const SampleCall& c : calls) labels_.push_back(c.label);
        labels_.push_back(nullptr);
        set_message_origin_lookup(labels_.data(), &j);
    }
    ~OriginLookup() { set_message_origin_lookup(nullptr, nullptr); }
    OriginLookup(const OriginLookup&) = delete;
    OriginLookup& operator=(const OriginLookup&) = delete;

private:
    std::vector<const char*> labels_;
};

// After the last sample: every block declared as one struct finishes (its
// reports), in schedule order.
void finish_blocks(RunContext& run, std::span<BlockCall> blocks) {
    run.enter_phase(Phase::finish);
    for (BlockCall& b : blocks) {
        if (!b.block) continue;
        const Origin origin(b);
        report(run, b, b.block->finish(run));
    }
}

// The simulation call of a per-sample run: every block once per sample.
Status sample_loop(RunContext& run, std::span<BlockCall> blocks) {
    const double dt = run.time_step_double();
    const double tend = static_cast<double>(run.end_time());
    std::int64_t& rounds = schedule_state().sample_rounds;
    rounds = 0;
    const std::vector<SampleCall> calls = sample_calls(blocks);
    // Progress in tenths of the run, shown with the verbose option.
    const std::int64_t expected = dt > 0.0 ? static_cast<std::int64_t>(tend / dt) + 2 : 1;
    std::int64_t next_report = expected / 10;
    Progress progress(expected);
    std::size_t j = calls.size();
    std::optional<OriginLookup> lookup(std::in_place, calls, j);
    try {
        for (std::int64_t step = 1;; ++step) {
            if ((step & 4095) == 0) progress.update(step);
            if (step == next_report) {
                opxtrace("Sample " + std::to_string(step) + " of about " + std::to_string(expected) + ", time " +
                         std::to_string(static_cast<double>(step - 1) * dt) + " ps");
                next_report += expected / 10;
            }
            run.enter_sample(static_cast<std::int32_t>(step));
            sample_round(run, calls, j);
            ++rounds;
            const double t = static_cast<double>(step - 1) * dt;
            if (run.time() >= run.end_time() || t >= tend || dt <= 0.0 || stop_requested()) break;
        }
    } catch (const std::exception& e) {
        // The report names the block itself.
        lookup.reset();
        if (j < calls.size()) return stop(run, *calls[j].owner, e);
        run.messages().error(e.what());
        return Status::error(e.what());
    }
    lookup.reset();
    // A run that a reported error stopped (under a policy that stops at
    // errors) claims nothing: its blocks do not finish.
    if (!stop_requested()) finish_blocks(run, blocks);
    return {};
}

}  // namespace

std::string memory_map_name(const std::string& project) { return "x1_" + lower(project) + ".mem"; }
std::string delay_file_name(const std::string& project) { return "x1_" + lower(project) + ".dly"; }

void set_schedule_mode(ScheduleMode mode) { schedule_state().mode = mode; }
void set_progress_line(bool on) { schedule_state().progress_line = on; }
ScheduleMode schedule_mode() { return schedule_state().mode; }
std::int64_t last_sample_count() { return schedule_state().sample_rounds; }

std::int32_t current_memory_map() { return schedule_state().memory_map_id; }

namespace {

StorageCounts larger(const StorageCounts& a, const StorageCounts& b) {
    return {std::max(a.h, b.h),   std::max(a.i, b.i),   std::max(a.d, b.d),
            std::max(a.c, b.c),   std::max(a.ht, b.ht), std::max(a.it, b.it),
            std::max(a.ct, b.ct), std::max(a.z, b.z),   std::max(a.zd, b.zd)};
}

// A counting round of the dimensioning pass of a per-sample run; returns its counts.
StorageCounts counting_round(RunContext& run, std::span<BlockCall> blocks, SetupRound round, Status& status) {
    run.storage().set_counts(StorageCounts{});
    run.enter_round(round);
    status = one_round(run, blocks, nullptr);
    return run.storage().counts();
}

// The initialisation call of a per-sample run: the set-up round again (it
// writes the filters' hand-over files that the dimensioning pass's state
// round used up), then the state round, in which the blocks set up the
// state they keep for the samples.
Status initialise_run(RunContext& run, std::span<BlockCall> blocks) {
    // The set-up round counts storage that the dimensioning pass has counted
    // already: it counts apart, so that the two never add up to a count
    // beyond what the kernel can address.
    StorageAccount& storage = run.storage();
    const StorageCounts counted = storage.counts();
    storage.set_counts(StorageCounts{});
    const Status set_up = one_round(run, blocks, nullptr);
    storage.set_counts(counted);
    if (!set_up || stop_requested()) return set_up;
    storage.set_counting(false);
    run.enter_round(SetupRound::state);
    return one_round(run, blocks, nullptr, Round::state);
}

// The dimensioning pass of a per-sample run also counts the rounds the run
// will make. The filter-writing round leaves the fibres' working files for the
// run.
Status count_run_rounds(RunContext& run, std::span<BlockCall> blocks) {
    const StorageCounts setup = run.storage().counts();
    Status status;
    const StorageCounts writing = counting_round(run, blocks, SetupRound::filter_writing, status);
    if (!status) return status;
    const StorageCounts state = counting_round(run, blocks, SetupRound::state, status);
    if (!status) return status;
    run.storage().set_counts(larger(setup, larger(writing, state)));
    run.enter_round(SetupRound::sizing);
    return {};
}

}  // namespace

Status run_schedule(RunContext& run, const std::string& project, std::span<BlockCall> blocks) {
    const bool per_sample_run = schedule_mode() == ScheduleMode::per_sample;
    const DriverCall call = run.driver_call();
    run.storage().set_counting(true);
    run.enter_round(SetupRound::sizing);
    run.leave_samples();

    if (per_sample_run && call != DriverCall::dimensioning) {
        // The memory map and the delay file stay those of the dimensioning pass.
        if (call == DriverCall::second) {
            run.enter_round(SetupRound::state);
            return sample_loop(run, blocks);
        }
        return initialise_run(run, blocks);
    }

    const std::string mem = memory_map_name(project);
    const std::string dly = delay_file_name(project);
    // Both files are made anew on every call; each goes in place when it is
    // closed complete (a failure is reported by the io layer, and the blocks
    // still run).
    ScheduleFiles files;
    opxfdel(mem.c_str());
    files.mem = io_open(mem.c_str(), kIoWrite | kIoText, 0);
    if (files.mem >= 0 && io_write_str(files.mem, "NodrixMEM 1\n") == 0) io_write_str(files.mem, "##\n");
    opxfdel(dly.c_str());
    files.dly = io_open(dly.c_str(), kIoWrite, -1);
    schedule_state().memory_map_id = files.mem;

    Status status = one_round(run, blocks, &files);
    if (status && per_sample_run) status = count_run_rounds(run, blocks);

    schedule_state().memory_map_id = -1;
    if (files.mem >= 0) io_close(files.mem);
    if (files.dly >= 0) io_close(files.dly);
    return status;
}

BlockCall::BlockCall() = default;
BlockCall::BlockCall(BlockCall&&) noexcept = default;
BlockCall& BlockCall::operator=(BlockCall&&) noexcept = default;
BlockCall::~BlockCall() = default;

}  // namespace nodrix

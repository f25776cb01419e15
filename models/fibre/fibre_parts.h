// Parts of the fibre block shared by its set-up and its run: parameter
// words, working files, the report and the run storage.
#pragma once

#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <span>
#include <string>

#include "kernel/storage.h"
#include "models/fibre/fibre_block.h"
#include "kernel/filexx.h"
#include "runtime/opxfile.h"

namespace nodrix::fibre_parts {


// Words of the set-up saved in instance storage.
constexpr std::int32_t kSavedInts = 13;   // steps, buffers, coefficients, N, n, memory length, 6 Raman sizes, seed
constexpr std::int32_t kSavedReals = 7 + 2 * kBins;  // length, window, ppkout, Raman amplitude, dlyout, psdout
// Run-state sample counter values before the filters are loaded and after a failed load.
constexpr std::int32_t kNotLoaded = -2;
constexpr std::int32_t kDisabled = -1;
// Scratch units of the dimensioning mode.
constexpr std::int32_t kScratchOm = 99;
constexpr std::int32_t kScratchO7 = 96;
constexpr std::int32_t kScratchOs = 95;
constexpr std::int32_t kMaxProfilePoints = 4096;

inline std::int32_t ip(const FiberParams& p, int word) { return p.ipar[static_cast<std::size_t>(word - 1)]; }
inline float rp(const FiberParams& p, int word) { return p.rpar[static_cast<std::size_t>(word - 1)]; }

std::string trimmed(const std::string& s);

inline std::string caption48(const FiberParams& p) { return p.title.substr(0, std::min<std::size_t>(48, p.title.size())); }

std::string working_name(const char* prefix, std::int32_t instance);

// Report file base: the instance name with characters that could leave the
// working directory or upset a file system replaced by '_'.
std::string report_name(const FiberParams& p);

inline bool raman_requested(const FiberParams& p) { return ip(p, 4) != 0 || ip(p, 6) != 0 || ip(p, 7) != 0; }

// A description of what is wrong with the parameters, or null.
const char* parameter_problem(const FiberParams& p);

void empty_outputs(OpticalSignal& output);

// ---------------------------------------------------------------------------
// Working files

struct WorkingUnits {
    std::int32_t om = 0, o1 = 0, o4 = 0, o7 = 0, os = 0;
    bool scratch = false;
};

void close_working(WorkingUnits& u, std::int32_t mode);

bool open_working(std::int32_t instance, bool dimensioning, WorkingUnits& u);

void rewind_working(const WorkingUnits& u, bool dimensioning);

inline std::FILE* stream(std::int32_t unit) { return unit_stream(unit); }

// ---------------------------------------------------------------------------
// Report

class Report {
public:
    void open(const FiberParams& p) {
        const std::string name = report_name(p);
        opnfil(name.c_str(), kFormattedNew, unit_, static_cast<std::int32_t>(name.size()));
        if (unit_stream(unit_) == nullptr) unit_ = 0;
    }
    bool active() const { return unit_ != 0; }
    void line(const std::string& text) {
        if (unit_ != 0) unit_write_line(unit_, text);
    }
    // A list-directed record: one blank, the text, the value.
    void item(const char* text, const std::string& value) { line(std::string(" ") + text + value); }
    // Mode 0 keeps the report, 1 removes an unfinished one.
    void close(std::int32_t mode = 0) {
        if (unit_ != 0) clodev(unit_, mode);
        unit_ = 0;
    }

private:
    std::int32_t unit_ = 0;
};

// ---------------------------------------------------------------------------
// Run storage

// Positions of the per-step, per-buffer and buffer storage (the order of
// their claims is that of request_run_storage).
struct RunStorage {
    std::int32_t exponent = 0, offset = 0, blocks = 0;
    std::int32_t alpha = 0, gamma = 0, length = 0, gleff = 0, loss = 0;
    std::int32_t coef = 0, buffer = 0, work = 0, memory = 0;
    std::int32_t first = 0, last = 0;
    std::int32_t dmin = 0, dmax = 0;
    std::int32_t state = 0;
};

// The set-up saved for the run: the integers, then (when the fibre runs) the
// reals; the word counts are kSavedInts and kSavedReals.
struct SavedState {
    std::int32_t ints = 0, reals = 0;
};
inline constexpr StateSlot<SavedState> kSavedIntState[] = {{&SavedState::ints, SlotKind::integer, kSavedInts}};
inline constexpr StateSlot<SavedState> kSavedRealState[] = {{&SavedState::reals, SlotKind::real, kSavedReals}};

struct RunSizes {
    std::int32_t steps = 0, nbuf = 0, ncoef = 0, n = 0, memlen = 0;
};

void request_run_storage(const RunSizes& s, RunStorage& r);

// In allocating mode the kernel does not check its capacities: a request that
// would run past them is refused here instead.
bool run_storage_fits(const RunSizes& s);

bool saved_fits();

void storage_error(const FiberParams& p);


// The set-up pass of a fibre with a field (fibre_setup.cpp) and the spectral
// face of one without it or in a set-up-only pass.
void setup_face(const FiberParams& p, const InputWindow& in, TimeWindow& out, const OpticalSignal& input,
                OpticalSignal& output);
void spectral_face(const FiberParams& p, const OpticalSignal& input, OpticalSignal& output);

}  // namespace nodrix::fibre_parts

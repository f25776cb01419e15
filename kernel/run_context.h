// The run context: the settings and services of one run, handed to every
// block call as an explicit argument. A block reads the time, the time step,
// the phase, the band and grid, the seeds and the split-step settings here,
// reports through its messages, opens its reports through its file services,
// takes FFT plans from its plan store and has its state counted by its
// storage account.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kernel/signals.h"
#include "kernel/status.h"
#include "kernel/storage.h"
#include "runtime/wisdom.h"

namespace nodrix {

// The simulated band and the spectral grid [THz]: 1024 equal bins from
// low_thz to high_thz (numerics/constants.h, kBins).
struct Band {
    float centre_thz = 193.61597f;
    float low_thz = 187.37029f;
    float high_thz = 199.86163f;
};
struct SpectralGrid {
    float reference_thz = 193.61597f;
    float low_thz = 185.80887f;
    float high_thz = 201.42307f;
};

// The fibre's split-step settings.
struct SplitStepSettings {
    float fwm_accuracy_db = 18.0f;           // accuracy of the four-wave-mixing estimate
    bool fourfold_precision_off = false;     // no fourfold filter precision for non-uniform steps
    float filter_precision_constant = 1.2f;  // constant of the step filters' precision
    std::int32_t peak_power_index = 26;      // integer of the peak-power estimate
    float max_nonlinear_phase_deg = 1.0f;    // largest non-linear phase of one step
    float raman = 1e-6f;                     // Raman setting (the span's Raman options stay off)
    std::int32_t step_rule = 0;              // 0 phase and dispersion, 1 graded
    std::int32_t splitting = 0;              // 0 first order, 1 symmetric
    float step_refinement = 1.0f;            // steps divided by this factor
};

// The settings of one run, fixed before it starts: the link's run settings
// as the kernel holds them (single precision where the blocks read them so).
struct SimulationSettings {
    float time_step_ps = 0.0640443f;
    float end_time_ps = 640443.06f;
    float start_time_ps = 0.0f;          // every source starts emitting here
    float emission_window_ps = 15360.0f;  // and emits for this long
    Band band;
    SpectralGrid grid;
    std::int32_t polarisations = 1;       // 1, or 2 once the blocks carry both
    // An amplifier adds ASE in both polarisations to signals of one: the
    // second field (y) carries the ASE orthogonal to the signal.
    bool orthogonal_ase = false;
    std::array<std::int32_t, 10> seeds{349, 124, 541, 978, 457, 565, 942, 313, 583, 288};
    std::int32_t topology = 1;            // added to the seeds a block picks
    float monitor_offset_ps = 1280.0f;    // guard the measurements leave at both ends of a good interval
    SplitStepSettings split_step;
};

// The phase of a block call. Design: the dimensioning pass's work (spectral
// description, windows, what state the block will hold), done in every
// set-up round; set-up: the state allocated and initialised, once per run;
// run: one call per sample; finish: once after the last sample.
enum class Phase { design, setup, run, finish };
const char* phase_name(Phase phase);

// Messages of a run: the counted error and warning lines, the plain lines
// and the verbose ones.
class Messages {
public:
    void error(const std::string& text) const;
    void warning(const std::string& text) const;
    void info(const std::string& text) const;
    void trace(const std::string& text) const;
};

// What a block opens a file unit for (kernel/filexx.h): a report the run
// leaves, NAME.DAT, written under a temporary name and put in place when it
// is closed complete (a file of that name before is kept as NAME_old.DAT); a
// data file it reads, NAME.DAT as text; a working file of records, NAME.DAT
// written and read back, which the block removes once used.
enum class FileUse { report, data, records };

// A file unit the block holds; closed (kept) when it goes out of scope.
class UnitFile {
public:
    UnitFile() = default;
    explicit UnitFile(std::int32_t unit) : unit_(unit) {}
    UnitFile(UnitFile&& other) noexcept : unit_(other.unit_) { other.unit_ = 0; }
    UnitFile& operator=(UnitFile&& other) noexcept;
    UnitFile(const UnitFile&) = delete;
    UnitFile& operator=(const UnitFile&) = delete;
    ~UnitFile() { close(); }
    explicit operator bool() const { return unit_ != 0; }
    // The unit, for the record-file and line helpers of the file registry.
    std::int32_t unit() const { return unit_; }
    // False when the line could not be written (the file registry reports it).
    bool write_line(const std::string& line) const;
    // False at the end of the file.
    bool read_line(std::string& line) const;
    void close();
    // Closes and deletes the file (a working file used up).
    void remove();

private:
    std::int32_t unit_ = 0;
};
using ReportFile = UnitFile;

class FileServices {
public:
    // `name` (cut at its first blank) plus ".DAT" opened for `use`; an empty
    // unit when it cannot be (the file registry has reported why).
    UnitFile open(const std::string& name, FileUse use) const;
    UnitFile create_report(const std::string& name) const { return open(name, FileUse::report); }
    // The memory map of the dimensioning call under way (an io_* identifier,
    // runtime/io_file.h), for the lines a block adds to it (a fibre's split
    // request); -1 outside such a call.
    std::int32_t memory_map() const;
};

// The FFT plans of the run (runtime/wisdom.h): made once, shared by every block.
class PlanStore {
public:
    FftPlan plan(std::int32_t length, int direction, const Complex* in, const Complex* out,
                 bool estimated = false) const {
        return fft_plan(length, direction, in, out, estimated);
    }
    void execute(const FftPlan& plan, const Complex* in, Complex* out) const { fft_run(plan, in, out); }
};

// The rounds a set-up call makes, each designing every block once:
// - sizing: the first round of a set-up call (the dimensioning pass, a set-up
//   run, the initialisation of a simulation): blocks size themselves for the
//   memory map and the delay file, and the filters write their hand-over files;
// - filter_writing: the dimensioning pass of a simulation designs again from
//   the signals' own powers, so that the fibres write the filters the run uses;
// - state: blocks claim the state they keep for the samples (counted in the
//   dimensioning pass, allocated in the initialisation).
// The samples follow a state round.
enum class SetupRound { sizing, filter_writing, state };

// The call of the driver (kernel/driver.h) a schedule call serves: a
// dimensioning pass, the first call of a run (its initialisation), or the
// second (the samples, or a set-up run's second call).
enum class DriverCall { dimensioning, initialisation, second };

class RunContext {
public:
    // Made on the thread of the run it serves, whose kernel messages then
    // show the time of its samples.
    explicit RunContext(const SimulationSettings& settings);
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    const SimulationSettings& settings() const { return settings_; }
    Phase phase() const { return phase_; }
    SetupRound setup_round() const { return round_; }
    // True in the rounds whose claims are the state kept for the samples.
    bool keeps_state() const { return round_ == SetupRound::state; }
    // The sample: its index from 1 in the run phase (0 before), its time
    // (step - 1) x time step in single precision, as the blocks compare it
    // with their windows, and in double precision.
    std::int32_t step() const { return step_; }
    float time() const { return time_; }
    double time_double() const { return time_double_; }
    float time_step() const { return settings_.time_step_ps; }
    double time_step_double() const { return static_cast<double>(settings_.time_step_ps); }
    float end_time() const { return settings_.end_time_ps; }
    // True on the last sample whose time does not pass the end time: the one
    // whose successor would lie beyond it. Double precision: near 6.4e5 ps a
    // single-precision time is resolved only to about one time step.
    bool last_sample() const {
        const double end = static_cast<double>(settings_.end_time_ps);
        return time_double_ <= end && time_double_ + time_step_double() > end;
    }
    std::int32_t polarisations() const { return settings_.polarisations; }
    // The fields every optical block carries: x alone, or x and y when the
    // signals have two polarisations or the ASE orthogonal to them is kept.
    std::int32_t fields() const { return settings_.polarisations == 2 || settings_.orthogonal_ase ? 2 : 1; }
    float band_centre() const { return settings_.band.centre_thz; }
    float monitor_offset() const { return settings_.monitor_offset_ps; }
    // The window a block's input opens in: from the start of the output
    // window of the block it takes its start from (or from the sources' start
    // when there is none), for the length of the emission window.
    InputWindow input_window(const TimeWindow* producer) const {
        return InputWindow{producer != nullptr ? producer->ton : settings_.start_time_ps,
                           settings_.emission_window_ps};
    }
    // An empty field sample at the band centre.
    FieldSample empty_field() const { return FieldSample{0.0f, 0.0f, settings_.band.centre_thz}; }

    const Messages& messages() const { return messages_; }
    const FileServices& files() const { return files_; }
    const PlanStore& plans() const { return plans_; }
    const StorageAccount& storage() const { return storage_; }
    StorageAccount& storage() { return storage_; }
    DriverCall driver_call() const { return driver_call_; }

    // State a family of blocks shares over the run (the streams of a random
    // generator several blocks draw from, tables their designs share): one
    // T per run, made on first use.
    template <class T>
    T& shared() const {
        std::shared_ptr<void>& slot = shared_[&kTypeTag<T>];
        if (!slot) slot = std::make_shared<T>();
        return *static_cast<T*>(slot.get());
    }

    // The errors the blocks of this run reported, in order.
    const std::vector<BlockError>& errors() const { return errors_; }

    // ---- The schedule's side ----
    void note_error(BlockError error) { errors_.push_back(std::move(error)); }
    void enter_phase(Phase phase) { phase_ = phase; }
    void enter_round(SetupRound round) { round_ = round; }
    void enter_driver_call(DriverCall call) { driver_call_ = call; }
    // Sample `step` of the run phase; the kernel's messages show its time.
    void enter_sample(std::int32_t step);
    // Back before the first sample (the set-up rounds of a run).
    void leave_samples();

private:
    template <class T>
    static constexpr char kTypeTag = 0;

    SimulationSettings settings_;
    Phase phase_ = Phase::design;
    SetupRound round_ = SetupRound::sizing;
    DriverCall driver_call_ = DriverCall::dimensioning;
    std::int32_t step_ = 0;
    float time_ = 0.0f;
    double time_double_ = 0.0;
    Messages messages_;
    FileServices files_;
    PlanStore plans_;
    StorageAccount storage_;
    mutable std::map<const void*, std::shared_ptr<void>> shared_;
    std::vector<BlockError> errors_;
    float* message_time_;  // the time the run's kernel messages show
};

}  // namespace nodrix

// Block kinds as data: what a kind of block is, its parameters (name with
// unit, type, default, allowed range, one line of help), its ports (name and
// signal kind), and how a block of the kind is made. A model file declares
// its own kind once (kernel/block_declaration.h) and registers it here at
// start-up; the registry of links, their validation, `nodrix blocks`, the
// memory map's storage accounting and the schedule's calls all read these
// declarations, and nothing repeats them.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kernel/schedule.h"
#include "kernel/signals.h"

namespace nodrix {

class Block;
class Connections;

// The kinds of signal a port carries. Optical: a field sample per
// polarisation with its spectral description; electrical: one real sample;
// logical: the bits of the current symbol. A new kind of signal (symbol
// streams, complex baseband) is a new enumerator, its sample type and its
// SignalTraits (kernel/block.h); ports and connections take it as they are.
enum class SignalKind { optical, electrical, logical };
const char* signal_kind_name(SignalKind kind);

// real: a number; integer: a whole number within 32 bits; flag: true or false;
// choice: one of a few names, each standing for the integer the model reads;
// text: free text, which may hold {link} (the link's name), {id} (the block's
// instance number in four digits) and {n} (the block's ordinal among the
// blocks of its kind, in schedule order); file: a data file name, resolved
// against the link file's directory; integer_list: `count` whole numbers.
enum class ParamType { real, integer, flag, choice, text, file, integer_list };
const char* param_type_name(ParamType type);

struct Choice {
    std::string_view name;
    std::int32_t value;
};

inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();

struct ParamSpec {
    std::string_view name;               // with its unit: "length_km", "power_mw"
    ParamType type = ParamType::real;
    std::string_view unit;               // shown in the help ("km", "mW"; empty when none)
    double fallback = 0.0;               // default of numbers and flags (0/1), value of a choice
    std::string_view text_fallback;      // default of texts and files
    std::string_view help;               // one line
    double low = -kUnbounded;            // allowed range of numbers
    double high = kUnbounded;
    bool low_open = false;               // true: the value must lie above `low`, not at it
    bool high_open = false;
    bool required = false;
    std::vector<Choice> choices;         // of a choice; of an integer: the only values allowed
    std::size_t count = 0;               // of an integer list (its default is text_fallback, "1,2,3")
    // What else bounds the value, against the link or the block's other
    // parameters, in words ("at most 0.2 / time_step_ps"); shown by
    // `nodrix blocks` and checked by the kind's check.
    std::string_view limits;
};

// A connection of a block. Inputs name the signal they read, outputs the
// number of the signal they write (by default the block's instance number).
struct PortSpec {
    std::string_view key;     // "input", "inputs", "drive", "output", "clock_output"
    SignalKind kind;
    int max_count = 1;        // "inputs" of a combiner: 1 to 4
    bool required = true;
    std::string_view help;
};

// The values of one block, one per declared parameter, defaults applied and
// placeholders expanded.
struct ParamValue {
    double number = 0.0;
    std::string text;
    std::vector<std::int32_t> list;
};

// The value a parameter takes when it is not given.
ParamValue default_param_value(const ParamSpec& p);

struct KindSpec;

class BlockSettings {
public:
    BlockSettings() = default;
    BlockSettings(const KindSpec& kind, std::vector<ParamValue> values) : kind_(&kind), values_(std::move(values)) {}
    // Every parameter at its default.
    static BlockSettings defaults(const KindSpec& kind);
    float real(std::string_view name) const;
    std::int32_t integer(std::string_view name) const;
    bool flag(std::string_view name) const;
    const std::string& text(std::string_view name) const;
    const std::vector<std::int32_t>& integers(std::string_view name) const;
    // A text blank-padded to at least `width` characters (the models' fixed-length names).
    std::string padded(std::string_view name, std::size_t width = 50) const;
    void set_text(std::string_view name, std::string text);
    void set_number(std::string_view name, double number);
    const ParamValue& value(std::string_view name) const;
    const KindSpec* kind() const { return kind_; }

private:
    ParamValue& value(std::string_view name) { return const_cast<ParamValue&>(std::as_const(*this).value(name)); }
    const KindSpec* kind_ = nullptr;
    std::vector<ParamValue> values_;
};

// What a block of the older form is wired to, resolved by the link's
// schedule. Signals and windows stay where they are for the life of the
// schedule.
struct BlockWiring {
    std::int32_t id = 0;
    std::vector<const OpticalSignal*> optical_inputs;
    const ElectricalSample* electrical_input = nullptr;  // "input" of an electrical block
    const ElectricalSample* drive = nullptr;             // the modulator's drive
    const LogicalSignal* logical_input = nullptr;
    OpticalSignal* optical_output = nullptr;
    ElectricalSample* electrical_output = nullptr;
    LogicalSignal* logical_output = nullptr;
    ElectricalSample* clock_output = nullptr;
    // The output window of the block whose start this block's input window
    // takes (null for sources: the link's start time), and this block's own.
    const TimeWindow* producer_window = nullptr;
    TimeWindow* window = nullptr;
    const ScheduleConstants* constants = nullptr;        // start time and emission window
    // A piece of a fibre cut into consecutive pieces (LinkBlock::whole_fibre,
    // piece_start_km): 0 and 0 for any other block.
    std::int32_t whole_fibre = 0;
    double piece_start_km = 0.0;
    InputWindow input_window() const {
        return producer_window != nullptr ? InputWindow{producer_window->ton, constants->twinin}
                                          : InputWindow{constants->tstart, constants->twinin};
    }
};

// The run settings a block's values are checked against, in the precision
// the kernel holds them (single, as the blocks read them).
struct LinkContext {
    float time_step_ps = 0.0f;
    float end_time_ps = 0.0f;
    float centre_thz = 0.0f;
    float band_low_thz = 0.0f;
    float band_high_thz = 0.0f;
    float grid_low_thz = 0.0f;
    float grid_high_thz = 0.0f;
    static LinkContext of(const BlockSettings& link);
    // The rate the samples are taken at, 1 / time step [THz], as the blocks
    // compute it (in double, from the single-precision step).
    double sampling_thz() const { return 1.0 / static_cast<double>(time_step_ps); }
    // One bin of the 1024-bin spectral grid [THz].
    float bin_thz() const { return (grid_high_thz - grid_low_thz) / 1024.0f; }
};

// What validation finds wrong with a block's values. An error: the block
// would refuse them or its result could mean nothing, and nothing runs; a
// warning: it runs and its result still means something, though perhaps not
// what was meant. `param` names the parameter whose value is at fault (its
// place in the file names the problem), or is empty for the block as a whole.
struct Finding {
    bool error = true;
    std::string param;
    std::string text;
};
class Findings {
public:
    void error(std::string_view param, std::string text) { list_.push_back({true, std::string(param), std::move(text)}); }
    void warning(std::string_view param, std::string text) {
        list_.push_back({false, std::string(param), std::move(text)});
    }
    const std::vector<Finding>& list() const { return list_; }

private:
    std::vector<Finding> list_;
};
using BlockCheck = void (*)(const BlockSettings& settings, const LinkContext& link, Findings& findings);

// A kind declared as one struct: the block with its settings and ports bound.
using CreateBlock = std::unique_ptr<Block> (*)(const BlockSettings& settings, const Connections& connections);

// The folders of the block library, in the order the help lists their kinds.
enum class BlockFamily { transmitters, fibre, amplifiers, filters, receivers, measurements };

struct KindSpec {
    std::string_view name;       // "laser", the word of link files
    std::string_view routine;    // "laslor", the library routine
    std::string_view help;
    std::vector<ParamSpec> params;
    std::vector<PortSpec> inputs;
    std::vector<PortSpec> outputs;
    bool delay_record = false;   // fibres and optical filters: delay file record, input delays cleared
    bool windowed = true;        // fills an output time window
    CreateBlock create = nullptr;  // a kind declared as one struct
    BlockFamily family = BlockFamily::transmitters;
    // What is wrong with a block's values beyond the ranges of single
    // parameters: against each other and against the link's run settings,
    // every condition the block itself would refuse at set-up or in the
    // run; null when there is none.
    BlockCheck check = nullptr;
    const ParamSpec* find_param(std::string_view name) const;
    const PortSpec* find_port(std::string_view key) const;
};

// The parameter's allowed values in words: "> 0", "0 to 1", "1 to 10",
// "\"prbs\" or \"file\"", "true or false", "any".
std::string allowed_values(const ParamSpec& p);
// The default as a link file would write it, or "(required)".
std::string default_value(const ParamSpec& p);
// A number as a link file writes it ("0.15", "1e+39"); a single-precision
// one in the fewest digits that give it back.
std::string number_text(double v);
std::string number_text(float v);

// ---- Kinds that declare themselves ------------------------------------------

// Made once, at namespace scope, in the model file that declares the kind:
//   const KindRegistration registration{declare_kind<Modulator>()};
// The kinds so registered, in the order of their families and, within one,
// of their names (the order of start-up does not matter).
class KindRegistration {
public:
    explicit KindRegistration(KindSpec kind);
};
const std::vector<const KindSpec*>& registered_kinds();
const KindSpec* find_registered_kind(std::string_view name);

// ---- Other forms of a kind's parameters -------------------------------------

// Another key in which a link may give a parameter of a kind: a quantity the
// parameter follows from (a fibre's dispersion D in ps/nm/km for beta2 in
// ps^2/km, at the link's centre frequency), or one that sets several (a
// fibre's preset). The link reads such keys like parameters and derives the
// parameters from them before they are checked; a parameter and a key that
// stands for it given in one place is an error naming both.
struct ParameterForm {
    ParamSpec entry;               // the key as a parameter: name with unit, type, range, help
    std::string_view stands_for;  // the parameter it sets; empty when it sets several
};

// What a block was given, as the link read it: the values of the kind's own
// parameters given explicitly and of its other forms, by key.
struct GivenValues {
    double centre_frequency_thz = 0.0;  // of the link, as written
    std::map<std::string, ParamValue, std::less<>> values;
    bool has(std::string_view key) const { return values.find(key) != values.end(); }
    double number(std::string_view key) const { return values.find(key)->second.number; }
};

// A parameter's value derived from other forms; `key` names the form it
// came from and `from` says how, for messages ("dispersion_ps_per_nm_km =
// 16 at 193.1 THz").
struct DerivedValue {
    std::string_view param;
    double number = 0.0;
    std::string_view key;
    std::string from;
};
using DeriveParameters = void (*)(const GivenValues& given, std::vector<DerivedValue>& derived, Findings& found);

// A kind's other forms, registered once at namespace scope by the file that
// declares them (a family's file, beside the kind):
//   const KindFormsRegistration forms{KindForms{.kind = "fibre", ...}};
struct KindForms {
    std::string_view kind;
    std::vector<ParameterForm> forms;
    DeriveParameters derive = nullptr;
};
class KindFormsRegistration {
public:
    explicit KindFormsRegistration(KindForms forms);
};
const KindForms* find_registered_forms(std::string_view kind);

}  // namespace nodrix

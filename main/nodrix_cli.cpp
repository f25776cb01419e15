#include "main/nodrix_cli.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <toml++/toml.h>

#include "kernel/driver.h"
#include "kernel/lib00.h"
#include "main/cli_options.h"
#include "main/op_main.h"
#include "main/converge.h"
#include "main/sweep.h"
#include "models/fibre/split_step.h"
#include "project/fibre_pieces.h"
#include "project/link.h"
#include "project/link_checks.h"
#include "project/step_resonance.h"
#include "project/link_schedule.h"
#include "project/parameter_forms.h"
#include "project/observation.h"
#include "project/summary.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "xu/run_state.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

constexpr int kUsage = 2;

// A link run by nodrix stops at its first error and says which block
// reported it and what it means.
constexpr ErrorPolicy kStopAtErrors{true, true, true};

const char* const kUsageText =
    "Usage: nodrix run LINK.toml [-simulate] [-set ID.PARAM=VALUE ...] [-o DIR] [-window PS]\n"
    "                            [-verbose] [-log FILE] [-quiet] [-maxmem MIB]\n"
    "       nodrix check LINK.toml [-set ID.PARAM=VALUE ...] [-window PS] [-verbose] [-log FILE]\n"
    "       nodrix blocks [KIND]\n"
    "       nodrix sweep LINK.toml --vary ID.PARAM=VALUES [--vary ...] [--seeds N] [-o DIR] [-j N]\n"
    "                              [--slurm | --slurm-dry-run] [--slurm-args \"ARGS\"]\n"
    "       nodrix sweep --collect DIR\n"
    "       nodrix converge LINK.toml [-set ...] [--factor F] [--tolerance DB] [-o DIR]\n"
    "nodrix VERB --help explains each verb.\n";

const char* const kRunHelp =
    "Usage: nodrix run LINK.toml [options]\n"
    "Runs the link of a description file: the dimensioning pass and the set-up of every\n"
    "block (memory map x1_NAME.mem, delay file x1_NAME.dly), and with -simulate the link\n"
    "sample by sample, its measurements and a summary. The kernel storage is sized to what\n"
    "the link needs. A fibre whose steps do not fit one fibre block runs as consecutive pieces.\n"
    "  -simulate           simulate the link sample by sample\n"
    "  -set ID.PARAM=VALUE change a parameter: ID is an instance number, a block kind (every\n"
    "                      block of it) or \"link\"; VALUE as in the file (text may go bare).\n"
    "                      Repeat for several.\n"
    "  -o DIR              write the results into DIR (made if absent)\n"
    "  -window PS          the sources' emission window (link.emission_window_ps)\n"
    "  -verbose            show the information lines\n"
    "  -log FILE           append every message to FILE\n"
    "  -quiet              no progress line while simulating\n"
    "  -maxmem MIB         refuse kernel storage beyond MIB MiB (default: the physical memory)\n"
    "Relative file names in the description are taken from its directory.\n"
    "A run stops at the first error a block or the kernel reports, naming the block, and then\n"
    "prints no summary.\n"
    "Exit status: 0 done, 1 an error was reported, 2 a usage error.\n";

const char* const kCheckHelp =
    "Usage: nodrix check LINK.toml [options]\n"
    "Checks a description file (every value against what its block accepts on this link, and\n"
    "the link's carriers, filters and samples per bit), sets the link up (in a scratch\n"
    "directory, leaving no file) and prints the schedule: every block's connections, time\n"
    "window and good interval. Warns when a power meter, spectrum analyser, eye scope or\n"
    "estimator would observe less than its settings ask for, saying what cuts it short, and\n"
    "names the emission window and end time that give every measurement its full observation.\n"
    "Warns of a fibre whose steps are mostly of one length h when its lasers' four-wave-mixing\n"
    "products meet beta2 (2 pi df1)(2 pi df2) h = 2 pi m (spurious tones), naming the channels.\n"
    "An estimator window far longer than the run can fill is a warning naming its storage (an\n"
    "error beyond what an estimator holds).\n"
    "  -set ID.PARAM=VALUE, -window PS, -verbose, -log FILE   as for nodrix run\n"
    "Exit status: 0 the link is sound (warnings aside), 1 an error was reported, 2 a usage error.\n";

const char* const kBlocksHelp =
    "Usage: nodrix blocks [KIND] [--json]\n"
    "Lists the block kinds a link may use; with a kind, its connections and its parameters\n"
    "(unit, type, default, allowed values, help). \"nodrix blocks link\" lists the run settings.\n"
    "  --json   the same as JSON, for programs: {\"kinds\": [...], \"link\": {...}}, or one kind\n";

// The options of run and check.
struct Options {
    std::string link;
    bool simulate = false;
    std::vector<LinkOverride> overrides;
    std::string out_dir;
    bool verbose = false;
    std::string log;
    bool quiet = false;
    bool help = false;
    std::int64_t maxmem_mib = 0;
};

// Reads the options of a verb; false after a usage error (reported).
bool parse(const std::string& verb, const std::vector<OptionSpec>& known, const std::vector<std::string>& args,
           Options& o) {
    auto word = [&](const std::string& w) {
        if (!o.link.empty()) {
            usage_error(verb, "one link file only, not \"" + o.link + "\" and \"" + w + "\"");
            return false;
        }
        o.link = w;
        return true;
    };
    auto option = [&](const std::string& name, const std::string& value) {
        if (name == "help") {
            o.help = true;
        } else if (name == "simulate") {
            o.simulate = true;
        } else if (name == "verbose") {
            o.verbose = true;
        } else if (name == "quiet") {
            o.quiet = true;
        } else if (name == "o") {
            o.out_dir = value;
        } else if (name == "log") {
            o.log = value;
        } else if (name == "set") {
            const auto over = parse_override(value);
            if (!over) {
                usage_error(verb, "-set " + value + ": write ID.PARAM=VALUE (73.length_km=80, link.end_time_ps=5e4)");
                return false;
            }
            o.overrides.push_back(*over);
        } else if (name == "maxmem") {
            if (!parse_mib(value.c_str(), o.maxmem_mib)) {
                usage_error(verb, "-maxmem " + value + ": give a positive whole number of MiB");
                return false;
            }
        } else if (name == "window") {
            o.overrides.push_back(LinkOverride{"link", "emission_window_ps", value, "-window " + value});
        }
        return true;
    };
    if (!parse_options(verb, known, args, option, word)) return false;
    if (!o.help && o.link.empty()) {
        usage_error(verb, "no link file given");
        return false;
    }
    return true;
}

void apply_message_options(XuMsg* messages, const Options& o) {
    if (o.verbose) xu_MsgGetMessage(messages)->shown |= kMsgInfo;
    if (!o.log.empty()) open_log_file(messages, o.log.c_str());
}

// The front of the verbs that read a link: their options, --help, the
// message options and the link itself. Gives the exit status when the verb
// ends there.
std::optional<int> read_link(const std::string& verb, const std::vector<OptionSpec>& known, const char* help,
                             XuMsg* messages, const std::vector<std::string>& args, Options& o,
                             std::optional<Link>& link) {
    if (!parse(verb, known, args, o)) return kUsage;
    if (o.help) {
        std::fputs(help, stdout);
        return 0;
    }
    apply_message_options(messages, o);
    link = load_link_file(o.link, o.overrides);
    if (!link) return 1;
    return std::nullopt;
}

int verb_run(XuMsg* messages, const std::vector<std::string>& args) {
    Options o;
    std::optional<Link> link;
    if (const auto status = read_link("run",
                                      {{"simulate", false}, {"set", true}, {"o", true}, {"window", true},
                                       {"verbose", false}, {"log", true}, {"quiet", false}, {"maxmem", true},
                                       {"help", false}},
                                      kRunHelp, messages, args, o, link))
        return *status;
    if (!o.out_dir.empty()) {
        std::error_code ec;
        fs::create_directories(o.out_dir, ec);
        if (!ec) fs::current_path(o.out_dir, ec);
        if (ec) {
            opxerr("Cannot write the results into " + o.out_dir + ": " + ec.message());
            return 1;
        }
    }
    return run_link(std::move(*link), RunSettings{o.simulate, o.quiet, o.maxmem_mib},
                    [&](const LinkSchedule& schedule, int status) {
                        const std::string& name = schedule.link().name();
                        // A run that reported an error stopped there: it has no numbers to claim.
                        if (status != 0)
                            opxinfo(name + ": the run stopped at the error above; no results");
                        else if (last_run_simulated())
                            std::fputs(simulation_summary(schedule).c_str(), stdout);
                        else
                            std::printf("Set-up of %s done: memory map %s, delay file %s\n", name.c_str(),
                                        memory_map_name(name).c_str(), delay_file_name(name).c_str());
                    });
}

// ---- the link as it runs

// A scratch directory beside the working directory (so that data files stay
// within reach of their relative names), the working directory while it
// lives, removed with everything in it at its end.
class ScratchDirectory {
public:
    // An interruption removes the directory with the run's files from the
    // moment it exists to the moment it is gone.
    explicit ScratchDirectory(const char* prefix) : home_(fs::current_path()) {
        catch_interruptions();
        const InterruptionsHeld held_back;
        std::string pattern = (home_ / (std::string(prefix) + "XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            pattern = (fs::temp_directory_path() / (std::string(prefix + 1) + "XXXXXX")).string();
            if (::mkdtemp(pattern.data()) == nullptr) return;
        }
        path_ = pattern;
        set_scratch_directory(path_);
        fs::current_path(path_);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory() {
        if (!path_.empty()) {
            const InterruptionsHeld held_back;
            std::error_code ec;
            fs::current_path(home_, ec);
            fs::remove_all(path_, ec);
            set_scratch_directory("");
        }
        release_interruptions();
    }
    bool ok() const { return !path_.empty(); }

private:
    fs::path home_;
    std::string path_;
};

struct LinkDimensions {
    int status = 1;                          // the driver's, of the last pass
    bool splits_made = true;                 // false: a fibre could not be split (reported)
    std::unique_ptr<LinkSchedule> schedule;  // of the last pass
};

// The dimensioning pass of a link in the working directory, and, while
// fibres ask to be split, the link re-formed with their pieces and
// dimensioned again: the link loader does what the generator of a project
// does with the split requests of its memory map. The messages of a pass are
// held and shown only for the last pass, with `show`; the lines that say
// which fibres were split are shown in any case.
LinkDimensions dimension_link(Link& link, bool show) {
    LinkDimensions d;
    FibreSplits splits;
    for (int round = 1;; ++round) {
        xu_MsgHold(nullptr);
        d.schedule = std::make_unique<LinkSchedule>(Link(link));
        if (!d.schedule->ok()) {
            xu_MsgRelease(nullptr, show);
            d.status = 1;
            return d;
        }
        set_project(d.schedule->project());
        SplitRequestLog log;
        d.status = run_driver(1, {}, false);  // its files stay in the scratch directory
        const bool last = std::none_of(log.requests().begin(), log.requests().end(),
                                       [](const SplitRequest& r) { return r.reason == SplitReason::steps; });
        xu_MsgRelease(nullptr, show && last);
        if (last) break;
        if (!splits.apply(link, log.requests(), round)) {
            d.splits_made = false;
            return d;
        }
    }
    for (const std::string& line : splits.report(link)) opxinfo(line);
    return d;
}

bool has_auto_settings(const Link& link) { return link.auto_emission_window || link.auto_end_time; }

// The emission window and end time a link leaves "auto", from the windows
// of its dimensioning pass. False after an error (reported).
bool settle_auto_settings(Link& link, const LinkSchedule& schedule) {
    const AutoSettings a = work_out_auto_settings(schedule);
    const std::string where = link.source + ": [link]: ";
    if (!a.problem.empty()) {
        opxerr(where + a.problem);
        return false;
    }
    const float step = link.settings.real("time_step_ps");
    const double longest = longest_end_time_ps(step);
    if (link.auto_end_time && !(a.end_ps < longest)) {
        opxerr(where + "end_time_ps = \"auto\" works out at " + number_text(a.end_ps) +
               " ps, beyond what the single-precision time tells apart at time_step_ps = " + number_text(step) +
               "; allowed: below " + number_text(longest) + " ps (a longer time step, or shorter observations)");
        return false;
    }
    if (link.auto_emission_window) link.settings.set_number("emission_window_ps", a.emission_ps);
    if (link.auto_end_time) link.settings.set_number("end_time_ps", a.end_ps);
    std::string said = where + "emission window " + number_text(link.settings.real("emission_window_ps")) +
                       " ps, end time " + number_text(link.settings.real("end_time_ps")) +
                       " ps, from the measurements' observations";
    opxtrace(said.data());  // shown with -verbose
    return true;
}

// The link as it runs: fibres that ask to be split are replaced by their
// pieces, and the emission window and end time it leaves "auto" are worked
// out, by dimensioning passes in a scratch directory (which leave the results
// of an earlier run as they are). False when a fibre cannot be split or the
// settings cannot be worked out (reported).
bool form_link(Link& link) {
    const bool automatic = has_auto_settings(link);
    if (!automatic && std::none_of(link.blocks.begin(), link.blocks.end(),
                                   [](const LinkBlock& b) { return b.kind->name == "fibre"; }))
        return true;
    const ScratchDirectory scratch(".nodrix-split-");
    if (!scratch.ok()) {
        opxerr("nodrix run: cannot make a scratch directory");
        return false;
    }
    // The run itself reports what the passes here find besides the splits
    // and the settings.
    const LinkDimensions d = dimension_link(link, false);
    if (!d.splits_made) return false;
    if (!automatic || d.status != 0 || !d.schedule->ok()) return true;
    return settle_auto_settings(link, *d.schedule);
}

// ---- check

std::string interval_text(float a, float b) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.1f .. %.1f", static_cast<double>(a), static_cast<double>(b));
    return buf;
}

std::string signals_text(const std::vector<std::int32_t>& numbers) {
    if (numbers.empty()) return "-";
    std::string s;
    for (std::int32_t n : numbers) s += (s.empty() ? "" : ",") + std::to_string(n);
    return s;
}

void print_schedule(const LinkSchedule& s) {
    const Link& link = s.link();
    const BlockSettings& k = link.settings;
    std::printf("Link %s (%s): %zu blocks\n", link.name().c_str(), link.source.c_str(), link.blocks.size());
    std::printf("  time step %g ps, end time %g ps%s, emission window %g ps%s, monitoring offset %g ps\n",
                static_cast<double>(k.real("time_step_ps")), static_cast<double>(k.real("end_time_ps")),
                link.auto_end_time ? " (auto)" : "", static_cast<double>(current_project().schedule.twinin),
                link.auto_emission_window ? " (auto)" : "", static_cast<double>(k.real("monitor_offset_ps")));
    if (!link.channels.empty()) {
        std::printf("  channels of the plan (channel k's blocks are numbered k x id_step + their template id):\n");
        for (const LinkChannel& c : link.channels)
            std::printf("  channel %3d  %9.4f THz  blocks %s\n", c.number, c.frequency_thz,
                        signals_text(c.blocks).c_str());
    }
    std::printf("  %5s %6s  %-22s %-14s %-7s %-26s %s\n", "order", "block", "kind", "reads", "writes", "window [ps]",
                "good interval [ps]");
    int order = 0;
    for (const LinkBlock& b : link.blocks) {
        std::vector<std::int32_t> reads = b.inputs;
        if (b.drive != 0) reads.push_back(b.drive);
        std::vector<std::int32_t> writes;
        if (b.output != 0) writes.push_back(b.output);
        if (b.clock_output != 0) writes.push_back(b.clock_output);
        const TimeWindow* w = s.window(b.id);
        std::printf("  %5d %6d  %-22s %-14s %-7s %-26s %s\n", ++order, b.id, std::string(b.kind->name).c_str(),
                    signals_text(reads).c_str(), signals_text(writes).c_str(),
                    w != nullptr ? interval_text(w->ton, w->toff).c_str() : "-",
                    w != nullptr ? interval_text(w->tgoodi, w->tgoodf).c_str() : "-");
    }
}

int verb_check(XuMsg* messages, const std::vector<std::string>& args) {
    Options o;
    std::optional<Link> link;
    if (const auto status = read_link("check",
                                      {{"set", true}, {"window", true}, {"verbose", false}, {"log", true},
                                       {"help", false}},
                                      kCheckHelp, messages, args, o, link))
        return *status;
    // The set-up runs in a scratch directory, removed with everything in it.
    const ScratchDirectory scratch(".nodrix-check-");
    if (!scratch.ok()) {
        opxerr("nodrix check: cannot make a scratch directory");
        return 1;
    }
    set_error_policy(kStopAtErrors);
    set_per_sample_run(true);  // the windows as a simulation sees them
    if (has_auto_settings(*link)) {
        const LinkDimensions first = dimension_link(*link, false);
        if (!first.splits_made) return 1;
        if (first.status == 0 && first.schedule->ok() && !settle_auto_settings(*link, *first.schedule)) return 1;
    }
    const StepPlanLog plans;
    const LinkDimensions d = dimension_link(*link, true);
    set_per_sample_run(false);
    if (d.status != 0 || !d.splits_made) return d.splits_made ? d.status : 1;
    print_schedule(*d.schedule);
    warn_observation_plans(*d.schedule);
    warn_resonant_steps(*d.schedule, plans.notes());
    return check_observation_storage(*d.schedule) ? 0 : 1;
}

// ---- blocks

// The other forms a link may give parameters in (power_dbm for power_mw).
void print_forms(const KindSpec& k) {
    const std::vector<ParameterForm>& forms = parameter_forms(k);
    if (forms.empty()) return;
    std::printf("Also accepted, converted when the link is read (give one form of a quantity):\n");
    for (const ParameterForm& f : forms)
        std::printf("  %s  %s%s  %s\n      %s\n", std::string(f.entry.name).c_str(), param_type_name(f.entry.type),
                    f.entry.unit.empty() ? "" : (" [" + std::string(f.entry.unit) + "]").c_str(),
                    allowed_values(f.entry).c_str(), std::string(f.entry.help).c_str());
}

// The caption of a block whose link gives it none: its kind and instance
// number, "ber_estimator 11" (link.cpp), not the kind's stored fallback.
std::string default_caption(const KindSpec& k) { return std::string(k.name) + " ID"; }

void print_kind(const KindSpec& k) {
    std::printf("%s: %s\n", std::string(k.name).c_str(), std::string(k.help).c_str());
    auto ports = [](const char* title, const std::vector<PortSpec>& list) {
        std::printf("%s:", title);
        if (list.empty()) std::printf(" none");
        std::printf("\n");
        for (const PortSpec& p : list)
            std::printf("  %-14s %s signal%s%s: %s\n", std::string(p.key).c_str(), signal_kind_name(p.kind),
                        p.max_count > 1 ? "s (a list)" : "", p.required ? "" : ", optional",
                        std::string(p.help).c_str());
    };
    if (k.name != "link") {
        ports("Reads", k.inputs);
        ports("Writes (the output is numbered by the instance unless given)", k.outputs);
    }
    std::printf("Parameters (name, type [unit], default, allowed values; then what it is):\n");
    std::vector<std::array<std::string, 4>> rows;
    std::array<std::size_t, 3> width{};
    for (const ParamSpec& p : k.params) {
        std::array<std::string, 4> row{std::string(p.name),
                                       std::string(param_type_name(p.type)) +
                                           (p.unit.empty() ? "" : " [" + std::string(p.unit) + "]"),
                                       p.name == "title" ? "\"" + default_caption(k) + "\"" : default_value(p),
                                       allowed_values(p)};
        for (std::size_t c = 0; c < 3; ++c) width[c] = std::max(width[c], row[c].size());
        rows.push_back(std::move(row));
    }
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::printf("  %-*s  %-*s  %-*s  %s\n      %s\n", static_cast<int>(width[0]), rows[r][0].c_str(),
                    static_cast<int>(width[1]), rows[r][1].c_str(), static_cast<int>(width[2]), rows[r][2].c_str(),
                    rows[r][3].c_str(), std::string(k.params[r].help).c_str());
        // What else bounds the value, checked before a run.
        if (!k.params[r].limits.empty()) std::printf("      also: %s\n", std::string(k.params[r].limits).c_str());
    }

    print_forms(k);
    std::printf("Reals are held in single precision: a magnitude above 3.4028235e+38, or a value other than 0\n"
                "that would be held as 0 (below 1.4013e-45), is refused.\n");
}

// ---- blocks --json: the registry as data, for programs (the Python package)

// The default of a parameter in its own type; nothing for a required one.
void put_default(toml::table& t, const ParamSpec& p) {
    if (p.required) return;
    switch (p.type) {
        case ParamType::real: t.insert("default", p.fallback); break;
        case ParamType::integer: t.insert("default", static_cast<std::int64_t>(p.fallback)); break;
        case ParamType::flag: t.insert("default", p.fallback != 0.0); break;
        case ParamType::text:
        case ParamType::file: t.insert("default", std::string(p.text_fallback)); break;
        case ParamType::choice:
            for (const Choice& c : p.choices)
                if (c.value == static_cast<std::int32_t>(p.fallback)) t.insert("default", std::string(c.name));
            break;
        case ParamType::integer_list: {
            toml::array numbers;
            const std::string list(p.text_fallback);
            for (std::size_t at = 0; at < list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                numbers.push_back(static_cast<std::int64_t>(std::stoll(list.substr(at, comma - at))));
                at = comma + 1;
            }
            t.insert("default", std::move(numbers));
            break;
        }
    }
}

toml::table param_table(const ParamSpec& p) {
    toml::table t{{"name", std::string(p.name)},
                  {"type", param_type_name(p.type)},
                  {"unit", std::string(p.unit)},
                  {"help", std::string(p.help)},
                  {"required", p.required},
                  {"allowed", allowed_values(p)}};
    put_default(t, p);
    // Bounds of numbers, only where there are some (JSON has no infinity).
    if (std::isfinite(p.low)) t.insert("low", p.low), t.insert("low_open", p.low_open);
    if (std::isfinite(p.high)) t.insert("high", p.high), t.insert("high_open", p.high_open);
    if (!p.choices.empty()) {
        toml::array choices;
        for (const Choice& c : p.choices)
            choices.push_back(toml::table{{"name", std::string(c.name)}, {"value", static_cast<std::int64_t>(c.value)}});
        t.insert("choices", std::move(choices));
    }
    if (p.type == ParamType::integer_list) t.insert("count", static_cast<std::int64_t>(p.count));
    // What else bounds the value, checked before a run (as "also:" in the text).
    if (!p.limits.empty()) t.insert("limits", std::string(p.limits));
    return t;
}

toml::table kind_table(const KindSpec& k) {
    auto ports = [](const std::vector<PortSpec>& list) {
        toml::array a;
        for (const PortSpec& p : list)
            a.push_back(toml::table{{"key", std::string(p.key)},
                                    {"signal", signal_kind_name(p.kind)},
                                    {"max_count", static_cast<std::int64_t>(p.max_count)},
                                    {"required", p.required},
                                    {"help", std::string(p.help)}});
        return a;
    };
    toml::array params;
    for (const ParamSpec& p : k.params) {
        toml::table t = param_table(p);
        if (p.name == "title") t.insert_or_assign("default", default_caption(k));
        params.push_back(std::move(t));
    }
    toml::array forms;
    for (const ParameterForm& f : parameter_forms(k)) {
        toml::table t = param_table(f.entry);
        t.insert("instead_of", std::string(f.stands_for));
        forms.push_back(std::move(t));
    }
    return toml::table{{"name", std::string(k.name)}, {"routine", std::string(k.routine)},
                       {"help", std::string(k.help)}, {"inputs", ports(k.inputs)},
                       {"outputs", ports(k.outputs)}, {"parameters", std::move(params)},
                       {"other_forms", std::move(forms)}};
}

void print_json(const toml::table& t) {
    std::ostringstream text;
    text << toml::json_formatter{t} << "\n";
    std::fputs(text.str().c_str(), stdout);
}

int verb_blocks(std::vector<std::string> args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-help")) {
        std::fputs(kBlocksHelp, stdout);
        return 0;
    }
    const auto json_at = std::find(args.begin(), args.end(), "--json");
    const bool json = json_at != args.end();
    if (json) args.erase(json_at);
    if (args.size() > 1 || (!args.empty() && args[0].rfind('-', 0) == 0)) {
        usage_error("blocks", "give at most one kind");
        return kUsage;
    }
    if (args.empty()) {
        if (json) {
            toml::array kinds;
            for (const KindSpec& k : block_kinds()) kinds.push_back(kind_table(k));
            print_json(toml::table{{"kinds", std::move(kinds)}, {"link", kind_table(link_settings_kind())}});
            return 0;
        }
        std::printf("Block kinds (nodrix blocks KIND for its parameters):\n");
        for (const KindSpec& k : block_kinds())
            std::printf("  %-22s %s\n", std::string(k.name).c_str(), std::string(k.help).c_str());
        std::printf("The run settings of a link: nodrix blocks link. The routine behind each kind: "
                    "docs/glossary.md\n");
        return 0;
    }
    const KindSpec* k = args[0] == "link" ? &link_settings_kind() : find_kind(args[0]);
    if (k == nullptr) {
        std::vector<std::string_view> names;
        for (const KindSpec& kind : block_kinds()) names.push_back(kind.name);
        const std::string near = closest_word(args[0], names);
        opxerr("nodrix blocks: unknown kind \"" + args[0] + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?"));
        return 1;
    }
    if (json)
        print_json(kind_table(*k));
    else
        print_kind(*k);
    return 0;
}

}  // namespace

bool form_link_for_run(Link& link) {
    set_error_policy(kStopAtErrors);
    return form_link(link);
}

int run_link(Link link, const RunSettings& settings,
             const std::function<void(const LinkSchedule& schedule, int status)>& after) {
    set_per_sample_run(settings.simulate);
    if (!form_link_for_run(link)) return 1;
    return run_formed_link(std::move(link), settings, after);
}

int run_formed_link(Link link, const RunSettings& settings,
                    const std::function<void(const LinkSchedule& schedule, int status)>& after) {
    set_error_policy(kStopAtErrors);
    set_per_sample_run(settings.simulate);
    LinkSchedule schedule(std::move(link));
    if (!schedule.ok()) return 1;
    ProjectDescription project = schedule.project();
    // An estimator window the run cannot fill is named before its storage is taken.
    project.after_dimensioning = [&schedule] { return check_observation_storage(schedule); };
    set_project(project);
    set_progress_line(!settings.quiet);
    // The storage the link needs, counted by the dimensioning pass.
    StorageSizing sizing;
    sizing.autosize = true;
    sizing.maxmem_mib = settings.maxmem_mib;
    set_storage_sizing(sizing);
    // The report on the run is made with the directory's lock still held.
    return run_driver(0, [&](int status) {
        if (last_run_simulated()) warn_observations_after_run(schedule);
        if (after) after(schedule, status);
    });
}

int nodrix_main(int argc, char** argv) {
    // One program run: messages, files and units of its own.
    const OwnRunState run;
    XuMsg* messages = open_messages(&argc, argv);
    std::vector<std::string> args;
    for (int k = 2; k < argc; ++k)
        if (argv[k] != nullptr) args.push_back(argv[k]);
    const std::string verb = argc > 1 && argv[1] != nullptr ? argv[1] : "";
    int status = kUsage;
    if (verb == "run") {
        status = verb_run(messages, args);
    } else if (verb == "check") {
        status = verb_check(messages, args);
    } else if (verb == "blocks") {
        status = verb_blocks(args);
    } else if (verb == "sweep") {
        status = verb_sweep(args);
    } else if (verb == "converge") {
        status = verb_converge(args);
    } else if (verb == "--help" || verb == "-help" || verb == "help") {
        std::fputs(kUsageText, stdout);
        status = 0;
    } else {
        std::fputs(kUsageText, stderr);
        if (!verb.empty()) {
            const std::string near = closest_word(verb, {"run", "check", "blocks", "sweep", "converge"});
            opxerr("nodrix: unknown verb \"" + verb + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?"));
        }
    }
    close_messages();
    return status;
}

}  // namespace nodrix

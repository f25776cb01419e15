#include "main/nodrix_cli.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "main/cli_options.h"
#include "main/op_main.h"
#include "main/sweep.h"
#include "project/link.h"
#include "project/link_schedule.h"
#include "project/summary.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;

constexpr int kUsage = 2;

const char* const kUsageText =
    "Usage: nodrix run LINK.toml [-simulate] [-set ID.PARAM=VALUE ...] [-o DIR] [-window PS]\n"
    "                            [-verbose] [-log FILE] [-quiet] [-maxmem MIB]\n"
    "       nodrix check LINK.toml [-set ID.PARAM=VALUE ...] [-window PS] [-verbose] [-log FILE]\n"
    "       nodrix blocks [KIND]\n"
    "       nodrix sweep LINK.toml --vary ID.PARAM=VALUES [--vary ...] [--seeds N] [-o DIR] [-j N]\n"
    "                              [--slurm | --slurm-dry-run] [--slurm-args \"ARGS\"]\n"
    "       nodrix sweep --collect DIR\n"
    "nodrix VERB --help explains each verb.\n";

const char* const kRunHelp =
    "Usage: nodrix run LINK.toml [options]\n"
    "Runs the link of a description file: the dimensioning pass and the set-up of every\n"
    "block (memory map x1_NAME.mem, delay file x1_NAME.dly), and with -simulate the link\n"
    "sample by sample, its measurements and a summary. The kernel storage is sized to what\n"
    "the link needs.\n"
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
    "Exit status: 0 done, 1 an error was reported, 2 a usage error.\n";

const char* const kCheckHelp =
    "Usage: nodrix check LINK.toml [options]\n"
    "Checks a description file, sets the link up (in a scratch directory, leaving no file) and\n"
    "prints the schedule: every block's connections, time window and good interval. Warns\n"
    "when a power meter, spectrum analyser, eye scope or estimator would observe nothing, and\n"
    "names the emission window that gives it enough.\n"
    "  -set ID.PARAM=VALUE, -window PS, -verbose, -log FILE   as for nodrix run\n"
    "Exit status: 0 the link is sound (warnings aside), 1 an error was reported, 2 a usage error.\n";

const char* const kBlocksHelp =
    "Usage: nodrix blocks [KIND]\n"
    "Lists the block kinds a link may use; with a kind, its connections and its parameters\n"
    "(unit, type, default, allowed values, help). \"nodrix blocks link\" lists the run settings.\n";

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
                        if (last_run_simulated())
                            std::fputs(simulation_summary(schedule).c_str(), stdout);
                        else if (status == 0)
                            std::printf("Set-up of %s done: memory map %s, delay file %s\n", name.c_str(),
                                        memory_map_name(name).c_str(), delay_file_name(name).c_str());
                    });
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

// What a measurement block observes of its good interval, and the emission
// window that gives it its whole observation. The good interval of a window
// grows one for one with the emission window.
struct Observation {
    double length = 0.0;          // [ps], 0 or less: nothing
    double window_needed = 0.0;   // emission window that gives it enough [ps]
};
std::optional<Observation> observation(const LinkSchedule& s, const LinkBlock& b, double emission, double monitor) {
    const std::string_view kind = b.kind->name;
    if (kind == "power_meter" || kind == "spectrum_analyser") {
        const TimeWindow* w = s.window(b.id);
        const double good = static_cast<double>(w->tgoodf) - w->tgoodi;
        return Observation{good - 2.0 * monitor, emission + 2.0 * monitor - good};
    }
    if (kind == "ber_estimator" || kind == "eye_scope") {
        const TimeWindow* w = s.producer_window(b);
        if (w == nullptr) return std::nullopt;
        const double good = static_cast<double>(w->tgoodf) - w->tgoodi;
        const double delay = b.settings.real("delay_ps");
        const double window = b.settings.real("window_ps");
        return Observation{std::min(window, good - 2.0 * monitor) - delay,
                           emission + 2.0 * monitor + window - good};
    }
    return std::nullopt;
}

void print_schedule(const LinkSchedule& s) {
    const Link& link = s.link();
    const BlockSettings& k = link.settings;
    std::printf("Link %s (%s): %zu blocks\n", link.name().c_str(), link.source.c_str(), link.blocks.size());
    std::printf("  time step %g ps, end time %g ps, emission window %g ps, monitoring offset %g ps\n",
                static_cast<double>(k.real("time_step_ps")), static_cast<double>(k.real("end_time_ps")),
                static_cast<double>(current_project().schedule.twinin), static_cast<double>(k.real("monitor_offset_ps")));
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

void warn_unobserved(const LinkSchedule& s) {
    const double emission = current_project().schedule.twinin;
    const double monitor = polmon.tmon;
    for (const LinkBlock& b : s.link().blocks) {
        const auto seen = observation(s, b, emission, monitor);
        if (!seen || seen->length > 0.0) continue;
        char needed[32];
        std::snprintf(needed, sizeof needed, "%.0f", std::ceil(seen->window_needed));
        opxwarn("block " + std::to_string(b.id) + " (" + std::string(b.kind->name) +
                ") will observe nothing: its good interval is shorter than its guard times of " +
                std::to_string(static_cast<int>(monitor)) + " ps at each end" +
                (b.kind->name == "ber_estimator" || b.kind->name == "eye_scope" ? " and its delay" : "") +
                "; an emission window of " + needed + " ps (-window " + needed + ") gives it " +
                (b.kind->name == "ber_estimator" || b.kind->name == "eye_scope" ? "its whole observation window"
                                                                                 : "a measuring interval"));
    }
}

// Makes the check's scratch directory, .nodrix-check-XXXXXX in `home` (or in
// the temporary directory), known to the interruption handler from the
// moment it exists. "" when none can be made.
std::string make_scratch_directory(const fs::path& home) {
    const InterruptionsHeld held_back;
    std::string pattern = (home / ".nodrix-check-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        pattern = (fs::temp_directory_path() / "nodrix-check-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) return "";
    }
    set_scratch_directory(pattern);
    return pattern;
}

void remove_scratch_directory(const std::string& scratch) {
    const InterruptionsHeld held_back;
    std::error_code ec;
    fs::remove_all(scratch, ec);
    set_scratch_directory("");
}

int verb_check(XuMsg* messages, const std::vector<std::string>& args) {
    Options o;
    std::optional<Link> link;
    if (const auto status = read_link("check",
                                      {{"set", true}, {"window", true}, {"verbose", false}, {"log", true},
                                       {"help", false}},
                                      kCheckHelp, messages, args, o, link))
        return *status;
    // The set-up runs in a scratch directory beside the link's results, so that
    // data files stay within reach; it goes when the check ends, however it
    // ends: an interruption removes it with the run's files.
    catch_interruptions();
    const fs::path home = fs::current_path();
    const std::string scratch = make_scratch_directory(home);
    if (scratch.empty()) {
        release_interruptions();
        opxerr("nodrix check: cannot make a scratch directory");
        return 1;
    }
    fs::current_path(scratch);
    int status = 1;
    LinkSchedule schedule(std::move(*link));
    if (schedule.ok()) {
        set_project(schedule.project());
        set_per_sample_run(true);  // the windows as a simulation sees them
        status = run_driver(1, {}, false);
        set_per_sample_run(false);
    }
    fs::current_path(home);
    remove_scratch_directory(scratch);
    release_interruptions();
    if (status == 0) {
        print_schedule(schedule);
        warn_unobserved(schedule);
    }
    return status;
}

// ---- blocks

void print_kind(const KindSpec& k) {
    std::printf("%s%s%s: %s\n", std::string(k.name).c_str(), k.routine.empty() ? "" : " (routine ",
                k.routine.empty() ? "" : (std::string(k.routine) + ")").c_str(), std::string(k.help).c_str());
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
                                       default_value(p), allowed_values(p)};
        for (std::size_t c = 0; c < 3; ++c) width[c] = std::max(width[c], row[c].size());
        rows.push_back(std::move(row));
    }
    for (std::size_t r = 0; r < rows.size(); ++r)
        std::printf("  %-*s  %-*s  %-*s  %s\n      %s\n", static_cast<int>(width[0]), rows[r][0].c_str(),
                    static_cast<int>(width[1]), rows[r][1].c_str(), static_cast<int>(width[2]), rows[r][2].c_str(),
                    rows[r][3].c_str(), std::string(k.params[r].help).c_str());
}

int verb_blocks(const std::vector<std::string>& args) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-help")) {
        std::fputs(kBlocksHelp, stdout);
        return 0;
    }
    if (args.size() > 1 || (!args.empty() && args[0].rfind('-', 0) == 0)) {
        usage_error("blocks", "give at most one kind");
        return kUsage;
    }
    if (args.empty()) {
        std::printf("Block kinds (nodrix blocks KIND for its parameters):\n");
        for (const KindSpec& k : block_kinds())
            std::printf("  %-22s %-7s %s\n", std::string(k.name).c_str(), std::string(k.routine).c_str(),
                        std::string(k.help).c_str());
        std::printf("The run settings of a link: nodrix blocks link\n");
        return 0;
    }
    if (args[0] == "link") {
        print_kind(link_settings_kind());
        return 0;
    }
    const KindSpec* k = find_kind(args[0]);
    if (k == nullptr) {
        std::vector<std::string_view> names;
        for (const KindSpec& kind : block_kinds()) names.push_back(kind.name);
        const std::string near = closest_word(args[0], names);
        opxerr("nodrix blocks: unknown kind \"" + args[0] + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?"));
        return 1;
    }
    print_kind(*k);
    return 0;
}

}  // namespace

int run_link(Link link, const RunSettings& settings,
             const std::function<void(const LinkSchedule& schedule, int status)>& after) {
    LinkSchedule schedule(std::move(link));
    if (!schedule.ok()) return 1;
    set_project(schedule.project());
    set_per_sample_run(settings.simulate);
    set_progress_line(!settings.quiet);
    // The storage the link needs, counted by the dimensioning pass.
    StorageSizing sizing;
    sizing.autosize = true;
    sizing.maxmem_mib = settings.maxmem_mib;
    set_storage_sizing(sizing);
    // The report on the run is made with the directory's lock still held.
    return run_driver(0, [&](int status) {
        if (after) after(schedule, status);
    });
}

int nodrix_main(int argc, char** argv) {
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
    } else if (verb == "--help" || verb == "-help" || verb == "help") {
        std::fputs(kUsageText, stdout);
        status = 0;
    } else {
        std::fputs(kUsageText, stderr);
        if (!verb.empty()) {
            const std::string near = closest_word(verb, {"run", "check", "blocks", "sweep"});
            opxerr("nodrix: unknown verb \"" + verb + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?"));
        }
    }
    close_messages();
    return status;
}

}  // namespace nodrix

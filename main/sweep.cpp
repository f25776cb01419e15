#include "main/sweep.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "main/cli_options.h"
#include "main/converge.h"
#include "main/stop_signal.h"
#include "main/sweep_point.h"
#include "main/sweep_slurm.h"
#include "main/sweep_values.h"
#include "main/sweep_table.h"
#include "project/link.h"
#include "project/parameter_forms.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "runtime/stop_points.h"

namespace nodrix {

volatile std::sig_atomic_t stop_signal = 0;

namespace {

namespace fs = std::filesystem;
using namespace sweep;

constexpr int kUsage = 2;

const char* const kSweepHelp =
    "Usage: nodrix sweep LINK.toml --vary ID.PARAM=VALUES [--vary ...] [options]\n"
    "       nodrix sweep --collect DIR\n"
    "Runs a link over many values of its parameters, each point sample by sample in its own\n"
    "directory DIR/points/NNNN (its result files, console.txt, the parameters it ran with in\n"
    "point.toml and its record result.toml), and writes the table DIR/sweep.csv and the plot\n"
    "DIR/sweep.png and DIR/sweep.svg of the eye's Q against the first varied parameter.\n"
    "  --vary ID.PARAM=VALUES  a parameter to vary (ID as for -set). VALUES is a list 80,100,120,\n"
    "                        a range START:STOP:STEP (80:120:10) or a logarithmic range\n"
    "                        START:STOP:xFACTOR (0.25:16:x2 is 0.25, 0.5, 1, ... 16).\n"
    "                        Several --vary make the full grid, the last changing fastest.\n"
    "  --zip                 pair the values of the --vary lists instead (equal lengths)\n"
    "  --seeds N             run every combination with N noise seeds (link.seeds; seed 0 is\n"
    "                        the link's own); the table adds their mean and spread\n"
    "  -o DIR                the sweep's directory (default NAME-sweep, NAME the link's name)\n"
    "  -j N                  points run at once on this machine (default: the cores); each\n"
    "                        point runs on one thread\n"
    "  -set ID.PARAM=VALUE   a change of every point, as for nodrix run; -window PS likewise\n"
    "  -quiet                no progress line\n"
    "  --slurm               run the points as a Slurm job array (sbatch --array, one task per\n"
    "                        point) and submit a collect job that depends on it; prints the job ids\n"
    "  --slurm-dry-run       only write the scripts (DIR/slurm/points.sh, collect.sh, submit.sh)\n"
    "  --slurm-args \"ARGS\"   options for sbatch (partition, time, memory), for both jobs\n"
    "  --x COLUMN, --y COLUMN  the plot's axes, columns of sweep.csv (--x meter6_dbm --y\n"
    "                        ch1_ber_optimal; a BER on a logarithmic axis); default: the first\n"
    "                        varied parameter (a power in mW: in dBm), and every channel's eye Q\n"
    "  --collect DIR         build the table and the plot from the points of DIR (--x and --y\n"
    "                        draw it on other axes)\n"
    "  --converge            judge every point's step plan as nodrix converge does: the point\n"
    "                        also runs with steps F times shorter, and the table adds whether\n"
    "                        it is converged and the largest changes of power and eye Q [dB]\n"
    "  --converge-factor F   how much shorter the refined steps are (default 2; with --converge)\n"
    "  --converge-tolerance DB  largest change allowed [dB] (default 0.1; with --converge)\n"
    "Every value is checked as -set checks it before anything runs. Running the same sweep\n"
    "again runs only the points that are not complete (checked against their records).\n"
    "Points take their FFT plans from the wisdom named by BNLIB, or else FFTW's estimate, so\n"
    "that a point gives the same numbers wherever it runs.\n"
    "Exit status: 0 every point done, 1 an error or a point failed or incomplete, 2 a usage error.\n";

struct Options {
    std::string link;
    std::vector<std::pair<std::string, std::string>> varies;  // name, written
    std::vector<std::string> sets;
    std::vector<std::string> sets_written;  // each as the command line gave it (-set ..., -window ...)
    bool zip = false;
    int seeds = 1;
    std::string out_dir;
    int jobs = 0;
    bool quiet = false;
    bool slurm = false;
    bool slurm_dry_run = false;
    std::optional<std::string> slurm_args;
    std::string collect;
    std::string point;
    std::optional<std::string> x_axis, y_axis;
    ConvergeCheck converge;
    std::vector<std::string> converge_options;  // --converge-factor and --converge-tolerance as given
    bool help = false;
};

std::optional<int> whole(const std::string& text, int low, int high) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high) return std::nullopt;
    return static_cast<int>(v);
}

bool parse(const std::vector<std::string>& args, Options& o) {
    const std::vector<OptionSpec> known = {
        {"vary", true},  {"zip", false},   {"seeds", true},           {"o", true},
        {"j", true},     {"set", true},    {"window", true},          {"quiet", false},
        {"slurm", false}, {"slurm-dry-run", false}, {"slurm-args", true}, {"collect", true},
        {"point", true}, {"help", false},         {"x", true},           {"y", true},
        {"converge", false}, {"converge-factor", true}, {"converge-tolerance", true},
    };
    auto word = [&](const std::string& w) {
        if (!o.link.empty()) {
            usage_error("sweep", "one link file only, not \"" + o.link + "\" and \"" + w + "\"");
            return false;
        }
        o.link = w;
        return true;
    };
    auto option = [&](const std::string& name, const std::string& value) {
        if (name == "vary" || name == "set") {
            const auto eq = value.find('=');
            const auto over = parse_override(value);
            if (!over) {
                usage_error("sweep", (name == "vary" ? "--vary " : "-set ") + value + ": write ID.PARAM=" +
                                         (name == "vary" ? "VALUES (3.power_mw=0.5:8:x2, 6.length_km=40,80,120)"
                                                         : "VALUE (73.length_km=80, link.end_time_ps=5e4)"));
                return false;
            }
            if (name == "set") {
                o.sets.push_back(value);
                o.sets_written.push_back("-set " + value);
            } else {
                o.varies.emplace_back(value.substr(0, eq), value.substr(eq + 1));
            }
        } else if (name == "window") {
            o.sets.push_back("link.emission_window_ps=" + value);
            o.sets_written.push_back("-window " + value);
        } else if (name == "seeds" || name == "j") {
            const auto n = whole(value, 1, name == "seeds" ? 1000 : 1024);
            if (!n) {
                usage_error("sweep", (name == "seeds" ? "--seeds " : "-j ") + value + ": give a whole number from 1 to " +
                                         (name == "seeds" ? "1000" : "1024"));
                return false;
            }
            (name == "seeds" ? o.seeds : o.jobs) = *n;
        } else if (name == "zip") {
            o.zip = true;
        } else if (name == "o") {
            o.out_dir = value;
        } else if (name == "quiet") {
            o.quiet = true;
        } else if (name == "slurm") {
            o.slurm = true;
        } else if (name == "slurm-dry-run") {
            o.slurm_dry_run = true;
        } else if (name == "slurm-args") {
            o.slurm_args = value;
        } else if (name == "collect") {
            o.collect = value;
        } else if (name == "point") {
            o.point = value;
        } else if (name == "x" || name == "y") {
            (name == "x" ? o.x_axis : o.y_axis) = value;
        } else if (name == "help") {
            o.help = true;
        } else if (name == "converge") {
            o.converge.on = true;
        } else if (name == "converge-factor" || name == "converge-tolerance") {
            const std::string fault = name == "converge-factor" ? factor_fault(value, o.converge.factor)
                                                                : tolerance_fault(value, o.converge.tolerance_db);
            if (!fault.empty()) usage_error("sweep", "--" + name + " " + value + ": " + fault);
            o.converge_options.push_back("--" + name);
            return fault.empty();
        }
        return true;
    };
    return parse_options("sweep", known, args, option, word);
}

// Checks what was asked before anything is made; the usage errors.
bool check_usage(Options& o, std::vector<Vary>& varies) {
    auto fail = [](const std::string& what) {
        usage_error("sweep", what);
        return false;
    };
    const bool collecting = !o.collect.empty();
    const bool pointing = !o.point.empty();
    if (collecting && pointing) return fail("--collect and --point exclude each other");
    if (collecting || pointing) {
        if (!o.link.empty() || !o.varies.empty() || !o.sets.empty() || o.zip || o.seeds != 1 || !o.out_dir.empty() ||
            o.jobs != 0 || o.slurm || o.slurm_dry_run || o.slurm_args || (pointing && (o.x_axis || o.y_axis)) ||
            o.converge.on || !o.converge_options.empty())
            return fail(collecting ? "--collect DIR takes no other option nor a link but --x and --y"
                                   : "--point DIR takes no other option nor a link");
        return true;
    }
    for (const auto& [flag, axis] : {std::pair{"--x", o.x_axis}, std::pair{"--y", o.y_axis}})
        if (axis && axis->empty()) return fail(std::string(flag) + " needs a column of sweep.csv");
    if (o.link.empty()) return fail("no link file given");
    if (!o.converge.on && !o.converge_options.empty()) return fail(o.converge_options[0] + " needs --converge");
    if (o.varies.empty() && o.seeds < 2) return fail("nothing to vary: give --vary ID.PARAM=VALUES or --seeds N");
    if (o.slurm && o.slurm_dry_run) return fail("--slurm and --slurm-dry-run exclude each other");
    if (o.slurm_args && !o.slurm && !o.slurm_dry_run) return fail("--slurm-args needs --slurm or --slurm-dry-run");
    if (o.jobs != 0 && (o.slurm || o.slurm_dry_run)) return fail("-j sets the points run at once here, not on Slurm");
    if (o.slurm_args && !split_words(*o.slurm_args)) return fail("--slurm-args: a quote is not closed");
    std::set<std::string> names;
    for (const auto& [name, written] : o.varies) {
        std::string error;
        Vary v{name, written, "", parse_values(written, error)};
        if (!error.empty()) return fail(vary_echo(name, written) + ": " + error);
        if (!names.insert(name).second) return fail("--vary " + name + " is given twice");
        for (std::size_t k = 0; k < o.sets.size(); ++k)
            if (o.sets[k].substr(0, o.sets[k].find('=')) == name)
                return fail(name + " is both varied and set (" + o.sets_written[k] + ")");
        if (name == "link.seeds" && o.seeds > 1) return fail("--vary link.seeds and --seeds exclude each other");
        varies.push_back(std::move(v));
    }
    if (o.zip) {
        for (const Vary& v : varies)
            if (v.values.size() != varies[0].values.size())
                return fail("--zip pairs the values: " + varies[0].name + " has " +
                            std::to_string(varies[0].values.size()) + " and " + v.name + " " +
                            std::to_string(v.values.size()));
    }
    double count = o.seeds;
    if (o.zip)
        count *= varies.empty() ? 1.0 : static_cast<double>(varies[0].values.size());
    else
        for (const Vary& v : varies) count *= static_cast<double>(v.values.size());
    if (count > static_cast<double>(kMaxPoints))
        return fail("the sweep has " + std::to_string(static_cast<long long>(count)) + " points, more than " +
                    std::to_string(kMaxPoints));
    return true;
}

std::vector<LinkOverride> overrides_of(const std::vector<std::string>& sets, const std::string& origin = "") {
    std::vector<LinkOverride> out;
    for (const std::string& s : sets)
        if (auto o = parse_override(s)) {
            if (!origin.empty()) o->origin = origin;
            out.push_back(*o);
        }
    return out;
}

// The kind whose parameter a varied name (ID.PARAM) changes: the link's
// settings, the kind of block ID, or the kind named; null when there is none.
const KindSpec* kind_of(const Link& link, const std::string& target) {
    if (target == "link") return &link_settings_kind();
    if (target.find_first_not_of("0123456789") == std::string::npos) {
        const LinkBlock* b = target.size() < 10 ? link.find(static_cast<std::int32_t>(std::stol(target))) : nullptr;
        return b != nullptr ? b->kind : nullptr;
    }
    return find_kind(target);
}

// The parameters a name ID.PARAM reaches in the link: (block, PARAM) for
// every block it names, block 0 standing for the link's settings.
std::set<std::pair<std::int32_t, std::string>> reached(const Link& link, const std::string& name) {
    std::set<std::pair<std::int32_t, std::string>> out;
    const auto target = parse_override(name + "=");
    if (!target) return out;
    if (target->target == "link") {
        out.emplace(0, target->key);
        return out;
    }
    const bool number = target->target.find_first_not_of("0123456789") == std::string::npos;
    for (const LinkBlock& b : link.blocks)
        if (number ? std::to_string(b.id) == target->target : b.kind == find_kind(target->target)) {
            // A parameter given in another form (power_dbm) is the parameter it sets.
            const ParameterForm* form = find_form(*b.kind, target->key);
            out.emplace(b.id, form != nullptr && !form->stands_for.empty() ? std::string(form->stands_for) : target->key);
        }
    return out;
}

// One parameter varied under two names, or varied and set under another, is
// a usage error naming both: the points would not run the values the table
// lists. False after it.
bool one_name_per_parameter(const Link& link, const Options& o) {
    std::vector<std::pair<std::string, std::string>> names;  // ID.PARAM, as written
    for (const auto& [name, written] : o.varies) names.emplace_back(name, "--vary " + name + "=" + written);
    const std::size_t varied = names.size();
    for (std::size_t k = 0; k < o.sets.size(); ++k)
        names.emplace_back(o.sets[k].substr(0, o.sets[k].find('=')), o.sets_written[k]);
    for (std::size_t a = 0; a < varied; ++a)
        for (std::size_t b = a + 1; b < names.size(); ++b)
            for (const auto& [block, key] : reached(link, names[a].first))
                if (reached(link, names[b].first).count({block, key}) != 0) {
                    const LinkBlock* changed = block != 0 ? link.find(block) : nullptr;
                    usage_error("sweep", names[a].second + " and " + names[b].second + " both change " +
                                             (changed != nullptr ? key + " of block " + std::to_string(block) + " (" +
                                                                       std::string(changed->kind->name) + ")"
                                                                 : "the link's " + key) +
                                             "; give it under one name");
                    return false;
                }
    return true;
}

// Axes that can be no column of the sweep's table are a usage error.
bool axes_usable(const Definition& d) {
    const std::string why = axes_fault(d);
    if (why.empty()) return true;
    usage_error("sweep", why);
    return false;
}

// Checks every value as -set would, then every point's combination of them;
// fills the definition. Returns 0, or the exit status after errors
// (reported), nothing made.
int define(const Options& o, std::vector<Vary> varies, Definition& d) {
    std::error_code ec;
    d.link = fs::absolute(o.link, ec).lexically_normal().string();
    d.directory = fs::current_path(ec).string();
    d.sets = o.sets;
    d.zip = o.zip;
    d.seeds = o.seeds;
    d.converge = o.converge;
    d.x_axis = o.x_axis.value_or("");
    d.y_axis = o.y_axis.value_or("");
    const std::optional<Link> base = load_link_file(o.link, overrides_of(o.sets));
    if (!base) return 1;
    if (!one_name_per_parameter(*base, o)) return kUsage;
    if (d.converge.on) {
        // A refined plan the link refuses would fail every point.
        std::vector<LinkOverride> finer = overrides_of(o.sets);
        finer.push_back(refined_plan(*base, d.converge.factor, "--converge-factor"));
        if (!load_link_file(o.link, finer)) return 1;
    }
    d.name = base->name();
    const auto seeds = base->settings.integers("seeds");
    d.link_seeds.assign(seeds.begin(), seeds.end());
    int errors = 0;
    for (Vary& v : varies) {
        const auto target = parse_override(v.name + "=");
        const KindSpec* kind = kind_of(*base, target->target);
        const ParamSpec* param = kind != nullptr ? kind->find_param(target->key) : nullptr;
        // A parameter in another form (power_dbm) is varied in that form's unit.
        if (const ParameterForm* form = kind != nullptr && param == nullptr ? find_form(*kind, target->key) : nullptr)
            param = &form->entry;
        v.unit = param != nullptr ? std::string(param->unit) : std::string();
        // A name that is no parameter is reported once, with the first value.
        const bool known = param != nullptr || (kind != nullptr && target->target != "link" &&
                                                kind->find_port(target->key) != nullptr);
        for (const std::string& value : v.values) {
            std::vector<LinkOverride> over = overrides_of(o.sets);
            const auto mine = overrides_of({v.name + "=" + value}, vary_echo(v.name, v.written) + " (value " + value + ")");
            over.insert(over.end(), mine.begin(), mine.end());
            if (!load_link_file(o.link, over)) {
                ++errors;
                if (!known) break;
            }
        }
    }
    if (errors > 0) return 1;
    d.varies = std::move(varies);
    if (!axes_usable(d)) return kUsage;
    // Combinations of values that are each fine alone may still clash.
    if (d.varies.size() > 1) {
        std::set<std::vector<std::string>> seen;
        for (const Point& p : points(d)) {
            if (!seen.insert(p.values).second) continue;
            std::string which;
            for (std::size_t k = 0; k < p.values.size(); ++k)
                which += (k > 0 ? ", " : "") + d.varies[k].name + "=" + p.values[k];
            if (!load_link_file(o.link, overrides_of(p.sets))) {
                opxerr("nodrix sweep: point " + point_name(p.number) + " (" + which + ") cannot run; nothing was made");
                return 1;
            }
        }
    }
    const auto hash = hash_file(d.link);
    if (!hash) {
        opxerr("Cannot read the link file " + o.link);
        return 1;
    }
    d.link_hash = *hash;
    return 0;
}

std::string read_whole(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const char* const kSweepLock = "sweep.lck";

bool holds_more_than_the_lock(const fs::path& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        if (e.path().filename() != kSweepLock) return true;
    return false;
}

// Takes the lock of the sweep's directory (made when absent): one sweep at a
// time works in it. False after the error naming the sweep that holds it.
bool lock_sweep_directory(const fs::path& dir, FileLock& lock) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    const fs::path name = dir / kSweepLock;
    const FileLock::Outcome taken = ec ? FileLock::Outcome::failed : lock.take(name.string());
    if (taken == FileLock::Outcome::held_by_another) {
        opxerr("nodrix sweep: another sweep" +
               (lock.holder() > 0 ? " (process " + std::to_string(lock.holder()) + ")" : std::string()) +
               " is working in " + dir.string() + " (lock file " + name.string() +
               "); wait for it to end, or give another -o DIR");
        return false;
    }
    if (taken == FileLock::Outcome::failed) {
        opxerr("nodrix sweep: cannot take the lock " + name.string() + ": " +
               (ec ? ec.message() : std::string(std::strerror(lock.error() != 0 ? lock.error() : EAGAIN))));
        return false;
    }
    return true;
}

// Makes the sweep's directory, or finds the same sweep in it: its definition
// and every point's parameters. False after an error (reported).
bool prepare(const fs::path& dir, const Definition& d, const std::vector<Point>& pts) {
    std::error_code ec;
    const std::string text = definition_text(d);
    const fs::path def = dir / "sweep.toml";
    if (fs::exists(def, ec)) {
        std::string error;
        const auto old = read_whole(def) != text ? read_definition(def, error) : std::optional<Definition>(d);
        if (!old || !old->same_runs(d)) {
            std::string why = "other values, changes or seeds";
            if (old && old->link != d.link) why = "another link file (" + old->link + ")";
            else if (old && old->link_hash != d.link_hash) why = "the link file as it was before it changed";
            opxerr("nodrix sweep: " + dir.string() + " holds another sweep (of " + why +
                   "); give another -o DIR, or remove it to start afresh");
            return false;
        }
    } else if (holds_more_than_the_lock(dir)) {
        opxerr("nodrix sweep: " + dir.string() + " is not empty and holds no sweep; give another -o DIR");
        return false;
    }
    fs::create_directories(dir / "points", ec);
    if (ec || !write_text_file(def, text)) {
        opxerr("nodrix sweep: cannot write into " + dir.string() + (ec ? ": " + ec.message() : ""));
        return false;
    }
    for (const Point& p : pts) {
        const fs::path pd = dir / "points" / point_name(p.number);
        const std::string pt = point_text(d, p);
        fs::create_directories(pd, ec);
        if (fs::exists(pd / "point.toml") && read_whole(pd / "point.toml") == pt) continue;
        if (ec || !write_text_file(pd / "point.toml", pt)) {
            opxerr("nodrix sweep: cannot write " + (pd / "point.toml").string());
            return false;
        }
    }
    return true;
}

std::vector<PointStatus> check_all(const fs::path& dir, const std::vector<Point>& pts) {
    std::vector<PointStatus> s;
    for (const Point& p : pts) s.push_back(check_point(dir / "points" / point_name(p.number)));
    return s;
}

std::string values_text(const Definition& d, const Point& p) {
    std::string s;
    for (std::size_t k = 0; k < p.values.size(); ++k) s += (k > 0 ? ", " : "") + d.varies[k].name + "=" + p.values[k];
    if (d.seeds > 1) s += std::string(s.empty() ? "" : ", ") + "seed " + std::to_string(p.seed);
    return s;
}

// The table and plots, and what became of the points. Returns the exit status.
int finish(const fs::path& dir, const Definition& d, const std::vector<Point>& pts, int skipped) {
    const std::vector<PointStatus> status = check_all(dir, pts);
    const bool written = write_results(dir, d, pts, status);
    int done = 0;
    int failed = 0;
    int incomplete = 0;
    for (const PointStatus& s : status)
        (s.state == PointState::complete ? done : s.state == PointState::failed ? failed : incomplete)++;
    std::printf("Sweep of %s: %zu points, %d done%s, %d failed, %d incomplete\n", d.name.c_str(), pts.size(), done,
                skipped > 0 ? (" (" + std::to_string(skipped) + " complete before, not run again)").c_str() : "",
                failed, incomplete);
    std::printf("  table %s\n", (dir / "sweep.csv").c_str());
    if (fs::exists(dir / "sweep.png")) std::printf("  plot  %s, %s\n", (dir / "sweep.png").c_str(), (dir / "sweep.svg").c_str());
    if (failed + incomplete > 0) {
        std::printf("Points not done:\n");
        for (std::size_t k = 0; k < pts.size(); ++k)
            if (status[k].state != PointState::complete)
                std::printf("  %s (%s): %s: %s\n", point_name(pts[k].number).c_str(), values_text(d, pts[k]).c_str(),
                            status[k].state == PointState::failed ? "failed" : "incomplete", status[k].message.c_str());
    }
    return written && failed + incomplete == 0 ? 0 : 1;
}

// ---- running points here

extern "C" void on_stop(int sig) { stop_signal = sig; }

int cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(CPU_COUNT(&set), 1);
    return 1;
}

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

// Starts `nodrix sweep --point DIR` with its standard input from /dev/null.
// The point ends with its sweep however the sweep ends (SIGKILL included):
// the kernel sends it SIGTERM when the sweep is gone, and a point whose sweep
// went before it could ask for that does not start. -1 with errno set when
// the program cannot be started.
pid_t start_point(const std::string& program, const fs::path& dir) {
    std::vector<std::string> words{program, "sweep", "--point", dir.string()};
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    int report[2];  // the child's reason when it cannot start the program
    if (::pipe2(report, O_CLOEXEC) != 0) return -1;
    const pid_t sweep = ::getpid();
    const pid_t pid = ::fork();
    const int fork_error = errno;
    if (pid == 0) {
        // The sweep's handlers are not the point's: SIGTERM ends it from here on.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != sweep) ::_exit(128 + SIGTERM);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0 && null != 0) ::dup2(null, 0);
        ::execv(program.c_str(), argv.data());
        const int e = errno;
        (void)!::write(report[1], &e, sizeof e);
        ::_exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t got = 0;
    while ((got = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (pid < 0) {
        errno = fork_error;
        return -1;
    }
    if (got == static_cast<ssize_t>(sizeof error)) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        errno = error;
        return -1;
    }
    return pid;
}

using Clock = std::chrono::steady_clock;
// The points running here by process: the point's index and when it started.
using RunningPoints = std::map<pid_t, std::pair<std::size_t, Clock::time_point>>;

// The counts of the points run here and their progress line, drawn on a
// terminal only.
struct HereProgress {
    std::size_t total = 0;
    bool shown = false;
    int finished = 0;
    int failed = 0;
    Clock::time_point start;
    Clock::time_point last_drawn;
    bool drawn = false;
};

// Ends the points still running after a stop. A point cut short leaves no
// record: it is incomplete and runs again next time.
void end_running_points(RunningPoints& running) {
    for (const auto& [pid, what] : running) ::kill(pid, SIGTERM);
    for (const auto& [pid, what] : running) {
        int st = 0;
        while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
    }
    running.clear();
}

// Counts a point whose process ended with status `st`; a point ended by a
// signal the sweep did not pass on gets a record of its failure.
void point_ended(const fs::path& dir, const std::vector<Point>& pts, RunningPoints& running, pid_t pid, int st,
                 HereProgress& progress) {
    const auto [k, began] = running[pid];
    running.erase(pid);
    ++progress.finished;
    if (!(WIFEXITED(st) && WEXITSTATUS(st) == 0)) ++progress.failed;
    if (WIFSIGNALED(st) && stop_signal == 0) {
        const double wall = std::chrono::duration<double>(Clock::now() - began).count();
        record_failure(dir / "points" / point_name(pts[k].number), 128 + WTERMSIG(st),
                       "the run was ended by signal " + std::to_string(WTERMSIG(st)) + " (" +
                           strsignal(WTERMSIG(st)) + ")",
                       wall);
    }
    stop_point("point-ended");
}

// Draws the progress line at most twice a second.
void draw_progress(HereProgress& p, std::size_t running) {
    const auto now = Clock::now();
    if (!p.shown || now - p.last_drawn < std::chrono::milliseconds(500)) return;
    p.last_drawn = now;
    const double elapsed = std::chrono::duration<double>(now - p.start).count();
    const std::string remaining =
        p.finished > 0 ? clock_text(elapsed * static_cast<double>(p.total - p.finished) / p.finished) : "-:--";
    std::fprintf(stderr, "\rSweep: %d of %zu points done, %d failed, %zu running  elapsed %s  remaining %s ",
                 p.finished - p.failed, p.total, p.failed, running, clock_text(elapsed).c_str(), remaining.c_str());
    p.drawn = true;
}

// Runs the points not complete, `jobs` at a time, with a progress line.
// Returns the signal that interrupted it, or 0.
int run_here(const fs::path& dir, const std::vector<Point>& pts, const std::vector<std::size_t>& todo, int jobs,
             bool quiet) {
    const std::string program = self_program();
    struct sigaction act {};
    act.sa_handler = on_stop;
    sigemptyset(&act.sa_mask);
    struct sigaction old_int {}, old_term {};
    stop_signal = 0;
    sigaction(SIGINT, &act, &old_int);
    sigaction(SIGTERM, &act, &old_term);
    HereProgress progress;
    progress.total = todo.size();
    progress.start = Clock::now();
    progress.shown = !quiet && ::isatty(STDERR_FILENO) == 1;
    progress.last_drawn = Clock::now() - std::chrono::seconds(1);
    RunningPoints running;
    std::size_t next = 0;
    while ((next < todo.size() && stop_signal == 0) || !running.empty()) {
        while (stop_signal == 0 && next < todo.size() && static_cast<int>(running.size()) < jobs) {
            const fs::path pd = dir / "points" / point_name(pts[todo[next]].number);
            const pid_t pid = start_point(program, pd);
            if (pid < 0) {
                record_failure(pd, 1, "cannot start " + program + ": " + std::strerror(errno), 0.0);
                ++progress.finished;
                ++progress.failed;
            } else {
                running[pid] = {todo[next], Clock::now()};
                stop_point("points-started");
            }
            ++next;
        }
        if (stop_signal != 0) {
            end_running_points(running);
            break;
        }
        int st = 0;
        const pid_t pid = ::waitpid(-1, &st, WNOHANG);
        if (pid > 0 && running.count(pid) > 0) {
            point_ended(dir, pts, running, pid, st, progress);
            continue;
        }
        if (pid <= 0) {
            const timespec pause{0, 100 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
        draw_progress(progress, running.size());
    }
    if (progress.drawn) std::fprintf(stderr, "\r%90s\r", "");
    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    return stop_signal;
}

// The points of the sweep in `dir` (locked) that are not complete, run here
// or submitted to Slurm, and its table. Returns the exit status.
int run_sweep(const Options& o, const Definition& d, const fs::path& dir) {
    const std::vector<Point> pts = points(d);
    if (!prepare(dir, d, pts)) return 1;
    std::vector<std::size_t> todo;
    const std::vector<PointStatus> before = check_all(dir, pts);
    for (std::size_t k = 0; k < pts.size(); ++k)
        if (before[k].state != PointState::complete) todo.push_back(k);
    const int skipped = static_cast<int>(pts.size() - todo.size());
    // The results are made again at the end: none stays meanwhile that the
    // points might no longer bear out.
    std::error_code ec;
    for (const char* f : {"sweep.csv", "sweep.png", "sweep.svg"}) fs::remove(dir / f, ec);

    if (o.slurm || o.slurm_dry_run) {
        if (todo.empty()) {
            std::printf("Every point of %s is complete; nothing to submit.\n", dir.c_str());
            return finish(dir, d, pts, skipped);
        }
        return submit_to_slurm(dir, pts, todo, *split_words(o.slurm_args.value_or("")), o.slurm_dry_run);
    }

    if (skipped > 0 && !todo.empty())
        std::printf("%d of %zu points are complete; running the other %zu\n", skipped, pts.size(), todo.size());
    std::fflush(stdout);
    const int interrupted = run_here(dir, pts, todo, o.jobs > 0 ? o.jobs : cores(), o.quiet);
    if (interrupted != 0) {
        const std::vector<PointStatus> now = check_all(dir, pts);
        const auto complete = std::count_if(now.begin(), now.end(), [](const PointStatus& s) {
            return s.state == PointState::complete;
        });
        opxerr("nodrix sweep: interrupted with " + std::to_string(complete) + " of " + std::to_string(pts.size()) +
               " points complete; the same command runs the others");
        return 128 + interrupted;
    }
    return finish(dir, d, pts, skipped);
}

}  // namespace

int verb_sweep(const std::vector<std::string>& args) {
    Options o;
    if (!parse(args, o)) return kUsage;
    if (o.help) {
        std::fputs(kSweepHelp, stdout);
        return 0;
    }
    std::vector<Vary> varies;
    if (!check_usage(o, varies)) return kUsage;
    if (!o.point.empty()) return run_point(o.point);
    if (!o.collect.empty()) {
        fs::path dir = fs::absolute(o.collect).lexically_normal();
        if (dir.filename().empty()) dir = dir.parent_path();
        std::string error;
        const auto d = read_definition(dir / "sweep.toml", error);
        if (!d) {
            opxerr("nodrix sweep --collect: cannot read " + (dir / "sweep.toml").string() + ": " + error);
            return 1;
        }
        // Other axes draw the same points again; the sweep keeps its own.
        Definition drawn = *d;
        if (o.x_axis) drawn.x_axis = *o.x_axis;
        if (o.y_axis) drawn.y_axis = *o.y_axis;
        if (!axes_usable(drawn)) return kUsage;
        return finish(dir, drawn, points(drawn), 0);
    }

    Definition d;
    if (const int status = define(o, varies, d); status != 0) return status;
    fs::path dir = fs::absolute(o.out_dir.empty() ? d.name + "-sweep" : o.out_dir).lexically_normal();
    if (dir.filename().empty()) dir = dir.parent_path();  // "out/" and "." name the directory itself
    FileLock lock;
    if (!lock_sweep_directory(dir, lock)) return 1;
    stop_point("sweep-locked");
    // Points Slurm still holds are not run nor submitted a second time.
    if (!no_submitted_jobs_left(dir)) return 1;
    return run_sweep(o, d, dir);
}

}  // namespace nodrix

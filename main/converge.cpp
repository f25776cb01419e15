#include "main/converge.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "main/cli_options.h"
#include "main/stop_signal.h"
#include "main/nodrix_cli.h"
#include "models/fibre/graded_steps.h"
#include "project/link.h"
#include "project/summary.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "runtime/stop_points.h"

namespace nodrix {

namespace fs = std::filesystem;

namespace {

const char* const kConvergeHelp =
    "Usage: nodrix converge LINK.toml [-set ID.PARAM=VALUE ...] [--factor F] [--tolerance DB] [-o DIR]\n"
    "Simulates the link twice: with its step plan, and with every fibre step F times shorter\n"
    "and the step filters finer (link.step_refinement times F). Per measured channel it shows\n"
    "the received power and the eye's Q [dB] of both runs and their changes, and a verdict:\n"
    "\"converged\" when every change is within the tolerance, else \"not converged\".\n"
    "Both runs observe the same bits with the same noise: a set-up of each plan first measures\n"
    "every fibre's latency, and the fibre of the shorter one is delayed to the longer\n"
    "(its extra_delay_samples).\n"
    "  -set ID.PARAM=VALUE as for nodrix run\n"
    "  --factor F          how much shorter the refined steps are (default 2)\n"
    "  --tolerance DB      largest change of power and eye Q allowed [dB] (default 0.1)\n"
    "  -o DIR              keep both runs' files in DIR/plan and DIR/refined (default: none kept)\n"
    "Exit status: 0 converged, 1 not converged or a run failed, 2 a usage error, 130 or 143\n"
    "interrupted by SIGINT or SIGTERM (passed on to the run under way, which removes its files).\n";

struct ConvergeOptions {
    std::string link, out_dir;
    std::vector<LinkOverride> overrides;
    double factor = 2.0, tolerance_db = 0.1;
    bool help = false;
};

bool number_at_least(const std::string& text, double low, double& value) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(v >= low) || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool parse_converge(const std::vector<std::string>& args, ConvergeOptions& o) {
    const std::string verb = "converge";
    auto option = [&](const std::string& name, const std::string& value) {
        if (name == "help") {
            o.help = true;
        } else if (name == "o") {
            o.out_dir = value;
        } else if (name == "set") {
            const auto over = parse_override(value);
            if (!over) usage_error(verb, "-set " + value + ": write ID.PARAM=VALUE (73.length_km=80)");
            if (!over) return false;
            o.overrides.push_back(*over);
        } else if (name == "factor" || name == "tolerance") {
            const std::string fault =
                name == "factor" ? factor_fault(value, o.factor) : tolerance_fault(value, o.tolerance_db);
            if (!fault.empty()) usage_error(verb, "--" + name + " " + value + ": " + fault);
            return fault.empty();
        }
        return true;
    };
    auto word = [&](const std::string& w) {
        if (!o.link.empty()) usage_error(verb, "one link file only, not \"" + o.link + "\" and \"" + w + "\"");
        o.link = w;
        return true;
    };
    const std::vector<OptionSpec> known = {{"set", true}, {"factor", true}, {"tolerance", true}, {"o", true},
                                           {"help", false}};
    if (!parse_options(verb, known, args, option, word)) return false;
    if (!o.help && o.link.empty()) usage_error(verb, "no link file given");
    return o.help || !o.link.empty();
}

// ---- Interruption: SIGINT and SIGTERM are passed on to the run under way,
// which removes its files and ends; the verb then ends with 128 + the signal.

extern "C" void on_converge_stop(int sig) { stop_signal = sig; }
extern "C" void on_converge_child(int) {}

// While it lives, SIGINT and SIGTERM are noted (not acted on) and, like the
// end of a child, held back except while the verb waits for its run.
class StopsNoted {
public:
    StopsNoted() {
        struct sigaction act{};
        act.sa_handler = on_converge_stop;
        sigemptyset(&act.sa_mask);
        ::sigaction(SIGINT, &act, &old_int_);
        ::sigaction(SIGTERM, &act, &old_term_);
        act.sa_handler = on_converge_child;
        ::sigaction(SIGCHLD, &act, &old_child_);
        sigset_t held;
        sigemptyset(&held);
        for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigaddset(&held, sig);
        ::sigprocmask(SIG_BLOCK, &held, &waiting_);
        for (int sig : {SIGINT, SIGTERM, SIGCHLD}) sigdelset(&waiting_, sig);
    }
    ~StopsNoted() {
        ::sigprocmask(SIG_SETMASK, &waiting_, nullptr);
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGTERM, &old_term_, nullptr);
        ::sigaction(SIGCHLD, &old_child_, nullptr);
    }
    StopsNoted(const StopsNoted&) = delete;
    StopsNoted& operator=(const StopsNoted&) = delete;
    // The mask with every signal let through: to wait in.
    const sigset_t& waiting() const { return waiting_; }

private:
    struct sigaction old_int_{}, old_term_{}, old_child_{};
    sigset_t waiting_{};
};

// Waits for the run `pid`, passing a stop on to it (and letting it go on,
// should it be held at a moment of its run); its wait status.
int wait_for_run(pid_t pid, const StopsNoted& noted) {
    bool passed_on = false;
    int status = 0;
    for (;;) {
        if (stop_signal != 0 && !passed_on) {
            ::kill(pid, stop_signal);
            ::kill(pid, SIGCONT);
            passed_on = true;
        }
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return r == pid ? status : -1;
        if (r == 0) ::sigsuspend(&noted.waiting());
    }
}

// What a run of the link hands back: its channels' figures (a simulation)
// or its fibres' latencies (a set-up), by instance.
struct RunOutcome {
    std::vector<ConvergenceFigures> channels;
    std::map<std::int32_t, std::int64_t> latencies;
};

// The child's part of run_in: the run in `dir`, its outcome written into
// `file`, one channel or one fibre a line; never returns.
[[noreturn]] void run_child(const ConvergenceRuns& o, const std::vector<LinkOverride>& sets, const fs::path& dir,
                            const fs::path& file, bool simulate) {
    std::error_code ec;
    if (!o.console.empty()) {
        const int console = ::open(o.console.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (console < 0) std::_Exit(1);
        ::dup2(console, 1);
        ::dup2(console, 2);
    }
    if (!o.origin.empty() && (fs::current_path(o.origin, ec), ec)) std::_Exit(1);
    std::optional<Link> link = load_link_file(o.link, sets);
    if (!link || (fs::current_path(dir, ec), ec)) std::_Exit(1);
    const StepPlanLog plans;
    const int status = run_link(std::move(*link), RunSettings{simulate, true, 0}, [&](const LinkSchedule& s, int st) {
        if (st != 0) return;
        std::ofstream out(file);
        out.precision(17);  // the figures as the run has them
        if (!simulate) {
            for (const StepPlanNote& n : plans.notes())
                if (n.latency >= 0) out << n.instance << ' ' << n.latency << '\n';
            return;
        }
        for (const ChannelResult& c : run_results(s).channels) {
            const ConvergenceFigures f = figures_of(c);
            out << f.channel << ' ' << f.frequency_thz << ' ' << (f.power_dbm ? *f.power_dbm : NAN) << ' '
                << (f.q_db ? *f.q_db : NAN) << '\n';
        }
    });
    std::fflush(stdout);
    std::_Exit(status == 0 ? 0 : 1);
}

RunOutcome read_outcome(const fs::path& file, bool simulate) {
    RunOutcome found;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        if (!simulate) {
            std::int32_t instance = 0;
            std::int64_t latency = 0;
            if (words >> instance >> latency) found.latencies[instance] = latency;
            continue;
        }
        std::string p, q;
        ConvergenceFigures f;
        words >> f.channel >> f.frequency_thz >> p >> q;
        if (p != "nan") f.power_dbm = std::strtod(p.c_str(), nullptr);
        if (q != "nan") f.q_db = std::strtod(q.c_str(), nullptr);
        found.channels.push_back(f);
    }
    return found;
}

// One run in `dir` with the given overrides, a simulation or a set-up, in a
// child process (a run of its own, whatever the other left behind).
std::optional<RunOutcome> run_in(const ConvergenceRuns& o, const std::vector<LinkOverride>& sets,
                                 const fs::path& dir, const StopsNoted& noted, bool simulate) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        opxerr("nodrix converge: cannot make " + dir.string() + ": " + ec.message());
        return std::nullopt;
    }
    const fs::path file = dir / (simulate ? "converge_figures.txt" : "converge_latencies.txt");
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A run of its own: an interruption removes its files and ends it.
        catch_interruptions();
        ::sigprocmask(SIG_SETMASK, &noted.waiting(), nullptr);
        run_child(o, sets, dir, file, simulate);
    }
    if (pid < 0) return std::nullopt;
    stop_point("converge-run-started");
    const int status = wait_for_run(pid, noted);
    if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
    RunOutcome found = read_outcome(file, simulate);
    fs::remove(file, ec);
    return found;
}

// The same observation for both plans: every fibre of the link leaves both
// runs with the larger of its two latencies (buffer and step filters), the
// other plan's fibre delayed by the difference, so that both runs' receivers
// observe the same bits with the same noise.
void align_latencies(const Link& link, const RunOutcome& a, const RunOutcome& b, std::vector<LinkOverride>& sets_a,
                     std::vector<LinkOverride>& sets_b) {
    for (const LinkBlock& block : link.blocks) {
        const auto la = a.latencies.find(block.id);
        const auto lb = b.latencies.find(block.id);
        if (la == a.latencies.end() || lb == b.latencies.end() || la->second == lb->second) continue;
        const std::int64_t extra = std::llabs(la->second - lb->second);
        std::vector<LinkOverride>& sets = la->second < lb->second ? sets_a : sets_b;
        sets.push_back(LinkOverride{std::to_string(block.id), "extra_delay_samples", std::to_string(extra),
                                    "the same observation"});
    }
}

std::string cell(const std::optional<double>& v, const char* format) {
    if (!v) return "-";
    char buf[32];
    std::snprintf(buf, sizeof buf, format, *v);
    return buf;
}

bool report(const ConvergeOptions& o, const std::vector<ConvergenceRow>& rows) {
    std::printf("Convergence of %s: its step plan against steps %g times shorter, tolerance %g dB\n", o.link.c_str(),
                o.factor, o.tolerance_db);
    std::printf("  %7s %10s %10s %10s %8s %9s %9s %8s  %s\n", "channel", "f [THz]", "P [dBm]", "refined", "change",
                "Q [dB]", "refined", "change", "verdict");
    for (const ConvergenceRow& r : rows) {
        std::printf("  %7d %10.4f %10s %10s %8s %9s %9s %8s  %s\n", r.plan.channel, r.plan.frequency_thz,
                    cell(r.plan.power_dbm, "%.3f").c_str(), cell(r.refined.power_dbm, "%.3f").c_str(),
                    cell(r.power_change_db, "%+.3f").c_str(), cell(r.plan.q_db, "%.3f").c_str(),
                    cell(r.refined.q_db, "%.3f").c_str(), cell(r.q_change_db, "%+.3f").c_str(),
                    r.within ? "converged" : "not converged");
    }
    if (rows.empty()) std::printf("  no channel measured\n");
    const bool all = judge(rows).converged;
    std::printf("%s\n", all ? "converged" : "not converged");
    return all;
}

}  // namespace

std::vector<ConvergenceRow> compare_runs(const std::vector<ConvergenceFigures>& plan,
                                         const std::vector<ConvergenceFigures>& refined, double tolerance_db) {
    std::vector<ConvergenceRow> rows;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        ConvergenceRow r;
        r.plan = plan[i];
        if (i < refined.size()) r.refined = refined[i];
        auto change = [](const std::optional<double>& a, const std::optional<double>& b) -> std::optional<double> {
            if (!a || !b) return std::nullopt;
            if (std::isinf(*a) && *a == *b) return 0.0;
            return *b - *a;
        };
        r.power_change_db = change(r.plan.power_dbm, r.refined.power_dbm);
        r.q_change_db = change(r.plan.q_db, r.refined.q_db);
        r.within = r.power_change_db && r.q_change_db && std::fabs(*r.power_change_db) <= tolerance_db &&
                   std::fabs(*r.q_change_db) <= tolerance_db;
        rows.push_back(r);
    }
    return rows;
}

ConvergenceFigures figures_of(const ChannelResult& c) {
    ConvergenceFigures f;
    f.channel = c.channel;
    f.frequency_thz = c.frequency_thz;
    if (c.state != ChannelResult::State::measured) return f;
    if (const auto mw = c.received_mw()) f.power_dbm = 10.0 * std::log10(*mw);
    if (c.eye && c.eye->defined() && c.eye->q > 0.0) f.q_db = 20.0 * std::log10(c.eye->q);
    return f;
}

ConvergenceVerdict judge(const std::vector<ConvergenceRow>& rows) {
    ConvergenceVerdict v;
    v.converged = !rows.empty();
    auto widest = [](std::optional<double>& largest, const std::optional<double>& change) {
        if (change && (!largest || std::fabs(*change) > *largest)) largest = std::fabs(*change);
    };
    for (const ConvergenceRow& r : rows) {
        v.converged = v.converged && r.within;
        widest(v.power_change_db, r.power_change_db);
        widest(v.q_change_db, r.q_change_db);
    }
    return v;
}

std::string factor_fault(const std::string& text, double& factor) {
    return number_at_least(text, 1.0, factor) ? "" : "give a number of at least 1";
}

std::string tolerance_fault(const std::string& text, double& tolerance_db) {
    double v = 0.0;
    if (!number_at_least(text, 0.0, v) || v <= 0.0) return "give a positive number of dB";
    tolerance_db = v;
    return "";
}

LinkOverride refined_plan(const Link& given, double factor, const std::string& origin) {
    // The refinement the link already has, times the factor.
    char value[32];
    std::snprintf(value, sizeof value, "%.9g", given.settings.real("step_refinement") * factor);
    return LinkOverride{"link", "step_refinement", value, origin};
}

ConvergenceOutcome run_convergence(const Link& given, const ConvergenceRuns& runs,
                                   const std::vector<ConvergenceFigures>* plan_as_run) {
    std::vector<LinkOverride> finer = runs.overrides;
    finer.push_back(refined_plan(given, runs.factor, runs.factor_option));
    stop_signal = 0;
    const StopsNoted noted;
    ConvergenceOutcome out;
    std::vector<LinkOverride> plan_sets = runs.overrides;
    const auto a = run_in(runs, plan_sets, runs.scratch / "plan", noted, false);
    const auto b = a && stop_signal == 0 ? run_in(runs, finer, runs.scratch / "refined", noted, false) : std::nullopt;
    out.failed = !a ? "the set-up of the plan" : !b ? "the set-up of the refined plan" : "";
    if (a && b && stop_signal == 0) {
        align_latencies(given, *a, *b, plan_sets, finer);
        if (plan_as_run != nullptr && plan_sets.size() == runs.overrides.size()) {
            out.plan = *plan_as_run;
        } else if (const auto p = run_in(runs, plan_sets, runs.scratch / "plan", noted, true)) {
            out.plan = p->channels;
        }
        const auto r = out.plan && stop_signal == 0 ? run_in(runs, finer, runs.scratch / "refined", noted, true)
                                                    : std::nullopt;
        if (r) out.refined = r->channels;
        out.failed = !out.plan ? "the run of the plan" : !r ? "the run of the refined plan" : "";
    }
    out.stop = stop_signal;
    return out;
}

int verb_converge(const std::vector<std::string>& args) {
    ConvergeOptions o;
    if (!parse_converge(args, o)) return 2;
    if (o.help) {
        std::fputs(kConvergeHelp, stdout);
        return 0;
    }
    const std::optional<Link> given = load_link_file(o.link, o.overrides);
    if (!given) return 1;
    std::error_code ec;
    fs::path dir = o.out_dir;
    const bool keep = !dir.empty();
    if (!keep) {
        std::string pattern = (fs::current_path() / ".nodrix-converge-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            opxerr("nodrix converge: cannot make a scratch directory");
            return 1;
        }
        dir = pattern;
    }
    const ConvergenceOutcome runs =
        run_convergence(*given, ConvergenceRuns{o.link, o.overrides, o.factor, "", fs::absolute(dir), "", "--factor"}, nullptr);
    if (!keep) fs::remove_all(dir, ec);
    if (runs.stop != 0) {
        opxerr(std::string("nodrix converge: interrupted by ") + (runs.stop == SIGINT ? "SIGINT" : "SIGTERM") +
               ": " + o.link + " is not judged");
        return 128 + runs.stop;
    }
    if (!runs.plan || !runs.refined) {
        opxerr("nodrix converge: the " + std::string(runs.plan ? "refined" : "plan's") + " run of " + o.link +
               " did not complete");
        return 1;
    }
    return report(o, compare_runs(*runs.plan, *runs.refined, o.tolerance_db)) ? 0 : 1;
}

}  // namespace nodrix

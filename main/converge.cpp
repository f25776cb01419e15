#include "main/converge.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "main/cli_options.h"
#include "main/nodrix_cli.h"
#include "project/link.h"
#include "project/summary.h"
#include "runtime/opxfile.h"

namespace nodrix {

namespace fs = std::filesystem;

namespace {

const char* const kConvergeHelp =
    "Usage: nodrix converge LINK.toml [-set ID.PARAM=VALUE ...] [--factor F] [--tolerance DB] [-o DIR]\n"
    "Simulates the link twice: with its step plan, and with every fibre step F times shorter\n"
    "and the step filters finer (link.step_refinement times F). Per measured channel it shows\n"
    "the received power and the eye's Q [dB] of both runs and their changes, and a verdict:\n"
    "\"converged\" when every change is within the tolerance, else \"not converged\".\n"
    "  -set ID.PARAM=VALUE as for nodrix run\n"
    "  --factor F          how much shorter the refined steps are (default 2)\n"
    "  --tolerance DB      largest change of power and eye Q allowed [dB] (default 0.1)\n"
    "  -o DIR              keep both runs' files in DIR/plan and DIR/refined (default: none kept)\n"
    "Exit status: 0 converged, 1 not converged or a run failed, 2 a usage error.\n";

struct ConvergeOptions {
    std::string link, out_dir;
    std::vector<LinkOverride> overrides;
    double factor = 2.0, tolerance_db = 0.1;
    bool help = false;
};

bool positive_number(const std::string& text, double low, double& value) {
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
        } else if (name == "factor" && !positive_number(value, 1.0, o.factor)) {
            usage_error(verb, "--factor " + value + ": give a number of at least 1");
            return false;
        } else if (name == "tolerance" && !(positive_number(value, 0.0, o.tolerance_db) && o.tolerance_db > 0.0)) {
            usage_error(verb, "--tolerance " + value + ": give a positive number of dB");
            return false;
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

ConvergenceFigures figures_of(const ChannelResult& c) {
    ConvergenceFigures f;
    f.channel = c.channel;
    f.frequency_thz = c.frequency_thz;
    if (c.state != ChannelResult::State::measured) return f;
    if (const auto mw = c.received_mw()) f.power_dbm = 10.0 * std::log10(*mw);
    if (c.eye && c.eye->defined() && c.eye->q > 0.0) f.q_db = 20.0 * std::log10(c.eye->q);
    return f;
}

// One run in `dir` with the given overrides, in a child process (a run of
// its own, whatever the other left behind); its figures are handed back in
// a file of the directory, one channel a line.
std::optional<std::vector<ConvergenceFigures>> run_in(const ConvergeOptions& o, const std::vector<LinkOverride>& sets,
                                                      const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        opxerr("nodrix converge: cannot make " + dir.string() + ": " + ec.message());
        return std::nullopt;
    }
    const fs::path figures = dir / "converge_figures.txt";
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::optional<Link> link = load_link_file(o.link, sets);
        if (!link || (fs::current_path(dir, ec), ec)) std::_Exit(1);
        const int status = run_link(std::move(*link), RunSettings{true, true, 0}, [&](const LinkSchedule& s, int st) {
            if (st != 0) return;
            std::ofstream out(figures);
            for (const ChannelResult& c : run_results(s).channels) {
                const ConvergenceFigures f = figures_of(c);
                out << f.channel << ' ' << f.frequency_thz << ' ' << (f.power_dbm ? *f.power_dbm : NAN) << ' '
                    << (f.q_db ? *f.q_db : NAN) << '\n';
            }
        });
        std::fflush(stdout);
        std::_Exit(status == 0 ? 0 : 1);
    }
    int status = 1;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    std::vector<ConvergenceFigures> found;
    std::ifstream in(figures);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string p, q;
        ConvergenceFigures f;
        words >> f.channel >> f.frequency_thz >> p >> q;
        if (p != "nan") f.power_dbm = std::strtod(p.c_str(), nullptr);
        if (q != "nan") f.q_db = std::strtod(q.c_str(), nullptr);
        found.push_back(f);
    }
    return found;
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
    bool all = !rows.empty();
    for (const ConvergenceRow& r : rows) {
        all = all && r.within;
        std::printf("  %7d %10.4f %10s %10s %8s %9s %9s %8s  %s\n", r.plan.channel, r.plan.frequency_thz,
                    cell(r.plan.power_dbm, "%.3f").c_str(), cell(r.refined.power_dbm, "%.3f").c_str(),
                    cell(r.power_change_db, "%+.3f").c_str(), cell(r.plan.q_db, "%.3f").c_str(),
                    cell(r.refined.q_db, "%.3f").c_str(), cell(r.q_change_db, "%+.3f").c_str(),
                    r.within ? "converged" : "not converged");
    }
    if (rows.empty()) std::printf("  no channel measured\n");
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

int verb_converge(const std::vector<std::string>& args) {
    ConvergeOptions o;
    if (!parse_converge(args, o)) return 2;
    if (o.help) {
        std::fputs(kConvergeHelp, stdout);
        return 0;
    }
    // The refinement the link already has, times the factor.
    const std::optional<Link> given = load_link_file(o.link, o.overrides);
    if (!given) return 1;
    std::vector<LinkOverride> finer = o.overrides;
    char value[32];
    std::snprintf(value, sizeof value, "%.9g", given->settings.real("step_refinement") * o.factor);
    finer.push_back(LinkOverride{"link", "step_refinement", value, "--factor"});

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
    const auto plan = run_in(o, o.overrides, fs::absolute(dir) / "plan");
    const auto refined = plan ? run_in(o, finer, fs::absolute(dir) / "refined") : std::nullopt;
    if (!keep) fs::remove_all(dir, ec);
    if (!plan || !refined) {
        opxerr("nodrix converge: the " + std::string(plan ? "refined" : "plan's") + " run of " + o.link +
               " did not complete");
        return 1;
    }
    return report(o, compare_runs(*plan, *refined, o.tolerance_db)) ? 0 : 1;
}

}  // namespace nodrix

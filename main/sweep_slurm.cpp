#include "main/sweep_slurm.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "runtime/opxfile.h"

extern char** environ;

namespace nodrix::sweep {
namespace {

namespace fs = std::filesystem;

// A word for a shell script: quoted unless plain.
std::string shell_word(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+=.,/:@%") ==
                          std::string::npos)
        return s;
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Command {
    bool started = false;
    int status = -1;
    std::string output;  // standard output and error together
};

Command run_command(const std::vector<std::string>& words) {
    Command c;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        c.output = std::strerror(errno);
        return c;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    std::vector<std::string> w = words;
    std::vector<char*> argv;
    for (std::string& s : w) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int r = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (r != 0) {
        ::close(out[0]);
        c.output = std::strerror(r);
        return c;
    }
    c.started = true;
    char buf[4096];
    for (;;) {
        const ssize_t got = ::read(out[0], buf, sizeof buf);
        if (got > 0)
            c.output.append(buf, static_cast<std::size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    ::close(out[0]);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    c.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return c;
}

// The record of the jobs a submission made (lines "points ID", "collect ID"),
// which a later run of the sweep asks squeue about.
const char* const kJobsFile = "jobs.txt";

struct SlurmScripts {
    std::vector<std::string> points_submit;   // the sbatch words of the job array
    std::vector<std::string> collect_submit;  // of the collect job, without its dependency
};

// Writes DIR/slurm/: the list of points to run, the job-array script, the
// collect script and a script that submits both.
std::optional<SlurmScripts> write_slurm(const fs::path& dir, const std::vector<Point>& pts,
                                        const std::vector<std::size_t>& todo, const std::vector<std::string>& args) {
    const fs::path s = dir / "slurm";
    std::error_code ec;
    fs::create_directories(s, ec);
    const std::string program = shell_word(self_program());
    std::string list;
    for (std::size_t k : todo) list += (dir / "points" / point_name(pts[k].number)).string() + "\n";
    const std::string points_sh =
        "#!/bin/bash\n"
        "# The points of the sweep in " + dir.string() + " as a Slurm job array: task K runs the\n"
        "# point on line K + 1 of points.txt, on one core, as nodrix sweep --point does it anywhere.\n"
        "#SBATCH --job-name=nodrix-sweep\n"
        "#SBATCH --ntasks=1\n"
        "#SBATCH --cpus-per-task=1\n"
        "#SBATCH --output=" + (s / "task-%a.out").string() + "\n"
        "set -eu\n"
        "point=$(sed -n \"$((SLURM_ARRAY_TASK_ID + 1))p\" " + shell_word((s / "points.txt").string()) + ")\n"
        "exec " + program + " sweep --point \"$point\"\n";
    const std::string collect_sh =
        "#!/bin/bash\n"
        "# The table and the plot of the sweep in " + dir.string() + ", from its points.\n"
        "#SBATCH --job-name=nodrix-sweep-collect\n"
        "#SBATCH --ntasks=1\n"
        "#SBATCH --output=" + (s / "collect.out").string() + "\n"
        "exec " + program + " sweep --collect " + shell_word(dir.string()) + "\n";
    SlurmScripts r;
    r.points_submit = {"sbatch", "--parsable", "--array=0-" + std::to_string(todo.size() - 1)};
    r.points_submit.insert(r.points_submit.end(), args.begin(), args.end());
    r.points_submit.push_back((s / "points.sh").string());
    r.collect_submit = {"sbatch", "--parsable"};
    r.collect_submit.insert(r.collect_submit.end(), args.begin(), args.end());
    r.collect_submit.push_back((s / "collect.sh").string());
    auto words = [](const std::vector<std::string>& w, std::size_t from) {
        std::string t;
        for (std::size_t k = from; k < w.size(); ++k) t += " " + shell_word(w[k]);
        return t;
    };
    const std::string submit_sh =
        "#!/bin/bash\n"
        "# Submits the points of the sweep as a job array, then its collect step, which runs\n"
        "# once every task of the array has ended, whatever became of them.\n"
        "set -euo pipefail\n"
        "points=$(sbatch" + words(r.points_submit, 1) + ")\n"
        "echo \"points ${points%%;*}\" > " + shell_word((s / kJobsFile).string()) + "\n"
        "collect=$(sbatch" + words({r.collect_submit.begin(), r.collect_submit.begin() + 2}, 1) +
        " --dependency=afterany:${points%%;*}" + words(r.collect_submit, 2) + ")\n"
        "echo \"collect ${collect%%;*}\" >> " + shell_word((s / kJobsFile).string()) + "\n"
        "echo \"Points: job ${points%%;*} (" + std::to_string(todo.size()) + " array tasks)\"\n"
        "echo \"Collect: job ${collect%%;*} (after the points end)\"\n";
    for (const auto& [name, text] : {std::pair<const char*, const std::string&>{"points.txt", list},
                                     {"points.sh", points_sh},
                                     {"collect.sh", collect_sh},
                                     {"submit.sh", submit_sh}}) {
        if (!write_text_file(s / name, text)) {
            opxerr("nodrix sweep: cannot write " + (s / name).string());
            return std::nullopt;
        }
        if (std::string(name).ends_with(".sh")) fs::permissions(s / name, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec, fs::perm_options::add, ec);
    }
    return r;
}

// The job id sbatch --parsable printed ("12" or "12;cluster").
std::optional<std::string> job_id(const std::string& output) {
    const std::string first = output.substr(0, output.find_first_of(";\n"));
    if (first.empty() || first.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    return first;
}

int submit(const fs::path& dir, const SlurmScripts& s, std::size_t tasks) {
    const fs::path jobs = dir / "slurm" / kJobsFile;
    auto failed = [](const std::vector<std::string>& words, const Command& c) {
        std::string cmd;
        for (const std::string& w : words) cmd += (cmd.empty() ? "" : " ") + shell_word(w);
        std::string out = c.output;
        while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
        opxerr("nodrix sweep: " + cmd + " " +
               (c.started ? "failed (exit status " + std::to_string(c.status) + ")" : "could not start") +
               (out.empty() ? "" : ": " + out));
        return 1;
    };
    const Command points = run_command(s.points_submit);
    const auto points_id = points.status == 0 ? job_id(points.output) : std::nullopt;
    if (!points_id) return failed(s.points_submit, points);
    bool recorded = write_text_file(jobs, "points " + *points_id + "\n");
    std::vector<std::string> collect = s.collect_submit;
    collect.insert(collect.begin() + 2, "--dependency=afterany:" + *points_id);
    const Command c = run_command(collect);
    const auto collect_id = c.status == 0 ? job_id(c.output) : std::nullopt;
    if (collect_id) recorded = write_text_file(jobs, "points " + *points_id + "\ncollect " + *collect_id + "\n");
    if (!recorded) opxerr("nodrix sweep: cannot write " + jobs.string() + ": a second submission cannot see these jobs");
    if (!collect_id) {
        failed(collect, c);
        opxerr("nodrix sweep: the points were submitted as job " + *points_id +
               "; once they end, nodrix sweep --collect DIR builds the table");
        return 1;
    }
    std::printf("Points: job %s (%zu array tasks)\nCollect: job %s (after the points end)\n", points_id->c_str(),
                tasks, collect_id->c_str());
    return recorded ? 0 : 1;
}

}  // namespace

// The words of --slurm-args: split at blanks, with '...' and "..." quoting.
std::optional<std::vector<std::string>> split_words(const std::string& text) {
    std::vector<std::string> words;
    std::string w;
    bool in_word = false;
    char quote = 0;
    for (const char c : text) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                w += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            in_word = true;
        } else if (c == ' ' || c == '\t' || c == '\n') {
            if (in_word) words.push_back(w);
            w.clear();
            in_word = false;
        } else {
            w += c;
            in_word = true;
        }
    }
    if (quote != 0) return std::nullopt;
    if (in_word) words.push_back(w);
    return words;
}


// Writes the scripts and, unless it is a dry run, submits them.
int submit_to_slurm(const fs::path& dir, const std::vector<Point>& pts, const std::vector<std::size_t>& todo,
                    const std::vector<std::string>& sbatch_args, bool dry_run) {
    const auto scripts = write_slurm(dir, pts, todo, sbatch_args);
    if (!scripts) return 1;
    if (dry_run) {
        std::printf("Slurm scripts of %zu points written to %s: submit them with bash %s\n", todo.size(),
                    (dir / "slurm").c_str(), (dir / "slurm" / "submit.sh").c_str());
        return 0;
    }
    return submit(dir, *scripts, todo.size());
}

// The jobs of the sweep's submissions that Slurm still holds, queued or
// running (squeue lists the tasks of an array as ID_K or ID_[...]). False,
// after the error, when there are any or squeue cannot tell.
bool no_submitted_jobs_left(const fs::path& dir) {
    const fs::path record = dir / "slurm" / kJobsFile;
    std::ifstream in(record);
    std::vector<std::pair<std::string, std::string>> jobs;  // what, id
    for (std::string what, id; in >> what >> id;)
        if (job_id(id) == id) jobs.emplace_back(what, id);
    if (jobs.empty()) return true;
    std::string list;
    for (const auto& job : jobs) list += (list.empty() ? "" : ",") + job.second;
    const Command c = run_command({"squeue", "--noheader", "--format=%i", "--jobs=" + list});
    std::set<std::string> held;
    std::istringstream lines(c.output);
    for (std::string line; std::getline(lines, line);) {
        const auto first = line.find_first_not_of(' ');
        if (first != std::string::npos) held.insert(line.substr(first, line.find_first_of("_ ", first) - first));
    }
    // Jobs the controller has forgotten are no longer queued or running.
    if (!(c.status == 0 || (c.started && c.output.find("Invalid job id") != std::string::npos))) {
        std::string why = c.output;
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
        opxerr("nodrix sweep: the points of " + dir.string() + " were submitted to Slurm (jobs " + list +
               ") and squeue cannot tell whether they still run: " + (why.empty() ? "exit status " +
               std::to_string(c.status) : why) + "; once they have ended, remove " + record.string());
        return false;
    }
    std::string named;
    std::string ids;
    for (const auto& [what, id] : jobs)
        if (held.count(id) != 0) {
            named += (named.empty() ? "job " : ", job ") + id + (what == "points" ? " (its points)" : " (its collect job)");
            ids += " " + id;
        }
    if (named.empty()) return true;
    opxerr("nodrix sweep: the points of " + dir.string() + " are still queued or running on Slurm: " + named +
           "; wait for them to end or cancel them (scancel" + ids + ") before its points run again");
    return false;
}


}  // namespace nodrix::sweep

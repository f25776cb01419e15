// For the tests that run nodrix sweep as a user does: the program started in
// a directory (in a process group of its own, so that it can be killed with
// its points), its console, and the table it leaves.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace nodrix::testing {

inline std::string file_text(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// A program started in `dir`, its standard output and error in dir/../NAME.out.
struct Started {
    pid_t pid = -1;
    std::filesystem::path console;
};

// With `stop_at`, it stops itself at those moments (NODRIX_STOP_AT), and
// so do the points it starts at theirs.
inline Started start(const std::vector<std::string>& words, const std::filesystem::path& dir,
                     const std::string& name, const std::string& stop_at = "") {
    Started s;
    s.console = dir / (name + ".out");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setpgid(0, 0);
        if (!stop_at.empty()) ::setenv("NODRIX_STOP_AT", stop_at.c_str(), 1);
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        const int fd = ::open(s.console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) ::_exit(127);
        std::vector<std::string> w = words;
        std::vector<char*> argv;
        for (std::string& x : w) argv.push_back(x.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::setpgid(pid, pid);
    s.pid = pid;
    return s;
}

// Waits for it; its exit status (128 + the signal when one ended it).
inline int finish(const Started& s) {
    int st = 0;
    while (::waitpid(s.pid, &st, 0) < 0) {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

// Whether it stopped itself at one of its moments (or ended: false).
inline bool stopped(const Started& s) {
    int st = 0;
    return ::waitpid(s.pid, &st, WUNTRACED) == s.pid && WIFSTOPPED(st);
}

inline int run_program(const std::vector<std::string>& words, const std::filesystem::path& dir, const std::string& name,
                       std::string& console) {
    const Started s = start(words, dir, name);
    const int status = finish(s);
    console = file_text(s.console);
    return status;
}

// The rows of a CSV table without quoted fields, each a map from column to cell.
inline std::vector<std::map<std::string, std::string>> csv_rows(const std::filesystem::path& p) {
    std::istringstream in(file_text(p));
    std::vector<std::string> header;
    std::vector<std::map<std::string, std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        // Fields of one line, quoted ones with their commas and doubled quotes.
        std::vector<std::string> cells(1);
        bool quoted = false;
        for (std::size_t k = 0; k < line.size(); ++k) {
            const char c = line[k];
            if (c == '"' && quoted && k + 1 < line.size() && line[k + 1] == '"') {
                cells.back() += '"';
                ++k;
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                cells.emplace_back();
            } else {
                cells.back() += c;
            }
        }
        if (header.empty()) {
            header = cells;
            continue;
        }
        std::map<std::string, std::string> row;
        for (std::size_t k = 0; k < header.size() && k < cells.size(); ++k) row[header[k]] = cells[k];
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace nodrix::testing

#include "tools/gnuplot_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>

extern char** environ;

namespace nodrix::chart {
namespace {

// Closes a descriptor once.
void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// SIGPIPE is held back while the script is written, so that a program that
// ends before reading all of it gives EPIPE instead of ending this process;
// a SIGPIPE raised meanwhile is taken off before the mask is restored.
class SigpipeHold {
public:
    SigpipeHold() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &previous_);
    }
    ~SigpipeHold() {
        const timespec zero{0, 0};
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1 && sigismember(&previous_, SIGPIPE) == 0)
            sigtimedwait(&pipe_, nullptr, &zero);
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    SigpipeHold(const SigpipeHold&) = delete;
    SigpipeHold& operator=(const SigpipeHold&) = delete;

private:
    sigset_t pipe_;
    sigset_t previous_;
};

// Moves what is waiting on `fd` into `into`; closes it at its end.
void drain(int& fd, short revents, std::string& into) {
    if ((revents & (POLLIN | POLLHUP | POLLERR)) == 0) return;
    char buf[16384];
    const ssize_t got = ::read(fd, buf, sizeof buf);
    if (got > 0)
        into.append(buf, static_cast<std::size_t>(got));
    else if (got == 0 || (errno != EAGAIN && errno != EINTR))
        close_fd(fd);
}

// Writes the script and reads both outputs together, so that no side waits
// on a full pipe, until the program has closed both outputs.
void exchange(int& in, int& out, int& err, const std::string& script, GnuplotRun& r) {
    ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) | O_NONBLOCK);
    std::size_t written = 0;
    if (script.empty()) close_fd(in);
    while (out >= 0 || err >= 0) {
        pollfd fds[3];
        nfds_t n = 0;
        int* owner[3] = {nullptr, nullptr, nullptr};
        for (int* fd : {&out, &err, &in}) {
            if (*fd < 0) continue;
            owner[n] = fd;
            fds[n++] = pollfd{*fd, static_cast<short>(fd == &in ? POLLOUT : POLLIN), 0};
        }
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (nfds_t k = 0; k < n; ++k) {
            if (owner[k] == &out) drain(out, fds[k].revents, r.output);
            if (owner[k] == &err) drain(err, fds[k].revents, r.messages);
            if (owner[k] != &in || (fds[k].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) continue;
            const ssize_t w = ::write(in, script.data() + written, script.size() - written);
            if (w > 0) written += static_cast<std::size_t>(w);
            // The program stopped reading: the rest of the script is dropped.
            if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == script.size()) close_fd(in);
        }
    }
}

}  // namespace

GnuplotRun run_gnuplot(const std::string& program, const std::string& script) {
    GnuplotRun r;
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        r.reason = std::strerror(errno);
        for (int* p : {in, out, err}) close_fd(p[0]), close_fd(p[1]);
        return r;
    }
    SigpipeHold hold;

    // The child: the script on its standard input, its outputs into their
    // pipes, default signal handling and an empty signal mask.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    // Named as a file, the standard input is read in blocks and the script
    // stops at its first error; read as a terminal it goes a character at a
    // time, which makes a large data block twice as slow to draw.
    std::string name = program;
    std::string input = "/dev/stdin";
    std::error_code ec;
    const bool named_input = std::filesystem::exists(input, ec);
    char* argv[] = {name.data(), named_input ? input.data() : nullptr, nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, program.c_str(), &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close_fd(in[0]);
    close_fd(out[1]);
    close_fd(err[1]);
    if (spawned != 0) {
        r.outcome = spawned == ENOENT ? GnuplotRun::kNotFound : GnuplotRun::kCannotStart;
        r.reason = std::strerror(spawned);
        close_fd(in[1]), close_fd(out[0]), close_fd(err[0]);
        return r;
    }
    exchange(in[1], out[0], err[0], script, r);
    close_fd(in[1]), close_fd(out[0]), close_fd(err[0]);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            r.outcome = GnuplotRun::kCannotStart;
            r.reason = std::strerror(errno);
            return r;
        }
    }
    if (WIFEXITED(status)) {
        r.status = WEXITSTATUS(status);
        r.outcome = r.status == 0 ? GnuplotRun::kDone : GnuplotRun::kFailed;
    } else {
        r.status = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        r.outcome = GnuplotRun::kSignalled;
    }
    return r;
}

}  // namespace nodrix::chart

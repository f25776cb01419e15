#include "runtime/run_files.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "runtime/io_file.h"
#include "runtime/opxfile.h"
#include "xu/run_state.h"
#include "xu/xu_mem.h"

namespace nodrix {
namespace {

// ---- Names the signal handler removes ----

// What the interruption handler works from. A signal's handler is the
// process's, whoever runs: it may read only what was published before the
// signal came, so this table is the process's too (the one global of the
// run's files).
constexpr std::size_t kRemovalSlots = 4096;
struct HandlerTable {
    // Slots of the names the handler removes: the temporary files of the
    // process's runs. A slot holds a heap copy of an absolute name, or null.
    // The lock file and the scratch directory have a slot each.
    std::array<std::atomic<char*>, kRemovalSlots> removal_names{};
    std::atomic<char*> lock_file_name{nullptr};
    std::atomic<char*> scratch_directory{nullptr};
    pthread_t main_thread{};
    struct sigaction previous_int{};
    struct sigaction previous_term{};
    // Counted atomically: runs on threads of one process at once start and end.
    std::atomic<int> catching{0};  // depth of catch_interruptions() calls
    std::atomic<bool> exit_hook{false};  // the exit handler is registered
    std::atomic<int> staging_runs{0};    // runs whose files are staged, alive
    // The message of each signal, made before any signal can come.
    char message_int[160] = {};
    char message_term[160] = {};
};
HandlerTable handler;
static_assert(std::atomic<char*>::is_always_lock_free);

std::string absolute(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    std::error_code ec;
    const std::filesystem::path cwd = std::filesystem::current_path(ec);
    return ec ? name : (cwd / name).string();
}

char* copy_of(const std::string& s) {
    char* p = static_cast<char*>(xu_malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

// Sets a single slot to a copy of `name` ("" empties it).
void set_slot(std::atomic<char*>& slot, const std::string& name) {
    char* p = slot.exchange(name.empty() ? nullptr : copy_of(name), std::memory_order_acq_rel);
    if (p != nullptr) xu_free(p);
}

// Publishes a name for removal on interruption (before its file exists).
void publish(const std::string& name) {
    char* p = copy_of(absolute(name));
    for (auto& slot : handler.removal_names) {
        char* none = nullptr;
        if (slot.compare_exchange_strong(none, p, std::memory_order_release)) return;
    }
    xu_free(p);  // the table is full: this file is not removed on interruption
}

// Withdraws a published name (after its file is gone or in place).
void withdraw(const std::string& name) {
    const std::string full = absolute(name);
    for (auto& slot : handler.removal_names) {
        char* p = slot.load(std::memory_order_acquire);
        if (p != nullptr && full == p) {
            slot.store(nullptr, std::memory_order_release);
            xu_free(p);
            return;
        }
    }
}

void withdraw_all() {
    for (auto& slot : handler.removal_names)
        if (char* p = slot.exchange(nullptr, std::memory_order_acq_rel); p != nullptr) xu_free(p);
}

// What the run made of a name: its version (a temporary file of the run), or
// none when the run removed the name.
struct Staged {
    std::string name;     // as the run gave it, for messages
    std::string full;     // absolute
    std::string version;  // absolute; empty: removed
};

// The files of a run: what it put in place, its working files, its view of
// the directory, its lock.
struct RunFiles {
    std::vector<std::string> put_in_place_list;
    std::unordered_set<std::string> put_in_place_set;
    std::vector<std::string> working_list;
    std::unordered_set<std::string> working_set;
    int temporary_counter = 0;
    bool staging = false;
    std::filesystem::path run_directory;
    std::vector<Staged> staged;
    std::unordered_map<std::string, std::size_t> staged_index;
    FileLock run_lock;
    RunFiles() = default;
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;
    // A run that ends without end_run_files() leaves nothing of its own.
    ~RunFiles() {
        if (!staging) return;
        --handler.staging_runs;
        for (const Staged& s : staged)
            if (!s.version.empty()) {
                ::unlink(s.version.c_str());
                withdraw(s.version);
            }
    }
};

RunFiles& files() { return current_run_state().part<RunFiles>(); }

// ---- Interruption ----

extern "C" void on_interruption(int sig) {
    if (!pthread_equal(pthread_self(), handler.main_thread)) {
        // Only the main thread touches the table: it removes the files.
        pthread_kill(handler.main_thread, sig);
        return;
    }
    for (auto& slot : handler.removal_names)
        if (const char* p = slot.load(std::memory_order_acquire); p != nullptr) ::unlink(p);
    if (const char* p = handler.lock_file_name.load(std::memory_order_acquire); p != nullptr) ::unlink(p);
    if (const char* p = handler.scratch_directory.load(std::memory_order_acquire); p != nullptr) ::rmdir(p);
    const char* text = sig == SIGINT ? handler.message_int : handler.message_term;
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
    ::_exit(128 + sig);
}

void make_message(char* out, std::size_t size, const char* signal_name) {
    // On a terminal the message starts on a line of its own (after "^C" or a progress line).
    std::snprintf(out, size,
                  "%sNodrix-E-Interrupted by %s: the run's unfinished and working files are removed\n",
                  ::isatty(STDERR_FILENO) == 1 ? "\n" : "", signal_name);
}

// ---- Lock ----

// The process number a lock file records, or 0.
long recorded_process(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    return std::strtol(text, nullptr, 10);
}


}  // namespace

// ---- Result files ----

int create_temporary(const std::string& final_name, std::string& temporary, mode_t mode,
                     bool replaces_only_writable) {
    struct stat st{};
    const bool present = ::stat(final_name.c_str(), &st) == 0;
    const bool replaces = present && S_ISREG(st.st_mode);
    // Only a regular file is ever replaced: the rename would put a device, a
    // pipe or a socket out of the way with the result in its place (and fail
    // over a directory), whatever the caller's rule for regular files.
    if (present && !replaces) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
        return -1;
    }
    if (replaces_only_writable && present && ::access(final_name.c_str(), W_OK) != 0) return -1;
    const std::filesystem::path path(final_name);
    const std::string dir = path.parent_path().string();
    const std::string base = path.filename().string();
    int& counter = files().temporary_counter;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "." + base + "." + std::to_string(::getpid()) +
                                 (counter == 0 ? "" : "-" + std::to_string(counter)) + ".part";
        ++counter;
        temporary = dir.empty() ? name : dir + "/" + name;
        publish(temporary);
        const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            counter = 0;
            if (replaces) ::fchmod(fd, st.st_mode & 07777);
            return fd;
        }
        const int e = errno;
        withdraw(temporary);
        errno = e;
        if (e != EEXIST) return -1;
    }
    return -1;
}

// ---- The run's view of its directory ----

namespace {


std::string full_name(const std::string& name) {
    const std::filesystem::path p(name);
    return (p.is_absolute() ? p : files().run_directory / p).lexically_normal().string();
}

Staged* find_staged(const std::string& name) {
    const auto at = files().staged_index.find(full_name(name));
    return at == files().staged_index.end() ? nullptr : &files().staged[at->second];
}

Staged& staged_entry(const std::string& name) {
    const std::string full = full_name(name);
    const auto [at, fresh] = files().staged_index.emplace(full, files().staged.size());
    if (fresh) files().staged.push_back(Staged{name, full, ""});
    return files().staged[at->second];
}

// Makes `temporary` the run's version of `name`, in place of an earlier one.
void stage(const std::string& temporary, const std::string& name) {
    Staged& s = staged_entry(name);
    const std::string version = full_name(temporary);
    if (!s.version.empty() && s.version != version) discard_temporary(s.version);
    s.version = version;
}

bool exists(const std::string& path) {
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool regular(const std::string& path) {
    struct stat st{};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A copy of the file `from` taken for the run as its version of `name`; ""
// with errno set when it cannot be made.
std::string staged_copy(const std::string& from, const std::string& name) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return "";
    std::string temporary;
    const int out = create_temporary(name, temporary, 0666, false);
    bool ok = out >= 0;
    struct stat st{};
    if (ok && ::fstat(in, &st) == 0) ::fchmod(out, st.st_mode & 07777);  // the copy keeps the file's mode
    char buffer[65536];
    for (ssize_t got; ok && (got = ::read(in, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR) continue;
        ok = got > 0 && io_write_fully(out, buffer, static_cast<std::size_t>(got));
    }
    const int e = errno;
    ::close(in);
    if (out >= 0 && ::close(out) != 0) ok = false;
    if (!ok) {
        if (out >= 0) discard_temporary(temporary);
        errno = e != 0 ? e : EIO;
        return "";
    }
    stage(temporary, name);
    return full_name(temporary);
}

// A name beside `full` under which its present file is kept while the run's
// files go in place.
std::string keeping_name(const std::string& full, std::size_t k) {
    const std::filesystem::path p(full);
    return (p.parent_path() / ("." + p.filename().string() + "." + std::to_string(::getpid()) + "-" +
                               std::to_string(k) + ".keep"))
        .string();
}

void forget_staged() {
    files().staged.clear();
    files().staged_index.clear();
    if (files().staging) --handler.staging_runs;
    files().staging = false;
}

// Puts back what the first `done` entries changed (their earlier files kept
// under `kept`, "" where there was none) and removes the run's versions.
void undo_staged(std::size_t done, const std::vector<std::string>& kept) {
    for (std::size_t k = 0; k < files().staged.size(); ++k) {
        const Staged& s = files().staged[k];
        if (k < done) {
            if (!kept[k].empty())
                ::rename(kept[k].c_str(), s.full.c_str());
            else if (!s.version.empty())
                ::unlink(s.full.c_str());
        } else {
            if (!kept[k].empty()) ::unlink(kept[k].c_str());
            if (!s.version.empty()) discard_temporary(s.version);
        }
    }
}

// Every earlier file the run replaces or removes must be an ordinary file:
// a directory or a device in its place is not replaced.
bool replaceable(const Staged& s) {
    struct stat st{};
    if (::stat(s.full.c_str(), &st) != 0 || S_ISREG(st.st_mode)) return true;
    report_unwritable(s.name, S_ISDIR(st.st_mode) ? EISDIR : EEXIST);
    return false;
}

// Puts every version in place and applies the removals, all or none: the
// earlier files are kept under a second name (a hard link) until every
// change is made, and put back when one fails.
bool commit_staged() {
    for (const Staged& s : files().staged)
        if (!replaceable(s)) {
            undo_staged(0, std::vector<std::string>(files().staged.size()));
            return false;
        }
    std::vector<std::string> kept(files().staged.size());
    for (std::size_t k = 0; k < files().staged.size(); ++k) {
        const Staged& s = files().staged[k];
        if (!exists(s.full)) continue;
        if (::link(s.full.c_str(), keeping_name(s.full, k).c_str()) != 0) {
            report_unwritable(s.name, errno);
            undo_staged(0, kept);
            return false;
        }
        kept[k] = keeping_name(s.full, k);
    }
    for (std::size_t k = 0; k < files().staged.size(); ++k) {
        const Staged& s = files().staged[k];
        const bool done = s.version.empty() ? ::unlink(s.full.c_str()) == 0 || errno == ENOENT
                                            : ::rename(s.version.c_str(), s.full.c_str()) == 0;
        if (!done) {
            report_unwritable(s.name, errno);
            undo_staged(k, kept);
            return false;
        }
        if (!s.version.empty()) withdraw(s.version);
    }
    for (const std::string& name : kept)
        if (!name.empty()) ::unlink(name.c_str());
    return true;
}

}  // namespace

bool put_in_place(const std::string& temporary, const std::string& final_name) {
    if (files().staging) {
        stage(temporary, final_name);
    } else if (::rename(temporary.c_str(), final_name.c_str()) != 0) {
        const int e = errno;
        ::unlink(temporary.c_str());
        withdraw(temporary);
        errno = e;
        return false;
    } else {
        withdraw(temporary);
    }
    if (files().put_in_place_set.insert(final_name).second) files().put_in_place_list.push_back(final_name);
    return true;
}

void discard_temporary(const std::string& temporary) {
    ::unlink(temporary.c_str());
    withdraw(temporary);
}

std::string present_version(const std::string& name) {
    if (!files().staging) return name;
    const Staged* s = find_staged(name);
    return s == nullptr ? name : s->version;
}

bool file_present(const std::string& name) { return exists(present_version(name)); }

void adopt_working_file(const std::string& temporary, const std::string& name) {
    if (files().staging) {
        stage(temporary, name);
    } else {
        ::rename(temporary.c_str(), name.c_str());
        withdraw(temporary);
    }
}

std::string writable_version(const std::string& name) {
    const std::string present = present_version(name);
    if (!exists(present)) {
        errno = ENOENT;
        return "";
    }
    if (!files().staging || present != name) return present;
    return staged_copy(name, name);
}

bool remove_run_file(const std::string& name) {
    if (!files().staging) return ::unlink(name.c_str()) == 0 || errno == ENOENT;
    if (Staged* s = find_staged(name)) {
        if (!s->version.empty()) discard_temporary(s->version);
        s->version.clear();
    } else if (regular(name)) {
        staged_entry(name);
    }
    return true;
}

bool rename_run_file(const std::string& from, const std::string& to) {
    if (!files().staging) return ::rename(from.c_str(), to.c_str()) == 0;
    const std::string present = present_version(from);
    if (!regular(present)) {
        errno = ENOENT;
        return false;
    }
    if (present != from) {
        // The run's own file changes its name.
        Staged& source = staged_entry(from);
        const std::string version = source.version;
        source.version.clear();
        stage(version, to);
        return true;
    }
    // An earlier file: the run's copy takes the new name, the old one goes.
    if (staged_copy(from, to).empty()) return false;
    staged_entry(from);
    return true;
}

// ---- Working files ----

void note_working_file(const std::string& name) {
    if (name.empty() || !files().working_set.insert(name).second) return;
    files().working_list.push_back(name);
}

void remove_working_files() {
    for (const std::string& name : files().working_list) remove_run_file(name);
    files().working_list.clear();
    files().working_set.clear();
}

void keep_working_files() {
    files().working_list.clear();
    files().working_set.clear();
}

// ---- What the run wrote ----

void begin_run_files() {
    if (files().staging) end_run_files(false);
    // A run the program ends with exit() leaves nothing of its own behind
    // either (the thread's own state discards its files as it goes).
    if (!handler.exit_hook.exchange(true))
        handler.exit_hook = std::atexit([] {
            if (handler.staging_runs > 0 && files().staging) end_run_files(false);
        }) == 0;
    files().put_in_place_list.clear();
    files().put_in_place_set.clear();
    files().working_list.clear();
    files().working_set.clear();
    // The names of another run of the process working at the same time stay.
    if (handler.staging_runs == 0) withdraw_all();
    std::error_code ec;
    files().run_directory = std::filesystem::current_path(ec);
    files().staging = !ec;
    if (files().staging) ++handler.staging_runs;
}

bool end_run_files(bool put_in_place_now) {
    if (!files().staging) return true;
    bool ok = false;
    {
        const InterruptionsHeld held_back;
        ok = put_in_place_now && commit_staged();
        if (!put_in_place_now) undo_staged(0, std::vector<std::string>(files().staged.size()));
        forget_staged();
    }
    if (!ok) {
        // Nothing of the run is in place: it claims none of its files.
        files().put_in_place_list.clear();
        files().put_in_place_set.clear();
    }
    return ok || !put_in_place_now;
}

const std::vector<std::string>& files_put_in_place() { return files().put_in_place_list; }

bool run_wrote(const std::string& name) { return files().put_in_place_set.count(name) != 0; }

void report_unwritable(const std::string& name, int error) {
    opxerr("Cannot write the file " + name + ": " + std::strerror(error != 0 ? error : EIO));
}

void report_unfinished(const std::string& name) {
    opxerr("The file " + name + " was not completed: it is not written");
}

// ---- Interruption ----

void catch_interruptions() {
    if (handler.catching.fetch_add(1) > 0) return;
    handler.main_thread = pthread_self();
    make_message(handler.message_int, sizeof handler.message_int, "SIGINT");
    make_message(handler.message_term, sizeof handler.message_term, "SIGTERM");
    struct sigaction sa{};
    sa.sa_handler = on_interruption;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &handler.previous_int);
    ::sigaction(SIGTERM, &sa, &handler.previous_term);
}

void release_interruptions() {
    int depth = handler.catching.load();
    do {
        if (depth == 0) return;
    } while (!handler.catching.compare_exchange_weak(depth, depth - 1));
    if (depth > 1) return;
    ::sigaction(SIGINT, &handler.previous_int, nullptr);
    ::sigaction(SIGTERM, &handler.previous_term, nullptr);
}

InterruptionsHeld::InterruptionsHeld() {
    sigset_t both;
    sigemptyset(&both);
    sigaddset(&both, SIGINT);
    sigaddset(&both, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &both, &previous_);
}

InterruptionsHeld::~InterruptionsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void set_scratch_directory(const std::string& path) {
    set_slot(handler.scratch_directory, path.empty() ? path : absolute(path));
}

// ---- Locks ----

FileLock::Outcome FileLock::take(const std::string& name) {
    release();
    holder_ = 0;
    error_ = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            error_ = errno;
            return Outcome::failed;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            if (e == EWOULDBLOCK) {
                // The holder records its number just after it took the lock.
                holder_ = recorded_process(fd);
                for (int wait = 0; holder_ == 0 && wait < 100; ++wait) {
                    ::usleep(1000);
                    holder_ = recorded_process(fd);
                }
            }
            ::close(fd);
            error_ = e;
            return e == EWOULDBLOCK ? Outcome::held_by_another : Outcome::failed;
        }
        // The file locked must still be the one the name leads to: its
        // previous holder may have removed it between our open and flock.
        struct stat held{};
        struct stat named{};
        if (::fstat(fd, &held) == 0 && ::stat(name.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            // The process number is for the message of a process that finds
            // the lock held; the lock itself does not depend on it, so a
            // failure to record it is no failure.
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.c_str(), pid.size(), 0);
            fd_ = fd;
            name_ = absolute(name);
            return Outcome::taken;
        }
        ::close(fd);
    }
    return Outcome::failed;
}

void FileLock::release() {
    if (fd_ < 0) return;
    // Removed while still locked, so that no one locks a file about to go.
    ::unlink(name_.c_str());
    ::close(fd_);
    fd_ = -1;
    name_.clear();
}

bool lock_run_directory(const std::string& lock_name, const std::string& project) {
    unlock_run_directory();
    // No interruption between making the lock file and publishing its name.
    const InterruptionsHeld held_back;
    FileLock& run_lock = files().run_lock;
    switch (run_lock.take(lock_name)) {
        case FileLock::Outcome::taken:
            set_slot(handler.lock_file_name, absolute(lock_name));
            return true;
        case FileLock::Outcome::held_by_another: {
            const long other = run_lock.holder();
            opxerr("Another run of " + project + (other > 0 ? " (process " + std::to_string(other) + ")" : "") +
                   " is working in this directory (lock file " + lock_name +
                   "); wait for it to end, or run in another directory");
            return false;
        }
        case FileLock::Outcome::failed:
            opxerr("Cannot take the lock of this directory, " + lock_name + ": " +
                   (run_lock.error() != 0 ? std::strerror(run_lock.error()) : "it keeps being replaced"));
            return false;
    }
    return false;
}

void unlock_run_directory() {
    if (!files().run_lock.held()) return;
    set_slot(handler.lock_file_name, "");
    files().run_lock.release();
}

}  // namespace nodrix

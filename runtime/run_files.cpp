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
#include <unordered_set>

#include "runtime/opxfile.h"
#include "xu/xu_mem.h"

namespace nodrix {
namespace {

// ---- Names the signal handler removes ----

// Slots of the names a handler removes: temporary files, working files and
// the lock file. A slot holds a heap copy of an absolute name, or null.
constexpr std::size_t kRemovalSlots = 4096;
std::array<std::atomic<char*>, kRemovalSlots> removal_names{};
std::atomic<char*> lock_file_name{nullptr};
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

// Publishes a name for removal on interruption (before its file exists).
void publish(const std::string& name) {
    char* p = copy_of(absolute(name));
    for (auto& slot : removal_names) {
        char* none = nullptr;
        if (slot.compare_exchange_strong(none, p, std::memory_order_release)) return;
    }
    xu_free(p);  // the table is full: this file is not removed on interruption
}

// Withdraws a published name (after its file is gone or in place).
void withdraw(const std::string& name) {
    const std::string full = absolute(name);
    for (auto& slot : removal_names) {
        char* p = slot.load(std::memory_order_acquire);
        if (p != nullptr && full == p) {
            slot.store(nullptr, std::memory_order_release);
            xu_free(p);
            return;
        }
    }
}

void withdraw_all() {
    for (auto& slot : removal_names)
        if (char* p = slot.exchange(nullptr, std::memory_order_acq_rel); p != nullptr) xu_free(p);
}

// ---- The run's lists ----

std::vector<std::string> put_in_place_list;
std::unordered_set<std::string> put_in_place_set;
std::vector<std::string> working_list;
std::unordered_set<std::string> working_set;

int temporary_counter = 0;

// ---- Interruption ----

pthread_t main_thread;
struct sigaction previous_int;
struct sigaction previous_term;
bool catching = false;
// The message of each signal, made before any signal can come.
char message_int[160];
char message_term[160];

extern "C" void on_interruption(int sig) {
    if (!pthread_equal(pthread_self(), main_thread)) {
        // Only the main thread touches the table: it removes the files.
        pthread_kill(main_thread, sig);
        return;
    }
    for (auto& slot : removal_names)
        if (const char* p = slot.load(std::memory_order_acquire); p != nullptr) ::unlink(p);
    if (const char* p = lock_file_name.load(std::memory_order_acquire); p != nullptr) ::unlink(p);
    const char* text = sig == SIGINT ? message_int : message_term;
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

int lock_fd = -1;
std::string lock_path;

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
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "." + base + "." + std::to_string(::getpid()) +
                                 (temporary_counter == 0 ? "" : "-" + std::to_string(temporary_counter)) + ".part";
        ++temporary_counter;
        temporary = dir.empty() ? name : dir + "/" + name;
        publish(temporary);
        const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0) {
            temporary_counter = 0;
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

bool put_in_place(const std::string& temporary, const std::string& final_name) {
    if (::rename(temporary.c_str(), final_name.c_str()) != 0) {
        const int e = errno;
        ::unlink(temporary.c_str());
        withdraw(temporary);
        errno = e;
        return false;
    }
    withdraw(temporary);
    if (put_in_place_set.insert(final_name).second) put_in_place_list.push_back(final_name);
    return true;
}

void discard_temporary(const std::string& temporary) {
    ::unlink(temporary.c_str());
    withdraw(temporary);
}

// ---- Working files ----

void note_working_file(const std::string& name) {
    if (name.empty() || !working_set.insert(name).second) return;
    working_list.push_back(name);
    publish(name);
}

void remove_working_files() {
    for (const std::string& name : working_list) {
        ::unlink(name.c_str());
        withdraw(name);
    }
    working_list.clear();
    working_set.clear();
}

void keep_working_files() {
    for (const std::string& name : working_list) withdraw(name);
    working_list.clear();
    working_set.clear();
}

// ---- What the run wrote ----

void begin_run_files() {
    put_in_place_list.clear();
    put_in_place_set.clear();
    working_list.clear();
    working_set.clear();
    withdraw_all();
}

const std::vector<std::string>& files_put_in_place() { return put_in_place_list; }

bool run_wrote(const std::string& name) { return put_in_place_set.count(name) != 0; }

void report_unwritable(const std::string& name, int error) {
    opxerr("Cannot write the file " + name + ": " + std::strerror(error != 0 ? error : EIO));
}

void report_unfinished(const std::string& name) {
    opxerr("The file " + name + " was not completed: it is not written");
}

// ---- Interruption ----

void catch_interruptions() {
    if (catching) return;
    main_thread = pthread_self();
    make_message(message_int, sizeof message_int, "SIGINT");
    make_message(message_term, sizeof message_term, "SIGTERM");
    struct sigaction sa{};
    sa.sa_handler = on_interruption;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGINT);
    sigaddset(&sa.sa_mask, SIGTERM);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &sa, &previous_int);
    ::sigaction(SIGTERM, &sa, &previous_term);
    catching = true;
}

void release_interruptions() {
    if (!catching) return;
    ::sigaction(SIGINT, &previous_int, nullptr);
    ::sigaction(SIGTERM, &previous_term, nullptr);
    catching = false;
}

// ---- Lock ----

namespace {

// Holds SIGINT and SIGTERM back while the lock file is made and its name
// published: an interruption in between would leave a file no one removes.
// A signal that came meanwhile is taken as the guard ends.
class InterruptionsHeld {
public:
    InterruptionsHeld() {
        sigset_t both;
        sigemptyset(&both);
        sigaddset(&both, SIGINT);
        sigaddset(&both, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &both, &previous_);
    }
    ~InterruptionsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    InterruptionsHeld(const InterruptionsHeld&) = delete;
    InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace

bool lock_run_directory(const std::string& lock_name, const std::string& project) {
    unlock_run_directory();
    const InterruptionsHeld held_back;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = ::open(lock_name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            opxerr("Cannot take the lock of this directory, " + lock_name + ": " + std::strerror(errno));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int e = errno;
            if (e == EWOULDBLOCK) {
                // The holder records its number just after it took the lock.
                long other = recorded_process(fd);
                for (int wait = 0; other == 0 && wait < 100; ++wait) {
                    ::usleep(1000);
                    other = recorded_process(fd);
                }
                ::close(fd);
                opxerr("Another run of " + project + (other > 0 ? " (process " + std::to_string(other) + ")" : "") +
                       " is working in this directory (lock file " + lock_name +
                       "); wait for it to end, or run in another directory");
                return false;
            }
            ::close(fd);
            opxerr("Cannot take the lock of this directory, " + lock_name + ": " + std::strerror(e));
            return false;
        }
        // The file locked must still be the one the name leads to: its
        // previous holder may have removed it between our open and flock.
        struct stat held{};
        struct stat named{};
        if (::fstat(fd, &held) == 0 && ::stat(lock_name.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            // The process number is for the message of a run that finds the
            // lock held; the lock itself does not depend on it, so a failure
            // to record it is no failure of the run.
            const std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.c_str(), pid.size(), 0);
            lock_fd = fd;
            lock_path = absolute(lock_name);
            lock_file_name.store(copy_of(lock_path), std::memory_order_release);
            return true;
        }
        ::close(fd);
    }
    opxerr("Cannot take the lock of this directory, " + lock_name + ": it keeps being replaced");
    return false;
}

void unlock_run_directory() {
    if (lock_fd < 0) return;
    // Removed while still locked, so that no run locks a file about to go.
    char* p = lock_file_name.exchange(nullptr, std::memory_order_acq_rel);
    ::unlink(lock_path.c_str());
    if (p != nullptr) xu_free(p);
    ::close(lock_fd);
    lock_fd = -1;
    lock_path.clear();
}

}  // namespace nodrix

// The files of one run, kept sound whatever happens to the run.
//
// Result files are written under a temporary name in the directory of their
// final name (".NAME.PID.part") and take that name only once complete; the
// run keeps the list of the result files it put in place.
//
// Nothing of the run's directory changes while the run works. Between
// begin_run_files() and end_run_files() every file the run writes, renames or
// removes (results, the memory map and delay file, reports, charts, the
// blocks' hand-over and working files) stays aside: new and changed files
// under temporary names, removals and renames noted. The run sees its own
// versions through present_version(). When it ends well, end_run_files()
// puts them all in place together (interruptions held back meanwhile), or
// none when one of them cannot go; when it fails or is interrupted, the files
// an earlier run left stay exactly as they were and none of this run's take
// their names. Outside a run every operation acts at once.
//
// SIGINT and SIGTERM end a run at once: the handler removes every temporary
// file of the run and the run's lock file (and, when one is named, the run's
// scratch directory, then empty), says so on the standard error and ends the
// process with status 128 + the signal number (130, 143). It calls only
// async-signal-safe functions (pthread_self, pthread_kill, unlink, rmdir,
// write, _exit) on names published beforehand in a fixed table of atomic
// pointers: a name is published before its file is created and withdrawn only
// after the file is renamed or removed, and the table is touched by the main
// thread alone, on which the handler always runs (a signal caught by another
// thread is passed on to the main thread).
//
// One run per directory: a run holds an exclusive flock() on a lock file named
// after its project, which records its process number (FileLock). A second
// run finds the lock held and stops; the kernel drops the lock with the
// process, however it ends, so a killed run never blocks the next one.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace nodrix {

// ---- Result files under a temporary name ----

// Creates the temporary file of `final_name` beside it and returns its
// descriptor, its name in `temporary`. The file gets the permission bits of
// the file it will replace, or `mode` less the umask. -1 with errno set when
// the temporary file cannot be made; when the final name is a directory
// (EISDIR) or anything else but a regular file, a device, a pipe or a socket
// (EEXIST), which is never replaced; or, with `replaces_only_writable`, when
// it is a file this process may not write (EACCES): such a file is not
// replaced behind the user's back.
int create_temporary(const std::string& final_name, std::string& temporary, mode_t mode,
                     bool replaces_only_writable = true);
// Puts a complete temporary file in place of its final name and records the
// name among the files the run wrote: during a run when the run ends well,
// outside a run at once. False with errno set when the rename fails; the
// temporary file is then removed.
bool put_in_place(const std::string& temporary, const std::string& final_name);
// Removes a temporary file that will not be completed.
void discard_temporary(const std::string& temporary);

// ---- The run's view of its directory ----

// Where the run's present version of the file `name` lies: the file it wrote
// under a temporary name, or `name` itself when the run has not changed it;
// "" when the run removed it. Outside a run: `name`.
std::string present_version(const std::string& name);
// Whether the run's version of `name` exists (a file the run removed does not).
bool file_present(const std::string& name);
// A file of the run, made with create_temporary() and written in place while
// the run works, becomes the run's version of `name` at once (not listed
// among the results).
void adopt_working_file(const std::string& temporary, const std::string& name);
// The run's version of `name` made writable: the run's own file, or a copy of
// the earlier one taken for the run (so that writing never changes a file of
// an earlier run). "" with errno set when there is none or no copy can be made.
std::string writable_version(const std::string& name);
// Removes `name` from the run's view (its own version at once, an earlier
// file when the run ends well). False with errno set when it cannot.
bool remove_run_file(const std::string& name);
// Renames `from` to `to` in the run's view. False with errno set when `from`
// is not there or `to` cannot be made.
bool rename_run_file(const std::string& from, const std::string& to);

// ---- Working files ----

// Notes a working file of the run (created or written by it).
void note_working_file(const std::string& name);
// Removes the noted working files from the run's view.
void remove_working_files();
// Keeps the noted working files: they go in place with the run's results.
void keep_working_files();

// ---- What the run wrote ----

// Starts a run: forgets the lists of the previous run, and from here on keeps
// the directory as it is until end_run_files().
void begin_run_files();
// Ends a run: with `put_in_place_now`, puts every file of the run in place
// together and applies its removals and renames; false, with the error
// reported and nothing changed, when one cannot go. Without, removes the
// run's files and changes nothing (the run failed or was a trial).
bool end_run_files(bool put_in_place_now);
// The result files the run put in place, in the order it did.
const std::vector<std::string>& files_put_in_place();
bool run_wrote(const std::string& name);

// The error for a file the run cannot write: "Cannot write the file NAME:
// REASON" (the system's text for `error`).
void report_unwritable(const std::string& name, int error);
// The error for a result file still open when its run ends: "The file NAME
// was not completed: it is not written".
void report_unfinished(const std::string& name);

// ---- Interruption ----

// Makes SIGINT and SIGTERM end the run as described above, until
// release_interruptions() puts the previous handlers back. Calls nest: the
// outermost pair counts.
void catch_interruptions();
void release_interruptions();

// Holds SIGINT and SIGTERM back for its lifetime; one that came meanwhile is
// taken as it ends.
class InterruptionsHeld {
public:
    InterruptionsHeld();
    ~InterruptionsHeld();
    InterruptionsHeld(const InterruptionsHeld&) = delete;
    InterruptionsHeld& operator=(const InterruptionsHeld&) = delete;

private:
    sigset_t previous_{};
};

// A directory the interruption handler removes after the run's files (it is
// left when it is not empty then); "" names none.
void set_scratch_directory(const std::string& path);

// ---- Locks ----

// An exclusive lock (flock) on a file that records its holder's process
// number. The holder removes the file as it lets go, still holding the lock;
// a process that opened the file just as it was removed sees that the name no
// longer leads to the file it locked and takes it anew.
class FileLock {
public:
    enum class Outcome { taken, held_by_another, failed };
    Outcome take(const std::string& name);
    // After held_by_another: the process recorded in the file, or 0.
    long holder() const { return holder_; }
    // After failed: the reason (errno; 0 when the file kept being replaced).
    int error() const { return error_; }
    // Removes the file and drops the lock.
    void release();
    bool held() const { return fd_ >= 0; }
    ~FileLock() { release(); }

private:
    int fd_ = -1;
    std::string name_;
    long holder_ = 0;
    int error_ = 0;
};

// ---- One run per directory ----

// Takes the lock file `lock_name` in the current directory for a run of
// `project`. False, with the error reported, when another run holds it or the
// file cannot be made.
bool lock_run_directory(const std::string& lock_name, const std::string& project);
// Removes the lock file and drops the lock.
void unlock_run_directory();

}  // namespace nodrix

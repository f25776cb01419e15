// The files of one run, kept sound whatever happens to the run.
//
// Result files are written under a temporary name in the directory of their
// final name (".NAME.PID.part") and renamed into place only once complete, so
// that a final name never holds a half-written file; the run keeps the list of
// the result files it put in place. Working files (the blocks' named hand-over
// and scratch files) are noted as the run creates or writes them.
//
// SIGINT and SIGTERM end a run at once: the handler removes every temporary
// file and every working file of the run and the run's lock file, says so on
// the standard error and ends the process with status 128 + the signal number
// (130, 143). It calls only async-signal-safe functions (pthread_self,
// pthread_kill, unlink, write, _exit) on names published beforehand in a
// fixed table of atomic pointers: a name is published before its file is
// created and withdrawn only after the file is renamed or removed, and the
// table is touched by the main thread alone, on which the handler always runs
// (a signal caught by another thread is passed on to the main thread).
//
// One run per directory: a run holds an exclusive flock() on a lock file named
// after its project, which records its process number. A second run finds the
// lock held and stops; the kernel drops the lock with the process, however it
// ends, so a killed run never blocks the next one. The holder removes the file
// when it ends, and a run that opened a file its holder was just removing
// sees that the name no longer leads to the file it locked and takes it anew.
#pragma once

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
// Renames a complete temporary file to its final name and records the name
// among the files the run wrote. False with errno set when the rename fails;
// the temporary file is then removed.
bool put_in_place(const std::string& temporary, const std::string& final_name);
// Removes a temporary file that will not be completed.
void discard_temporary(const std::string& temporary);

// ---- Working files ----

// Notes a working file of the run (created or written by it).
void note_working_file(const std::string& name);
// Removes the noted working files that still exist.
void remove_working_files();
// Keeps the noted working files: an interruption no longer removes them.
void keep_working_files();

// ---- What the run wrote ----

// Forgets the lists of the previous run.
void begin_run_files();
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
// release_interruptions() puts the previous handlers back.
void catch_interruptions();
void release_interruptions();

// ---- One run per directory ----

// Takes the lock file `lock_name` in the current directory for a run of
// `project`. False, with the error reported, when another run holds it or the
// file cannot be made.
bool lock_run_directory(const std::string& lock_name, const std::string& project);
// Removes the lock file and drops the lock.
void unlock_run_directory();

}  // namespace nodrix

// Numbered file units (1 to 100) and the registry of the models' data files on
// units 11 to 100. A unit holds an open stream; formatted units are read and
// written as text lines, unformatted ones as length-prefixed records
// (runtime/record_file.h).
//
// Every write of a unit's stream is checked: the first failure is an error
// naming the file. A "NEW" file is a result: it is written under a temporary
// name and put in place when its unit is closed, only if complete. Any other
// named file the run creates or writes is one of its working files
// (runtime/run_files.h); one whose writing failed does not stay on disk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace nodrix {

// File types of opnfil.
enum : std::int32_t {
    kFormattedNew = 31,
    kFormattedUnknown = 32,
    kFormattedScratch = 33,
    kUnformattedNew = 41,
    kUnformattedUnknown = 42,
    kUnformattedScratch = 43,
};

inline constexpr std::int32_t kFirstRegistryUnit = 11;
inline constexpr std::int32_t kLastUnit = 100;

// Registers and opens `name` (its first `length` characters up to the last
// non-blank one) plus ".DAT" on the first free unit from 11 to 100 and returns
// the unit. A "NEW" type whose file exists keeps the old file as
// name_old.DAT when the new one goes in place. When no unit is free (error
// 9251) or the file cannot be opened, unit is 0 and nothing is registered.
void opnfil(const char* name, std::int32_t type, std::int32_t& unit, std::int32_t length);
// The same for a file opened under its own name, without the ".DAT" suffix.
void opnfil_as_named(const char* name, std::int32_t type, std::int32_t& unit, std::int32_t length);
// Closes the unit registered under `name` + ".DAT": mode 1 deletes the file, 0 keeps it.
void clofil(const char* name, std::int32_t mode, std::int32_t length);
// Closes a registered unit by number: mode 1 deletes the file, 0 keeps it.
void clodev(std::int32_t unit, std::int32_t mode);
// Opens name + ".DAT" as type 32 for rewriting a marked text file.
void opntff(const char* name, std::int32_t& unit);
// Clears the whole registry (the legacy recorder units it would close do not
// exist in this program).
void tqflrs();

// Opens an unnamed scratch file directly on a unit, outside the registry
// (used for working files in the dimensioning pass).
bool open_scratch_unit(std::int32_t unit, bool formatted);
// Closes a unit opened outside the registry (scratch files vanish; a new
// file does not go in place).
void close_unit(std::int32_t unit);
// Closes every unit still open at the end of a run; a new file among them is
// incomplete and reported as an error. Returns how many were open.
std::int32_t units_close_unfinished();

// The stream of an open unit, or null.
std::FILE* unit_stream(std::int32_t unit);
// The path of an open named unit ("" for scratch or closed units).
std::string unit_path(std::int32_t unit);
// True when the unit is registered (in use) in the registry.
bool unit_registered(std::int32_t unit);

// Formatted unit helpers: write one line (a line end is added; as in any
// sequential file, the file then ends after the line written, so rewriting an
// older, longer file leaves nothing of it behind); read one line without its
// line end (false at the end of the file); rewind.
bool unit_write_line(std::int32_t unit, const std::string& line);
// Ends the file of a unit at its current position (after the last record
// written), for units written through their stream directly.
void unit_end_here(std::int32_t unit);
// The same for a unit known by its stream.
void stream_end_here(std::FILE* f);
// Flushes a unit's stream: true when everything written to it so far reached
// its file.
bool unit_flush(std::int32_t unit);
bool unit_read_line(std::int32_t unit, std::string& line);
void unit_rewind(std::int32_t unit);

// Closes every unit and clears the registry (tests).
void reset_units();

}  // namespace nodrix

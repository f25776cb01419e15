// Raw binary files named by small integer identifiers, with an optional private
// buffer per file. Values are written in native byte order with no header,
// padding or conversion. Every failure is reported on the standard error and
// returned as -1 (0 for the existence check); none stops the program.
//
// A file opened for writing is a result file: it is written under a temporary
// name and put in place under its own name by io_close only when every write
// reached it (runtime/run_files.h); opened for appending, it starts as a copy
// of the existing file. Opened for reading and writing, it is changed in
// place. The first failure to create, write or complete such a file is an
// error through opxerr naming the file and the reason; the file is then not
// put in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace nodrix {

// Mode bits of io_open.
enum : std::int32_t { kIoWrite = 1, kIoRead = 2, kIoText = 4, kIoAppend = 8 };

// Arguments come by pointer, as the models pass them; a null pointer is a bad
// parameter. A buffer size of -1 (any negative) gives 10000 bytes, 0 none.
std::int32_t io_open(const char* name, const std::int32_t* mode, const std::int32_t* size);
std::int32_t io_write_byte(const std::int32_t* id, const void* data, const std::int32_t* count);
std::int32_t io_write_str(const std::int32_t* id, const char* text);
std::int32_t io_write_int(const std::int32_t* id, const std::int32_t* data, const std::int32_t* count);
std::int32_t io_write_flt(const std::int32_t* id, const float* data, const std::int32_t* count);
std::int32_t io_write_dbl(const std::int32_t* id, const double* data, const std::int32_t* count);
// Reads return the bytes read, 0 at the end of the data, or -1.
std::int32_t io_read_str(const std::int32_t* id, void* dest, const std::int32_t* count);
std::int32_t io_read_int(const std::int32_t* id, std::int32_t* dest, const std::int32_t* count);
std::int32_t io_read_flt(const std::int32_t* id, float* dest, const std::int32_t* count);
std::int32_t io_read_dbl(const std::int32_t* id, double* dest, const std::int32_t* count);
// Seeks an unbuffered file; a buffered file cannot seek (-1 with a message).
std::int32_t io_fseek(const std::int32_t* id, const std::int32_t* offset);
std::int32_t io_close(const std::int32_t* id);
std::int32_t io_close_all();
// Writes integers at the start of an existing file, without truncating it.
std::int32_t io_rewrite_int(const char* name, const std::int32_t* data, const std::int32_t* count);
// 1 when the file (name cut at the first blank) can be opened for reading.
std::int32_t io_fchk(const char* name);
// Writes bytes at an offset from the start of a file open for writing, after
// the bytes its buffer holds; the position of later writes does not move.
std::int32_t io_write_at(std::int32_t id, std::int64_t offset, const void* data, std::int32_t count);
// Closes every file still open; those opened for writing are incomplete: their
// temporary files are removed and each is reported as an error. Returns how
// many were open.
std::int32_t io_close_unfinished();

// Every write of the program's result and working files goes through these,
// whole or failing: `at` < 0 writes at the file position, else at that offset.
// False with errno set on a failure.
bool io_write_fully(int fd, const void* data, std::size_t count, off_t at = -1);
// Makes writes fail with "No space left on device", as a full disk would:
// counting from the next write as 1, write number `first` and the `count` - 1
// after it (every one from `first` on when `count` is negative). `first` 0
// lets every write through again.
void io_fail_writes(std::int64_t first, std::int64_t count);
// The writes made so far (failed ones included).
std::int64_t io_writes_made();

// Value forms for callers in C++.
inline std::int32_t io_open(const char* name, std::int32_t mode, std::int32_t size) { return io_open(name, &mode, &size); }
inline std::int32_t io_write_str(std::int32_t id, const char* text) { return io_write_str(&id, text); }
inline std::int32_t io_write_byte(std::int32_t id, const void* data, std::int32_t count) { return io_write_byte(&id, data, &count); }
inline std::int32_t io_write_int(std::int32_t id, const std::int32_t* data, std::int32_t count) { return io_write_int(&id, data, &count); }
inline std::int32_t io_write_flt(std::int32_t id, const float* data, std::int32_t count) { return io_write_flt(&id, data, &count); }
inline std::int32_t io_write_dbl(std::int32_t id, const double* data, std::int32_t count) { return io_write_dbl(&id, data, &count); }
inline std::int32_t io_read_str(std::int32_t id, void* dest, std::int32_t count) { return io_read_str(&id, dest, &count); }
inline std::int32_t io_read_int(std::int32_t id, std::int32_t* dest, std::int32_t count) { return io_read_int(&id, dest, &count); }
inline std::int32_t io_read_flt(std::int32_t id, float* dest, std::int32_t count) { return io_read_flt(&id, dest, &count); }
inline std::int32_t io_read_dbl(std::int32_t id, double* dest, std::int32_t count) { return io_read_dbl(&id, dest, &count); }
inline std::int32_t io_fseek(std::int32_t id, std::int32_t offset) { return io_fseek(&id, &offset); }
inline std::int32_t io_close(std::int32_t id) { return io_close(&id); }

}  // namespace nodrix

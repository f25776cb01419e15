// Raw binary files named by small integer identifiers, with an optional private
// buffer per file. Values are written in native byte order with no header,
// padding or conversion. Every failure is reported on the standard error and
// returned as -1 (0 for the existence check); none stops the program.
#pragma once

#include <cstdint>

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

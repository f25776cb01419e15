// A thin handle-based binary file layer used by the chart writer and reader.
// Values are written in native (little-endian) byte order with no conversion.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nodrix {

// Mode bits of xu_BfileOpen.
enum : int { kBfileRead = 2, kBfileWrite = 4, kBfileAppend = 8 };

struct XuBfile {
    int fd = -1;
};

XuBfile* xu_BfileOpen(const char* path, int mode);
int xu_BfileClose(XuBfile* h);                       // 0, or -2 when the close failed
int xu_BfileSeek(XuBfile* h, long offset);            // from the start; 0 or -2
int xu_BfileWriteNByte(XuBfile* h, const void* data, std::size_t n);  // 0 or -1
int xu_BfileWriteByte(XuBfile* h, unsigned char byte);
int xu_BfileWriteInt(XuBfile* h, std::int32_t value);
int xu_BfileWriteDouble(XuBfile* h, double value);
int xu_BfileWriteString(XuBfile* h, const char* text);       // int32 length with NUL, text, NUL
int xu_BfileWriteStringAscii(XuBfile* h, const char* text);  // text and NUL
// Reads n bytes: 0, or -1 at end of file or on error (the n bytes are then zeroed).
int xu_BfileReadNByte(XuBfile* h, void* dest, std::size_t n);
// Reads up to and including a NUL, storing at most max bytes; the stored text
// is always NUL-terminated within max (a longer text is cut). Returns the last
// read result.
int xu_BfileReadStringAscii(XuBfile* h, char* dest, std::size_t max);
// Reads and discards the 4-byte length, then as xu_BfileReadStringAscii.
int xu_BfileReadString(XuBfile* h, char* dest, std::size_t max);

}  // namespace nodrix

// Unformatted sequential record files: every record is preceded and followed
// by its byte length as a 4-byte native integer. The working files of the
// fibre and the hand-over files of the filters are written and read this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

namespace nodrix::records {

// Writes one record holding `data`. Returns false on a write failure.
bool write(std::FILE* f, std::span<const std::byte> data);

// Reads the next record into `data`. Returns false at the end of the file, on
// a short or damaged record (the two length words differ), or on a read error;
// `data` is then empty.
bool read(std::FILE* f, std::vector<std::byte>& data);

// Skips the next record. Returns false as read() does.
bool skip(std::FILE* f);

// Writes one record holding the given values back to back (native bytes).
template <class... T>
bool write_values(std::FILE* f, const T&... values) {
    static_assert((std::is_trivially_copyable_v<T> && ...));
    std::vector<std::byte> buf;
    buf.reserve((sizeof(T) + ... + 0));
    auto put = [&buf](const auto& v) {
        const auto* p = reinterpret_cast<const std::byte*>(&v);
        buf.insert(buf.end(), p, p + sizeof v);
    };
    (put(values), ...);
    return write(f, buf);
}

// Writes one record holding an array of values.
template <class T>
bool write_array(std::FILE* f, std::span<const T> values) {
    static_assert(std::is_trivially_copyable_v<T>);
    return write(f, std::as_bytes(values));
}

// Reads one record and unpacks the given values from its start. Returns false
// when the record cannot be read or is shorter than the values.
template <class... T>
bool read_values(std::FILE* f, T&... values) {
    static_assert((std::is_trivially_copyable_v<T> && ...));
    std::vector<std::byte> buf;
    if (!read(f, buf) || buf.size() < (sizeof(T) + ... + 0)) return false;
    std::size_t at = 0;
    auto get = [&buf, &at](auto& v) {
        std::memcpy(&v, buf.data() + at, sizeof v);
        at += sizeof v;
    };
    (get(values), ...);
    return true;
}

// Reads one record into an array of values; the record must hold at least
// values.size() elements.
template <class T>
bool read_array(std::FILE* f, std::span<T> values) {
    static_assert(std::is_trivially_copyable_v<T>);
    std::vector<std::byte> buf;
    if (!read(f, buf) || buf.size() < values.size_bytes()) return false;
    std::memcpy(values.data(), buf.data(), values.size_bytes());
    return true;
}

}  // namespace nodrix::records

#include "runtime/record_file.h"

#include <algorithm>

namespace nodrix::records {
namespace {

// The files are used by one thread at a time: the stream's lock is not taken
// for every record.
std::size_t put(const void* p, std::size_t n, std::FILE* f) {
#if defined(__GLIBC__)
    return fwrite_unlocked(p, 1, n, f);
#else
    return std::fwrite(p, 1, n, f);
#endif
}

std::size_t get(void* p, std::size_t n, std::FILE* f) {
#if defined(__GLIBC__)
    return fread_unlocked(p, 1, n, f);
#else
    return std::fread(p, 1, n, f);
#endif
}

// Records up to this size go through a buffer on the stack in one call.
constexpr std::size_t kSmall = 256;
// Larger records are read in pieces of this size, so that a damaged length
// word cannot claim more memory than the file holds.
constexpr std::size_t kPiece = std::size_t{1} << 20;

}  // namespace

bool write(std::FILE* f, std::span<const std::byte> data) {
    if (f == nullptr || data.size() > 0x7fffffffu) return false;
    const std::int32_t n = static_cast<std::int32_t>(data.size());
    if (data.size() <= kSmall) {
        std::byte record[kSmall + 2 * sizeof n];
        std::memcpy(record, &n, sizeof n);
        if (!data.empty()) std::memcpy(record + sizeof n, data.data(), data.size());
        std::memcpy(record + sizeof n + data.size(), &n, sizeof n);
        const std::size_t total = data.size() + 2 * sizeof n;
        return put(record, total, f) == total;
    }
    return put(&n, sizeof n, f) == sizeof n && put(data.data(), data.size(), f) == data.size() &&
           put(&n, sizeof n, f) == sizeof n;
}

bool read(std::FILE* f, std::vector<std::byte>& data) {
    data.clear();
    if (f == nullptr) return false;
    std::int32_t head = 0;
    std::int32_t tail = 0;
    if (get(&head, sizeof head, f) != sizeof head || head < 0) return false;
    const auto size = static_cast<std::size_t>(head);
    if (size <= kSmall) {
        // The data and the closing length word in one call.
        std::byte record[kSmall + sizeof tail];
        if (get(record, size + sizeof tail, f) != size + sizeof tail) return false;
        std::memcpy(&tail, record + size, sizeof tail);
        if (tail != head) return false;
        data.assign(record, record + size);
        return true;
    }
    for (std::size_t have = 0; have < size;) {
        const std::size_t part = std::min(kPiece, size - have);
        data.resize(have + part);
        if (get(data.data() + have, part, f) != part) {
            data.clear();
            return false;
        }
        have += part;
    }
    if (get(&tail, sizeof tail, f) != sizeof tail || tail != head) {
        data.clear();
        return false;
    }
    return true;
}

bool skip(std::FILE* f) {
    std::vector<std::byte> scratch;
    return read(f, scratch);
}

}  // namespace nodrix::records

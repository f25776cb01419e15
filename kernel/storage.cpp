#include "kernel/storage.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "runtime/opxfile.h"

namespace nodrix {
namespace {

constexpr std::int64_t kAlignment = 64;

std::int64_t aligned(std::int64_t bytes) { return (bytes + kAlignment - 1) / kAlignment * kAlignment; }

// How the kernel's storage records of a kind are laid out: the header words
// in front of the elements, the bytes of an element, the count it adds to
// and the kind's name in messages.
struct KindLayout {
    std::int32_t header;
    std::int64_t element_bytes;
    std::int32_t StorageCounts::*count;
    const char* name;
};

// Integers and reals keep the next record's position and the divisor in two
// header words; texts are 80-character records with one header record.
KindLayout layout_of(SlotKind kind) {
    switch (kind) {
        case SlotKind::real: return {2, 4, &StorageCounts::h, "H"};
        case SlotKind::integer: return {2, 4, &StorageCounts::i, "I"};
        case SlotKind::text: return {1, 80, &StorageCounts::c, "C"};
        case SlotKind::real_double: return {2, 8, &StorageCounts::d, "D"};
        case SlotKind::complex: return {2, 8, &StorageCounts::z, "Z"};
        case SlotKind::complex_double: return {2, 16, &StorageCounts::zd, "ZD"};
    }
    return {2, 4, &StorageCounts::h, "H"};
}

}  // namespace

std::int64_t storage_bytes(const StorageCounts& k) {
    return aligned(std::int64_t{k.h} * 4) + aligned(std::int64_t{k.i} * 4) + aligned(std::int64_t{k.c} * 80) +
           aligned(std::int64_t{k.d} * 8) + aligned(std::int64_t{k.z} * 8) + aligned(std::int64_t{k.zd} * 16) +
           aligned(std::int64_t{k.ht} * 4) + aligned(std::int64_t{k.it} * 4);
}

bool storage_fits(const StorageCounts& m, const StorageCounts& k) {
    return m.h <= k.h && m.i <= k.i && m.d <= k.d && m.c <= k.c && m.ht <= k.ht && m.it <= k.it && m.ct <= k.ct &&
           m.z <= k.z && m.zd <= k.zd;
}

bool storage_count_overflowed(const StorageCounts& m) {
    return std::max({m.h, m.i, m.d, m.c, m.ht, m.it, m.ct, m.z, m.zd}) > kLargestCapacity;
}

std::int64_t slot_bytes(SlotKind kind, std::int32_t n) {
    const KindLayout k = layout_of(kind);
    return k.element_bytes * (std::int64_t{n} + k.header);
}

void StorageAccount::account(SlotKind kind, std::int32_t n) const {
    const KindLayout k = layout_of(kind);
    if (counting_) {
        std::int32_t& counter = counts_.*k.count;
        const std::int64_t total = std::int64_t{counter} + n + k.header;
        const unsigned bit = 1u << static_cast<unsigned>(kind);
        if (total > kLargestCapacity) {
            // Such a project cannot run at all.
            if ((overflow_reported_ & bit) == 0) {
                overflow_reported_ |= bit;
                opxerr(std::string("The kernel storage of kind ") + k.name + " would need more than " +
                       std::to_string(kLargestCapacity) + " elements");
            }
            counter = kLargestCapacity + 1;
        } else if (counter <= kLargestCapacity) {
            counter = static_cast<std::int32_t>(total);
        }
    }
    // The fibre's split into pieces reads a wrapped, negative word as a
    // request too large to hold.
    block_bytes_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(block_bytes_) +
                                             static_cast<std::uint32_t>(slot_bytes(kind, n)));
}

void StorageAccount::start_count() {
    counts_ = StorageCounts{};
    overflow_reported_ = 0;
}

void count_char(const char* name, std::int32_t& n) {
    constexpr int kLen = 50;
    int first = -1;
    int last = -1;
    for (int k = 0; k < kLen && name[k] != '\0'; ++k) {
        if (name[k] != ' ' && first < 0) first = k;
        if (name[k] != ' ' && name[k] != '_') last = k;
    }
    n = (first < 0 || last < first) ? 0 : last - first + 1;
}

}  // namespace nodrix

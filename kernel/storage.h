// Kernel storage accounting. Blocks keep their state as their own members
// (kernel/block.h); what that state takes is counted here by kind, each
// record with the header words the kernel's storage records carry, so that
// the memory map, the limits file and the memory cap show the numbers of the
// storage arrays the original kernel laid the same records in.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nodrix {

// Element counts of the nine storage kinds, in the order of the limits file:
// the counts a project needs, or the capacities it may use.
struct StorageCounts {
    std::int32_t h, i, d, c, ht, it, ct, z, zd;
    bool operator==(const StorageCounts&) const = default;
};

// Capacities when nothing asks for more.
inline constexpr StorageCounts kDefaultCapacities{200000, 200000, 200000, 100, 1000, 1000, 100, 200000, 200000};
// Largest capacity of a kind: every position of a record, and the position
// after its end, must be a 32-bit integer.
inline constexpr std::int32_t kLargestCapacity = 2147483646;

// Bytes that storage arrays of these capacities take (each array on a 64-byte
// boundary): what the memory cap is checked against.
std::int64_t storage_bytes(const StorageCounts& capacities);
// True when every count is within its capacity.
bool storage_fits(const StorageCounts& counts, const StorageCounts& capacities);
// True when a count has passed kLargestCapacity (reported while counting).
bool storage_count_overflowed(const StorageCounts& counts);

// The kinds a block's state record is counted as, by element type.
enum class SlotKind { real, integer, text, real_double, complex, complex_double };

// The bytes a record of n elements of a kind takes, its header included:
// what the memory map shows for it.
std::int64_t slot_bytes(SlotKind kind, std::int32_t n);

// The storage count of a run. In a counting round every record a block's
// design claims adds its elements and header to its kind's count; in every
// round its bytes add to the word of the block being designed, which the
// memory map shows. A count that would pass kLargestCapacity is an error,
// reported once per kind until the next start of a count, and stays above
// kLargestCapacity.
class StorageAccount {
public:
    // A record of n elements of a kind, claimed by the block being designed.
    void account(SlotKind kind, std::int32_t n) const;

    // ---- The schedule's and the driver's side ----
    // Zeroes the counts and the overflow reports (a dimensioning pass).
    void start_count();
    // Whether records add to the counts (the rounds that only size the
    // blocks), or only to the block's bytes (the state round of a run).
    void set_counting(bool on) { counting_ = on; }
    const StorageCounts& counts() const { return counts_; }
    void set_counts(const StorageCounts& counts) { counts_ = counts; }
    // The bytes of the block about to be designed start at 0; a 32-bit word
    // that wraps on a huge request, as the memory map has always shown it.
    void start_block() { block_bytes_ = 0; }
    std::int32_t block_bytes() const { return block_bytes_; }

private:
    mutable StorageCounts counts_{};
    mutable std::int32_t block_bytes_ = 0;
    mutable unsigned overflow_reported_ = 0;  // a bit per kind
    bool counting_ = true;
};

// Characters of a 50-character name from its first non-blank to its last
// character that is neither blank nor underscore.
void count_char(const char* name, std::int32_t& n);

}  // namespace nodrix

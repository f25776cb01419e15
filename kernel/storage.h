// Kernel storage: typed per-instance slots that survive from one block call to
// the next. In the dimensioning pass (storephase 0) the services only count
// what each block asks for (and return position 1); in allocating mode they
// hand out records laid end to end in the storage arrays and find them again
// in later passes. Positions are 1-based element indices.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "kernel/control_blocks.h"

namespace nodrix {

// Element counts of the nine storage kinds, in the order of the limits file:
// the counts a project needs, or the capacities of the arrays.
struct StorageCounts {
    std::int32_t h, i, d, c, ht, it, ct, z, zd;
    bool operator==(const StorageCounts&) const = default;
};

// Capacities when nothing asks for more.
inline constexpr StorageCounts kDefaultCapacities{200000, 200000, 200000, 100, 1000, 1000, 100, 200000, 200000};
// Largest capacity of a kind: every position of a record, and the position
// after its end, must be a 32-bit integer.
inline constexpr std::int32_t kLargestCapacity = 2147483646;

// A look-up in a run that would lay a record beyond its array: the block asked
// for more than the dimensioning pass counted. Thrown before any memory is
// touched; the schedule reports it as an error of the block and stops the run.
class StorageExhausted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The storage arrays, allocated at run time with the capacities below. Each
// starts on a 64-byte boundary, so that every record keeps its element's
// alignment and the double complex areas suit vector loads and FFT plans.
// The small text kind (CT) has no array in this program.
extern float* zzhist;
extern std::int32_t* zzist;
extern char (*zzcist)[80];
extern double* zzdist;
extern std::complex<float>* zzzis;
extern std::complex<double>* zzzisd;
extern float* zthist;
extern std::int32_t* ztist;

// Bytes the arrays of these capacities take, alignment included.
std::int64_t storage_bytes(const StorageCounts& capacities);
// Replaces the arrays by zero-filled ones of these capacities (each at most
// kLargestCapacity). Pages the run never uses are never touched.
void allocate_storage(const StorageCounts& capacities);
const StorageCounts& storage_capacities();
// True when every count is within its capacity.
// What the look-ups counted since the last start of a count asked for, per
// kind: the part of the counts the arrays must hold (declared blocks' state
// is counted but held by the blocks themselves).
const StorageCounts& storage_looked_up();
bool storage_fits(const StorageCounts& counts, const StorageCounts& capacities);

// Zeroes the nine count words of a dimensioning pass. A count that would pass
// kLargestCapacity is an error, reported once per kind until the next start,
// and stays above kLargestCapacity.
void start_storage_count();
bool storage_count_overflowed(const StorageCounts& counts);

// The general services (every mode and divisor).
namespace storage_services {
std::int32_t loci(std::int32_t n);
std::int32_t loch(std::int32_t n);
std::int32_t locd(std::int32_t n);
std::int32_t lozz(std::int32_t n);
std::int32_t lozd(std::int32_t n);
}  // namespace storage_services

// A block that runs sample by sample looks its records up at every sample.
// The common case takes a few loads: allocating mode in a later pass, and the
// record at the cursor kept for every sample (divisor 0 or 1). Anything else
// goes to the general service, which answers the same for this case too.
namespace storage_detail {
inline bool later_pass() { return zzsupv.storephase == 1 && zzctrl.pass != 0; }
inline bool every_sample(std::int32_t divisor) { return divisor == 0 || divisor == 1; }
}  // namespace storage_detail

// Integers.
inline std::int32_t loci(std::int32_t n) {
    if (storage_detail::later_pass()) {
        const std::int32_t p = zzsupv.i;
        if (storage_detail::every_sample(zzist[p])) {
            zzsupv.i = zzist[p - 1];
            return p + 2;
        }
    }
    return storage_services::loci(n);
}

// Reals; the header holds the distance to the next record.
inline std::int32_t loch(std::int32_t n) {
    if (storage_detail::later_pass()) {
        const std::int32_t p = zzsupv.h;
        if (storage_detail::every_sample(static_cast<std::int32_t>(zzhist[p]))) {
            zzsupv.h = p + static_cast<std::int32_t>(zzhist[p - 1]);
            return p + 2;
        }
    }
    return storage_services::loch(n);
}

// Doubles.
inline std::int32_t locd(std::int32_t n) {
    if (storage_detail::later_pass()) {
        const std::int32_t p = zzsupv.d;
        if (storage_detail::every_sample(static_cast<std::int32_t>(zzdist[p]))) {
            zzsupv.d = static_cast<std::int32_t>(zzdist[p - 1]);
            return p + 2;
        }
    }
    return storage_services::locd(n);
}

// Complex of reals.
inline std::int32_t lozz(std::int32_t n) {
    if (storage_detail::later_pass()) {
        const std::int32_t p = zzsupv.z;
        if (storage_detail::every_sample(static_cast<std::int32_t>(zzzis[p].real()))) {
            zzsupv.z = static_cast<std::int32_t>(zzzis[p - 1].real());
            return p + 2;
        }
    }
    return storage_services::lozz(n);
}

// Complex of doubles.
inline std::int32_t lozd(std::int32_t n) {
    if (storage_detail::later_pass()) {
        const std::int32_t p = zzsupv.zd;
        if (storage_detail::every_sample(static_cast<std::int32_t>(zzzisd[p].real()))) {
            zzsupv.zd = static_cast<std::int32_t>(zzzisd[p - 1].real());
            return p + 2;
        }
    }
    return storage_services::lozd(n);
}

std::int32_t locc(std::int32_t n);   // 80-character texts
std::int32_t locht(std::int32_t n);  // small reals
std::int32_t locit(std::int32_t n);  // small integers

// Element access by position (1-based), for blocks that keep state.
inline float* hist_at(std::int32_t pos) { return &zzhist[pos - 1]; }
inline std::int32_t* ist_at(std::int32_t pos) { return &zzist[pos - 1]; }
inline double* dist_at(std::int32_t pos) { return &zzdist[pos - 1]; }
inline std::complex<float>* zis_at(std::int32_t pos) { return &zzzis[pos - 1]; }
inline std::complex<double>* zisd_at(std::int32_t pos) { return &zzzisd[pos - 1]; }
inline char* cist_at(std::int32_t pos) { return zzcist[pos - 1]; }

// The program's radix-2 FFT (cfft2) on 2^log2n values of the complex double
// storage from position `position` on, in place; direction as for cfft2.
void cfft3(std::int32_t position, std::int32_t log2n, std::int32_t direction);

// The six cursors of the main kinds (zzsupv words 2 to 7).
void zzsupvget(std::int32_t& h, std::int32_t& i, std::int32_t& c, std::int32_t& d, std::int32_t& z,
               std::int32_t& zd);
void zzsupvset(std::int32_t h, std::int32_t i, std::int32_t c, std::int32_t d, std::int32_t z, std::int32_t zd);

// Records the run count for the legacy recording kernel; no other effect.
void tqpmrx(std::int32_t n);
std::int32_t tqpmrx_runs();

// Position of the last non-blank character of text[0..length), at least 1.
std::int32_t lentri(const char* text, std::int32_t length);
// Characters of a 50-character name from its first non-blank to its last
// character that is neither blank nor underscore.
void count_char(const char* name, std::int32_t& n);
// Number of leading elements before the first negative one.
std::int32_t ldimen(const std::int32_t* list);

// ---------------------------------------------------------------------------
// Block state declared once
//
// A block lists its state slots once, in the order it asks for them: for each
// the member of its position struct that receives the slot's position, the
// kind and the number of elements. Claiming the list issues the requests in
// that order, which is what fixes the block's place in the memory map. A slot
// the block never reads still takes its place in the list when the map needs
// it.

enum class SlotKind { real, integer, text, real_double, complex, complex_double };

// The bytes a record of n elements of a kind takes in the kernel storage,
// its header included: what the memory map shows for it.
std::int64_t slot_bytes(SlotKind kind, std::int32_t n);

// Counts a record of n elements of a kind as a look-up would count it (its
// elements and header into the kind's count and memused while counting, into
// memused in a run's initialisation), without laying it in the arrays: the
// state a block keeps as its own members.
void account_state(SlotKind kind, std::int32_t n);

template <class State>
struct StateSlot {
    std::int32_t State::*position;  // receives the slot's position
    SlotKind kind;
    std::int32_t size;  // elements
};

[[gnu::always_inline]] inline std::int32_t claim_slot(SlotKind kind, std::int32_t n) {
    switch (kind) {
        case SlotKind::real: return loch(n);
        case SlotKind::integer: return loci(n);
        case SlotKind::text: return locc(n);
        case SlotKind::real_double: return locd(n);
        case SlotKind::complex: return lozz(n);
        case SlotKind::complex_double: return lozd(n);
    }
    return 0;
}

namespace storage_detail {

// The cursor word of a slot kind (text has no fast path and no index here).
[[gnu::always_inline]] inline int cursor_index(SlotKind kind) {
    switch (kind) {
        case SlotKind::real: return 0;
        case SlotKind::integer: return 1;
        case SlotKind::real_double: return 2;
        case SlotKind::complex: return 3;
        case SlotKind::complex_double: return 4;
        case SlotKind::text: break;
    }
    return -1;
}

// True when the record at p is kept for every sample and the next one starts
// right after its n elements: the walk from p then gives what laying the
// records one after another gave.
[[gnu::always_inline]] inline bool laid_at(SlotKind kind, std::int32_t p, std::int32_t n) {
    const std::int32_t next = p + n + 2;
    switch (kind) {
        case SlotKind::real:
            return every_sample(static_cast<std::int32_t>(zzhist[p])) &&
                   static_cast<std::int32_t>(zzhist[p - 1]) == n + 2;  // the distance to the next record
        case SlotKind::integer: return every_sample(zzist[p]) && zzist[p - 1] == next;
        case SlotKind::real_double:
            return every_sample(static_cast<std::int32_t>(zzdist[p])) && static_cast<std::int32_t>(zzdist[p - 1]) == next;
        case SlotKind::complex:
            return every_sample(static_cast<std::int32_t>(zzzis[p].real())) &&
                   static_cast<std::int32_t>(zzzis[p - 1].real()) == next;
        case SlotKind::complex_double:
            return every_sample(static_cast<std::int32_t>(zzzisd[p].real())) &&
                   static_cast<std::int32_t>(zzzisd[p - 1].real()) == next;
        case SlotKind::text: break;
    }
    return false;
}

}  // namespace storage_detail

// Claims the slots in list order into `state` (a slot of a member that a
// block leaves out of the list keeps its position).
// Blocks claim their state on every sample: inlined, a list known at compile
// time folds to the plain requests, with no loop over it and no switch. In
// the per-sample passes a list of several slots is first taken as laid one
// after another from the cursors, and all its record headers are checked at
// once (independent loads, rather than a walk where each header gives the
// next address); any record that is not where the walk would find it sends
// the whole list through the plain requests, which answer the same.
template <class State, std::size_t N>
[[gnu::always_inline]] inline void claim_state(const StateSlot<State> (&slots)[N], State& state) {
    if constexpr (N > 1) {
        // Only a kind that comes back in the list makes a walk (slots of
        // different kinds follow different cursors and are looked up side by
        // side already). For a list known at compile time this folds away.
        bool chained = false;
#pragma GCC unroll 32
        for (std::size_t j = 1; j < N; ++j)
#pragma GCC unroll 32
            for (std::size_t i = 0; i < j; ++i) chained |= slots[i].kind == slots[j].kind;
        if (chained && storage_detail::later_pass()) {
            std::int32_t cursor[5] = {zzsupv.h, zzsupv.i, zzsupv.d, zzsupv.z, zzsupv.zd};
            std::int32_t position[N];
            bool laid = true;
#pragma GCC unroll 32
            for (std::size_t j = 0; j < N; ++j) {
                const int k = storage_detail::cursor_index(slots[j].kind);
                if (k < 0) {
                    laid = false;
                    break;
                }
                const std::int32_t p = cursor[k];
                laid &= storage_detail::laid_at(slots[j].kind, p, slots[j].size);  // no short cut: all loads issue
                position[j] = p + 2;
                cursor[k] = p + slots[j].size + 2;
            }
            if (laid) {
                zzsupv.h = cursor[0];
                zzsupv.i = cursor[1];
                zzsupv.d = cursor[2];
                zzsupv.z = cursor[3];
                zzsupv.zd = cursor[4];
#pragma GCC unroll 32
                for (std::size_t j = 0; j < N; ++j) state.*slots[j].position = position[j];
                return;
            }
        }
    }
#pragma GCC unroll 32
    for (const StateSlot<State>& slot : slots) state.*slot.position = claim_slot(slot.kind, slot.size);
}

template <class State, std::size_t N>
[[gnu::always_inline]] inline State claim_state(const StateSlot<State> (&slots)[N]) {
    State state{};
    claim_state(slots, state);
    return state;
}

}  // namespace nodrix

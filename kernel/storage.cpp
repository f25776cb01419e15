#include "kernel/storage.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/control_blocks.h"
#include "numerics/fft.h"
#include "runtime/opxfile.h"
#include "xu/xu_mem.h"

namespace nodrix {

float* zzhist = nullptr;
std::int32_t* zzist = nullptr;
char (*zzcist)[80] = nullptr;
double* zzdist = nullptr;
std::complex<float>* zzzis = nullptr;
std::complex<double>* zzzisd = nullptr;
float* zthist = nullptr;
std::int32_t* ztist = nullptr;

namespace {

std::int32_t legacy_runs = 0;

// The one heap block that holds every array, and the capacities it was made for.
void* storage_block = nullptr;
StorageCounts capacities{};

constexpr std::int64_t kAlignment = 64;

std::int64_t aligned(std::int64_t bytes) { return (bytes + kAlignment - 1) / kAlignment * kAlignment; }

// Byte sizes of the eight arrays, in the order they lie in the block.
struct Layout {
    std::int64_t h, i, c, d, z, zd, ht, it;
    std::int64_t total() const { return h + i + c + d + z + zd + ht + it; }
};

Layout layout(const StorageCounts& k) {
    return {aligned(std::int64_t{k.h} * 4),  aligned(std::int64_t{k.i} * 4),   aligned(std::int64_t{k.c} * 80),
            aligned(std::int64_t{k.d} * 8),  aligned(std::int64_t{k.z} * 8),   aligned(std::int64_t{k.zd} * 16),
            aligned(std::int64_t{k.ht} * 4), aligned(std::int64_t{k.it} * 4)};
}

enum Kind { kH, kI, kC, kD, kZ, kZD, kHT, kIT };
const char* const kKindName[] = {"H", "I", "C", "D", "Z", "ZD", "HT", "IT"};

// Kinds whose count has passed kLargestCapacity since the last start (bit per kind).
unsigned overflow_reported = 0;

// The elements the look-ups of blocks of the older form asked for since the
// last start: the arrays hold only these. A declared block's state is its
// own; it is counted for the memory map and the limits file, never laid here.
StorageCounts looked_up{};

std::int32_t& looked_up_word(Kind kind) {
    switch (kind) {
        case kH: return looked_up.h;
        case kI: return looked_up.i;
        case kC: return looked_up.c;
        case kD: return looked_up.d;
        case kZ: return looked_up.z;
        case kZD: return looked_up.zd;
        case kHT: return looked_up.ht;
        case kIT: return looked_up.it;
    }
    return looked_up.h;
}

bool counting() { return zzsupv.storephase == 0; }

// memused is a 32-bit word that wraps on a huge request (the fibre's
// piecewise split reads a negative value as such).
void add_memused(std::int64_t bytes) {
    optcl_ctrl.memused = static_cast<std::int32_t>(static_cast<std::uint32_t>(optcl_ctrl.memused) +
                                                   static_cast<std::uint32_t>(bytes));
}

// Adds a request to its kind's count, which cannot pass the largest capacity:
// such a project cannot run at all.
void count(Kind kind, std::int32_t& counter, std::int64_t elements, std::int64_t bytes) {
    const std::int64_t total = std::int64_t{counter} + elements;
    if (total > kLargestCapacity) {
        if ((overflow_reported & (1u << kind)) == 0) {
            overflow_reported |= 1u << kind;
            opxerr(std::string("The kernel storage of kind ") + kKindName[kind] + " would need more than " +
                   std::to_string(kLargestCapacity) + " elements");
        }
        counter = kLargestCapacity + 1;
    } else if (counter <= kLargestCapacity) {
        counter = static_cast<std::int32_t>(total);
    }
    add_memused(bytes);
}

// In allocating mode the records handed out at initialisation are added to
// memused too, so that a block's report of its storage holds in every pass.
void allocated(std::int64_t bytes) {
    if (zzctrl.pass == 0) add_memused(bytes);
}

std::int32_t divisor_or_one(std::int32_t d) { return d == 0 ? 1 : d; }

// A record that would end beyond its array means that a block asked for more
// in a run than it counted in the dimensioning pass: stop before memory is
// overwritten.
void check_capacity(Kind kind, std::int64_t next, std::int64_t capacity) {
    if (next - 1 <= capacity) return;
    throw StorageExhausted(std::string("the kernel storage of kind ") + kKindName[kind] +
                           " is exhausted: a record would end at " + std::to_string(next - 1) + ", the capacity is " +
                           std::to_string(capacity));
}

bool divisor_matches(std::int32_t d) { return (zzcoun.coun - 1) % divisor_or_one(d) == 0; }

// One storage kind as the look-up service sees it: the header words in front
// of each record, the bytes of an element, its count word, capacity and
// cursor, and how the header is written and read. `write(p, next, n)` writes
// the header of a record of n elements at p (the divisor too, for the kinds
// that keep one); `next_at(p)` reads the position of the next record;
// `divisor_at(p)`, for the kinds with a divisor, the record's divisor.
//
// The look-up: in the dimensioning pass it only counts; in allocating mode the
// set-up pass lays the record at the cursor, and later passes walk to the
// next record whose divisor matches the counter (every record, for the kinds
// without a divisor).
template <class K>
std::int32_t look_up(std::int32_t n) {
    const std::int64_t bytes = K::kElementBytes * (std::int64_t{n} + K::kHeader);
    if (counting()) {
        count(K::kKind, K::count_word(), std::int64_t{n} + K::kHeader, bytes);
        std::int32_t& word = looked_up_word(K::kKind);
        word = static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t{word} + n + K::kHeader, kLargestCapacity));
        return 1;
    }
    allocated(bytes);
    std::int32_t& cursor = K::cursor();
    std::int32_t p = cursor;
    if (zzctrl.pass == 0) {
        check_capacity(K::kKind, std::int64_t{p} + n + K::kHeader, K::capacity());
        const std::int32_t next = p + n + K::kHeader;
        K::write(p, next, n);
        cursor = next;
        return p + K::kHeader;
    }
    if constexpr (K::kDivisor)
        while (!divisor_matches(K::divisor_at(p))) p = K::next_at(p);
    cursor = K::next_at(p);
    return p + K::kHeader;
}

// Counts a record as look_up counts it, without laying it anywhere.
template <class K>
void account(std::int32_t n) {
    const std::int64_t bytes = K::kElementBytes * (std::int64_t{n} + K::kHeader);
    if (counting())
        count(K::kKind, K::count_word(), std::int64_t{n} + K::kHeader, bytes);
    else
        allocated(bytes);
}

template <class K>
std::int64_t record_bytes(std::int32_t n) {
    return K::kElementBytes * (std::int64_t{n} + K::kHeader);
}

struct IntegerKind {
    static constexpr Kind kKind = kI;
    static constexpr std::int32_t kHeader = 2;
    static constexpr std::int64_t kElementBytes = 4;
    static constexpr bool kDivisor = true;
    static std::int32_t& count_word() { return zzmax.i; }
    static std::int64_t capacity() { return capacities.i; }
    static std::int32_t& cursor() { return zzsupv.i; }
    static std::int32_t next_at(std::int32_t p) { return zzist[p - 1]; }
    static std::int32_t divisor_at(std::int32_t p) { return zzist[p]; }
    static void write(std::int32_t p, std::int32_t next, std::int32_t) {
        zzist[p - 1] = next;
        zzist[p] = zzscal.scal;
    }
};

// The real kind stores the distance to the next record.
struct RealKind {
    static constexpr Kind kKind = kH;
    static constexpr std::int32_t kHeader = 2;
    static constexpr std::int64_t kElementBytes = 4;
    static constexpr bool kDivisor = true;
    static std::int32_t& count_word() { return zzmax.h; }
    static std::int64_t capacity() { return capacities.h; }
    static std::int32_t& cursor() { return zzsupv.h; }
    static std::int32_t next_at(std::int32_t p) { return p + static_cast<std::int32_t>(zzhist[p - 1]); }
    static std::int32_t divisor_at(std::int32_t p) { return static_cast<std::int32_t>(zzhist[p]); }
    static void write(std::int32_t p, std::int32_t, std::int32_t n) {
        zzhist[p - 1] = static_cast<float>(n + 2);
        zzhist[p] = static_cast<float>(zzscal.scal);
    }
};

struct DoubleKind {
    static constexpr Kind kKind = kD;
    static constexpr std::int32_t kHeader = 2;
    static constexpr std::int64_t kElementBytes = 8;
    static constexpr bool kDivisor = true;
    static std::int32_t& count_word() { return zzmax.d; }
    static std::int64_t capacity() { return capacities.d; }
    static std::int32_t& cursor() { return zzsupv.d; }
    static std::int32_t next_at(std::int32_t p) { return static_cast<std::int32_t>(zzdist[p - 1]); }
    static std::int32_t divisor_at(std::int32_t p) { return static_cast<std::int32_t>(zzdist[p]); }
    static void write(std::int32_t p, std::int32_t next, std::int32_t) {
        zzdist[p - 1] = next + 0.5;
        zzdist[p] = zzscal.scal;
    }
};

struct ComplexKind {
    static constexpr Kind kKind = kZ;
    static constexpr std::int32_t kHeader = 2;
    static constexpr std::int64_t kElementBytes = 8;
    static constexpr bool kDivisor = true;
    static std::int32_t& count_word() { return zzmaxd.z; }
    static std::int64_t capacity() { return capacities.z; }
    static std::int32_t& cursor() { return zzsupv.z; }
    static std::int32_t next_at(std::int32_t p) { return static_cast<std::int32_t>(zzzis[p - 1].real()); }
    static std::int32_t divisor_at(std::int32_t p) { return static_cast<std::int32_t>(zzzis[p].real()); }
    static void write(std::int32_t p, std::int32_t next, std::int32_t) {
        zzzis[p - 1] = {static_cast<float>(next) + 0.5f, 0.0f};
        zzzis[p] = {static_cast<float>(zzscal.scal), 0.0f};
    }
};

struct DoubleComplexKind {
    static constexpr Kind kKind = kZD;
    static constexpr std::int32_t kHeader = 2;
    static constexpr std::int64_t kElementBytes = 16;
    static constexpr bool kDivisor = true;
    static std::int32_t& count_word() { return zzmaxd.zd; }
    static std::int64_t capacity() { return capacities.zd; }
    static std::int32_t& cursor() { return zzsupv.zd; }
    static std::int32_t next_at(std::int32_t p) { return static_cast<std::int32_t>(zzzisd[p - 1].real()); }
    static std::int32_t divisor_at(std::int32_t p) { return static_cast<std::int32_t>(zzzisd[p].real()); }
    static void write(std::int32_t p, std::int32_t next, std::int32_t) {
        zzzisd[p - 1] = {next + 0.5, 0.0};
        zzzisd[p] = {static_cast<double>(zzscal.scal), 0.0};
    }
};

// Text records of 80 characters; one header record holds the next position
// (columns 1-11) and the divisor (columns 41-51).
struct TextKind {
    static constexpr Kind kKind = kC;
    static constexpr std::int32_t kHeader = 1;
    static constexpr std::int64_t kElementBytes = 80;
    static constexpr bool kDivisor = true;
    static std::int32_t& count_word() { return zzmax.c; }
    static std::int64_t capacity() { return capacities.c; }
    static std::int32_t& cursor() { return zzsupv.c; }
    static std::int32_t field(std::int32_t p, int column) {
        char text[12] = {};
        std::memcpy(text, zzcist[p - 1] + column, 11);
        return static_cast<std::int32_t>(std::atoi(text));
    }
    static std::int32_t next_at(std::int32_t p) { return field(p, 0); }
    static std::int32_t divisor_at(std::int32_t p) { return field(p, 40); }
    static void write(std::int32_t p, std::int32_t next, std::int32_t) {
        char header[81];
        std::memset(header, ' ', 80);
        char num[16];
        std::snprintf(num, sizeof num, "%11d", next);
        std::memcpy(header, num, 11);
        std::snprintf(num, sizeof num, "%11d", zzscal.scal);
        std::memcpy(header + 40, num, 11);
        std::memcpy(zzcist[p - 1], header, 80);
    }
};

// The two kinds of the second storage set keep every record for every sample.
struct SecondRealKind {
    static constexpr Kind kKind = kHT;
    static constexpr std::int32_t kHeader = 1;
    static constexpr std::int64_t kElementBytes = 4;
    static constexpr bool kDivisor = false;
    static std::int32_t& count_word() { return ztmax.ht; }
    static std::int64_t capacity() { return capacities.ht; }
    static std::int32_t& cursor() { return zzsupt.ht; }
    static std::int32_t next_at(std::int32_t p) { return static_cast<std::int32_t>(zthist[p - 1]); }
    static void write(std::int32_t p, std::int32_t next, std::int32_t) { zthist[p - 1] = static_cast<float>(next) + 0.5f; }
};

struct SecondIntegerKind {
    static constexpr Kind kKind = kIT;
    static constexpr std::int32_t kHeader = 1;
    static constexpr std::int64_t kElementBytes = 4;
    static constexpr bool kDivisor = false;
    static std::int32_t& count_word() { return ztmax.it; }
    static std::int64_t capacity() { return capacities.it; }
    static std::int32_t& cursor() { return zzsupt.it; }
    static std::int32_t next_at(std::int32_t p) { return ztist[p - 1]; }
    static void write(std::int32_t p, std::int32_t next, std::int32_t) { ztist[p - 1] = next; }
};

}  // namespace

std::int64_t storage_bytes(const StorageCounts& k) { return layout(k).total(); }

void allocate_storage(const StorageCounts& k) {
    if (storage_block != nullptr) xu_free(storage_block);
    storage_block = nullptr;
    const Layout l = layout(k);
    // calloc: a fresh mapping is zero already, so the pages of capacity that
    // the run does not use are never touched. The base is moved up to the
    // next 64-byte boundary.
    storage_block = xu_calloc(1, static_cast<std::size_t>(l.total() + kAlignment));
    const auto address = reinterpret_cast<std::uintptr_t>(storage_block);
    char* at = static_cast<char*>(storage_block) + (kAlignment - address % kAlignment) % kAlignment;
    auto take = [&at](std::int64_t bytes) {
        char* here = at;
        at += bytes;
        return here;
    };
    zzhist = reinterpret_cast<float*>(take(l.h));
    zzist = reinterpret_cast<std::int32_t*>(take(l.i));
    zzcist = reinterpret_cast<char (*)[80]>(take(l.c));
    zzdist = reinterpret_cast<double*>(take(l.d));
    zzzis = reinterpret_cast<std::complex<float>*>(take(l.z));
    zzzisd = reinterpret_cast<std::complex<double>*>(take(l.zd));
    zthist = reinterpret_cast<float*>(take(l.ht));
    ztist = reinterpret_cast<std::int32_t*>(take(l.it));
    capacities = k;
}

const StorageCounts& storage_capacities() { return capacities; }

bool storage_fits(const StorageCounts& m, const StorageCounts& k) {
    return m.h <= k.h && m.i <= k.i && m.d <= k.d && m.c <= k.c && m.ht <= k.ht && m.it <= k.it && m.ct <= k.ct &&
           m.z <= k.z && m.zd <= k.zd;
}

void start_storage_count() {
    zzmax.h = zzmax.i = zzmax.c = zzmax.d = 0;
    zzmaxd.z = zzmaxd.zd = 0;
    ztmax.ht = ztmax.it = ztmax.ct = 0;
    looked_up = StorageCounts{};
    overflow_reported = 0;
}

const StorageCounts& storage_looked_up() { return looked_up; }

bool storage_count_overflowed(const StorageCounts& m) {
    return std::max({m.h, m.i, m.d, m.c, m.ht, m.it, m.ct, m.z, m.zd}) > kLargestCapacity;
}

void account_state(SlotKind kind, std::int32_t n) {
    switch (kind) {
        case SlotKind::real: return account<RealKind>(n);
        case SlotKind::integer: return account<IntegerKind>(n);
        case SlotKind::text: return account<TextKind>(n);
        case SlotKind::real_double: return account<DoubleKind>(n);
        case SlotKind::complex: return account<ComplexKind>(n);
        case SlotKind::complex_double: return account<DoubleComplexKind>(n);
    }
}

std::int64_t slot_bytes(SlotKind kind, std::int32_t n) {
    switch (kind) {
        case SlotKind::real: return record_bytes<RealKind>(n);
        case SlotKind::integer: return record_bytes<IntegerKind>(n);
        case SlotKind::text: return record_bytes<TextKind>(n);
        case SlotKind::real_double: return record_bytes<DoubleKind>(n);
        case SlotKind::complex: return record_bytes<ComplexKind>(n);
        case SlotKind::complex_double: return record_bytes<DoubleComplexKind>(n);
    }
    return 0;
}

std::int32_t storage_services::loci(std::int32_t n) { return look_up<IntegerKind>(n); }
std::int32_t storage_services::loch(std::int32_t n) { return look_up<RealKind>(n); }
std::int32_t storage_services::locd(std::int32_t n) { return look_up<DoubleKind>(n); }
std::int32_t storage_services::lozz(std::int32_t n) { return look_up<ComplexKind>(n); }
std::int32_t storage_services::lozd(std::int32_t n) { return look_up<DoubleComplexKind>(n); }
std::int32_t locc(std::int32_t n) { return look_up<TextKind>(n); }
std::int32_t locht(std::int32_t n) { return look_up<SecondRealKind>(n); }
std::int32_t locit(std::int32_t n) { return look_up<SecondIntegerKind>(n); }

void zzsupvget(std::int32_t& h, std::int32_t& i, std::int32_t& c, std::int32_t& d, std::int32_t& z,
               std::int32_t& zd) {
    h = zzsupv.h;
    i = zzsupv.i;
    c = zzsupv.c;
    d = zzsupv.d;
    z = zzsupv.z;
    zd = zzsupv.zd;
}

void zzsupvset(std::int32_t h, std::int32_t i, std::int32_t c, std::int32_t d, std::int32_t z, std::int32_t zd) {
    zzsupv.h = h;
    zzsupv.i = i;
    zzsupv.c = c;
    zzsupv.d = d;
    zzsupv.z = z;
    zzsupv.zd = zd;
}

void tqpmrx(std::int32_t n) { legacy_runs = n; }
std::int32_t tqpmrx_runs() { return legacy_runs; }

std::int32_t lentri(const char* text, std::int32_t length) {
    for (std::int32_t k = length; k >= 1; --k)
        if (text[k - 1] != ' ') return k;
    return 1;
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

std::int32_t ldimen(const std::int32_t* list) {
    std::int32_t n = 0;
    while (list[n] >= 0) ++n;
    return n;
}

void cfft3(std::int32_t position, std::int32_t log2n, std::int32_t direction) {
    cfft2(zisd_at(position), log2n, direction);
}

}  // namespace nodrix

#include "models/transmitters/prbs_source.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "kernel/control_blocks.h"
#include "kernel/filexx.h"
#include "kernel/lib00.h"
#include "kernel/storage.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"

namespace nodrix {
namespace {

// Feedback polynomials by degree (5 to 28), octal digits read as decimal, 0
// ending each list. Degrees 5 to 8: every primitive polynomial of the degree,
// in increasing order. Degrees 9 to 28: the sparse polynomial first, then the
// five smallest other primitive polynomials of the degree.
constexpr std::int32_t kMaxVariants = 18;
using PolynomialList = std::array<std::int32_t, kMaxVariants + 1>;
constexpr std::array<PolynomialList, kPrbsMaxDegree - kPrbsMinDegree + 1> kPolynomials{{
    {45, 51, 57, 67, 73, 75},
    {103, 133, 141, 147, 155, 163},
    {203, 211, 217, 221, 235, 247, 253, 271, 277, 301, 313, 323, 325, 345, 357, 361, 367, 375},
    {435, 453, 455, 515, 537, 543, 545, 551, 561, 607, 615, 651, 703, 717, 747, 765},
    {1021, 1033, 1041, 1055, 1063, 1131},
    {2011, 2033, 2047, 2055, 2145, 2157},
    {4005, 4027, 4053, 4055, 4107, 4143},
    {10123, 10151, 10173, 10175, 10231, 10321},
    {20033, 20047, 20065, 20123, 20145, 20157},
    {42103, 40053, 40071, 40123, 40137, 40173},
    {100003, 100021, 100027, 100055, 100065, 100137},
    {210013, 200055, 200071, 200077, 200123, 200275},
    {400011, 400017, 400041, 400055, 400063, 400077},
    {1000201, 1000047, 1000077, 1000115, 1000173, 1000333},
    {2000047, 2000077, 2000107, 2000123, 2000131, 2000143},
    {4000011, 4000123, 4000145, 4000151, 4000173, 4000363},
    {10000005, 10000047, 10000077, 10000145, 10000157, 10000173},
    {20000003, 20000071, 20000275, 20000303, 20000451, 20000541},
    {40000041, 40000053, 40000055, 40000063, 40000077, 40000115},
    {100000207, 100000033, 100000261, 100000333, 100000365, 100000445},
    {200000011, 200000017, 200000055, 200000201, 200000223, 200000305},
    {400000107, 400000115, 400000261, 400000341, 400000365, 400000431},
    {1000000047, 1000000321, 1000000347, 1000000353, 1000000451, 1000000461},
    {2000000011, 2000000123, 2000000167, 2000000341, 2000000547, 2000000563},
}};

// Messages of the user-file mode.
constexpr const char* kBadFile = "Datasource bad file ";
constexpr const char* kBadValues = "Datasource bad file";
constexpr const char* kLevelLine1 = "File and datasource dialog have not";
constexpr const char* kLevelLine2 = "the same logical level";
constexpr const char* kOnlyBits = "File must contain only 0 or 1 ";

// Most symbols a user file may hold.
constexpr std::int32_t kMaxSymbols = 0x7fffffff / 8 - 8;

// Kernel error codes of the source.
constexpr std::int32_t kErrDegree = 14011;    // degree above 28
constexpr std::int32_t kErrLevels = 14012;    // bits per symbol outside 1..8
constexpr std::int32_t kErrOffset = 14013;    // ioffs outside 0..nsbit-1
constexpr std::int32_t kErrPolynomial = 14014;  // no such polynomial, or a digit above 7
constexpr std::int32_t kWarnDegree = 14900;   // + the degree chosen from the run length

// Words of the instance's first integer record: symbol boundaries seen (kept
// at 2 once the data starts), the sample counter (kept modulo nsbit) and half a
// symbol in samples; of the real record: the sine clock's angular frequency
// and phase.
enum : std::size_t { kBoundaries = 0, kSample = 1, kHalf = 2 };
enum : std::size_t { kOmega = 0, kPhi = 1 };

void no_data(LogicalSignal& lg, std::int32_t nlev) {
    const std::int32_t n = std::clamp(nlev, 0, 8);
    for (std::int32_t j = 0; j < n; ++j) lg[static_cast<std::size_t>(j)] = 0;
    lg[static_cast<std::size_t>(n)] = -3;
}

// Boundaries met when the counter advances n samples, and the phase m of the
// last advanced sample (0 at a boundary).
struct Advance {
    std::int64_t boundaries;
    std::int32_t m_last;
};

Advance advance(std::int32_t& counter, std::int64_t n, std::int32_t nsbit) {
    const std::int64_t c = counter;
    if (n == 1) {  // every sample after the first
        counter = c + 1 == nsbit ? 0 : counter + 1;
        return {c == 0 ? 1 : 0, static_cast<std::int32_t>(c)};
    }
    const std::int64_t to_first = c == 0 ? 0 : nsbit - c;
    const std::int64_t nb = n > to_first ? (n - 1 - to_first) / nsbit + 1 : 0;
    counter = static_cast<std::int32_t>((c + n) % nsbit);
    return {nb, static_cast<std::int32_t>((c + n - 1) % nsbit)};
}

// The register set up at the start of a run: all ones, taps of the entry.
// Returns false when there is no usable polynomial.
bool setup_register(const SpnseqParams& p, std::int32_t degree, std::int32_t* reg, std::int32_t* taps) {
    std::fill(reg, reg + degree, 1);
    std::fill(taps, taps + degree, 0);
    if (p.ndeg > kPrbsMaxDegree) return false;
    const std::int32_t entry = prbs_polynomial(degree, p.ipoly);
    if (entry == 0) return false;  // reported with the parameter checks
    if (!prbs_taps(entry, degree, taps)) {
        tsedet(kErrPolynomial);
        return false;
    }
    return true;
}

// nb symbols of nlev register steps each; the bits of the last one are kept.
// A maximal-length register repeats after 2^degree - 1 steps, so the steps
// before the last symbol are taken modulo that period.
void prbs_symbols(std::int64_t nb, std::int32_t nlev, std::int32_t degree, std::int32_t* reg, const std::int32_t* taps,
                  std::int32_t* bits) {
    const std::int64_t period = (std::int64_t{1} << degree) - 1;
    std::int64_t skip = (nb - 1) * nlev;
    if (skip >= period) skip %= period;
    for (std::int64_t s = 0; s < skip; ++s) prbs_step(reg, taps, degree);
    for (std::int32_t j = 0; j < nlev; ++j) bits[j] = prbs_step(reg, taps, degree);
}

void clock_setup(const SpnseqParams& p, std::int32_t* c, float* w) {
    c[kBoundaries] = 0;
    c[kSample] = 0;
    c[kHalf] = p.nsbit / 2;
    w[kOmega] = kTwoPiF / (static_cast<float>(p.nsbit) * zzctrl.delt);
    w[kPhi] = -kTwoPiF * static_cast<float>(p.ioffs) / static_cast<float>(p.nsbit);
}

void clock_out(const SpnseqParams& p, const std::int32_t* c, const float* w, std::int32_t m, ElectricalSample& clk) {
    if (p.iclk == 1)
        clk.value = m == 0 ? 1.0f : 0.0f;
    else if (p.iclk == 2)
        clk.value = m < c[kHalf] ? 1.0f : -1.0f;
    else
        clk.value = std::sin(zzctrl.time * w[kOmega] + w[kPhi]);
    clk.w2 = 0.0f;
    clk.w3 = 0.0f;
}

// The symbol shown: all 0 before the first boundary of the run, all 1 for the
// first symbol, the data from the second on.
void symbol_out(std::int32_t boundaries, const std::int32_t* bits, std::int32_t nlev, LogicalSignal& lg) {
    for (std::int32_t j = 0; j < nlev; ++j) {
        const std::int32_t b = boundaries == 0 ? 0 : boundaries == 1 ? 1 : bits[j];
        lg[static_cast<std::size_t>(j)] = b;
    }
    lg[static_cast<std::size_t>(nlev)] = -1;
}

// Samples advanced by the call of the first sample: the skipped symbols and the
// part of a symbol before the first boundary, plus the sample itself.
std::int64_t first_advance(const SpnseqParams& p) {
    const std::int64_t skipped = std::int64_t{std::max(p.nstart, 0)} * p.nsbit;
    return p.ioffs == 0 ? skipped + 1 : skipped + (p.nsbit - p.ioffs) + 1;
}

// ---- User file ------------------------------------------------------------

// Values of one record: integers separated by blanks, tabs or commas. Returns
// the number read (at most `max`), -1 when a field is not an integer.
std::int32_t parse_values(const std::string& line, std::int32_t* out, std::int32_t max) {
    std::int32_t n = 0;
    const char* s = line.c_str();
    while (n < max) {
        while (*s == ' ' || *s == '\t' || *s == ',' || *s == '\r') ++s;
        if (*s == '\0') break;
        char* end = nullptr;
        const long v = std::strtol(s, &end, 10);
        if (end == s || (*end != '\0' && *end != ' ' && *end != '\t' && *end != ',' && *end != '\r')) return -1;
        out[n++] = static_cast<std::int32_t>(std::clamp<long>(v, -1000000, 1000000));
        s = end;
    }
    return n;
}

bool blank_record(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

// Reads up to the "##" record and the bit count after it.
bool read_header(std::int32_t unit, std::int32_t& nbits) {
    std::string line;
    while (unit_read_line(unit, line))
        if (line.compare(0, 2, "##") == 0) {
            if (!unit_read_line(unit, line)) return false;
            std::int32_t v = 0;
            if (parse_values(line, &v, 1) != 1) return false;
            nbits = v;
            return true;
        }
    return false;
}

// The significant part of the file name (from its first non-blank character,
// trailing blanks and underscores dropped).
std::string significant_name(const std::string& fname) {
    char name[51];
    std::fill(name, name + 50, ' ');
    name[50] = '\0';
    std::copy_n(fname.begin(), std::min<std::size_t>(fname.size(), 50), name);
    std::int32_t n = 0;
    count_char(name, n);
    const auto first = std::string(name).find_first_not_of(' ');
    if (n <= 0 || first == std::string::npos) return {};
    return std::string(name + first, static_cast<std::size_t>(n));
}

bool readable(const std::string& name) {
    const std::string path = present_version(name);
    std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

// The significant part of a name of any length, as significant_name() takes
// a 50-character one.
std::string significant_part(const std::string& name) {
    const auto first = name.find_first_not_of(' ');
    const auto last = name.find_last_not_of(" _");
    if (first == std::string::npos || last == std::string::npos || last < first) return {};
    return name.substr(first, last - first + 1);
}

// Set-up of the user-file mode: checks the file, reserves nlev x (symbols)
// integers and, when the state is kept (nohist 0), reads the symbols into them.
// `st` is the record of bits, symbol count, index and validity (scratch while
// counting).
void file_setup(const SpnseqParams& p, std::int32_t nlev, std::int32_t st_pos) {
    const bool keep = zzsupv.storephase == 1 && zzflmn.nohist == 0;
    std::int32_t count = 0;
    bool ok = false;
    std::int32_t unit = 0;
    std::int32_t nbits = 0;
    const std::string name = significant_name(p.fname);
    if (name.empty() || !readable(name + ".DAT")) {
        // Opening a missing file would create an empty one: report instead.
        opxerr(kBadFile);
        opxinfo("File not found: " + name + ".DAT");
    } else {
        opnfil(name.c_str(), kFormattedUnknown, unit, static_cast<std::int32_t>(name.size()));
        if (unit == 0) opxerr(kBadFile);
    }
    if (unit != 0) {
        if (!read_header(unit, nbits)) {
            opxerr(kBadFile);
        } else {
            ok = true;
            if (p.nlev > nbits) {
                opxerr(kBadFile);
                opxinfo(kLevelLine1);
                opxinfo(kLevelLine2);
                ok = false;
            }
            // (At most kMaxSymbols are taken, so that nlev x count stays an integer.)
            std::string line;
            while (count < kMaxSymbols && unit_read_line(unit, line))
                if (!blank_record(line)) ++count;
            if (count == 0) {
                opxerr(kBadFile);
                ok = false;
            }
            unit_rewind(unit);
        }
    }
    const std::int32_t values_pos = loci(nlev * count);
    if (ok && zzflmn.nohist == 0) {
        read_header(unit, nbits);
        std::string line;
        std::int32_t k = 0;
        std::int32_t v[8];
        while (k < count && unit_read_line(unit, line)) {
            if (blank_record(line)) continue;
            const std::int32_t n = parse_values(line, v, nlev);
            if (n != nlev) {
                opxerr(kBadValues);
                ok = false;
                break;
            }
            // A value other than 0 or 1 (a negative one could pass for a terminator).
            if (std::any_of(v, v + nlev, [](std::int32_t b) { return b != 0 && b != 1; })) {
                opxerr(kBadValues);
                opxinfo(kOnlyBits);
                ok = false;
                break;
            }
            if (keep) std::copy_n(v, nlev, ist_at(values_pos) + static_cast<std::ptrdiff_t>(k) * nlev);
            ++k;
        }
    }
    if (unit != 0) clodev(unit, 0);
    if (keep) {
        std::int32_t* st = ist_at(st_pos);
        std::fill(st, st + nlev, 0);
        st[nlev] = count;
        st[nlev + 1] = 0;
        st[nlev + 2] = ok && zzflmn.nohist == 0 ? 1 : 0;
    }
}

}  // namespace

std::string bit_file_problem(const std::string& name, std::int32_t bits_per_symbol) {
    const std::string base = significant_part(name);
    if (base.empty()) return "no bit file is named";
    const std::string path = base + ".DAT";
    std::ifstream in(path);
    if (!in) return "cannot read the bit file " + path + ": " + std::strerror(errno);
    std::string line;
    std::int32_t line_number = 0;
    auto next = [&] {
        ++line_number;
        return static_cast<bool>(std::getline(in, line));
    };
    bool marker = false;
    while (!marker && next()) marker = line.compare(0, 2, "##") == 0;
    std::int32_t bits = 0;
    if (!marker || !next() || parse_values(line, &bits, 1) != 1)
        return "the bit file " + path + " has no line starting with ## followed by a line with its bits per record";
    if (bits_per_symbol > bits)
        return "the bit file " + path + " gives " + std::to_string(bits) + " bits per record, fewer than the " +
               std::to_string(bits_per_symbol) + " bits per symbol";
    std::int32_t symbols = 0;
    std::int32_t v[8];
    while (next()) {
        if (blank_record(line)) continue;
        ++symbols;
        if (parse_values(line, v, bits_per_symbol) != bits_per_symbol ||
            std::any_of(v, v + bits_per_symbol, [](std::int32_t b) { return b != 0 && b != 1; }))
            return "the bit file " + path + ", line " + std::to_string(line_number) + ": expected " +
                   std::to_string(bits_per_symbol) + " values of 0 or 1";
    }
    if (symbols == 0) return "the bit file " + path + " holds no symbols";
    return {};
}

// ---- Numerics --------------------------------------------------------------

std::int32_t prbs_auto_degree(std::int32_t nlev, float tend, std::int32_t nsbit, float delt) {
    const float bits = static_cast<float>(nlev) * tend / (static_cast<float>(nsbit) * delt);
    std::int32_t halvings = 0;
    if (bits >= 9.0e18f) {
        halvings = kPrbsMaxDegree;
    } else if (bits >= 1.0f) {  // also false for a NaN
        for (auto n = static_cast<std::int64_t>(bits); n > 1; n /= 2) ++halvings;
    }
    return std::clamp(halvings + 1, kPrbsMinDegree, kPrbsMaxDegree);
}

std::int32_t prbs_variants(std::int32_t degree) {
    if (degree < kPrbsMinDegree || degree > kPrbsMaxDegree) return 0;
    const auto& list = kPolynomials[static_cast<std::size_t>(degree - kPrbsMinDegree)];
    return static_cast<std::int32_t>(std::find(list.begin(), list.end(), 0) - list.begin());
}

std::int32_t prbs_polynomial(std::int32_t degree, std::int32_t variant) {
    if (variant < 1 || variant > prbs_variants(degree)) return 0;
    return kPolynomials[static_cast<std::size_t>(degree - kPrbsMinDegree)][static_cast<std::size_t>(variant - 1)];
}

bool prbs_taps(std::int32_t entry, std::int32_t degree, std::int32_t* taps) {
    std::int32_t k = 0;
    for (std::int32_t rest = entry; rest > 0 && k < degree; rest /= 10) {
        const std::int32_t digit = rest % 10;
        if (digit > 7) return false;
        for (std::int32_t b = 0; b < 3 && k < degree; ++b) taps[k++] = (digit >> b) & 1;
    }
    while (k < degree) taps[k++] = 0;
    return true;
}

std::int32_t prbs_step(std::int32_t* reg, const std::int32_t* taps, std::int32_t degree) {
    const std::int32_t out = reg[0];
    std::int32_t fb = 0;
    for (std::int32_t k = 0; k < degree; ++k) fb ^= taps[k] & reg[k];
    for (std::int32_t k = 0; k + 1 < degree; ++k) reg[k] = reg[k + 1];
    reg[degree - 1] = fb;
    return out;
}

// ---- Block -----------------------------------------------------------------

namespace {

// The clock's state: boundaries seen, sample in the symbol, half period
// (integers), then angular frequency and phase of the sine clock (reals).
struct ClockState {
    std::int32_t counters, clock;
};
constexpr StateSlot<ClockState> kClockState[] = {
    {&ClockState::counters, SlotKind::integer, 3},
    {&ClockState::clock, SlotKind::real, 2},
};

// The parameter checks of the first call of a run.
void check_parameters(const SpnseqParams& p, bool prbs, std::int32_t degree) {
    if (prbs && p.ndeg > kPrbsMaxDegree) tsedet(kErrDegree);
    if (!(p.ioffs >= 0 && p.ioffs < p.nsbit)) tsedet(kErrOffset);
    if (p.nlev < 1 || p.nlev > 8) tsedet(kErrLevels);
    if (prbs && p.ndeg < kPrbsMinDegree && zzctrl.pass != 0) tswarn(kWarnDegree + degree);
    if (prbs && p.ndeg <= kPrbsMaxDegree && prbs_polynomial(degree, p.ipoly) == 0) tsedet(kErrPolynomial);
}

// The next file symbol after `boundaries` symbol boundaries, cycling through
// the file's symbols at values_pos.
void next_file_symbol(std::int32_t* data, std::int32_t nlev, std::int64_t boundaries, std::int32_t values_pos,
                      std::int32_t* bits) {
    const std::int64_t count = data[nlev];
    // The current symbol, 0 before the first (and taken as 0 should the
    // record not hold a symbol of this file).
    const std::int64_t current = data[nlev + 1] >= 0 && data[nlev + 1] <= count ? data[nlev + 1] : 0;
    const auto index = static_cast<std::int32_t>((current + boundaries - 1) % count + 1);
    data[nlev + 1] = index;
    std::copy_n(ist_at(values_pos) + static_cast<std::ptrdiff_t>(index - 1) * nlev, nlev, bits);
}

}  // namespace

void spnseq(const SpnseqParams& p, ElectricalSample& clk, LogicalSignal& lg) {
    const bool run_start = zzctrl.time <= 0.0f;
    const bool prbs = p.isrc != 1;
    const std::int32_t nlev = std::clamp(p.nlev, 1, 8);
    const bool timing_ok = p.nsbit >= 1 && p.ioffs >= 0 && p.ioffs < p.nsbit && p.nlev >= 1 && p.nlev <= 8;
    const std::int32_t degree = p.ndeg >= kPrbsMinDegree ? std::min(p.ndeg, kPrbsMaxDegree)
                                                          : prbs_auto_degree(p.nlev, zzctrl.tend, p.nsbit, zzctrl.delt);

    const ClockState clock_state = claim_state(kClockState);
    const std::int32_t counters_pos = clock_state.counters;
    const std::int32_t clock_pos = clock_state.clock;

    if (run_start) check_parameters(p, prbs, degree);

    // The register (degree words), its taps (degree), the symbol's bits (nlev),
    // the validity flag and the degree in use; in file mode the bits, the
    // symbol count, the current symbol and the validity flag, then the symbols.
    std::int32_t data_pos = 0;
    std::int32_t values_pos = 0;
    if (prbs) {
        data_pos = loci(nlev + 2 * degree + 2);
    } else {
        data_pos = loci(nlev + 3);
        if (zzctrl.pass == 0) {
            file_setup(p, nlev, data_pos);
        } else {
            // The symbol count kept by the set-up (no real state while counting).
            const std::int32_t count = zzsupv.storephase == 1 ? std::max(*ist_at(data_pos + nlev), 0) : 0;
            values_pos = loci(nlev * count);
        }
    }

    if (zzctrl.pass == 0 || zzsupv.storephase == 0) {
        // Set-up, or a per-sample call without real state: no data yet.
        clk = ElectricalSample{};
        no_data(lg, p.nlev);
        return;
    }

    std::int32_t* c = ist_at(counters_pos);
    float* w = hist_at(clock_pos);
    std::int32_t* data = ist_at(data_pos);
    std::int32_t* bits = prbs ? data + 2 * degree : data;
    std::int32_t& valid = prbs ? data[2 * degree + nlev] : data[nlev + 2];

    if (run_start && timing_ok) {
        clock_setup(p, c, w);
        std::fill(bits, bits + nlev, 0);
        if (prbs) {
            valid = setup_register(p, degree, data, data + degree) ? 1 : 0;
            data[2 * degree + nlev + 1] = degree;
        } else {
            data[nlev + 1] = 0;  // before the first symbol
        }
    }
    if (!timing_ok) {
        clk = ElectricalSample{};
        no_data(lg, p.nlev);
        return;
    }

    const Advance a = advance(c[kSample], zzctrl.step == 1 ? first_advance(p) : 1, p.nsbit);
    if (a.boundaries > 0 && valid != 0) {
        if (prbs) {
            prbs_symbols(a.boundaries, nlev, degree, data, data + degree, bits);
        } else if (data[nlev] > 0) {
            next_file_symbol(data, nlev, a.boundaries, values_pos, bits);
        }
    }
    if (a.m_last == 0 && c[kBoundaries] < 2) ++c[kBoundaries];

    clock_out(p, c, w, a.m_last, clk);
    if (valid != 0)
        symbol_out(c[kBoundaries], bits, nlev, lg);
    else
        no_data(lg, nlev);
}

}  // namespace nodrix

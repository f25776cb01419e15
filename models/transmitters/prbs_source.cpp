#include "models/transmitters/prbs_source.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "kernel/block_declaration.h"
#include "kernel/filexx.h"
#include "kernel/lib00.h"
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

// The symbol shown: all 0 before the first boundary of the run, all 1 for the
// first symbol, the data from the second on.
void symbol_out(std::int32_t boundaries, const std::int32_t* bits, std::int32_t nlev, LogicalSignal& lg) {
    for (std::int32_t j = 0; j < nlev; ++j) {
        const std::int32_t b = boundaries == 0 ? 0 : boundaries == 1 ? 1 : bits[j];
        lg[static_cast<std::size_t>(j)] = b;
    }
    lg[static_cast<std::size_t>(nlev)] = -1;
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

// The next file symbol after `boundaries` symbol boundaries, cycling through
// the file's symbols.
void next_file_symbol(std::int32_t* data, std::int32_t nlev, std::int64_t boundaries, const std::int32_t* symbols,
                      std::int32_t* bits) {
    const std::int64_t count = data[nlev];
    // The current symbol, 0 before the first (and taken as 0 should the
    // record not hold a symbol of this file).
    const std::int64_t current = data[nlev + 1] >= 0 && data[nlev + 1] <= count ? data[nlev + 1] : 0;
    const auto index = static_cast<std::int32_t>((current + boundaries - 1) % count + 1);
    data[nlev + 1] = index;
    std::copy_n(symbols + static_cast<std::ptrdiff_t>(index - 1) * nlev, nlev, bits);
}

}  // namespace

bool BitSource::from_file() const { return source == 1; }
std::int32_t BitSource::levels() const { return std::clamp(bits_per_symbol, 1, 8); }
bool BitSource::timing_ok() const {
    return samples_per_bit >= 1 && first_boundary_samples >= 0 && first_boundary_samples < samples_per_bit &&
           bits_per_symbol >= 1 && bits_per_symbol <= 8;
}
std::int32_t BitSource::degree_in_use(const RunContext& ctx) const {
    return degree >= kPrbsMinDegree
               ? std::min(degree, kPrbsMaxDegree)
               : prbs_auto_degree(bits_per_symbol, ctx.end_time(), samples_per_bit, ctx.time_step());
}

// The parameter checks of a run's start; the degree chosen from the run
// length is reported once the samples begin.
void BitSource::check_parameters(std::int32_t in_use, bool sampling) const {
    const bool prbs = !from_file();
    if (prbs && degree > kPrbsMaxDegree) tsedet(kErrDegree);
    if (!(first_boundary_samples >= 0 && first_boundary_samples < samples_per_bit)) tsedet(kErrOffset);
    if (bits_per_symbol < 1 || bits_per_symbol > 8) tsedet(kErrLevels);
    if (prbs && degree < kPrbsMinDegree && sampling) tswarn(kWarnDegree + in_use);
    if (prbs && degree <= kPrbsMaxDegree && prbs_polynomial(in_use, polynomial) == 0) tsedet(kErrPolynomial);
}

void BitSource::design(const RunContext& ctx, StateClaims& state) {
    const std::int32_t nlev = levels();
    const std::int32_t in_use = degree_in_use(ctx);
    state.claim(counters, 3);
    state.claim(sine, 2);
    if (ctx.time() <= 0.0f) check_parameters(in_use, false);
    if (!from_file()) {
        state.claim(data, nlev + 2 * in_use + 2);
    } else {
        state.claim(data, nlev + 3);
        count_file_symbols(ctx);
        state.claim(file_symbols, nlev * file_count);
    }
    (clock_output.connected() ? *clock_output : unused_clock) = ElectricalSample{};
    no_data(*output, bits_per_symbol);
}

// A bit file: its header checked and its symbols counted (at most
// kMaxSymbols, so that bits per symbol x count stays an integer).
void BitSource::count_file_symbols(const RunContext& ctx) {
    file_count = 0;
    file_ok = false;
    const std::string name = significant_name(file);
    UnitFile unit;
    if (name.empty() || !readable(name + ".DAT")) {
        // Opening a missing file would create an empty one: report instead.
        ctx.messages().error(kBadFile);
        ctx.messages().info("File not found: " + name + ".DAT");
        return;
    }
    unit = ctx.files().open(name, FileUse::data);
    std::int32_t nbits = 0;
    if (!unit || !read_header(unit.unit(), nbits)) {
        ctx.messages().error(kBadFile);
        return;
    }
    file_ok = true;
    if (bits_per_symbol > nbits) {
        ctx.messages().error(kBadFile);
        ctx.messages().info(kLevelLine1);
        ctx.messages().info(kLevelLine2);
        file_ok = false;
    }
    std::string line;
    while (file_count < kMaxSymbols && unit.read_line(line))
        if (!blank_record(line)) ++file_count;
    if (file_count == 0) {
        ctx.messages().error(kBadFile);
        file_ok = false;
    }
}

void BitSource::setup(const RunContext& ctx) {
    if (!from_file()) return;
    const std::int32_t nlev = levels();
    data[static_cast<std::size_t>(nlev)] = file_count;
    data[static_cast<std::size_t>(nlev + 2)] = file_ok && read_file_symbols(ctx) ? 1 : 0;
}

// The file's symbols into their record; false at a record that is not
// bits_per_symbol values of 0 or 1.
bool BitSource::read_file_symbols(const RunContext& ctx) {
    const std::int32_t nlev = levels();
    const UnitFile unit = ctx.files().open(significant_name(file), FileUse::data);
    std::int32_t nbits = 0;
    if (!unit || !read_header(unit.unit(), nbits)) return false;
    std::string line;
    std::int32_t k = 0;
    std::int32_t v[8];
    while (k < file_count && unit.read_line(line)) {
        if (blank_record(line)) continue;
        if (parse_values(line, v, nlev) != nlev) {
            ctx.messages().error(kBadValues);
            return false;
        }
        // A value other than 0 or 1 (a negative one could pass for a terminator).
        if (std::any_of(v, v + nlev, [](std::int32_t b) { return b != 0 && b != 1; })) {
            ctx.messages().error(kBadValues);
            ctx.messages().info(kOnlyBits);
            return false;
        }
        std::copy_n(v, nlev, file_symbols.data() + static_cast<std::ptrdiff_t>(k) * nlev);
        ++k;
    }
    return true;
}

// The register at the start of a run: all ones, the taps of the entry.
// False when there is no usable polynomial.
bool BitSource::setup_register(std::int32_t in_use, std::int32_t* reg, std::int32_t* taps) const {
    std::fill(reg, reg + in_use, 1);
    std::fill(taps, taps + in_use, 0);
    if (degree > kPrbsMaxDegree) return false;
    const std::int32_t entry = prbs_polynomial(in_use, polynomial);
    if (entry == 0) return false;  // reported with the parameter checks
    if (!prbs_taps(entry, in_use, taps)) {
        tsedet(kErrPolynomial);
        return false;
    }
    return true;
}

// The first sample of a run: the clock's counters and the register or
// the file's place.
void BitSource::start_run(const RunContext& ctx, std::int32_t in_use, std::int32_t* bits, std::int32_t& valid) {
    counters[kBoundaries] = 0;
    counters[kSample] = 0;
    counters[kHalf] = samples_per_bit / 2;
    sine[kOmega] = kTwoPiF / (static_cast<float>(samples_per_bit) * ctx.time_step());
    sine[kPhi] = -kTwoPiF * static_cast<float>(first_boundary_samples) / static_cast<float>(samples_per_bit);
    const std::int32_t nlev = levels();
    std::fill(bits, bits + nlev, 0);
    if (!from_file()) {
        valid = setup_register(in_use, data.data(), data.data() + in_use) ? 1 : 0;
        data[static_cast<std::size_t>(2 * in_use + nlev + 1)] = in_use;
    } else {
        data[static_cast<std::size_t>(nlev + 1)] = 0;  // before the first symbol
    }
}

// Samples advanced on the first sample: the skipped symbols and the part
// of a symbol before the first boundary, plus the sample itself.
std::int64_t BitSource::first_advance() const {
    const std::int64_t skipped = std::int64_t{std::max(skipped_symbols, 0)} * samples_per_bit;
    return first_boundary_samples == 0 ? skipped + 1
                                       : skipped + (samples_per_bit - first_boundary_samples) + 1;
}

void BitSource::clock_value(const RunContext& ctx, std::int32_t m, ElectricalSample& clk) const {
    if (clock == 1)
        clk.value = m == 0 ? 1.0f : 0.0f;
    else if (clock == 2)
        clk.value = m < counters[kHalf] ? 1.0f : -1.0f;
    else
        clk.value = std::sin(ctx.time() * sine[kOmega] + sine[kPhi]);
    clk.w2 = 0.0f;
    clk.w3 = 0.0f;
}

void BitSource::run(const RunContext& ctx) {
    const bool run_start = ctx.time() <= 0.0f;
    const std::int32_t nlev = levels();
    const std::int32_t in_use = degree_in_use(ctx);
    if (run_start) check_parameters(in_use, true);
    ElectricalSample& clk = clock_output.connected() ? *clock_output : unused_clock;
    LogicalSignal& lg = *output;
    const bool prbs = !from_file();
    std::int32_t* bits = prbs ? data.data() + 2 * in_use : data.data();
    std::int32_t& valid = prbs ? data[static_cast<std::size_t>(2 * in_use + nlev)]
                               : data[static_cast<std::size_t>(nlev + 2)];
    if (run_start && timing_ok()) start_run(ctx, in_use, bits, valid);
    if (!timing_ok()) {
        clk = ElectricalSample{};
        no_data(lg, bits_per_symbol);
        return;
    }
    const Advance a = advance(counters[kSample], ctx.step() == 1 ? first_advance() : 1, samples_per_bit);
    if (a.boundaries > 0 && valid != 0) {
        if (prbs)
            prbs_symbols(a.boundaries, nlev, in_use, data.data(), data.data() + in_use, bits);
        else if (data[static_cast<std::size_t>(nlev)] > 0)
            next_file_symbol(data.data(), nlev, a.boundaries, file_symbols.data(), bits);
    }
    if (a.m_last == 0 && counters[kBoundaries] < 2) ++counters[kBoundaries];
    clock_value(ctx, a.m_last, clk);
    if (valid != 0)
        symbol_out(counters[kBoundaries], bits, nlev, lg);
    else
        no_data(lg, nlev);
}

namespace {

// The data source's check for its own bits per symbol.
void check_prbs_source(const BlockSettings& s, const LinkContext& link, Findings& found) {
    check_bit_source(s, link, s.integer("bits_per_symbol"), "samples_per_bit", found);
}

}  // namespace

void check_bit_source(const BlockSettings& s, const LinkContext& link, std::int32_t bits,
                      const std::string& per_symbol_key, Findings& found) {
    const std::int32_t per_bit = s.integer(per_symbol_key);
    const std::int32_t offset = s.integer("first_boundary_samples");
    if (offset >= per_bit)
        found.error("first_boundary_samples", "first_boundary_samples = " + std::to_string(offset) +
                                                  " is not below " + per_symbol_key + " = " + std::to_string(per_bit) +
                                                  "; allowed: 0 to " + std::to_string(per_bit - 1));
    if (s.integer("source") == 1) {
        const std::string problem = bit_file_problem(s.text("file"), bits);
        if (!problem.empty()) found.error("file", "source = \"file\": " + problem);
        return;
    }
    const std::int32_t degree = s.integer("degree");
    const std::int32_t in_use =
        degree >= kPrbsMinDegree ? degree : prbs_auto_degree(bits, link.end_time_ps, per_bit, link.time_step_ps);
    const std::int32_t variants = prbs_variants(in_use);
    const std::int32_t polynomial = s.integer("polynomial");
    if (polynomial > variants)
        found.error("polynomial", "polynomial = " + std::to_string(polynomial) + " is beyond the " +
                                      std::to_string(variants) + " polynomials of degree " + std::to_string(in_use) +
                                      (degree < kPrbsMinDegree ? " (the degree chosen from the run length)" : "") +
                                      "; allowed: 1 to " + std::to_string(variants));
}

KindDeclaration<BitSource> BitSource::declaration() {
    using S = BitSource;
    return {
        .name = "prbs_source",
        .routine = "spnseq",
        .help = "data source: symbols from a pseudo-random bit sequence or a file, with a clock at the symbol rate",
        .family = BlockFamily::transmitters,
        .parameters =
            {
                parameter(&S::source, {.name = "source", .type = ParamType::choice, .fallback = 0,
                                       .help = "where the bits come from", .choices = {{"prbs", 0}, {"file", 1}}}),
                parameter(&S::degree, {.name = "degree", .fallback = 7,
                                       .help = "shift-register degree; below 5 it is chosen from the run length",
                                       .low = 0, .high = 28}),
                parameter(&S::polynomial,
                          {.name = "polynomial", .fallback = 1,
                           .help = "variant of the feedback polynomial of that degree", .low = 1,
                           .limits = "at most the polynomials of the degree: 6, 18 at degree 7, 16 at degree 8"}),
                parameter(&S::first_boundary_samples,
                          {.name = "first_boundary_samples", .unit = "samples", .fallback = 0,
                           .help = "phase of the first symbol boundary, below samples_per_bit", .low = 0,
                           .limits = "below samples_per_bit"}),
                parameter(&S::samples_per_bit, {.name = "samples_per_bit", .unit = "samples",
                                                .help = "samples per symbol", .low = 1, .required = true}),
                parameter(&S::skipped_symbols, {.name = "skipped_symbols", .fallback = 0,
                                                .help = "symbols skipped before the first output symbol", .low = 0}),
                parameter(&S::bits_per_symbol,
                          {.name = "bits_per_symbol", .fallback = 1, .help = "bits per symbol", .low = 1, .high = 8}),
                parameter(&S::clock, {.name = "clock", .type = ParamType::choice, .fallback = 1,
                                      .help = "form of the clock output",
                                      .choices = {{"pulse", 1}, {"square", 2}, {"sine", 3}}}),
                parameter(&S::file,
                          {.name = "file", .type = ParamType::file,
                           .help = "bit file (without \".DAT\") when source is \"file\"",
                           .limits = "read when source is \"file\": a line starting with ##, a line with the bits per "
                                     "record (at least bits_per_symbol), then a symbol per record in 0s and 1s"}),
            },
        .outputs = {port(&S::output, {.key = "output", .help = "the symbols' bits"}),
                    port(&S::clock_output, {.key = "clock_output", .required = false, .help = "the clock"})},
        .check = check_prbs_source,
    };
}

namespace {

const KindRegistration registration{declare_kind<BitSource>()};

}  // namespace
}  // namespace nodrix

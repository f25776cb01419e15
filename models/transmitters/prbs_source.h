// The data source of a transmitter: symbols of one or more bits from a
// maximal-length shift-register sequence (PRBS) or from a user file of 0s and
// 1s, with a clock at the symbol rate. Its engine, BitSource, is the data
// source kind itself and the bit stream of the kinds that send its symbols
// in another form (the symbol source of multi-level links).
#pragma once

#include <cstdint>
#include <string>

#include "kernel/block_declaration.h"


namespace nodrix {

// What keeps a bit file from giving the source its symbols, in words (empty
// when nothing): `name` as the source takes it (without ".DAT"; trailing
// blanks and underscores are not part of it), symbols of `bits_per_symbol`
// bits. The file is read through, checked as the source reads it.
std::string bit_file_problem(const std::string& name, std::int32_t bits_per_symbol);

// Shortest and longest register of the polynomial table.
inline constexpr std::int32_t kPrbsMinDegree = 5;
inline constexpr std::int32_t kPrbsMaxDegree = 28;

// Register degree for a run of nlev * tend / (nsbit * delt) bits (truncated):
// one more than the number of halvings that bring that count to 1 or less,
// kept within 5 to 28.
std::int32_t prbs_auto_degree(std::int32_t nlev, float tend, std::int32_t nsbit, float delt);

// Number of feedback polynomials the table holds for a degree (0 outside 5..28).
std::int32_t prbs_variants(std::int32_t degree);

// Table entry of a degree and variant (from 1): the polynomial's coefficient
// bits written as octal digits, read as a decimal number (203 is
// x^7 + x + 1); 0 when there is no such entry.
std::int32_t prbs_polynomial(std::int32_t degree, std::int32_t variant);

// Splits an entry into the tap bits taps[0..degree): tap k + 1 is the
// coefficient of x^k. False when a decimal digit of the entry is above 7.
bool prbs_taps(std::int32_t entry, std::int32_t degree, std::int32_t* taps);

// One register step: returns position 1 (reg[0]), shifts positions 2..degree
// down and enters the modulo-2 sum of tap k times position k at the top.
std::int32_t prbs_step(std::int32_t* reg, const std::int32_t* taps, std::int32_t degree);

// The data source: its parameters, ports and state, and its phases. A kind
// built on it declares the parameters it exposes and sets the others
// (bits_per_symbol) before calling the phases.
struct BitSource {
    std::int32_t source = 0;                  // 0 a shift register, 1 a bit file
    std::int32_t degree = 7;                  // register degree; below 5 chosen from the run length
    std::int32_t polynomial = 1;              // feedback polynomial variant of the degree, from 1
    std::int32_t first_boundary_samples = 0;  // phase of the first symbol boundary [samples]
    std::int32_t samples_per_bit = 1;         // samples per symbol
    std::int32_t skipped_symbols = 0;         // symbols skipped before the first output symbol
    std::int32_t bits_per_symbol = 1;         // 1 to 8
    std::int32_t clock = 1;                   // 1 pulse, 2 square wave, 3 sine
    std::string file;                         // bit file name without ".DAT"

    Output<LogicalSignal> output;
    Output<ElectricalSample> clock_output;

    // Symbol boundaries seen (kept at 2 once the data starts), the sample in
    // the symbol, half a symbol [samples]; the sine clock's angular frequency
    // and phase. The register, its taps, the symbol's bits, the validity flag
    // and the degree in use; from a bit file instead the bits, the symbol
    // count, the current symbol and the validity flag, then the file's symbols.
    State<std::int32_t> counters;
    State<float> sine;
    State<std::int32_t> data;
    State<std::int32_t> file_symbols;

    std::int32_t file_count = 0;  // symbols the bit file holds
    bool file_ok = false;         // its header fits the bits per symbol and it holds symbols
    ElectricalSample unused_clock;  // written when the clock output is not connected


    static KindDeclaration<BitSource> declaration();

    bool from_file() const;
    std::int32_t levels() const;
    bool timing_ok() const;
    std::int32_t degree_in_use(const RunContext& ctx) const;
    void check_parameters(std::int32_t in_use, bool sampling) const;
    void design(const RunContext& ctx, StateClaims& state);
    void count_file_symbols(const RunContext& ctx);
    void setup(const RunContext& ctx);
    bool read_file_symbols(const RunContext& ctx);
    bool setup_register(std::int32_t in_use, std::int32_t* reg, std::int32_t* taps) const;
    void start_run(const RunContext& ctx, std::int32_t in_use, std::int32_t* bits, std::int32_t& valid);
    std::int64_t first_advance() const;
    void clock_value(const RunContext& ctx, std::int32_t m, ElectricalSample& clk) const;
    void run(const RunContext& ctx);
};

// The link-level check of a data source's values for symbols of
// `bits_per_symbol` bits: the first boundary lies within a symbol; a
// register polynomial the table holds for the degree in use; a bit file the
// source can read through. `per_symbol_key` names the samples per symbol.
void check_bit_source(const BlockSettings& s, const LinkContext& link, std::int32_t bits_per_symbol,
                      const std::string& per_symbol_key, Findings& found);

}  // namespace nodrix

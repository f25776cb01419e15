// The data source of a transmitter: symbols of one or more bits from a
// maximal-length shift-register sequence (PRBS) or from a user file of 0s and
// 1s, with a clock at the symbol rate.
#pragma once

#include <cstdint>
#include <string>


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

}  // namespace nodrix

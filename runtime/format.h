// Fixed-field number formats of the files and messages the program writes.
// They follow the usual Fortran edit conventions: a value that does not fit its
// field is written as a field of asterisks; E format writes a mantissa 0.ddd
// with a signed two-digit exponent (0.123457E+03); numbers are right-justified.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nodrix::fmt {

// (Iw): integer right-justified in w columns.
std::string I(std::int64_t v, int w);

// (Ew.d): 0.ddd...E+xx in w columns, d digits in the mantissa. An exponent of
// three digits drops the letter E (0.123+100), as Fortran does.
std::string E(double v, int w, int d);

// (Fw.d): fixed point, d decimals, in w columns; the leading zero of a value
// below 1 is dropped when only that makes it fit.
std::string F(double v, int w, int d);

// (Aw) applied to a character variable of length w: the text cut to w
// characters or padded with blanks on the right.
std::string A(std::string_view text, int w);

// (Aw) applied to a text shorter than w: right-justified with leading blanks;
// a longer text keeps its first w characters.
std::string A_right(std::string_view text, int w);

// List-directed output. Every item starts with one blank.
//  - an integer is written with its decimal digits and no padding: " 73";
//  - a real (float) is written with 9 significant digits, a double with 17:
//    in fixed point when 0.1 <= |x| < 10^digits ("120.000000", "0.157710001"),
//    otherwise in scientific form with a signed two-digit (or longer) exponent
//    ("9.99999975E-06"); zero is written "0.00000000" (float) or
//    "0.0000000000000000" (double).
std::string list_int(std::int64_t v);
std::string list_real(float v);
std::string list_double(double v);

// A list-directed value written into a character variable of width w, as a
// program does with an internal write: the item left-aligned, blank-padded.
std::string list_real_field(float v, int w);
std::string list_double_field(double v, int w);

}  // namespace nodrix::fmt

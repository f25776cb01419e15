// Parts of the chart-file reader shared by its source units: value and line
// input (pars_qxy_input.cpp) and chart headers, columns and rows
// (pars_qxy_charts.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "xu/pars_qxy.h"

namespace nodrix::qxy_parts {

constexpr int kRowBlock = 1000;        // rows read per block by xu_ParsQxy
constexpr std::size_t kMagicKeep = 31;  // characters of the magic line kept
constexpr std::size_t kMagicScan = 256;  // a longer magic line is not a chart file
// Binary files are read ahead in blocks: value-by-value system reads would
// make a long signal file slow to read.
constexpr std::size_t kReadAhead = 65536;

// Section marks of the version 3 binary form.
enum : std::uint8_t { kMarkEnd = 0, kMarkTitle = 1, kMarkLabels = 2, kMarkTiming = 3, kMarkColumn = 4, kMarkRow = 5 };

void report(XuParsQxy* c, const char* format, ...) __attribute__((format(printf, 2, 3)));
int deliver(XuParsQxy* c, int kind, const void* record);
void copy_text(char (&dst)[kQxyTextSize], const char* src);
// Extension of the last path component: the part after its last dot.
const char* extension_of(const char* path);
bool is_binary_extension(const char* path);
// Copies n bytes from the read-ahead buffer, refilling it from the file. At
// the end of the file the n destination bytes are zeroed and -1 returned.
int get_bytes(XuParsQxy* c, void* p, std::size_t n);
inline int get_u8(XuParsQxy* c, std::uint8_t& v) { return get_bytes(c, &v, 1); }
inline int get_i32(XuParsQxy* c, std::int32_t& v) { return get_bytes(c, &v, sizeof v); }
inline int get_f64(XuParsQxy* c, double& v) { return get_bytes(c, &v, sizeof v); }
// The first value of a structure: 1 read, 0 a clean end of the file before it,
// -1 the file ends inside it.
int get_first(XuParsQxy* c, void* p, std::size_t n);
// A NUL-terminated text; at most 127 characters are kept, the rest is skipped.
int get_text_ascii(XuParsQxy* c, char (&out)[kQxyTextSize]);
// A length-prefixed text: the length (with the NUL) must match the text.
int get_text_v3(XuParsQxy* c, char (&out)[kQxyTextSize]);
// Reads a whole line of any length (without its LF or CR LF): 1 a line, 0 the
// end of the file before any character, -1 a line cut by the end of the file
// (every line of a chart file ends with a line feed) or a read failure.
int next_line(XuParsQxy* c);
bool blank_text(const char* s);
// The next line that is not blank: blank lines carry nothing.
int next_content_line(XuParsQxy* c);
inline void hold_line(XuParsQxy* c) { c->line_held = 1; }
// Splits the current line at its first separator into the keyword (without
// surrounding blanks) and the value (the rest of the line as it stands).
void split_line(XuParsQxy* c, char*& key, char*& value);
bool rest_blank(const char* s);
bool parse_int(const char* s, std::int32_t& v);
bool parse_double(const char* s, double& v);
// A data row begins with a number; any other line ends rows of unknown count.
bool looks_like_row(const char* s);

// ---- Chart headers, columns and rows ----

int text_chart_header(XuParsQxy* c, QxyChartHeader& h);
int text_column(XuParsQxy* c, std::int32_t index, QxyColumn& col);
int v3_chart_header(XuParsQxy* c, QxyChartHeader& h);
int old_signal_header(XuParsQxy* c, QxyChartHeader& h);
// The result of a clean end of a compact binary file (version 1 XY chart or
// spectrum, version 1 or 2 signal) where a chart header would begin: the end
// of the file after a chart (0), or a read error before the first. Their
// writers create such a file only to write a chart into it, and a spectrum or
// signal file holds exactly one: a file without any was cut.
int end_of_compact_file(const XuParsQxy* c);
void free_chart(XuParsQxy* c);
// Column descriptors that the older forms leave implicit.
QxyColumn made_column(XuParsQxy* c, std::int32_t index);
bool reads_column_blocks(const XuParsQxy* c);
// Ends a chart whose rows are complete: the older XY and spectrum forms close
// it with an int32 0.
int finish_chart(XuParsQxy* c);
int read_row(XuParsQxy* c);
// Reads and drops the rest of the current chart.
int drain_chart(XuParsQxy* c);

}  // namespace nodrix::qxy_parts

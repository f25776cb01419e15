// Writers of the compact binary chart forms that the models produce through the
// io_* files: the version 1 XY chart ("NodrixXY  1"), the version 1 spectrum
// ("NodrixSpr  1") and the version 2 sampled signal ("NodrixSgn  2"), whose
// header is written first with a zero count and written again over itself,
// with the final count, before the file is closed.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace nodrix {

// ---- Version 1 XY chart file (file type 7) ----

// Creates the file (default buffer) and writes the magic, the file header
// 7, 5, 16, 1, 7 and its end word. Returns the io identifier, or -1.
std::int32_t qxy1_create(const std::string& path);
// Opens an existing chart file for appending charts after its content; a
// missing file is created as qxy1_create does. Returns the identifier, or -1.
std::int32_t qxy1_open_append(const std::string& path);
// Appends one chart: the point count, the smallest and largest Y, the five
// NUL-terminated texts, the end of the chart header, the (X, Y) pairs and the
// end-of-chart word. x and y must have the same length. Returns false on a
// write failure.
bool qxy1_write_chart(std::int32_t id, const std::string& title, const std::string& label_x,
                      const std::string& measure_x, const std::string& label_y, const std::string& measure_y,
                      std::span<const double> x, std::span<const double> y);
// Closes the file.
bool qxy1_close(std::int32_t id);

// ---- Version 1 spectrum file (file type 4) ----

struct Qsp1Header {
    double delt = 0.0;            // simulation sample spacing [ps]
    double fsym = 0.0;            // reference frequency of the band [THz]
    double frequency_step = 0.0;  // [THz]
    double start_frequency = 0.0;
    double stop_frequency = 0.0;
    double minimum = 0.0;         // smallest and largest value of the data
    double maximum = 0.0;
};
// Writes the whole spectrum file. Returns false on a failure.
bool qsp1_write(const std::string& path, const Qsp1Header& header, std::span<const double> values);

// ---- Version 2 sampled signal file (types 1, 2, 3, 6) ----

struct Qsg2Header {
    std::int32_t type = 1;          // 1 electrical signal
    std::int32_t columns = 1;
    std::int32_t samples = 0;       // SamplesNum
    std::int32_t samples_per_bit = 0;
    double minimum = 0.0;
    double maximum = 0.0;
    double delt = 0.0;
    double tstart = 0.0;
    double fsym = 0.0;
};
// Creates the file (default buffer) and writes the header. Returns the io
// identifier, or -1.
std::int32_t qsg2_create(const std::string& path, const Qsg2Header& header);
// Appends one row (one float64 per column).
bool qsg2_append(std::int32_t id, std::span<const double> row);
// Writes the final header over the first one and closes the file, which then
// goes in place under its name if every write reached it.
bool qsg2_finish(std::int32_t id, const Qsg2Header& header);

}  // namespace nodrix

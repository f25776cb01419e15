#include "runtime/chart_compact.h"

#include <algorithm>
#include <cstdio>

#include "runtime/io_file.h"
#include "runtime/run_files.h"

namespace nodrix {
namespace {

constexpr std::int32_t kFileHeaderTail[4] = {5, 16, 1, 7};

bool put_text(std::int32_t id, const std::string& text) {
    return io_write_byte(id, text.c_str(), static_cast<std::int32_t>(text.size() + 1)) == 0;
}

bool put_int(std::int32_t id, std::int32_t v) { return io_write_int(id, &v, 1) == 0; }
bool put_dbl(std::int32_t id, double v) { return io_write_dbl(id, &v, 1) == 0; }

bool put_file_header(std::int32_t id, std::int32_t type) {
    return put_int(id, type) && io_write_int(id, kFileHeaderTail, 4) == 0;
}


// The header of a version 2 signal file, byte by byte.
std::string qsg2_header_bytes(const Qsg2Header& h) {
    std::string b("NodrixSgn  2", 13);  // with its NUL
    auto put = [&b](const auto& v) { b.append(reinterpret_cast<const char*>(&v), sizeof v); };
    put(h.type);
    for (std::int32_t w : kFileHeaderTail) put(w);
    put(h.columns);
    put(h.samples);
    put(h.samples_per_bit);
    for (double v : {h.minimum, h.maximum, h.delt, h.tstart, h.fsym}) put(v);
    put(std::int32_t{0});
    return b;
}

}  // namespace

std::int32_t qxy1_create(const std::string& path) {
    const std::int32_t id = io_open(path.c_str(), kIoWrite, -1);
    if (id < 0) return -1;
    if (!(put_text(id, "NodrixXY  1") && put_file_header(id, 7) && put_int(id, 0))) {
        io_close(id);
        return -1;
    }
    return id;
}

std::int32_t qxy1_open_append(const std::string& path) {
    if (!file_present(path)) return qxy1_create(path);
    return io_open(path.c_str(), kIoWrite | kIoAppend, -1);
}

bool qxy1_write_chart(std::int32_t id, const std::string& title, const std::string& label_x,
                      const std::string& measure_x, const std::string& label_y, const std::string& measure_y,
                      std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) return false;
    double lo = 0.0;
    double hi = 0.0;
    if (!y.empty()) {
        const auto [mn, mx] = std::minmax_element(y.begin(), y.end());
        lo = *mn;
        hi = *mx;
    }
    bool ok = put_int(id, static_cast<std::int32_t>(y.size())) && put_dbl(id, lo) && put_dbl(id, hi) &&
              put_text(id, title) && put_text(id, label_x) && put_text(id, measure_x) && put_text(id, label_y) &&
              put_text(id, measure_y) && put_int(id, 0);
    for (std::size_t k = 0; ok && k < y.size(); ++k) ok = put_dbl(id, x[k]) && put_dbl(id, y[k]);
    return ok && put_int(id, 0);
}

bool qxy1_close(std::int32_t id) { return io_close(id) == 0; }

bool qsp1_write(const std::string& path, const Qsp1Header& h, std::span<const double> values) {
    const std::int32_t id = io_open(path.c_str(), kIoWrite, -1);
    if (id < 0) return false;
    bool ok = put_text(id, "NodrixSpr  1") && put_file_header(id, 4) && put_dbl(id, h.delt) && put_dbl(id, h.fsym) &&
              put_int(id, 0) && put_int(id, static_cast<std::int32_t>(values.size())) &&
              put_dbl(id, h.frequency_step) && put_dbl(id, h.start_frequency) && put_dbl(id, h.stop_frequency) &&
              put_dbl(id, h.minimum) && put_dbl(id, h.maximum) && put_int(id, 0);
    if (ok && !values.empty())
        ok = io_write_dbl(id, values.data(), static_cast<std::int32_t>(values.size())) == 0;
    ok = ok && put_int(id, 0);
    return io_close(id) == 0 && ok;
}

std::int32_t qsg2_create(const std::string& path, const Qsg2Header& header) {
    const std::int32_t id = io_open(path.c_str(), kIoWrite, -1);
    if (id < 0) return -1;
    const std::string head = qsg2_header_bytes(header);
    if (io_write_byte(id, head.data(), static_cast<std::int32_t>(head.size())) != 0) {
        io_close(id);
        return -1;
    }
    return id;
}

bool qsg2_append(std::int32_t id, std::span<const double> row) {
    return io_write_dbl(id, row.data(), static_cast<std::int32_t>(row.size())) == 0;
}

bool qsg2_finish(std::int32_t id, const Qsg2Header& header) {
    const std::string head = qsg2_header_bytes(header);
    const bool ok = io_write_at(id, 0, head.data(), static_cast<std::int32_t>(head.size())) == 0;
    return io_close(id) == 0 && ok;
}

}  // namespace nodrix

// Shared pieces of the optical filter block tests: a fixture with the
// project's constants and an in-band input, and the reader of the hand-over
// file "kn" + six digits.
#pragma once

#include <complex>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/signals.h"
#include "runtime/record_file.h"
#include "tests/filters/block_schedule.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

class OpticalBlockTest : public NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        set_project_constants();
        in_.iv = 1;
        in_.pp = 1.0f;
        in_.ps.fill(1.0f);
    }
    // Spectral bin of an absolute frequency [THz].
    static std::size_t bin_of(double f) { return std::size_t((f - flimit.fgridlo) / bin_width()); }
    static double bin_width() { return (flimit.fgridhi - flimit.fgridlo) / 1024.0; }

    InputWindow win_{100.0f, 15360.0f};
    TimeWindow tw_;
    OpticalSignal in_, out_;
};

// The numbers of a description file written by a filter block: the title
// line, the "##" marker, then lines that must match `line_form`.
inline std::vector<std::vector<double>> read_description(const std::string& path, const std::string& title,
                                                         const std::string& line_form) {
    std::istringstream in(read_text(path));
    std::string l;
    std::getline(in, l);
    EXPECT_EQ(l, title);
    std::getline(in, l);
    EXPECT_EQ(l, "##");
    const std::regex form(line_form);
    std::vector<std::vector<double>> rows;
    while (std::getline(in, l)) {
        EXPECT_TRUE(std::regex_match(l, form)) << l;
        std::istringstream fields(l);
        rows.emplace_back(std::istream_iterator<double>(fields), std::istream_iterator<double>());
    }
    return rows;
}

// The head of the hand-over file and the realised response (FFT order).
struct HandOverFile {
    std::int32_t active = 0, n = 0, log2n = 0;
    double reserved = -1.0;
    float peak = 0.0f;
    std::vector<std::complex<double>> h;
};

inline HandOverFile read_hand_over(std::int32_t instance) {
    HandOverFile r;
    char name[32];
    std::snprintf(name, sizeof name, "kn%06d.DAT", instance);
    std::FILE* f = std::fopen(name, "rb");
    if (f == nullptr) return r;
    records::read_values(f, r.active);
    records::read_values(f, r.n);
    records::read_values(f, r.log2n);
    records::read_values(f, r.reserved);
    records::read_values(f, r.peak);
    for (int i = 0; i < kBins; ++i) records::skip(f);  // bin offset, transmission, delay
    for (std::complex<double> v; std::int32_t(r.h.size()) < r.n && records::read_values(f, v);) r.h.push_back(v);
    std::fclose(f);
    return r;
}

}  // namespace nodrix::testing

// A block bench for the optical filter kinds (instance 77, a lit input with a
// spectrum of its own) and readers of the files their set-up leaves: the
// hand-over file "kn" + six digits and a description file.
#pragma once

#include <gtest/gtest.h>

#include <complex>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "kernel/run_context.h"
#include "runtime/record_file.h"
#include "tests/support/block_bench.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

struct FilterBench {
    explicit FilterBench(std::string_view kind, std::int32_t polarisations = 1)
        : bench(kind, SimulationSettings{.polarisations = polarisations}), in(bench.input<OpticalSignal>("input")),
          out(bench.output<OpticalSignal>("output")) {
        bench.identity().instance = 77;
        in.iv = 1;
        in.pp = 2.0f;
        for (int i = 0; i < kBins; ++i) in.ps[static_cast<std::size_t>(i)] = 0.001f * float(i % 7 + 1);
    }
    // The round that sizes the block (it synthesises), or the state round
    // and the run's set-up: their messages.
    std::string size() { return round(SetupRound::sizing); }
    std::string set_up() { return round(SetupRound::state); }
    std::string round(SetupRound r) {
        ::testing::internal::CaptureStderr();
        bench.context().enter_round(r);
        EXPECT_TRUE(bench.design().ok());
        if (r == SetupRound::state) {
            EXPECT_TRUE(bench.setup().ok());
        }
        return ::testing::internal::GetCapturedStderr();
    }
    const SimulationSettings& settings() { return bench.context().settings(); }
    // The spectral bin of an absolute frequency [THz], and the output's power transmission there.
    std::size_t bin_of(double f) {
        const SpectralGrid& g = settings().grid;
        return std::size_t((f - g.low_thz) / ((g.high_thz - g.low_thz) / 1024.0));
    }
    double transmission(double f) { return double(out.ps[bin_of(f)]) / double(in.ps[bin_of(f)]); }

    BlockBench bench;
    OpticalSignal& in;
    const OpticalSignal& out;
};

// The head of the hand-over file "kn" + six digits, its per-bin records and
// the realised response (FFT order).
struct HandOverFile {
    std::int32_t active = 0, n = 0, log2n = 0;
    double reserved = -1.0;
    float peak = 0.0f;
    std::vector<float> bin_offset, transmission, delay;
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
    for (int i = 0; i < kBins; ++i) {
        float o = 0.0f, t = 0.0f, d = 0.0f;
        records::read_values(f, o, t, d);
        r.bin_offset.push_back(o);
        r.transmission.push_back(t);
        r.delay.push_back(d);
    }
    for (std::complex<double> v; std::int32_t(r.h.size()) < r.n && records::read_values(f, v);) r.h.push_back(v);
    std::fclose(f);
    return r;
}

using Rows = std::vector<std::vector<double>>;

// The numbers of a description file: the title line, the "##" marker, then
// lines matching `line_form`.
inline Rows read_description(const std::string& path, const std::string& title, const std::string& line_form) {
    std::istringstream in(read_text(path));
    std::string l;
    std::getline(in, l);
    EXPECT_EQ(l, title);
    std::getline(in, l);
    EXPECT_EQ(l, "##");
    const std::regex form(line_form);
    Rows rows;
    while (std::getline(in, l)) {
        EXPECT_TRUE(std::regex_match(l, form)) << l;
        std::istringstream fields(l);
        rows.emplace_back(std::istream_iterator<double>(fields), std::istream_iterator<double>());
    }
    return rows;
}

}  // namespace nodrix::testing

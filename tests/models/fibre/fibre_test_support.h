// Shared set-up of the fibre tests: project constants, estimated FFT plans (quicker to make than measured ones, and the same at
// every run), and the dimensioning file that split requests are written to.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "models/fibre/fibre_filters.h"
#include "runtime/io_file.h"
#include "runtime/wisdom.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

class FibreTest : public NodrixTest {
protected:
    void SetUp() override {
        NodrixTest::SetUp();
        set_project_constants();
        set_plan_rigor(PlanRigor::estimate);
    }
    void TearDown() override {
        reset_plan_rigor();
        NodrixTest::TearDown();
    }
    std::int32_t open_memfile() { return io_open("x1_test.mem", kIoWrite, 0); }
    std::string memfile_text(std::int32_t id) {
        io_close(id);
        return read_text("x1_test.mem");
    }
};

// Split-request lines as written to the dimensioning file: each padded with
// 38 blanks.
inline std::string padded_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + std::string(38, ' ') + "\n";
    return text;
}

// The piece lengths [km] of a split request for fibre `number`, checking the
// layout of its lines: 12-character fields padded as above.
inline std::vector<double> split_pieces(const std::string& text, int number) {
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    const std::string id = std::to_string(number);
    EXPECT_EQ(line, "fiber " + std::string(12 - id.size(), ' ') + id + std::string(38, ' '));
    std::getline(in, line);
    EXPECT_EQ(line.substr(0, 9), "numsplit ");
    EXPECT_EQ(line.size(), 59u);
    const std::size_t count = static_cast<std::size_t>(std::atoi(line.substr(9, 12).c_str()));
    std::vector<double> pieces;
    while (std::getline(in, line)) {
        EXPECT_EQ(line.substr(0, 7), "length ");
        EXPECT_EQ(line.size(), 57u);
        pieces.push_back(std::atof(line.substr(7, 12).c_str()));
    }
    EXPECT_EQ(pieces.size(), count);
    return pieces;
}

}  // namespace nodrix::testing

// A link re-formed from the split requests of its fibres: the pieces, their
// numbers and wiring, and every split refused with its message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "project/fibre_pieces.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

// A laser, a 60 km fibre writing signal 40, an amplifier.
const std::string kLink = testing::read_text(NODRIX_TEST_DATA_DIR "/fibre_pieces.toml");

class FibrePieces : public testing::NodrixTest {
protected:
    // Applies the requests to the link; keeps what the standard error shows.
    bool apply(std::vector<SplitRequest> requests, int round = 1) {
        ::testing::internal::CaptureStderr();
        const bool ok = splits_.apply(link_, requests, round);
        err_ = ::testing::internal::GetCapturedStderr();
        return ok;
    }
    // Each fibre: instance input>output length@start along the whole, tolerance, report.
    std::vector<std::string> fibres() const {
        std::vector<std::string> r;
        for (const LinkBlock& b : link_.blocks)
            if (b.kind->name == "fibre")
                r.push_back(std::to_string(b.id) + " " + std::to_string(b.inputs[0]) + ">" + std::to_string(b.output) +
                            " " + std::to_string(b.settings.real("length_km")) + "@" +
                            std::to_string(b.piece_start_km) + " of " + std::to_string(b.whole_fibre) + " tol " +
                            std::to_string(b.settings.real("length_tolerance_percent")) + " " +
                            b.settings.text("file_name"));
        return r;
    }
    Link link_ = *load_link_text(kLink, "t.toml", "/links");
    FibreSplits splits_;
    std::string err_;
};

TEST_F(FibrePieces, PiecesTakeTheFibresPlaceAndNumbersAboveTheLinks) {
    // A request on storage leaves the fibre whole; 1167 rad of Kerr phase
    // (a 1023.9-fold broadening) is still simulated.
    ASSERT_TRUE(apply({{5, {10.0, 20.0, 30.0}, SplitReason::storage}}));
    EXPECT_EQ(fibres(), std::vector<std::string>{"5 1>40 60.000000@0.000000 of 0 tol 5.000000 t_FBR0005"});
    ASSERT_TRUE(apply({{5, {10.0, 20.0, 30.0}, SplitReason::steps, 1167.0}})) << err_;
    // A piece split again: the pieces are numbered afresh, in order.
    ASSERT_TRUE(apply({{42, {5.0, 15.0}}}, 2)) << err_;
    EXPECT_EQ(fibres(), (std::vector<std::string>{"41 1>41 10.000000@0.000000 of 5 tol 0.000000 t_FBR0005_0041",
                                                  "42 41>42 5.000000@10.000000 of 5 tol 0.000000 t_FBR0005_0042",
                                                  "43 42>43 15.000000@15.000000 of 5 tol 0.000000 t_FBR0005_0043",
                                                  "5 43>40 30.000000@30.000000 of 5 tol 0.000000 t_FBR0005"}));
    EXPECT_EQ(splits_.report(link_),
              std::vector<std::string>{"block 5 (fibre) is split into 4 pieces (blocks 41 to 43 and 5): its step plan "
                                       "needs more than the 50000 steps one fibre block holds"});
    // Refused: the fibre stays as it was, and the error names it and why.
    const std::string head = "Nodrix-E-t.toml:10: block 5 (fibre) cannot be split into pieces it can simulate: ";
    const std::pair<SplitRequest, std::string> refusals[] = {
        {{42, {5.0}}, "the step plan of its piece of 5 km from 10 km gives no pieces to cut it into"},
        {{5, {30.0, 1e-3}},
         "the step plan of its piece of 30 km from 30 km cannot shorten it: a piece of 30 km remains of 30 km"},
        {{5, std::vector<double>(1998, 0.01)}, "it would take 2001 pieces, more than the 2000 a fibre may become"},
    };
    for (const auto& [request, why] : refusals) {
        EXPECT_FALSE(apply({request}, 3)) << why;
        EXPECT_EQ(err_, head + why + "\n");
        EXPECT_EQ(link_.blocks.size(), 6u);
    }
    EXPECT_FALSE(apply({{5, {10.0, 20.0}}}, kMaxSplitRounds));
    EXPECT_EQ(err_, head + "its pieces still ask to be split after 5 rounds of splits\n");
}

}  // namespace
}  // namespace nodrix

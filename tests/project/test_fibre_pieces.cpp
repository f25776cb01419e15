// A link re-formed from the split requests of its fibres: the pieces, their
// numbers and wiring, and every split refused with its message.
#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <string>
#include <vector>

#include "project/fibre_pieces.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

// A laser, a 60 km fibre writing signal 40, an amplifier.
const char* const kLink =
    "[link]\nname = \"t\"\nend_time_ps = 1000.0\n\n"                        // 1-4
    "[[block]]\nid = 1\nkind = \"laser\"\nfrequency_thz = 193.1\n\n"        // 5-9
    "[[block]]\nid = 5\nkind = \"fibre\"\ninput = 1\noutput = 40\n"         // 10-14
    "length_km = 60.0\nlength_tolerance_percent = 5.0\n\n"                  // 15-17
    "[[block]]\nid = 7\nkind = \"amplifier_fixed_gain\"\ninput = 40\ngain_db = 12.0\n";

class FibrePieces : public testing::NodrixTest {
protected:
    Link load() {
        auto link = load_link_text(kLink, "t.toml", "/links");
        EXPECT_TRUE(link);
        return *link;
    }
    // Applies the requests; keeps what the standard error shows.
    bool apply(Link& link, std::vector<SplitRequest> requests, int round = 1) {
        ::testing::internal::CaptureStderr();
        const bool ok = splits_.apply(link, requests, round);
        err_ = ::testing::internal::GetCapturedStderr();
        return ok;
    }
    FibreSplits splits_;
    std::string err_;
};

// What stands where in the schedule: instance, input, output, length, start
// along the whole fibre, whole fibre, report name.
struct Row {
    std::int32_t id, input, output;
    double length, start;
    std::int32_t whole;
    std::string report;
    bool operator==(const Row&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Row& r) {
    return o << r.id << " " << r.input << " " << r.output << " " << r.length << " " << r.start << " " << r.whole
             << " " << r.report;
}
std::vector<Row> rows(const Link& link) {
    std::vector<Row> r;
    for (const LinkBlock& b : link.blocks) {
        if (b.kind->name != "fibre") continue;
        EXPECT_EQ(b.settings.real("length_tolerance_percent"), b.whole_fibre != 0 ? 0.0f : 5.0f);
        r.push_back({b.id, b.inputs[0], b.output, b.settings.real("length_km"), b.piece_start_km, b.whole_fibre,
                     b.settings.text("file_name")});
    }
    return r;
}

TEST_F(FibrePieces, PiecesTakeTheFibresPlaceAndNumbersAboveTheLinks) {
    Link link = load();
    // A request on storage leaves the fibre whole.
    ASSERT_TRUE(apply(link, {{5, {30.0, 30.0}, SplitReason::storage}}));
    EXPECT_EQ(link.blocks.size(), 3u);
    // The Kerr phase just below the bound: 1167 rad broadens 1023.9-fold.
    ASSERT_TRUE(apply(link, {{5, {10.0, 20.0, 30.0}, SplitReason::steps, 1167.0}})) << err_;
    EXPECT_EQ(rows(link), (std::vector<Row>{{41, 1, 41, 10.0, 0.0, 5, "t_FBR0005_0041"},
                                            {42, 41, 42, 20.0, 10.0, 5, "t_FBR0005_0042"},
                                            {5, 42, 40, 30.0, 30.0, 5, "t_FBR0005"}}));
    EXPECT_EQ(link.blocks.back().inputs, std::vector<std::int32_t>{40});
    // A piece split again: the pieces are numbered afresh, in order.
    ASSERT_TRUE(apply(link, {{42, {5.0, 15.0}}}, 2)) << err_;
    EXPECT_EQ(rows(link), (std::vector<Row>{{41, 1, 41, 10.0, 0.0, 5, "t_FBR0005_0041"},
                                            {42, 41, 42, 5.0, 10.0, 5, "t_FBR0005_0042"},
                                            {43, 42, 43, 15.0, 15.0, 5, "t_FBR0005_0043"},
                                            {5, 43, 40, 30.0, 30.0, 5, "t_FBR0005"}}));
    EXPECT_EQ(splits_.report(link),
              std::vector<std::string>{"block 5 (fibre) is split into 4 pieces (blocks 41 to 43 and 5): its step plan "
                                       "needs more than the 50000 steps one fibre block holds"});
}

TEST_F(FibrePieces, AFibreNoSplitCanMakeRunnableIsAnErrorNamingItAndWhy) {
    const std::string head = "Nodrix-E-t.toml:10: block 5 (fibre) cannot be split into pieces it can simulate: ";
    struct Case {
        SplitRequest request;
        double length;
        int round;
        std::string why;
    };
    const Case cases[] = {
        {{5, {30.0, 30.0}, SplitReason::steps, 2000.0}, 60.0, 1,
         "its Kerr phase of 2000 rad (gamma x peak power x effective length) would broaden its spectrum about "
         "1755-fold, past the 1024 bins of the simulated grid; check its gamma_per_w_per_km and the power launched "
         "into it"},
        {{5, {30.0, 30.0}}, 1e308, 1, "its length does not fit a single-precision real (3.4e38 at most)"},
        {{5, {61.0, -1.0}}, 60.0, 1, "its step plan gives pieces of no finite positive length (-1 km)"},
        {{5, {60.0, 1e-3}}, 60.0, 1, "its step plan cannot shorten it: a piece of 60 km remains of 60 km"},
        {{5, {60.0}}, 60.0, 1, "its step plan gives no pieces to cut it into"},
        {{5, std::vector<double>(2001, 0.03)}, 60.0, 1, "it would take 2001 pieces, more than the 2000 a fibre may become"},
        {{5, {30.0, 30.0}}, 60.0, kMaxSplitRounds, "its pieces still ask to be split after 5 rounds of splits"},
    };
    for (const Case& c : cases) {
        Link link = load();
        link.blocks[1].settings.set_number("length_km", c.length);
        EXPECT_FALSE(apply(link, {c.request}, c.round)) << c.why;
        EXPECT_EQ(err_, head + c.why + "\n");
        EXPECT_EQ(link.blocks.size(), 3u);
    }
    // A piece's own plan is named with where the piece lies.
    Link link = load();
    ASSERT_TRUE(apply(link, {{5, {10.0, 20.0, 30.0}}}));
    EXPECT_FALSE(apply(link, {{42, {20.0}}}, 2));
    EXPECT_EQ(err_, head + "the step plan of its piece of 20 km from 10 km gives no pieces to cut it into\n");
}

}  // namespace
}  // namespace nodrix

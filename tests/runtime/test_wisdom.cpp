// The FFT plan store and the run history.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "kernel/control_blocks.h"
#include "kernel/storage.h"
#include "runtime/history.h"
#include "runtime/wisdom.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

class PlanStoreTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        opxplandestroy();
        unsetenv("BNLIB");
        testing::NodrixTest::TearDown();
    }
};

TEST_F(PlanStoreTest, WithoutBnlibNoWisdomIsRead) {
    unsetenv("BNLIB");
    pplan.wisdom = 7;
    opxplancreate();
    EXPECT_EQ(pplan.wisdom, 0);
    for (int n = 1; n <= kMaxPlanExponent; ++n) EXPECT_EQ(pplan.forward[n], nullptr);
    opxplandestroy();  // nothing created: nothing to do
}

TEST_F(PlanStoreTest, MissingWisdomFileIsSilent) {
    setenv("BNLIB", dir_.c_str(), 1);
    ::testing::internal::CaptureStderr();
    opxplancreate();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(pplan.wisdom, 0);
}

TEST_F(PlanStoreTest, WisdomExportedByFftwIsImported) {
    // Export the wisdom of a measured plan with FFTW's own call, then read it back.
    fftw_plan p = fftw_create_plan(64, FFTW_FORWARD, FFTW_MEASURE | FFTW_USE_WISDOM);
    std::FILE* f = std::fopen("opwis.pln", "w");
    fftw_export_wisdom_to_file(f);
    std::fclose(f);
    fftw_destroy_plan(p);
    fftw_forget_wisdom();
    setenv("BNLIB", dir_.c_str(), 1);
    opxplancreate();
    EXPECT_EQ(pplan.wisdom, 1);
    testing::write_text("opwis.pln", "(not wisdom at all");
    fftw_forget_wisdom();
    opxplancreate();
    EXPECT_EQ(pplan.wisdom, 0);
    fftw_forget_wisdom();
}

TEST_F(PlanStoreTest, PlansTransformForwardAndBackward) {
    opxplancreate();
    create_plans(3);
    ASSERT_NE(pplan.forward[3], nullptr);
    ASSERT_NE(pplan.backward[3], nullptr);
    EXPECT_EQ(forward_plan(3), pplan.forward[3]);
    std::vector<fftw_complex> in(8), out(8);
    for (int k = 0; k < 8; ++k) in[static_cast<std::size_t>(k)] = fftw_complex{std::cos(2 * kPi * k / 8), std::sin(2 * kPi * k / 8)};
    fftw_one(forward_plan(3), in.data(), out.data());
    // A pure tone e^(+j 2 pi k / 8) lands in bin 1 with the forward sign e^(-j ...).
    EXPECT_NEAR(out[1].re, 8.0, 1e-12);
    for (std::size_t k = 0; k < 8; ++k) {
        const double expected = k == 1 ? 8.0 : 0.0;
        EXPECT_NEAR(std::hypot(out[k].re, out[k].im), expected, 1e-12);
    }
    EXPECT_EQ(forward_plan(15), nullptr);
    EXPECT_EQ(backward_plan(0), nullptr);
}

class HistoryTest : public testing::NodrixTest {
protected:
    void TearDown() override {
        opxhistoryend();
        testing::NodrixTest::TearDown();
    }
};

TEST_F(HistoryTest, SavesAndRestoresCursorsIncludingTheExtraEntry) {
    opxhistoryinit(1, 132);
    zzsupvset(10, 20, 30, 40, 50, 60);
    opxhistorysave(133);  // id last + 1: the state after the last block
    zzsupvset(1, 1, 1, 1, 1, 1);
    opxhistorysave(1);
    zzsupvset(0, 0, 0, 0, 0, 0);
    opxhistoryset(133);
    std::int32_t h, i, c, d, z, zd;
    zzsupvget(h, i, c, d, z, zd);
    EXPECT_EQ(h, 10);
    EXPECT_EQ(zd, 60);
    opxhistoryset(1);
    zzsupvget(h, i, c, d, z, zd);
    EXPECT_EQ(c, 1);
    opxhistoryset(500);  // outside the tables: no effect
    zzsupvget(h, i, c, d, z, zd);
    EXPECT_EQ(c, 1);
}

}  // namespace
}  // namespace nodrix

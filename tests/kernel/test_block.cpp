// Blocks declared as one struct: the registry entry their declaration gives,
// their state counted as the kernel storage counts it, and their lifecycle
// in the schedule.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kernel/block_declaration.h"
#include "kernel/driver.h"
#include "kernel/schedule.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

// What the probe saw, phase by phase.
std::vector<std::string> seen;
bool fail_design = false;
bool throw_at_sample_3 = false;

// A block that records its calls and keeps a running count as state.
struct Probe {
    float gain = 0.0f;
    std::int32_t order = 0;
    bool enabled = false;
    std::string title;
    Inputs<OpticalSignal, 3> inputs;
    Input<ElectricalSample> drive;
    Output<OpticalSignal> output;
    Window window;
    State<double> count;
    State<std::complex<double>> taps;
    BlockIdentity identity;

    static KindDeclaration<Probe> declaration() {
        return {.name = "test_probe",
                .help = "records its calls",
                .family = BlockFamily::measurements,
                .parameters = {parameter(&Probe::gain, {.name = "gain", .fallback = 2.5, .help = "a real"}),
                               parameter(&Probe::order, {.name = "order", .fallback = 3, .help = "an integer"}),
                               parameter(&Probe::enabled, {.name = "enabled", .fallback = 1, .help = "a flag"}),
                               parameter(&Probe::title, {.name = "title", .text_fallback = "t", .help = "a text"})},
                .inputs = {port(&Probe::inputs, {.key = "inputs", .help = "light"}),
                           port(&Probe::drive, {.key = "drive", .help = "a voltage"})},
                .outputs = {port(&Probe::output, {.key = "output", .help = "light"})},
                .window = &Probe::window,
                .identity = &Probe::identity};
    }
    Status design(const RunContext& ctx, StateClaims& state) {
        static constexpr const char* kRounds[] = {"sizing", "filter_writing", "state"};
        seen.push_back(std::string("design ") + kRounds[static_cast<int>(ctx.setup_round())] + " of " +
                       std::to_string(identity.instance));
        state.claim(count, 1);
        state.claim(taps, order);
        window.output().ton = window.input(ctx).ton + 1.0f;
        return fail_design ? Status::error("Probe: cannot design") : Status{};
    }
    void setup(const RunContext&) { seen.push_back("setup " + std::to_string(count.size() + taps.size())); }
    void run(const RunContext& ctx) {
        if (throw_at_sample_3 && ctx.step() == 3) throw std::runtime_error("no sample 3");
        count[0] += 1.0;
        seen.push_back("run " + std::to_string(ctx.step()) + " " + std::to_string(ctx.time()) +
                       (ctx.last_sample() ? " last" : ""));
    }
    Status finish(const RunContext&) {
        seen.push_back("finish " + std::to_string(count[0]));
        return {};
    }
};

const KindRegistration registration{declare_kind<Probe>()};

TEST(BlockDeclaration, GivesTheRegistryEntryAndBindsSettingsAndPorts) {
    const KindSpec* kind = find_registered_kind("test_probe");
    ASSERT_NE(kind, nullptr);
    EXPECT_EQ(kind->family, BlockFamily::measurements);
    EXPECT_TRUE(kind->windowed);
    const ParamType types[] = {ParamType::real, ParamType::integer, ParamType::flag, ParamType::text};
    ASSERT_EQ(kind->params.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(kind->params[k].type, types[k]) << kind->params[k].name;
    ASSERT_EQ(kind->inputs.size(), 2u);
    EXPECT_EQ(std::tuple(kind->inputs[0].kind, kind->inputs[0].max_count, kind->inputs[1].kind, kind->outputs[0].kind),
              std::tuple(SignalKind::optical, 3, SignalKind::electrical, SignalKind::optical));

    BlockSettings settings = BlockSettings::defaults(*kind);
    settings.set_number("order", 5);
    settings.set_text("title", "probe 7");
    OpticalSignal a, b, out;
    ElectricalSample drive;
    TimeWindow producer{100.0f, 0, 0, 0}, own;
    Connections c;
    c.add_input("inputs", SignalKind::optical, &a);
    c.add_input("inputs", SignalKind::optical, &b);
    c.add_input("drive", SignalKind::electrical, &drive);
    c.add_output("output", SignalKind::optical, &out);
    c.producer_window = &producer;
    c.window = &own;
    auto made = kind->create(settings, c);
    const Probe& p = static_cast<KindBlock<Probe>&>(*made).block;
    EXPECT_EQ(std::tuple(p.gain, p.order, p.enabled, p.title, p.inputs.count()), std::tuple(2.5f, 5, true, "probe 7", 2));
    EXPECT_EQ(std::tuple(&p.inputs[1], &*p.drive, &*p.output, &p.window.output()), std::tuple(&b, &drive, &out, &own));
    EXPECT_EQ(p.inputs[2].iv, 0);  // the port not given reads no light
    EXPECT_THROW(KindRegistration{declare_kind<Probe>()}, std::logic_error);  // one name, one kind
}

// State a family shares is one object per run.
TEST(RunContext, SharesOneObjectOfAKindPerRun) {
    RunContext a{SimulationSettings{}}, b{SimulationSettings{}};
    a.shared<std::vector<int>>().push_back(7);
    EXPECT_EQ(a.shared<std::vector<int>>(), std::vector<int>{7});
    EXPECT_TRUE(b.shared<std::vector<int>>().empty());
    EXPECT_TRUE(a.shared<std::vector<float>>().empty());
}

class StateAccountTest : public testing::NodrixTest {};

// A record of n elements adds n and its header to its kind's count while
// counting, and its bytes to the block's memory-map word in every round; the
// word wraps at 32 bits as the memory map has always shown it.
TEST_F(StateAccountTest, CountsElementsAndHeadersAndTheBlocksBytes) {
    struct Case {
        SlotKind kind;
        std::int32_t n;
        std::int32_t StorageCounts::*count;
        std::int32_t counted;
        std::int32_t bytes;
    };
    const Case cases[] = {
        {SlotKind::real, 37, &StorageCounts::h, 39, 156},          {SlotKind::integer, 0, &StorageCounts::i, 2, 8},
        {SlotKind::text, 3, &StorageCounts::c, 4, 320},            {SlotKind::real_double, 1, &StorageCounts::d, 3, 24},
        {SlotKind::complex, 5, &StorageCounts::z, 7, 56},          {SlotKind::complex_double, 4, &StorageCounts::zd, 6, 96},
        {SlotKind::complex_double, 1 << 28, &StorageCounts::zd, (1 << 28) + 2, 32},  // 2^32 + 32 bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(static_cast<int>(c.kind)) + " " + std::to_string(c.n));
        for (const bool counting : {true, false}) {
            StorageAccount account;
            account.set_counting(counting);
            account.start_block();
            account.account(c.kind, c.n);
            StorageCounts expected{};
            if (counting) expected.*c.count = c.counted;
            EXPECT_EQ(account.counts(), expected);
            EXPECT_EQ(account.block_bytes(), c.bytes);
        }
        EXPECT_EQ(static_cast<std::uint32_t>(slot_bytes(c.kind, c.n)), static_cast<std::uint32_t>(c.bytes));
    }
}

// A declared block through a per-sample run.
class LifecycleTest : public testing::NodrixTest {
protected:
    void SetUp() override {
        testing::NodrixTest::SetUp();
        seen.clear();
        fail_design = false;
        throw_at_sample_3 = false;
        set_per_sample_run(true);
        ProjectDescription p;
        p.name = "lc";
        p.constants.delt = 0.25f;
        p.schedule.tend = 1.0f;
        p.projec = [this](RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
            status_ = run_schedule(run, "lc", blocks_);
            errors_ = run.errors();
            return status_;
        };
        set_project(p);
        const KindSpec& kind = *find_registered_kind("test_probe");
        Connections c;
        c.add_output("output", SignalKind::optical, &out_);
        c.window = &window_;
        c.identity.instance = 2;
        blocks_.resize(1);
        blocks_[0].instance = 2;
        blocks_[0].kind = "test_probe";
        blocks_[0].label = "block 2 (test_probe)";
        blocks_[0].block = kind.create(BlockSettings::defaults(kind), c);
    }
    void TearDown() override {
        set_per_sample_run(false);
        testing::NodrixTest::TearDown();
    }
    std::string run() {
        std::int32_t status = -1, prerun = 0;
        ::testing::internal::CaptureStderr();
        topmain(prerun, status);
        return ::testing::internal::GetCapturedStderr();
    }
    std::vector<BlockCall> blocks_;
    OpticalSignal out_;
    TimeWindow window_;
    Status status_;
    std::vector<BlockError> errors_;
};

TEST_F(LifecycleTest, DesignsInEveryRoundSetsUpOnceRunsEverySampleAndFinishes) {
    run();
    const std::vector<std::string> expected = {
        // the dimensioning pass: set-up, filter-writing and state rounds
        "design sizing of 2", "design filter_writing of 2", "design state of 2",
        "design sizing of 2",                  // the run's set-up round
        "design state of 2", "setup 4",        // the state round: the one real and the three taps
        "run 1 0.000000", "run 2 0.250000", "run 3 0.500000", "run 4 0.750000", "run 5 1.000000 last",
        "finish 5.000000"};
    EXPECT_EQ(seen, expected);
    EXPECT_TRUE(status_.ok());
    EXPECT_EQ(window_.ton, 1.0f);  // the sources' start, plus the probe's one
    // The memory map counts the member state as the storage it stands for:
    // one double and three double complex values, each with its header.
    EXPECT_EQ(testing::read_text("x1_lc.mem"), "NodrixMEM 1\n##\nmemory 2                  104\n");
    EXPECT_EQ(std::pair(last_storage_maxima().d, last_storage_maxima().zd), std::pair(3, 5));
}

TEST_F(LifecycleTest, ErrorsComeBackNamingTheBlock) {
    fail_design = true;
    std::string messages = run();
    EXPECT_NE(messages.find("Nodrix-E-Probe: cannot design\n"), std::string::npos) << messages;
    ASSERT_FALSE(errors_.empty());
    EXPECT_EQ(std::pair(errors_[0].label(), errors_[0].fatal), std::pair(std::string("block 2 (test_probe)"), false));
    EXPECT_EQ(seen.back(), "finish 5.000000");  // an error of a phase lets the run go on

    fail_design = false;
    throw_at_sample_3 = true;
    seen.clear();
    messages = run();
    EXPECT_EQ(messages, "Nodrix-E-block 2 (test_probe): no sample 3\n");
    EXPECT_EQ(status_.text(), "block 2 (test_probe): no sample 3");
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_TRUE(errors_[0].fatal);
    EXPECT_EQ(seen.back(), "run 2 0.250000");  // stopped: nothing finishes
    EXPECT_FALSE(last_run_simulated());
}

}  // namespace
}  // namespace nodrix

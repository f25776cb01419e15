// Link descriptions: what the loader accepts, and the message of every kind of
// mistake in a description or an override (one table).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "project/link.h"
#include "project/registry.h"
#include "tests/project/link_loading.h"
#include "tests/support/test_support.h"

namespace nodrix {
namespace {

using testing::replaced;

// A small link: a laser and a photodiode. Cases change one line of it.
const std::string kLink = testing::read_text(NODRIX_TEST_DATA_DIR "/two_blocks.toml");

using LinkTest = testing::LinkLoadingTest;

struct BadCase { const char* what; std::string text; std::vector<std::string> sets; std::string message; };

TEST_F(LinkTest, EveryMistakeIsReportedWithFileLineBlockAndWhatIsAllowed) {
    const std::string three_blocks = std::string(kLink) +
                                     "\n[[block]]\nid = 3\nkind = \"bessel_filter\"\ninput = 2\nbandwidth_thz = 0.008\n"
                                     "\n[[block]]\nid = 4\nkind = \"photodiode\"\ninput = 3\n";
    const BadCase cases[] = {
        {"unknown kind", replaced(kLink, "\"laser\"", "\"lazer\""), {},
         "t.toml:7: block 1: unknown kind \"lazer\"; did you mean \"laser\"? (nodrix blocks lists the kinds)"},
        {"unknown parameter", replaced(kLink, "power_mw", "powr_mw"), {},
         "t.toml:9: block 1 (laser): unknown parameter or connection \"powr_mw\"; did you mean \"power_mw\"?"},
        {"missing required", replaced(kLink, "frequency_thz = 193.1\n", ""), {},
         "t.toml:5: block 1 (laser): missing required parameter frequency_thz [THz] (emission frequency)"},
        {"out of range", replaced(kLink, "2.0", "-1.0"), {},
         "t.toml:9: block 1 (laser): power_mw = -1 is out of range; allowed: >= 0"},
        {"syntax error: the line", replaced(kLink, "power_mw = 2.0", "power_mw = "), {}, "t.toml:9:"},
        {"input written only later",
         std::string("[link]\nname = \"t\"\nend_time_ps = 1.0\n[[block]]\nid = 2\nkind = \"photodiode\"\ninput = 1\n"
                     "[[block]]\nid = 1\nkind = \"laser\"\nfrequency_thz = 193.1\n"), {},
         "t.toml:4: block 2 (photodiode): input 1 is written by block 1, which does not come before it in the schedule"},
        {"duplicate instance", replaced(kLink, "id = 2", "id = 1"), {},
         "t.toml:11: block 1 (photodiode): duplicate instance 1 (also at line 5)"},
        {"input nobody writes", replaced(kLink, "input = 1", "input = 9"), {},
         "t.toml:11: block 2 (photodiode): input 9 is not written by any block"},
        {"optical input fed by an electrical output", three_blocks, {},
         "t.toml:22: block 4 (photodiode): input 3 is the electrical output of block 3 (bessel_filter); input takes "
         "an optical signal"},
        {"unsafe link name", replaced(kLink, "\"t\"", "\"../t\""), {},
         "t.toml:2: [link]: name \"../t\" cannot name files; use letters, digits, '_', '-' and '.'"},
        {"override of a missing block", kLink, {"9.power_mw=1"}, "-set 9.power_mw=1: the link has no block 9"},
        {"override of a wrong type", kLink, {"1.power_mw=abc"}, "-set 1.power_mw=abc: power_mw must be a number, not a text"},
        {"override of an unknown target", kLink, {"lasr.power_mw=1"},
         "-set lasr.power_mw=1: \"lasr\" is neither \"link\", an instance number nor a block kind; unknown kind "
         "\"lasr\"; did you mean \"laser\"? (nodrix blocks lists the kinds)"},
    };
    for (const BadCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_FALSE(load(c.text, c.sets).has_value());
        EXPECT_EQ(messages_.rfind("Nodrix-E-" + c.message, 0), 0u) << messages_;
        EXPECT_TRUE(messages_.ends_with("t.toml: 1 error; nothing was run\n")) << messages_;
    }
}

TEST_F(LinkTest, SeveralMistakesAreAllReportedAtOnce) {
    std::string text = replaced(kLink, "power_mw = 2.0", "power_mw = -2.0\nlinewidth = 1.0");
    text = replaced(text, "input = 1", "input = 5");
    EXPECT_FALSE(load(text, {"link.end_time_ps=0"}).has_value());
    for (const char* m : {"power_mw = -2 is out of range", "unknown parameter or connection \"linewidth\"",
                          "input 5 is not written by any block", "-set link.end_time_ps=0: end_time_ps = 0 is out of range",
                          "t.toml: 4 errors; nothing was run"})
        EXPECT_NE(messages_.find(m), std::string::npos) << m << "\n" << messages_;
}

TEST_F(LinkTest, ValuesComeFromTheBlockThenTheKindsDefaultsThenTheRegistry) {
    const std::string text = replaced(std::string(kLink), "[[block]]\nid = 1",
                                      "[defaults.laser]\nlinewidth_mhz = 5.0\npower_mw = 7.0\n\n[[block]]\nid = 1");
    auto link = load(text);
    ASSERT_TRUE(link.has_value()) << messages_;
    const BlockSettings& laser = link->find(1)->settings;
    EXPECT_FLOAT_EQ(laser.real("power_mw"), 2.0f);       // the block's own
    EXPECT_FLOAT_EQ(laser.real("linewidth_mhz"), 5.0f);  // the kind's default in the file
    EXPECT_FLOAT_EQ(laser.real("phase_rad"), 0.0f);      // the registry's
    // Overrides: of a kind, then of one block; the last one given wins.
    link = load(text, {"laser.power_mw=3", "1.linewidth_mhz=4", "link.end_time_ps=2e3"});
    ASSERT_TRUE(link.has_value()) << messages_;
    EXPECT_FLOAT_EQ(link->find(1)->settings.real("power_mw"), 3.0f);
    EXPECT_FLOAT_EQ(link->find(1)->settings.real("linewidth_mhz"), 4.0f);
    EXPECT_FLOAT_EQ(link->settings.real("end_time_ps"), 2000.0f);
}

TEST_F(LinkTest, TextsNameTheLinkTheInstanceAndTheOrdinalAndFilesTheirDirectory) {
    const std::string text = std::string(kLink) +
                             "\n[[block]]\nid = 7\nkind = \"power_meter\"\ninput = 1\n"
                             "\n[[block]]\nid = 12\nkind = \"power_meter\"\ninput = 1\ntitle = \"{link}-{id}-{n}\"\n"
                             "\n[[block]]\nid = 13\nkind = \"prbs_source\"\nsamples_per_bit = 8\nfile = \"bits/a\"\n";
    auto link = load(text, {"13.clock=square"});
    ASSERT_TRUE(link.has_value()) << messages_;
    EXPECT_EQ(link->find(7)->settings.text("title"), "power_meter 7");  // not given: its kind and instance
    EXPECT_EQ(link->find(7)->settings.text("file_name"), "t_OPM0007");
    EXPECT_EQ(link->find(7)->settings.text("label"), "at signal 0001");
    EXPECT_EQ(link->find(12)->settings.text("title"), "t-0012-2");
    EXPECT_EQ(link->find(13)->settings.text("file"), "/links/bits/a");
    EXPECT_EQ(link->find(13)->settings.integer("clock"), 2);
    EXPECT_FALSE(load(replaced(text, "{n}", "{m}")).has_value());
    EXPECT_NE(messages_.find("unknown placeholder {m}"), std::string::npos) << messages_;
}

TEST(Registry, EveryDeclarationIsConsistent) {
    for (const KindSpec* kind : [] {
             std::vector<const KindSpec*> all{&link_settings_kind()};
             for (const KindSpec& k : block_kinds()) all.push_back(&k);
             return all;
         }()) {
        SCOPED_TRACE(kind->name);
        EXPECT_TRUE(kind->name == "link" || kind->create != nullptr);
        std::set<std::string_view> names;
        for (const ParamSpec& p : kind->params) {
            SCOPED_TRACE(p.name);
            EXPECT_TRUE(names.insert(p.name).second) << "declared twice";
            EXPECT_EQ(kind->find_port(p.name), nullptr) << "a parameter with a connection's name";
            EXPECT_FALSE(p.help.empty());
            if (p.required) continue;
            // The default must be a value the loader accepts.
            if (p.type == ParamType::real || p.type == ParamType::integer) {
                const bool above = p.low_open ? p.fallback > p.low : p.fallback >= p.low;
                const bool below = p.high_open ? p.fallback < p.high : p.fallback <= p.high;
                EXPECT_TRUE(above && below) << p.fallback << " outside " << allowed_values(p);
            }
            if (p.type == ParamType::choice || (p.type == ParamType::integer && !p.choices.empty())) {
                bool listed = false;
                for (const Choice& c : p.choices) listed = listed || c.value == static_cast<std::int32_t>(p.fallback);
                EXPECT_TRUE(listed);
            }
        }
    }
}

}  // namespace
}  // namespace nodrix

// nodrix sweep without running points: lists and ranges of values, the points of a
// sweep, its usage errors and checks, the completion check of a point, the
// table's means and spreads, and the Slurm scripts of a dry run.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "main/sweep_point.h"
#include "main/sweep_values.h"
#include "main/sweep_table.h"
#include "tests/main/nodrix_run.h"

namespace nodrix {
namespace {

namespace fs = std::filesystem;
using namespace sweep;
using Strings = std::vector<std::string>;
using testing::expect_has;

const std::string kOneChannel = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";

using SweepTest = testing::NodrixRunTest;

TEST_F(SweepTest, RangesHitTheirEndWithoutRoundingDriftAndBadRangesSayWhy) {
    struct Case {
        std::string written;
        Strings values;
    };
    const Case good[] = {
        {"80,100,120", {"80", "100", "120"}},
        {"'a,b',c", {"'a,b'", "c"}},
        {"80:120:10", {"80", "90", "100", "110", "120"}},
        {"0.1:0.5:0.1", {"0.1", "0.2", "0.3", "0.4", "0.5"}},  // no 0.30000000000000004
        {"0.3:0.6:0.1", {"0.3", "0.4", "0.5", "0.6"}},  // (0.6 - 0.3) / 0.1 = 2.9999999999999996
        {"1:2:0.3", {"1", "1.3", "1.6", "1.9"}},  // the end is not reached
        {"0.25:16:x2", {"0.25", "0.5", "1", "2", "4", "8", "16"}},
    };
    for (const Case& c : good) {
        std::string error;
        EXPECT_EQ(parse_values(c.written, error), c.values) << c.written;
        EXPECT_EQ(error, "") << c.written;
    }
    const std::pair<std::string, std::string> bad[] = {
        {"", "no values"},
        {"80,,100", "an empty value in the list"},
        {"80:120:-10", "the step -10 goes away from 120"},
        {"10:1:x2", "the factor 2 goes away from 1"},
        {"0:1:0.00001", "more than 10000 values"},
    };
    for (const auto& [written, message] : bad) {
        std::string error;
        EXPECT_TRUE(parse_values(written, error).empty()) << written;
        EXPECT_EQ(error, message) << written;
    }
    EXPECT_TRUE(log_range("0.25:16:x2"));
    EXPECT_FALSE(log_range("80:120:10"));
}

TEST_F(SweepTest, UsageErrorsEndWithStatusTwoAndMakeNothing) {
    const std::string l = kOneChannel;
    std::string many = "1";
    for (int v = 2; v <= 10001; ++v) many += "," + std::to_string(v);
    const std::pair<Strings, std::string> cases[] = {
        {{}, "no link file given"},
        {{l}, "nothing to vary: give --vary ID.PARAM=VALUES or --seeds N"},
        {{l, "--vray", "3.power_mw=1"}, "unknown option \"--vray\"; did you mean \"--vary\"?"},
        {{l, "--vary", "power_mw=1"}, "--vary power_mw=1: write ID.PARAM=VALUES (3.power_mw=0.5:8:x2, 6.length_km=40,80,120)"},
        {{l, "--vary", "3.power_mw=1:2"},
         "--vary 3.power_mw=1:2: a range is START:STOP:STEP or START:STOP:xFACTOR, with numbers"},
        {{l, "--vary", "3.power_mw=1,2", "--vary", "6.length_km=1,2,3", "--zip"},
         "--zip pairs the values: 3.power_mw has 2 and 6.length_km 3"},
        {{l, "--vary", "3.power_mw=1,2", "-set", "3.power_mw=4"}, "3.power_mw is both varied and set (-set 3.power_mw=4)"},
        {{l, "--vary", "link.emission_window_ps=2e4,3e4", "-window", "25000"},
         "link.emission_window_ps is both varied and set (-window 25000)"},
        {{l, "--vary", "6.length_km=20,100", "--vary", "fibre.length_km=40,60"},
         "--vary 6.length_km=20,100 and --vary fibre.length_km=40,60 both change length_km of block 6 (fibre); give it "
         "under one name"},
        {{l, "--vary", "laser.power_mw=1,2", "-window", "3e4", "-set", "3.power_mw=4"},
         "--vary laser.power_mw=1,2 and -set 3.power_mw=4 both change power_mw of block 3 (laser); give it under one "
         "name"},
        {{l, "--vary", "3.power_dbm=0,3", "-set", "laser.power_mw=4"},
         "--vary 3.power_dbm=0,3 and -set laser.power_mw=4 both change power_mw of block 3 (laser); give it under one "
         "name"},
        {{l, "--vary", "link.seeds=[1,2,3,4,5,6,7,8,9,10]", "--seeds", "2"},
         "--vary link.seeds and --seeds exclude each other"},
        {{l, "--vary", "3.power_mw=1", "--converge-factor", "3"}, "--converge-factor needs --converge"},
        {{l, "--vary", "3.power_mw=1", "--converge", "--converge-factor", "0.5"},
         "--converge-factor 0.5: give a number of at least 1"},
        {{l, "--vary", "3.power_mw=1", "--converge", "--converge-tolerance", "0"},
         "--converge-tolerance 0: give a positive number of dB"},
        {{"--point", "p", "--converge"}, "--point DIR takes no other option nor a link"},
        {{l, "--vary", "3.power_mw=1:1000:1", "--vary", "6.length_km=0:100:1"},
         "the sweep has 101000 points, more than 100000"},
        // A refused list of 10,001 values (48,899 characters) is named by its beginning.
        {{l, "--vary", "3.power_mw=" + many},
         "--vary 3.power_mw=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,... (48899 characters): "
         "more than 10000 values"},
    };
    for (const auto& [words, message] : cases) {
        Strings w{"sweep"};
        w.insert(w.end(), words.begin(), words.end());
        EXPECT_EQ(run(w), 2) << message;
        EXPECT_EQ(err_, "Nodrix-E-nodrix sweep: " + message + " (nodrix sweep --help)\n");
    }
    EXPECT_TRUE(fs::is_empty("."));
    EXPECT_EQ(run({"sweep", "--help"}), 0);
    expect_has(out_, "START:STOP:xFACTOR (0.25:16:x2 is 0.25, 0.5, 1, ... 16)");
}

TEST_F(SweepTest, EveryValueIsCheckedBeforeAnythingIsMadeAndABadNameReportedOnce) {
    EXPECT_EQ(run({"sweep", kOneChannel, "--vary", "3.power_mw=-1,2,-3", "--vary", "6.lenght_km=20,40", "-o", "out"}), 1);
    const std::string power = "Nodrix-E---vary 3.power_mw=-1,2,-3 (value ";
    expect_has(err_, power + "-1): power_mw = -1 is out of range; allowed: >= 0\n");
    expect_has(err_, power + "-3): power_mw = -3 is out of range; allowed: >= 0\n");
    // A name that is no parameter is reported once, not once per value.
    expect_has(err_, "Nodrix-E---vary 6.lenght_km=20,40 (value 20): block 6 (fibre): unknown parameter or connection "
                     "\"lenght_km\"; did you mean \"length_km\"?\n");
    EXPECT_EQ(err_.find("(value 40)"), std::string::npos) << err_;
    EXPECT_TRUE(fs::is_empty("."));
}

// A point directory with its parameters, one result file and a record of them.
ResultRecord make_point(const fs::path& dir, bool done = true) {
    fs::create_directories(dir);
    testing::write_text((dir / "point.toml").string(), "link = 'x'\n");
    testing::write_text((dir / "a.DAT").string(), "result\n");
    const double inf = std::numeric_limits<double>::infinity();
    ResultRecord r{done, done ? 0 : 1, done ? "" : "power_mw = -1 is out of range", 1.25, *hash_file(dir / "point.toml"),
                   program_hash()};
    r.files = {FileRecord{"a.DAT", 7, *hash_file(dir / "a.DAT")}};
    r.channels = {ChannelRecord{11, 1, 193.1, "measured", -2.5, 9.9999e-41, {}, {}, {}, {}, {}, inf, 50, 128,
                                "partial: 50 of 128 bits"}};
    r.meters = {MeterRecord{5, "at the receiver, after \"it\"", std::nullopt, 3214, 13079}};
    r.osnr = {OsnrRecord{133, 1, 192.34274, inf, 2.495, -25.9}};
    EXPECT_TRUE(write_record(dir, r));
    return r;
}

TEST_F(SweepTest, APointIsCompleteOnlyWhenItsRecordChecks) {
    const fs::path dir = "p";
    const ResultRecord made = make_point(dir);
    EXPECT_FALSE(fs::exists(dir / "result.toml.part"));
    std::string error;
    const auto back = read_record(dir / "result.toml", error);
    ASSERT_TRUE(back.has_value()) << error;
    EXPECT_EQ(record_text(*back), record_text(made));  // inf, absent values and quotes survive
    EXPECT_EQ(check_point(dir).state, PointState::complete);

    struct Case {
        std::string what;
        std::function<void()> change;
        PointState state;
        std::string message;
    };
    const Case cases[] = {
        {"result changed", [&] { testing::write_text((dir / "a.DAT").string(), "resulT\n"); }, PointState::incomplete,
         "its result file a.DAT changed since the run"},
        {"result gone", [&] { fs::remove(dir / "a.DAT"); }, PointState::incomplete, "its result file a.DAT is missing"},
        {"other parameters", [&] { testing::write_text((dir / "point.toml").string(), "link = 'y'\n"); },
         PointState::incomplete, "its result is of other parameters than those in point.toml"},
        {"other build",
         [&] {
             ResultRecord r = made;
             r.program_hash = "0123456789abcdef";
             write_record(dir, r);
         },
         PointState::incomplete, "it was run by another build of nodrix"},
        {"failed", [&] { make_point(dir, false); }, PointState::failed, "power_mw = -1 is out of range"},
        {"killed while running",
         [&] {
             fs::remove(dir / "result.toml");
             testing::write_text((dir / "console.txt").string(), "");
         },
         PointState::incomplete, "the run did not finish: no result (its console text is in p/console.txt)"},
        {"a number edited in the record",
         [&] {
             std::string text = testing::read_text((dir / "result.toml").string());
             text.replace(text.find("power_dbm = -2.5"), 16, "power_dbm = 99.0");
             testing::write_text((dir / "result.toml").string(), text);
         },
         PointState::incomplete, "its result record was changed after the run (its checksum record_fnv1a does not match)"},
        {"unsealed record", [&] { testing::write_text((dir / "result.toml").string(), "status = 'done'\n"); },
         PointState::incomplete, "its result record was changed after the run (its checksum record_fnv1a does not match)"},
        {"damaged record, sealed",
         [&] {
             testing::write_text((dir / "result.toml").string(),
                                 "record_fnv1a = \"" + hash_text("status = 'done'\n") + "\"\nstatus = 'done'\n");
         },
         PointState::incomplete, "its result record cannot be read: a setting is missing or of the wrong type"},
    };
    for (const Case& c : cases) {
        fs::remove_all(dir);
        make_point(dir);
        c.change();
        const PointStatus s = check_point(dir);
        EXPECT_EQ(s.state, c.state) << c.what;
        EXPECT_EQ(s.message, c.message) << c.what;
    }
}

// Records of a point run, done or failed, for the table; `bits` of 128 observed.
PointStatus done_point(double wall, double power, double ber, double q, double ber_rel, double q_rel,
                       std::optional<double> ber_fixed, double q_eye, double meter, std::int64_t bits = 128) {
    ResultRecord r;
    r.done = true;
    r.wall_time_s = wall;
    ChannelRecord c{11, 1, 193.1, "measured", power, ber, q, ber_rel, q_rel, ber_fixed, std::nullopt, q_eye,
                    bits, 128, bits < 128 ? "partial: " + std::to_string(bits) + " of 128 bits" : ""};
    r.channels = {c};
    r.meters = {MeterRecord{5, "rx", meter, 13079, 13079}};
    return PointStatus{PointState::complete, "", r};
}

// A sweep of link "lk" over two laser powers.
Definition power_sweep() {
    Definition d;
    d.name = "lk";
    d.varies = {Vary{"3.power_mw", "1,2", "mW", {"1", "2"}}};
    return d;
}

TEST_F(SweepTest, TheTableHasARowPerPointAndTheMeanAndSpreadOfTheSeeds) {
    Definition d = power_sweep();
    d.seeds = 2;
    ResultRecord failed;
    failed.wall_time_s = 0.5;
    const std::vector<PointStatus> status = {
        done_point(1.5, -3.0, 1e-40, 40.0, 1e-40, 40.0, -1.0, 10.0, 1.25),
        done_point(2.5, -3.5, 2e-12, 16.9, 3e-12, 16.8, std::nullopt, 12.0, 1.75, 50),
        PointStatus{PointState::failed, "the link changed, run again", failed},
        PointStatus{PointState::incomplete, "not run", std::nullopt},
    };
    const std::string columns = "ch1_power_dbm,ch1_ber_optimal,ch1_q_optimal_db,ch1_ber_relative,ch1_q_relative_db,"
                                "ch1_ber_fixed,ch1_q_fixed_db,ch1_q_eye,ch1_q_eye_db,ch1_bits_observed";
    // A point whose estimator observed 50 of its 128 bits is partial, and says so.
    EXPECT_EQ(table_csv(d, points(d), status),
              "point,3.power_mw,3.power_dbm,seed,status,wall_time_s," + columns + ",meter5_dbm,message\n"
              "0001,1,0,0,done,1.5,-3,1e-40,40,1e-40,40,-1,,10,20,128,1.25,\n"
              "0002,1,0,1,partial,2.5,-3.5,2e-12,16.9,3e-12,16.8,,,12,21.5836249,50,1.75,ch1: partial: 50 of 128 bits\n"
              ",1,0,mean,,2,-3.25,1e-12,28.45,1.5e-12,28.4,-1,,11,20.7918125,89,1.5,over 2 of 2 seeds\n"
              ",1,0,spread,,0.707106781,0.353553391,1.41421356e-12,16.3341666,2.12132034e-12,16.4048773,,,"
              "1.41421356,1.11979192,55.1543289,0.353553391,over 2 of 2 seeds\n"
              "0003,2,3.01029996,0,failed,0.5,,,,,,,,,,,,\"the link changed, run again\"\n"
              "0004,2,3.01029996,1,incomplete,,,,,,,,,,,,,not run\n"
              ",2,3.01029996,mean,,,,,,,,,,,,,,over 0 of 2 seeds\n"
              ",2,3.01029996,spread,,,,,,,,,,,,,,over 0 of 2 seeds\n");

    // A convergence check adds its changes and verdict before the message and
    // leaves every other column as it was; the mean row is converged only
    // when every seed is.
    std::vector<PointStatus> judged = status;
    judged[0].record->convergence = ConvergenceRecord{2.0, 0.1, true, 0.01, 0.05};
    judged[1].record->convergence = ConvergenceRecord{2.0, 0.1, false, 0.02, 0.3};
    const std::string plain = table_csv(d, points(d), status);
    d.converge.on = true;
    const std::string table = table_csv(d, points(d), judged);
    std::istringstream plain_lines(plain), lines(table);
    std::vector<std::string> added;
    for (std::string p, line; std::getline(plain_lines, p) && std::getline(lines, line);) {
        // The 17 columns before and the message after the three new ones.
        std::size_t at = 0;
        for (int k = 0; k < 17; ++k) at = line.find(',', at) + 1;
        std::size_t end = at;
        for (int k = 0; k < 3; ++k) end = line.find(',', end) + 1;
        added.push_back(line.substr(at, end - at));
        EXPECT_EQ(line.substr(0, at) + line.substr(end), p);
    }
    EXPECT_EQ(added, (Strings{"power_change_db,q_eye_change_db,convergence,", "0.01,0.05,converged,",
                              "0.02,0.3,not converged,", "0.015,0.175,not converged,",
                              "0.00707106781,0.176776695,,", ",,,", ",,,", ",,,", ",,,"}));
}

// The plot's axes are columns of the table: a meter's reading against a BER
// on a logarithmic axis, one line per value of the other parameter; by
// default the eye's Q against a laser's power in dBm. A name that can be no
// column is a usage error before anything runs; one the points' table lacks
// leaves the table without a plot, and the error names the columns it has.
TEST_F(SweepTest, ThePlotDrawsTheColumnsAskedForAndNamesThoseThereAreWhenOneIsNot) {
    Definition d = power_sweep();
    d.varies.insert(d.varies.begin(), Vary{"4.loss_db", "10,12", "dB", {"10", "12"}});
    d.x_axis = "meter5_dbm";
    d.y_axis = "ch1_ber_optimal";
    // Points: (10 dB, 1 mW), (10, 2), (12, 1), (12, 2).
    const std::vector<PointStatus> status = {done_point(1, 0, 1e-12, 0, 0, 0, -1.0, 10.0, -20.0),
                                             done_point(1, 0, 1e-15, 0, 0, 0, -1.0, 10.0, -17.0),
                                             done_point(1, 0, 1e-6, 0, 0, 0, -1.0, 10.0, -22.0),
                                             done_point(1, 0, 1e-9, 0, 0, 0, -1.0, 10.0, -19.0)};
    std::string script = plot_script(d, points(d), status, "p.png");
    for (const std::string part : {"set title 'lk: ch1_ber_optimal against meter5_dbm'\n",
                                   "set xlabel 'meter5_dbm [dBm]'\n", "set ylabel 'ch1_ber_optimal (193.10 THz)'\n",
                                   "set logscale y 10\n", "$d0 << EOD\n-20 1e-12\n-22 1e-06\nEOD\n",
                                   "$d1 << EOD\n-17 1e-15\n-19 1e-09\nEOD\n", "title '3.power_mw=1'", "title '3.power_mw=2'"})
        EXPECT_NE(script.find(part), std::string::npos) << part << " in\n" << script;
    d.x_axis.clear();
    d.y_axis.clear();
    std::swap(d.varies[0], d.varies[1]);  // points: (1 mW, 10 dB), (1, 12), (2, 10), (2, 12)
    script = plot_script(d, points(d), status, "p.png");
    for (const std::string part : {"set xlabel '3.power_dbm [dBm]'\n", "set ylabel 'eye Q [dB]'\n",
                                   "$d0 << EOD\n0 20\n3.010299957 20\nEOD\n", "title '4.loss_db=10'",
                                   "set title 'lk: eye Q against 3.power_dbm, channel 1 (193.10 THz)'\n"})
        EXPECT_NE(script.find(part), std::string::npos) << part << " in\n" << script;
    EXPECT_EQ(script.find("logscale"), std::string::npos);

    d.y_axis = "ch1_ber_optimum";
    EXPECT_EQ(axes_fault(d), "--y ch1_ber_optimum: no such column of sweep.csv; its columns of numbers are 3.power_mw, "
                             "3.power_dbm, 4.loss_db, wall_time_s, chN_power_dbm, chN_ber_optimal, chN_q_optimal_db, "
                             "chN_ber_relative, chN_q_relative_db, chN_ber_fixed, chN_q_fixed_db, chN_q_eye, "
                             "chN_q_eye_db, chN_bits_observed (N the channel), meterID_dbm (ID a power meter) and "
                             "osnrID_chN_db (ID an OSNR meter)");
    EXPECT_EQ(run({"sweep", kOneChannel, "--vary", "3.power_mw=1,2", "--y", "ch1_ber_optimum", "-o", "out"}), 2);
    expect_has(err_, "--y ch1_ber_optimum: no such column of sweep.csv");
    EXPECT_TRUE(fs::is_empty("."));
    d.y_axis = "ch2_ber_optimal";  // a column a sweep of two channels would have
    EXPECT_EQ(axes_fault(d), "");
    fs::create_directory("t");
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(write_results("t", d, points(d), status));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Nodrix-E-nodrix sweep: cannot plot ch2_ber_optimal: t/sweep.csv has no such column of numbers; it has "
              "3.power_mw, 3.power_dbm, 4.loss_db, wall_time_s, ch1_power_dbm, ch1_ber_optimal, ch1_q_optimal_db, "
              "ch1_ber_relative, ch1_q_relative_db, ch1_ber_fixed, ch1_q_fixed_db, ch1_q_eye, ch1_q_eye_db, "
              "ch1_bits_observed, meter5_dbm (nodrix sweep --collect DIR --x COLUMN --y COLUMN draws it on others)\n");
    EXPECT_EQ(testing::read_text("t/sweep.csv"), table_csv(d, points(d), status));
    EXPECT_FALSE(fs::exists("t/sweep.png"));
}

// An OSNR meter adds a column per channel it measured in any point.
TEST_F(SweepTest, OsnrMetersAddAColumnPerChannel) {
    const Definition d = power_sweep();
    std::vector<PointStatus> status = {done_point(1.5, -3.0, 1e-40, 40.0, 1e-40, 40.0, -1.0, 10.0, 1.25),
                                       done_point(2.5, -3.5, 1e-40, 40.0, 1e-40, 40.0, -1.0, 10.0, 1.75)};
    status[0].record->osnr = {{133, 1, 192.34, 28.44, 2.49, -25.95}, {133, 2, 192.45, 28.5, 2.5, -26.0}};
    status[1].record->osnr = {{133, 2, 192.45, 30.0, 2.5, -27.5}};
    const std::string table = table_csv(d, points(d), status);
    expect_has(table, ",meter5_dbm,osnr133_ch1_db,osnr133_ch2_db,message\n");
    expect_has(table, ",128,1.25,28.44,28.5,\n");
    expect_has(table, ",128,1.75,,30,\n");
}

// On a full disk the plots are errors naming the file and why, and nothing
// of them is left; the table, which fits, is written.
TEST_F(SweepTest, PlotsOnAFullDiskAreErrorsAndLeaveNothing) {
    ::unsetenv("NODRIX_GNUPLOT");
    const Definition d = power_sweep();
    const std::vector<PointStatus> status = {done_point(1.5, -3.0, 1e-40, 40.0, 1e-40, 40.0, -1.0, 10.0, 1.25),
                                             done_point(2.5, -3.5, 2e-12, 16.9, 3e-12, 16.8, -1.0, 12.0, 1.75)};
    const testing::SmallDisk disk("disk", 64, 8);
    if (!disk.unavailable.empty()) GTEST_SKIP() << disk.unavailable;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(write_results("disk", d, points(d), status));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Nodrix-E-nodrix sweep: cannot draw disk/sweep.png: cannot write it: No space left on device\n"
              "Nodrix-E-nodrix sweep: cannot draw disk/sweep.svg: cannot write it: No space left on device\n");
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator("disk")) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"filler", "sweep.csv"}));
    EXPECT_EQ(testing::read_text("disk/sweep.csv"), table_csv(d, points(d), status));
}

TEST_F(SweepTest, ADryRunWritesTheSlurmScriptsOfThePointsNotComplete) {
    const Strings sweep = {"sweep", kOneChannel, "--vary", "3.power_mw=1,2", "-o", "d", "--slurm-dry-run",
                           "--slurm-args", "-p 'my part' --time=5"};
    ASSERT_EQ(run(sweep), 0) << err_;
    const fs::path d = fs::absolute("d");
    EXPECT_EQ(out_, "Slurm scripts of 2 points written to " + (d / "slurm").string() + ": submit them with bash " +
                        (d / "slurm/submit.sh").string() + "\n");
    EXPECT_EQ(testing::read_text("d/slurm/points.txt"), (d / "points/0001").string() + "\n" + (d / "points/0002").string() + "\n");
    const std::string submit = testing::read_text("d/slurm/submit.sh");
    const std::string s = (d / "slurm").string();
    expect_has(submit, "\npoints=$(sbatch --parsable --array=0-1 -p 'my part' --time=5 " + s + "/points.sh)\n");
    expect_has(submit, "\ncollect=$(sbatch --parsable --dependency=afterany:${points%%;*} -p 'my part' --time=5 " + s +
                           "/collect.sh)\n");
    EXPECT_TRUE(fs::is_regular_file("d/points/0002/point.toml"));
    EXPECT_FALSE(fs::exists("d/sweep.csv"));

    // Point 1 complete: submitted again, the array holds point 2 alone.
    ASSERT_TRUE(write_record("d/points/0001", ResultRecord{true, 0, "", 0.0, *hash_file("d/points/0001/point.toml"),
                                                           program_hash()}));
    ASSERT_EQ(run(sweep), 0);
    EXPECT_EQ(testing::read_text("d/slurm/points.txt"), (d / "points/0002").string() + "\n");
    EXPECT_NE(testing::read_text("d/slurm/submit.sh").find("--array=0-0 "), std::string::npos);
}

}  // namespace
}  // namespace nodrix

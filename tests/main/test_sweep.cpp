// nodrix sweep without running points: lists and ranges of values, the points of a
// sweep, its usage errors and checks, the completion check of a point, the
// table and the plot script, and the Slurm scripts of a dry run.
#include <gtest/gtest.h>

#include <filesystem>
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

const std::string kOneChannel = std::string(NODRIX_PROJECTS_DIR) + "/one_channel.toml";

using SweepTest = testing::NodrixRunTest;

TEST_F(SweepTest, ListsAndRangesOfValues) {
    struct Case {
        std::string written;
        Strings values;
    };
    const Case good[] = {
        {"80,100,120", {"80", "100", "120"}},
        {" low_pass , band_pass", {"low_pass", "band_pass"}},
        {"[1, 2],[3,4]", {"[1, 2]", "[3,4]"}},
        {"'a,b',c", {"'a,b'", "c"}},
        {"5", {"5"}},
        {"80:120:10", {"80", "90", "100", "110", "120"}},
        {"0.1:0.5:0.1", {"0.1", "0.2", "0.3", "0.4", "0.5"}},  // no 0.30000000000000004
        {"120:80:-20", {"120", "100", "80"}},
        {"1:2:0.3", {"1", "1.3", "1.6", "1.9"}},  // the end is not reached
        {"-1:1:1", {"-1", "0", "1"}},
        {"3:3:0", {"3"}},
        {"0.25:16:x2", {"0.25", "0.5", "1", "2", "4", "8", "16"}},
        {"16:1:x0.5", {"16", "8", "4", "2", "1"}},
        {"1:100:X10", {"1", "10", "100"}},
        {"1:50:x10", {"1", "10"}},
    };
    for (const Case& c : good) {
        std::string error;
        EXPECT_EQ(parse_values(c.written, error), c.values) << c.written;
        EXPECT_EQ(error, "") << c.written;
    }
    const std::string range = "a range is START:STOP:STEP or START:STOP:xFACTOR, with numbers";
    const std::string log = "a logarithmic range needs ends above 0 and a factor above 0 other than 1";
    const std::pair<std::string, std::string> bad[] = {
        {"", "no values"},
        {"80,,100", "an empty value in the list"},
        {"80,100,", "an empty value in the list"},
        {"80:120", range},
        {"80:abc:10", range},
        {"80:120:10:5", range},
        {"80:120:0", "the step 0 never reaches 120"},
        {"80:120:-10", "the step -10 goes away from 120"},
        {"0:10:x2", log},
        {"1:10:x1", log},
        {"10:1:x2", "the factor 2 goes away from 1"},
        {"1,2:3", "a list or a range, not both"},
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

TEST_F(SweepTest, PointsOfAGridAZipAndSeeds) {
    Definition d;
    d.sets = {"link.end_time_ps=4e4"};
    d.varies = {Vary{"3.power_mw", "1,2", "mW", {"1", "2"}}, Vary{"10.type", "x,y,z", "", {"x", "y", "z"}}};
    d.link_seeds = {349, 124, 541, 978, 457, 565, 942, 313, 583, 1073741000};
    std::vector<Strings> values;
    for (const Point& p : points(d)) values.push_back(p.values);
    EXPECT_EQ(values, (std::vector<Strings>{{"1", "x"}, {"1", "y"}, {"1", "z"}, {"2", "x"}, {"2", "y"}, {"2", "z"}}));
    EXPECT_EQ(points(d)[4].sets, (Strings{"link.end_time_ps=4e4", "3.power_mw=2", "10.type=y"}));
    d.varies[1].values = {"x", "y"};
    d.zip = true;
    values.clear();
    for (const Point& p : points(d)) values.push_back(p.values);
    EXPECT_EQ(values, (std::vector<Strings>{{"1", "x"}, {"2", "y"}}));
    // Seed s adds s x 1000003 x k to the k-th seed, modulo 2^30.
    d.seeds = 3;
    const std::vector<Point> p = points(d);
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(p[3].values, (Strings{"2", "y"}));
    EXPECT_EQ(p[3].seed, 0);
    EXPECT_EQ(p[3].sets.size(), 3u);  // seed 0: the link's own
    EXPECT_EQ(p[5].seed, 2);
    EXPECT_EQ(p[5].sets.back(),
              "link.seeds=[2000355,4000136,6000559,8001002,10000487,12000601,14000984,16000361,18000637,19999236]");
    EXPECT_EQ(seeds_for(d.link_seeds, 1)[9], (1073741000 + 10000030) % (1 << 30));
    EXPECT_EQ(point_name(7), "0007");
    EXPECT_EQ(point_name(12345), "12345");
}

TEST_F(SweepTest, UsageErrorsEndWithStatusTwoAndMakeNothing) {
    const std::string l = kOneChannel;
    const std::pair<Strings, std::string> cases[] = {
        {{}, "no link file given"},
        {{l}, "nothing to vary: give --vary ID.PARAM=VALUES or --seeds N"},
        {{l, "--vray", "3.power_mw=1"}, "unknown option \"--vray\"; did you mean \"--vary\"?"},
        {{l, "--vary"}, "--vary needs a value"},
        {{l, "--vary", "power_mw=1"}, "--vary power_mw=1: write ID.PARAM=VALUES (3.power_mw=0.5:8:x2, 6.length_km=40,80,120)"},
        {{l, "--vary", "3.power_mw=1:2"},
         "--vary 3.power_mw=1:2: a range is START:STOP:STEP or START:STOP:xFACTOR, with numbers"},
        {{l, "--vary", "3.power_mw=1,2", "--vary=3.power_mw=3"}, "--vary 3.power_mw is given twice"},
        {{l, "--vary", "3.power_mw=1,2", "--vary", "6.length_km=1,2,3", "--zip"},
         "--zip pairs the values: 3.power_mw has 2 and 6.length_km 3"},
        {{l, "--vary", "3.power_mw=1,2", "-set", "3.power_mw=4"}, "3.power_mw is both varied and set (-set 3.power_mw=4)"},
        {{l, "--vary", "link.seeds=[1,2,3,4,5,6,7,8,9,10]", "--seeds", "2"},
         "--vary link.seeds and --seeds exclude each other"},
        {{l, "--vary", "3.power_mw=1:1000:1", "--vary", "6.length_km=0:100:1"},
         "the sweep has 101000 points, more than 100000"},
        {{l, "--seeds", "0"}, "--seeds 0: give a whole number from 1 to 1000"},
        {{l, "--seeds", "2", "-j", "x"}, "-j x: give a whole number from 1 to 1024"},
        {{l, "--seeds", "2", "--slurm", "--slurm-dry-run"}, "--slurm and --slurm-dry-run exclude each other"},
        {{l, "--seeds", "2", "--slurm-args", "-p x"}, "--slurm-args needs --slurm or --slurm-dry-run"},
        {{l, "--seeds", "2", "--slurm", "-j", "2"}, "-j sets the points run at once here, not on Slurm"},
        {{l, "--seeds", "2", "--slurm", "--slurm-args", "-p 'x"}, "--slurm-args: a quote is not closed"},
        {{"--collect", "d", "--seeds", "2"}, "--collect DIR takes no other option nor a link"},
        {{"--point", "d", "--collect", "e"}, "--collect and --point exclude each other"},
    };
    for (const auto& [words, message] : cases) {
        Strings w{"sweep"};
        w.insert(w.end(), words.begin(), words.end());
        EXPECT_EQ(run(w), 2) << message;
        EXPECT_EQ(err_, "Nodrix-E-nodrix sweep: " + message + " (nodrix sweep --help)\n");
    }
    EXPECT_TRUE(fs::is_empty("."));
    EXPECT_EQ(run({"sweep", "--help"}), 0);
    EXPECT_NE(out_.find("START:STOP:xFACTOR (0.25:16:x2 is 0.25, 0.5, 1, ... 16)"), std::string::npos);
}

TEST_F(SweepTest, EveryValueAndCombinationIsCheckedBeforeAnythingIsMade) {
    EXPECT_EQ(run({"sweep", kOneChannel, "--vary", "3.power_mw=-1,2,-3", "--vary", "6.lenght_km=20,40", "-o", "out"}), 1);
    const std::string power = "Nodrix-E---vary 3.power_mw=-1,2,-3 (value ";
    EXPECT_NE(err_.find(power + "-1): power_mw = -1 is out of range; allowed: >= 0\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find(power + "-3): power_mw = -3 is out of range; allowed: >= 0\n"), std::string::npos) << err_;
    // A name that is no parameter is reported once, not once per value.
    const std::string name = "Nodrix-E---vary 6.lenght_km=20,40 (value 20): block 6 (fibre): unknown parameter or "
                             "connection \"lenght_km\"; did you mean \"length_km\"?\n";
    EXPECT_NE(err_.find(name), std::string::npos) << err_;
    EXPECT_EQ(err_.find("(value 40)"), std::string::npos) << err_;
    // Each value fits alone; band_low 193.0 above band_high 192.95 do not.
    EXPECT_EQ(run({"sweep", kOneChannel, "--vary", "link.band_low_thz=192.9,193.0", "--vary",
                   "link.band_high_thz=192.95,193.3", "-o", "out"}),
              1);
    EXPECT_NE(err_.find("[link]: band_low_thz must lie below band_high_thz\n"), std::string::npos) << err_;
    EXPECT_NE(err_.find("Nodrix-E-nodrix sweep: point 0003 (link.band_low_thz=193.0, link.band_high_thz=192.95) "
                        "cannot run; nothing was made\n"),
              std::string::npos)
        << err_;
    EXPECT_TRUE(fs::is_empty("."));
}

// A point directory with its parameters, one result file and a record of them.
ResultRecord make_point(const fs::path& dir, bool done = true) {
    fs::create_directories(dir);
    testing::write_text((dir / "point.toml").string(), "link = 'x'\n");
    testing::write_text((dir / "a.DAT").string(), "result\n");
    ResultRecord r;
    r.done = done;
    r.exit_status = done ? 0 : 1;
    r.message = done ? "" : "power_mw = -1 is out of range";
    r.wall_time_s = 1.25;
    r.parameters_hash = *hash_file(dir / "point.toml");
    r.program_hash = program_hash();
    r.files = {FileRecord{"a.DAT", 7, *hash_file(dir / "a.DAT")}};
    ChannelRecord c;
    c.estimator = 11;
    c.channel = 1;
    c.frequency_thz = 193.1;
    c.state = "measured";
    c.power_dbm = -2.5;
    c.ber_optimal = 9.9999e-41;
    c.q_eye = std::numeric_limits<double>::infinity();
    r.channels = {c};
    r.meters = {MeterRecord{5, "at the receiver, after \"it\"", std::nullopt}};
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
        {"never run", [&] { fs::remove(dir / "result.toml"); }, PointState::incomplete, "not run"},
        {"damaged record", [&] { testing::write_text((dir / "result.toml").string(), "status = 'done'\n"); },
         PointState::incomplete, "its result record cannot be read: a setting is missing or of the wrong type"},
        {"no parameters", [&] { fs::remove(dir / "point.toml"); }, PointState::incomplete,
         "no parameters (point.toml missing)"},
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

// Records of a point run, done or failed, for the table.
PointStatus done_point(double wall, double power, double ber, double q, double ber_rel, double q_rel,
                       std::optional<double> ber_fixed, double q_eye, double meter) {
    ResultRecord r;
    r.done = true;
    r.wall_time_s = wall;
    ChannelRecord c{11, 1, 193.1, "measured", power, ber, q, ber_rel, q_rel, ber_fixed, std::nullopt, q_eye};
    r.channels = {c};
    r.meters = {MeterRecord{5, "rx", meter}};
    return PointStatus{PointState::complete, "", r};
}

TEST_F(SweepTest, TheTableHasARowPerPointAndTheMeanAndSpreadOfTheSeeds) {
    Definition d;
    d.name = "lk";
    d.varies = {Vary{"3.power_mw", "1,2", "mW", {"1", "2"}}};
    d.seeds = 2;
    ResultRecord failed;
    failed.wall_time_s = 0.5;
    const std::vector<PointStatus> status = {
        done_point(1.5, -3.0, 1e-40, 40.0, 1e-40, 40.0, -1.0, 10.0, 1.25),
        done_point(2.5, -3.5, 2e-12, 16.9, 3e-12, 16.8, std::nullopt, 12.0, 1.75),
        PointStatus{PointState::failed, "the link changed, run again", failed},
        PointStatus{PointState::incomplete, "not run", std::nullopt},
    };
    const std::string columns = "ch1_power_dbm,ch1_ber_optimal,ch1_q_optimal_db,ch1_ber_relative,ch1_q_relative_db,"
                                "ch1_ber_fixed,ch1_q_fixed_db,ch1_q_eye,ch1_q_eye_db";
    EXPECT_EQ(table_csv(d, points(d), status),
              "point,3.power_mw,seed,status,wall_time_s," + columns + ",meter5_dbm,message\n"
              "0001,1,0,done,1.5,-3,1e-40,40,1e-40,40,-1,,10,20,1.25,\n"
              "0002,1,1,done,2.5,-3.5,2e-12,16.9,3e-12,16.8,,,12,21.5836249,1.75,\n"
              ",1,mean,,2,-3.25,1e-12,28.45,1.5e-12,28.4,-1,,11,20.7918125,1.5,over 2 of 2 seeds\n"
              ",1,spread,,0.707106781,0.353553391,1.41421356e-12,16.3341666,2.12132034e-12,16.4048773,,,"
              "1.41421356,1.11979192,0.353553391,over 2 of 2 seeds\n"
              "0003,2,0,failed,0.5,,,,,,,,,,,\"the link changed, run again\"\n"
              "0004,2,1,incomplete,,,,,,,,,,,,not run\n"
              ",2,mean,,,,,,,,,,,,,over 0 of 2 seeds\n"
              ",2,spread,,,,,,,,,,,,,over 0 of 2 seeds\n");
    // Without seeds: no seed column, no mean rows. Two estimators of one
    // channel and one of no known channel are told apart; a channel a done
    // point did not measure says why.
    d.seeds = 1;
    d.varies[0].values = {"1"};
    PointStatus s = done_point(1.0, -3.0, 1e-40, 40.0, 1e-40, 40.0, -1.0, std::numeric_limits<double>::infinity(), 0.0);
    ChannelRecord second;
    second.estimator = 12;
    second.channel = 1;
    second.state = "measured";
    ChannelRecord unknown;
    unknown.estimator = 13;
    unknown.state = "not observed: the run ends first";
    s.record->channels.push_back(second);
    s.record->channels.push_back(unknown);
    const std::string table = table_csv(d, points(d), {s});
    EXPECT_EQ(table.substr(0, table.find("ch1_e11_power_dbm")), "point,3.power_mw,status,wall_time_s,");
    EXPECT_NE(table.find(",ch1_e12_q_eye_db,e13_power_dbm,"), std::string::npos);
    EXPECT_NE(table.find(",inf,inf,"), std::string::npos);  // a noiseless eye
    EXPECT_TRUE(table.ends_with(",0,e13: not observed: the run ends first\n"));
}

TEST_F(SweepTest, ThePlotShowsTheEyeQAgainstTheFirstParameterPerValueOfTheSecond) {
    Definition d;
    d.name = "lk";
    d.varies = {Vary{"3.power_mw", "1:4:x2", "mW", {"1", "2", "4"}}, Vary{"10.type", "lp,bp", "", {"lp", "bp"}}};
    d.seeds = 2;
    std::vector<PointStatus> status;
    for (const Point& p : points(d)) {
        // Q 10^(k/20) for point k: k dB; the second seed of 2 mW, low pass, failed.
        if (p.number == 6) {
            status.push_back(PointStatus{PointState::failed, "x", std::nullopt});
            continue;
        }
        status.push_back(done_point(1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, std::pow(10.0, p.number / 20.0), 0.0));
    }
    const std::string s = plot_script(d, points(d), status, "q.svg");
    for (const std::string line :
         {"set terminal svg noenhanced size 1000,700 background '#ffffff'", "set output 'q.svg'",
          "set title 'lk: eye Q against 3.power_mw (mean and spread over 2 seeds), channel 1 (193.10 THz)'",
          "set xlabel '3.power_mw [mW]'", "set ylabel 'eye Q [dB]'", "set logscale x 10", "set key below",
          "$d0 << EOD", "1 1.5 0.7071067812", "2 5 0", "4 9.5 0.7071067812",
          "$d1 << EOD", "1 3.5 0.7071067812", "2 7.5 0.7071067812", "4 11.5 0.7071067812",
          "plot $d0 using 1:2:3 with yerrorlines lw 1.5 pt 7 ps 0.6 title '10.type=lp', \\"})
        EXPECT_NE(s.find("\n" + line + "\n"), std::string::npos) << line << "\n" << s;
    EXPECT_NE(s.find("$d1 using 1:2:3 with yerrorlines lw 1.5 pt 7 ps 0.6 title '10.type=bp'"), std::string::npos);
    // Texts on X: their ordinals, labelled.
    d.varies = {Vary{"10.type", "lp,bp", "", {"lp", "bp"}}};
    d.seeds = 1;
    const std::string t = plot_script(d, points(d), {status[0], status[1]}, "t.png");
    EXPECT_NE(t.find("\nset xtics ('lp' 1, 'bp' 2)\n"), std::string::npos) << t;
    EXPECT_NE(t.find("\nset xrange [0.5:2.5]\n"), std::string::npos) << t;
    EXPECT_EQ(t.find("logscale"), std::string::npos);
    EXPECT_NE(t.find("title 'channel 1 (193.10 THz)'"), std::string::npos);
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
    EXPECT_NE(submit.find("\npoints=$(sbatch --parsable --array=0-1 -p 'my part' --time=5 " + s + "/points.sh)\n"),
              std::string::npos)
        << submit;
    EXPECT_NE(submit.find("\ncollect=$(sbatch --parsable --dependency=afterany:${points%%;*} -p 'my part' --time=5 " + s +
                          "/collect.sh)\n"),
              std::string::npos)
        << submit;
    const std::string points_sh = testing::read_text("d/slurm/points.sh");
    EXPECT_NE(points_sh.find("\n#SBATCH --cpus-per-task=1\n#SBATCH --output=" + s + "/task-%a.out\n"), std::string::npos);
    EXPECT_NE(points_sh.find("point=$(sed -n \"$((SLURM_ARRAY_TASK_ID + 1))p\" " + s + "/points.txt)\n"),
              std::string::npos);
    EXPECT_NE(points_sh.find(" sweep --point \"$point\"\n"), std::string::npos);
    EXPECT_NE(testing::read_text("d/slurm/collect.sh").find(" sweep --collect " + d.string() + "\n"), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file("d/points/0002/point.toml"));
    EXPECT_FALSE(fs::exists("d/sweep.csv"));

    // Point 1 complete: submitted again, the array holds point 2 alone.
    ResultRecord r;
    r.done = true;
    r.parameters_hash = *hash_file("d/points/0001/point.toml");
    r.program_hash = program_hash();
    ASSERT_TRUE(write_record("d/points/0001", r));
    ASSERT_EQ(run(sweep), 0);
    EXPECT_EQ(testing::read_text("d/slurm/points.txt"), (d / "points/0002").string() + "\n");
    EXPECT_NE(testing::read_text("d/slurm/submit.sh").find("--array=0-0 "), std::string::npos);

    // Another sweep into the same directory, or into one holding other files, is refused.
    EXPECT_EQ(run({"sweep", kOneChannel, "--vary", "3.power_mw=1,3", "-o", "d", "--slurm-dry-run"}), 1);
    EXPECT_EQ(err_, "Nodrix-E-nodrix sweep: " + d.string() +
                        " holds another sweep (of other values, changes or seeds); give another -o DIR, or remove it "
                        "to start afresh\n");
    testing::write_text("mine.txt", "");
    EXPECT_EQ(run({"sweep", kOneChannel, "--vary", "3.power_mw=1,3", "-o", ".", "--slurm-dry-run"}), 1);
    EXPECT_EQ(err_, "Nodrix-E-nodrix sweep: " + fs::current_path().string() +
                        " is not empty and holds no sweep; give another -o DIR\n");
}

}  // namespace
}  // namespace nodrix

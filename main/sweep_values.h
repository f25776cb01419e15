// What a sweep varies and the points it runs. A sweep changes parameters of
// a link (as `nodrix run -set` does) over lists or ranges of values, on a full
// grid or paired, and repeats every combination with several noise seeds.
// A point is one run: one value of every varied parameter and one seed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

namespace nodrix::sweep {

// The values a --vary gives (a list or a range), as `-set` values:
//   80,100,120     a list (numbers or texts; a [..] or quoted value may hold commas)
//   80:120:10      from 80 to 120 in steps of 10 (the end is included when a step reaches it)
//   0.5:32:x2      from 0.5 to 32, each value twice the one before (a logarithmic range)
// Nothing, with `error` set, when the text is not one of these.
std::vector<std::string> parse_values(std::string_view written, std::string& error);

// Whether the values are written as a logarithmic range.
bool log_range(std::string_view written);

// A --vary as messages name it, "--vary NAME=VALUES", its values cut after
// kVaryEchoLength characters with how long they are ("--vary 3.power_mw=1,2,
// ...,40,... (48894 characters)"): a message about a list of thousands of
// values names it without repeating all of it.
inline constexpr std::size_t kVaryEchoLength = 60;
std::string vary_echo(std::string_view name, std::string_view written);

// A varied parameter.
struct Vary {
    std::string name;                 // "3.power_mw": the ID.PARAM of -set
    std::string written;              // the values as written
    std::string unit;                 // of the parameter ("mW"; empty when none)
    std::vector<std::string> values;
    bool operator==(const Vary&) const = default;
};

// The convergence check of every point (--converge): the point's link also
// runs with steps `factor` times shorter, and the changes of its channels'
// received power and eye Q are judged against `tolerance_db`.
struct ConvergeCheck {
    bool on = false;
    double factor = 2.0, tolerance_db = 0.1;
    bool operator==(const ConvergeCheck&) const = default;
};

// The check as sweep.toml and point.toml hold it: the table "converge"
// (factor, tolerance_db), present only when the check is on; false when the
// table is there but damaged.
void put_converge(toml::table& t, const ConvergeCheck& c);
bool get_converge(const toml::table& t, ConvergeCheck& c);

// A sweep as it was asked for. Two sweeps with equal definitions are the
// same sweep: a rerun of it goes on where the last one stopped.
struct Definition {
    std::string link;                     // the link file, absolute
    std::string name;                     // the link's name
    std::string link_hash;                // of the link file's bytes
    std::string directory;                // where the command was given: -set file names are taken from it
    std::vector<std::string> sets;        // the -set changes of every point (ID.PARAM=VALUE), in order
    std::vector<Vary> varies;
    bool zip = false;                     // the values paired instead of the full grid
    int seeds = 1;                        // runs of every combination, each with its own noise seeds
    std::vector<std::int32_t> link_seeds; // the link's ten seeds (after the -set changes)
    ConvergeCheck converge;               // with --converge
    // The plot's axes, columns of sweep.csv (--x, --y); empty: the first
    // varied parameter, and the eye's Q of every channel. Not part of what
    // the sweep runs: the same sweep may be drawn on other axes.
    std::string x_axis, y_axis;
    bool operator==(const Definition&) const = default;
    bool same_runs(const Definition& other) const;
};

// One run of the sweep.
struct Point {
    int number = 0;                       // from 1; its directory is points/NNNN
    std::vector<std::string> values;      // one per varied parameter
    int seed = 0;                         // 0 .. seeds - 1
    std::vector<std::string> sets;        // every change of its run, in order
};

// Largest number of points of a sweep.
inline constexpr std::size_t kMaxPoints = 100000;

// The points of a sweep: combinations of the values (the last varied
// parameter changing fastest; paired with zip), each repeated for every seed
// in turn. Seed 0 is the link's own; seed s > 0 sets link.seeds to
// seeds_for(link_seeds, s).
std::vector<Point> points(const Definition& d);

// The ten seeds of seed s: the link's k-th seed (k = 1..10) plus s x 1000003 x k,
// modulo 2^30. Seed 0 gives the link's own.
std::vector<std::int32_t> seeds_for(const std::vector<std::int32_t>& link_seeds, int seed);

// "NNNN": the point's directory name under points/.
std::string point_name(int number);

// The sweep definition file DIR/sweep.toml.
std::string definition_text(const Definition& d);
// Reads it; nothing, with `error` set, when it cannot be read or is damaged.
std::optional<Definition> read_definition(const std::filesystem::path& file, std::string& error);

// 64-bit FNV-1a of bytes and of a whole file (nothing when it cannot be read), in 16 hexadecimal digits.
std::string hash_text(std::string_view bytes);
std::optional<std::string> hash_file(const std::filesystem::path& file);

// Writes a whole text file through a temporary file renamed over it; false
// when it cannot.
bool write_text_file(const std::filesystem::path& file, const std::string& text);

// The running nodrix program (its absolute name), which points and scripts run.
std::string self_program();

}  // namespace nodrix::sweep

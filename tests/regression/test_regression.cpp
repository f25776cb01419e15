// The whole-run regression net: the project's runs as a user starts them,
// every file they leave, their console text and exit status compared byte for
// byte with the stored references (tests/regression/reference).
//
// A reference case is a manifest "<case>.txt" (the exit status, then one line
// per output with its size and FNV-1a checksum) and the files themselves,
// stored once by checksum under "blobs/". Result files and the console text
// are stored whole, so that a difference is shown at its first line or byte;
// the filters' and fibres' working files only by checksum.
//
// When a change of results is intended, scripts/regenerate-references.sh
// records the references again (NODRIX_REGRESSION_RECORD=1); say why in the
// commit.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct RegressionCase { const char* name; const char* program; std::vector<std::string> args; };

// The set-up run as generated, its storage sized by the dimensioning pass; a
// set-up whose storage counts exceed the default capacities (the limits file,
// status 3); a per-sample simulation of the first 2560 ps, long enough for
// every block to run sample by sample and for the first power meter and
// spectrum analyser to measure.
const RegressionCase kCases[] = {
    {"setup", NODRIX_SIM_160G, {"-autosize"}},
    {"limits", NODRIX_SIM_160G, {"-window", "1e10"}},
    {"simulation", NODRIX_SHORT_SIMULATION, {"-simulate", "-window", "30720", "-autosize"}},
};

void PrintTo(const RegressionCase& c, std::ostream* os) { *os << c.name; }

const fs::path kReference = NODRIX_REFERENCE_DIR;

// Largest result file kept whole in the references.
constexpr std::uintmax_t kWholeLimit = 128 * 1024;

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::uint64_t fnv1a(const std::string& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h;
}

std::string hex(std::uint64_t v) {
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
    return buf;
}

// Working files: a two-letter prefix and a six-digit instance number.
bool working_file(const std::string& name) {
    static const std::regex pattern("[a-z][a-z0-9][0-9]{6}(\\.DAT)?");
    return std::regex_match(name, pattern);
}

// What a run left: its exit status and every output by name (the console
// streams as "(stdout)" and "(stderr)").
struct RunResult { int status = -1; std::map<std::string, std::string> outputs; };

RunResult run_case(const RegressionCase& c, const fs::path& top) {
    const fs::path dir = top / "run";
    fs::create_directories(dir);
    std::vector<std::string> words{c.program};
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const std::string out = (top / "stdout").string();
    const std::string err = (top / "stderr").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // No plan wisdom from the environment, and plans by estimate, which
        // does not depend on timing: every run plans the same way (measured
        // plans may differ from run to run, and with them the last bits).
        ::unsetenv("BNLIB");
        ::setenv("NODRIX_FFT_PLANS", "estimate", 1);
        if (::chdir(dir.c_str()) != 0) ::_exit(127);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0) ::_exit(127);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    RunResult r;
    int wstatus = 0;
    if (pid > 0 && ::waitpid(pid, &wstatus, 0) == pid && WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
    r.outputs["(stdout)"] = read_file(out);
    r.outputs["(stderr)"] = read_file(err);
    for (const auto& entry : fs::directory_iterator(dir))
        r.outputs[entry.path().filename().string()] = read_file(entry.path());
    return r;
}

struct ManifestEntry { std::uintmax_t size = 0; std::string hash; };
struct Manifest { int status = -1; std::map<std::string, ManifestEntry> entries; };

Manifest read_manifest(const fs::path& p) {
    Manifest m;
    std::ifstream in(p);
    std::string key;
    while (in >> key) {
        if (key == "status") {
            in >> m.status;
        } else {
            ManifestEntry e;
            in >> e.size >> e.hash;
            m.entries[key] = e;
        }
    }
    return m;
}

bool stored_whole(const std::string& name, std::uintmax_t size) {
    return !working_file(name) && size <= kWholeLimit;
}

void record(const RegressionCase& c, const RunResult& r) {
    fs::create_directories(kReference / "blobs");
    std::ofstream manifest(kReference / (std::string(c.name) + ".txt"));
    manifest << "status " << r.status << "\n";
    for (const auto& [name, bytes] : r.outputs) {
        const std::string h = hex(fnv1a(bytes));
        manifest << name << " " << bytes.size() << " " << h << "\n";
        if (stored_whole(name, bytes.size())) std::ofstream(kReference / "blobs" / h, std::ios::binary) << bytes;
    }
}

bool looks_like_text(const std::string& s) {
    return std::none_of(s.begin(), s.end(), [](char ch) {
        const auto u = static_cast<unsigned char>(ch);
        return u < 0x20 && ch != '\n' && ch != '\r' && ch != '\t';
    });
}

std::vector<std::string> split_lines(const std::string& s) {
    std::vector<std::string> lines;
    std::istringstream in(s);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Where two versions of a file first differ: the line for text, else the byte.
std::string first_difference(const std::string& expected, const std::string& actual) {
    std::ostringstream d;
    if (looks_like_text(expected) && looks_like_text(actual)) {
        const auto a = split_lines(expected);
        const auto b = split_lines(actual);
        std::size_t k = 0;
        while (k < a.size() && k < b.size() && a[k] == b[k]) ++k;
        d << "first difference at line " << k + 1 << "\n  reference: "
          << (k < a.size() ? a[k] : std::string("(end of file)")) << "\n  this run:  "
          << (k < b.size() ? b[k] : std::string("(end of file)"));
        return d.str();
    }
    std::size_t k = 0;
    while (k < expected.size() && k < actual.size() && expected[k] == actual[k]) ++k;
    d << "first difference at byte offset " << k << " (sizes: reference " << expected.size() << ", this run "
      << actual.size() << ")";
    return d.str();
}

const char* const kRegenerate =
    "\n(if the change of results is intended, record the references again with "
    "scripts/regenerate-references.sh and say why in the commit)";

// A run of a program in a fresh directory, removed afterwards.
RunResult run_in_scratch(const RegressionCase& c) {
    char templ[] = "/tmp/nodrix-regression-XXXXXX";
    const char* made = ::mkdtemp(templ);
    if (made == nullptr) return {};
    const fs::path top = made;
    RunResult r = run_case(c, top);
    std::error_code ec;
    fs::remove_all(top, ec);
    return r;
}

// Compares a run with a reference case; with `files_only` the console text
// is left out (another program printing its own).
void expect_matches(const std::string& reference, const RunResult& r, bool files_only) {
    const fs::path manifest_path = kReference / (reference + ".txt");
    ASSERT_TRUE(fs::exists(manifest_path)) << "no reference " << manifest_path << kRegenerate;
    const Manifest m = read_manifest(manifest_path);
    EXPECT_EQ(r.status, m.status) << "exit status against " << reference << kRegenerate;
    auto console = [](const std::string& name) { return name == "(stdout)" || name == "(stderr)"; };
    for (const auto& [name, e] : m.entries) {
        if (files_only && console(name)) continue;
        const auto found = r.outputs.find(name);
        if (found == r.outputs.end()) {
            ADD_FAILURE() << reference << ": " << name << " was not written" << kRegenerate;
            continue;
        }
        const std::string& bytes = found->second;
        if (bytes.size() == e.size && hex(fnv1a(bytes)) == e.hash) continue;
        const fs::path blob = kReference / "blobs" / e.hash;
        if (fs::exists(blob))
            ADD_FAILURE() << reference << ": " << name << " differs from the reference, "
                          << first_difference(read_file(blob), bytes) << kRegenerate;
        else
            ADD_FAILURE() << reference << ": " << name << " differs from the reference (size " << bytes.size()
                          << ", reference " << e.size << "; only its checksum is kept)" << kRegenerate;
    }
    for (const auto& [name, bytes] : r.outputs)
        if (m.entries.count(name) == 0 && !(files_only && console(name)))
            ADD_FAILURE() << reference << ": " << name << " (" << bytes.size() << " bytes) is not in the reference"
                          << kRegenerate;
}

// A file of a reference case, as stored whole.
std::string reference_file(const std::string& reference, const std::string& name) {
    const Manifest m = read_manifest(kReference / (reference + ".txt"));
    const auto e = m.entries.find(name);
    return e == m.entries.end() ? std::string() : read_file(kReference / "blobs" / e->second.hash);
}

class RegressionNet : public ::testing::TestWithParam<RegressionCase> {};

TEST_P(RegressionNet, EveryOutputMatchesTheReference) {
    const RegressionCase& c = GetParam();
    const RunResult r = run_in_scratch(c);
    if (std::getenv("NODRIX_REGRESSION_RECORD") != nullptr) {
        record(c, r);
        return;
    }
    expect_matches(c.name, r, false);
}

// The reference link run by nodrix from its description file writes the
// same files as sim_160G.
TEST(NodrixRegression, RunsTheReferenceLinkLikeSim160G) {
    if (std::getenv("NODRIX_REGRESSION_RECORD") != nullptr) GTEST_SKIP() << "recording";
    const RegressionCase c{"nodrix", NODRIX_NODRIX,
                           {"run", NODRIX_PROJECTS_DIR "/sim_160G.toml", "-simulate", "-window", "30720", "-set",
                            "link.end_time_ps=2560"}};
    expect_matches("simulation", run_in_scratch(c), true);
}

// -set changes a parameter without any rebuild: a span of 80 km instead of
// 120 changes the span's lines of the memory map (its storage and how it is
// split) and its delay record, and nothing else.
TEST(NodrixRegression, SetChangesTheSpanLengthAndNothingElse) {
    if (std::getenv("NODRIX_REGRESSION_RECORD") != nullptr) GTEST_SKIP() << "recording";
    const RegressionCase c{"span", NODRIX_NODRIX,
                           {"run", NODRIX_PROJECTS_DIR "/sim_160G.toml", "-set", "73.length_km=80"}};
    const RunResult r = run_in_scratch(c);
    ASSERT_EQ(r.status, 0) << r.outputs.at("(stderr)");
    auto without_span = [](const std::string& map, std::vector<std::string>& span) {
        std::vector<std::string> rest;
        for (const std::string& line : split_lines(map)) {
            const bool of_span = line.rfind("numsplit", 0) == 0 || line.rfind("length", 0) == 0 ||
                                 line.rfind("memory 73 ", 0) == 0;
            (of_span ? span : rest).push_back(line);
        }
        return rest;
    };
    std::vector<std::string> span_then, span_now;
    EXPECT_EQ(without_span(reference_file("setup", "x1_sim_160g.mem"), span_then),
              without_span(r.outputs.at("x1_sim_160g.mem"), span_now));
    EXPECT_NE(span_then, span_now);
    const std::string dly_then = reference_file("setup", "x1_sim_160g.dly");
    const std::string& dly_now = r.outputs.at("x1_sim_160g.dly");
    ASSERT_EQ(dly_now.size(), dly_then.size());
    constexpr std::size_t kRecord = 4 + 4 * 1024;  // instance number and 1024 group delays
    EXPECT_NE(dly_now.substr(0, kRecord), dly_then.substr(0, kRecord));  // the span's own
    EXPECT_EQ(dly_now.substr(kRecord), dly_then.substr(kRecord));       // the grating and the filters
}

INSTANTIATE_TEST_SUITE_P(Runs, RegressionNet, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<RegressionCase>& info) { return info.param.name; });

}  // namespace

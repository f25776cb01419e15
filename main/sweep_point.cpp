#include "main/sweep_point.h"

#include <fcntl.h>
#include <unistd.h>

#include <toml++/toml.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "main/converge.h"
#include "main/nodrix_cli.h"
#include "project/summary.h"
#include "runtime/opxfile.h"
#include "runtime/run_files.h"
#include "runtime/stop_points.h"

namespace nodrix::sweep {
namespace {

namespace fs = std::filesystem;

const char* const kParameters = "point.toml";
const char* const kRecord = "result.toml";
const char* const kConsole = "console.txt";
const char* const kLock = "point.lck";
// Where the runs of a convergence check are made, removed when they end.
const char* const kConvergeScratch = ".converge";
// The first line of a record: the checksum of everything after it.
const char* const kSeal = "record_fnv1a = \"";

// A shell word: quoted unless it is plain.
std::string shell_word(const std::string& s) {
    if (!s.empty() && s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+=.,/:") ==
                          std::string::npos)
        return s;
    std::string q = "'";
    for (const char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

void put(toml::table& t, const char* key, const std::optional<double>& v) {
    if (v) t.insert(key, *v);
}

std::optional<double> get(const toml::table& t, const char* key) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return std::nullopt;
    if (const auto d = n->value<double>()) return d;  // integers too
    return std::nullopt;
}

const char* state_text(ChannelResult::State s) {
    switch (s) {
        case ChannelResult::State::measured: return "measured";
        case ChannelResult::State::not_observed:
            return "not observed: the good interval at the receiver is shorter than the observation window "
                   "and its guard times";
        case ChannelResult::State::after_end:
            return "not observed: the run ends before the observation window at the receiver opens";
        case ChannelResult::State::nothing_asked:
            return "not observed: its delay_ps reaches its window_ps, where the observation ends";
        case ChannelResult::State::no_report: return "no report";
    }
    return "";
}

ChannelRecord channel_record(const ChannelResult& c) {
    ChannelRecord r;
    r.estimator = c.estimator;
    r.channel = c.channel;
    r.frequency_thz = c.frequency_thz;
    r.state = state_text(c.state);
    if (c.state != ChannelResult::State::measured) return r;
    if (const auto mw = c.received_mw()) r.power_dbm = 10.0 * std::log10(*mw);
    r.ber_optimal = c.report.ber;
    r.q_optimal_db = c.report.q_db;
    r.ber_relative = c.report.relative_ber;
    r.q_relative_db = c.report.relative_q_db;
    r.ber_fixed = c.report.fixed_ber;
    r.q_fixed_db = c.report.fixed_q_db;
    if (c.eye && c.eye->defined()) r.q_eye = c.eye->q;
    if (c.multilevel) {
        r.ser = c.multilevel->ser;
        r.eye_q_db = c.multilevel->q_db;
        r.q_eye = c.report.q_linear;  // the smallest eye's, drawn against the varied parameter
    }
    if (c.coverage) {
        r.bits_observed = c.coverage->observed;
        r.bits_requested = c.coverage->requested;
    }
    for (const std::string& said : channel_remarks(c)) r.remarks += (r.remarks.empty() ? "" : "; ") + said;
    return r;
}

MeterRecord meter_record(const MeterResult& m) {
    MeterRecord r{m.id, m.label, m.dbm, std::nullopt, std::nullopt};
    if (m.coverage) {
        r.samples_observed = m.coverage->observed;
        r.samples_requested = m.coverage->requested;
    }
    return r;
}

// The OSNR meters' channels of a run, and their [[osnr]] tables in result.toml
// (none for a link without an OSNR meter).
std::vector<OsnrRecord> osnr_records(const std::vector<OsnrMeterResult>& meters) {
    std::vector<OsnrRecord> records;
    for (const OsnrMeterResult& m : meters)
        for (const OsnrMeterResult::Channel& c : m.channels)
            records.push_back({m.id, c.number, c.frequency_thz, c.osnr_db, c.signal_dbm, c.noise_dbm});
    return records;
}

void put_osnr(toml::table& t, const std::vector<OsnrRecord>& records) {
    if (records.empty()) return;
    toml::array list;
    for (const OsnrRecord& o : records)
        list.push_back(toml::table{{"meter", o.meter},           {"channel", o.channel},       {"frequency_thz", o.frequency_thz},
                                   {"osnr_db", o.osnr_db},       {"signal_dbm", o.signal_dbm}, {"noise_dbm", o.noise_dbm}});
    t.insert("osnr", std::move(list));
}

std::vector<OsnrRecord> get_osnr(const toml::table& t) {
    std::vector<OsnrRecord> records;
    if (const toml::array* list = t["osnr"].as_array())
        for (const toml::node& n : *list)
            if (const toml::table* o = n.as_table())
                records.push_back({static_cast<std::int32_t>((*o)["meter"].value_or(std::int64_t{0})),
                                   static_cast<int>((*o)["channel"].value_or(std::int64_t{0})),
                                   (*o)["frequency_thz"].value_or(0.0), (*o)["osnr_db"].value_or(0.0),
                                   (*o)["signal_dbm"].value_or(0.0), (*o)["noise_dbm"].value_or(0.0)});
    return records;
}

void put_count(toml::table& t, const char* key, const std::optional<std::int64_t>& v) {
    if (v) t.insert(key, *v);
}

std::optional<std::int64_t> get_count(const toml::table& t, const char* key) {
    const toml::node* n = t.get(key);
    return n != nullptr ? n->value<std::int64_t>() : std::nullopt;
}

// The first error a run reported on its console, without the program's prefix.
std::string first_error(const fs::path& console) {
    std::ifstream in(console);
    for (std::string line; std::getline(in, line);)
        for (const char* prefix : {"Nodrix-E-", "Nodrix-F-"})
            if (line.rfind(prefix, 0) == 0) return line.substr(9);
    return "";
}

// The files a run of the point made in its directory, with size and
// checksum: its console and the files it put in place (`made`, as the run
// named them), not a file someone else put there.
std::vector<FileRecord> run_files(const fs::path& dir, std::vector<std::string> made) {
    made.push_back(kConsole);
    std::vector<FileRecord> files;
    std::error_code ec;
    for (const std::string& name : made) {
        const fs::path p = dir / name;
        if (fs::path(name).is_absolute() || !fs::is_regular_file(p, ec)) continue;
        files.push_back(FileRecord{name, fs::file_size(p, ec), hash_file(p).value_or("")});
    }
    std::sort(files.begin(), files.end(), [](const FileRecord& a, const FileRecord& b) { return a.name < b.name; });
    return files;
}

// The record with its checksum line before it.
std::string sealed(const std::string& text) { return kSeal + hash_text(text) + "\"\n" + text; }

// Whether a record's content is what its checksum line says: a record edited
// after the run is no record of the run.
bool seal_holds(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string text = bytes.str();
    const std::size_t head = std::strlen(kSeal);
    const std::size_t end = text.find('\n');
    if (end == std::string::npos || text.compare(0, head, kSeal) != 0 || end != head + 17 || text[end - 1] != '"')
        return false;
    return text.compare(head, 16, hash_text(std::string_view(text).substr(end + 1))) == 0;
}

// Whether `name` is a plain file name of the point's directory that a run
// may have made (not its parameters, nor its lock, nor a path elsewhere).
bool run_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name != kParameters && name != kLock;
}

// Removes what an earlier run of this point made, its record first: the
// files its record lists (when the record is intact), its console and the
// temporary files a run killed outright left. Nothing else is touched.
void clear_earlier_run(const fs::path& dir) {
    std::vector<std::string> made = {kConsole, std::string(kRecord) + ".part"};
    std::string error;
    if (seal_holds(dir / kRecord))
        if (const auto earlier = read_record(dir / kRecord, error))
            for (const FileRecord& f : earlier->files) made.push_back(f.name);
    std::error_code ec;
    fs::remove(dir / kRecord, ec);
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() > 6 && name[0] == '.' && (name.ends_with(".part") || name.ends_with(".keep")))
            made.push_back(name);
    }
    for (const std::string& name : made)
        if (run_file_name(name) && fs::is_regular_file(dir / name, ec)) fs::remove(dir / name, ec);
    fs::remove_all(dir / kConvergeScratch, ec);
}

}  // namespace

std::string point_text(const Definition& d, const Point& p) {
    toml::table t;
    t.insert("link", d.link);
    t.insert("link_fnv1a", d.link_hash);
    t.insert("directory", d.directory);
    toml::array sets;
    for (const std::string& s : p.sets) sets.push_back(s);
    t.insert("set", std::move(sets));
    t.insert("seed", p.seed);
    toml::table values;
    for (std::size_t k = 0; k < d.varies.size() && k < p.values.size(); ++k) values.insert(d.varies[k].name, p.values[k]);
    t.insert("values", std::move(values));
    put_converge(t, d.converge);
    std::string command = "nodrix run " + shell_word(d.link) + " -simulate";
    std::string check = "nodrix converge " + shell_word(d.link);
    for (const std::string& s : p.sets) {
        command += " -set " + shell_word(s);
        check += " -set " + shell_word(s);
    }
    char options[64];
    std::snprintf(options, sizeof options, " --factor %.9g --tolerance %.9g", d.converge.factor, d.converge.tolerance_db);
    std::ostringstream out;
    out << "# Point " << p.number << " of a sweep: the link and the changes it runs with, in order.\n"
        << "# The same run by hand, from " << shell_word(d.directory) << ":\n#   " << command << "\n";
    if (d.converge.on) out << "# and its convergence check:\n#   " << check << options << "\n";
    out << t << "\n";
    return out.str();
}

std::string record_text(const ResultRecord& r) {
    toml::table t;
    t.insert("status", r.done ? "done" : "failed");
    t.insert("exit_status", r.exit_status);
    t.insert("message", r.message);
    t.insert("wall_time_s", r.wall_time_s);
    t.insert("parameters_fnv1a", r.parameters_hash);
    t.insert("program_fnv1a", r.program_hash);
    toml::array channels;
    for (const ChannelRecord& c : r.channels) {
        toml::table ct;
        ct.insert("estimator", c.estimator);
        ct.insert("channel", c.channel);
        ct.insert("frequency_thz", c.frequency_thz);
        ct.insert("state", c.state);
        put(ct, "power_dbm", c.power_dbm);
        put(ct, "ber_optimal", c.ber_optimal);
        put(ct, "q_optimal_db", c.q_optimal_db);
        put(ct, "ber_relative", c.ber_relative);
        put(ct, "q_relative_db", c.q_relative_db);
        put(ct, "ber_fixed", c.ber_fixed);
        put(ct, "q_fixed_db", c.q_fixed_db);
        put(ct, "q_eye", c.q_eye);
        put(ct, "ser", c.ser);
        if (!c.eye_q_db.empty()) {
            toml::array eyes;
            for (const double q : c.eye_q_db) eyes.push_back(q);
            ct.insert("eye_q_db", std::move(eyes));
        }
        put_count(ct, "bits_observed", c.bits_observed);
        put_count(ct, "bits_requested", c.bits_requested);
        if (!c.remarks.empty()) ct.insert("remarks", c.remarks);
        channels.push_back(std::move(ct));
    }
    t.insert("channel", std::move(channels));
    toml::array meters;
    for (const MeterRecord& m : r.meters) {
        toml::table mt;
        mt.insert("id", m.id);
        mt.insert("label", m.label);
        put(mt, "power_dbm", m.dbm);
        put_count(mt, "samples_observed", m.samples_observed);
        put_count(mt, "samples_requested", m.samples_requested);
        meters.push_back(std::move(mt));
    }
    t.insert("meter", std::move(meters));
    put_osnr(t, r.osnr);
    if (r.convergence) {
        toml::table ct{{"factor", r.convergence->factor},
                       {"tolerance_db", r.convergence->tolerance_db},
                       {"verdict", r.convergence->converged ? "converged" : "not converged"}};
        put(ct, "power_change_db", r.convergence->power_change_db);
        put(ct, "q_eye_change_db", r.convergence->q_eye_change_db);
        t.insert("convergence", std::move(ct));
    }
    toml::array files;
    for (const FileRecord& f : r.files) {
        toml::table ft;
        ft.insert("name", f.name);
        ft.insert("size", static_cast<std::int64_t>(f.size));
        ft.insert("fnv1a", f.hash);
        files.push_back(std::move(ft));
    }
    t.insert("file", std::move(files));
    std::ostringstream out;
    out << "# The record of a point's run, written when it ended.\n" << t << "\n";
    return out.str();
}

std::optional<ResultRecord> read_record(const fs::path& file, std::string& error) {
    toml::table t;
    try {
        t = toml::parse_file(file.string());
    } catch (const toml::parse_error& e) {
        error = std::string(e.description());
        return std::nullopt;
    }
    ResultRecord r;
    const auto status = t["status"].value<std::string>();
    const auto exit_status = t["exit_status"].value<std::int64_t>();
    const auto message = t["message"].value<std::string>();
    const auto wall = get(t, "wall_time_s");
    const auto params = t["parameters_fnv1a"].value<std::string>();
    const auto program = t["program_fnv1a"].value<std::string>();
    const toml::array* channels = t["channel"].as_array();
    const toml::array* meters = t["meter"].as_array();
    const toml::array* files = t["file"].as_array();
    if (!status || (*status != "done" && *status != "failed") || !exit_status || !message || !wall || !params || !program ||
        channels == nullptr || meters == nullptr || files == nullptr) {
        error = "a setting is missing or of the wrong type";
        return std::nullopt;
    }
    r.done = *status == "done";
    r.exit_status = static_cast<int>(*exit_status);
    r.message = *message;
    r.wall_time_s = *wall;
    r.parameters_hash = *params;
    r.program_hash = *program;
    r.osnr = get_osnr(t);
    if (const toml::table* ct = t["convergence"].as_table()) {
        const auto verdict = (*ct)["verdict"].value<std::string>();
        r.convergence = ConvergenceRecord{get(*ct, "factor").value_or(0.0), get(*ct, "tolerance_db").value_or(0.0),
                                          verdict == "converged", get(*ct, "power_change_db"),
                                          get(*ct, "q_eye_change_db")};
    }
    for (const toml::node& n : *channels) {
        const toml::table* ct = n.as_table();
        if (ct == nullptr) continue;
        ChannelRecord c;
        c.estimator = static_cast<std::int32_t>((*ct)["estimator"].value_or(std::int64_t{0}));
        c.channel = static_cast<int>((*ct)["channel"].value_or(std::int64_t{0}));
        c.frequency_thz = get(*ct, "frequency_thz").value_or(0.0);
        c.state = (*ct)["state"].value_or(std::string());
        c.power_dbm = get(*ct, "power_dbm");
        c.ber_optimal = get(*ct, "ber_optimal");
        c.q_optimal_db = get(*ct, "q_optimal_db");
        c.ber_relative = get(*ct, "ber_relative");
        c.q_relative_db = get(*ct, "q_relative_db");
        c.ber_fixed = get(*ct, "ber_fixed");
        c.q_fixed_db = get(*ct, "q_fixed_db");
        c.q_eye = get(*ct, "q_eye");
        c.ser = get(*ct, "ser");
        if (const toml::array* eyes = (*ct)["eye_q_db"].as_array())
            for (const toml::node& q : *eyes) c.eye_q_db.push_back(q.value_or(0.0));
        c.bits_observed = get_count(*ct, "bits_observed");
        c.bits_requested = get_count(*ct, "bits_requested");
        c.remarks = (*ct)["remarks"].value_or(std::string());
        r.channels.push_back(std::move(c));
    }
    for (const toml::node& n : *meters) {
        const toml::table* mt = n.as_table();
        if (mt == nullptr) continue;
        r.meters.push_back(MeterRecord{static_cast<std::int32_t>((*mt)["id"].value_or(std::int64_t{0})),
                                       (*mt)["label"].value_or(std::string()), get(*mt, "power_dbm"),
                                       get_count(*mt, "samples_observed"), get_count(*mt, "samples_requested")});
    }
    for (const toml::node& n : *files) {
        const toml::table* ft = n.as_table();
        const auto name = ft != nullptr ? (*ft)["name"].value<std::string>() : std::nullopt;
        const auto size = ft != nullptr ? (*ft)["size"].value<std::int64_t>() : std::nullopt;
        const auto hash = ft != nullptr ? (*ft)["fnv1a"].value<std::string>() : std::nullopt;
        if (!name || !size || !hash || *size < 0) {
            error = "a [[file]] is missing a setting";
            return std::nullopt;
        }
        r.files.push_back(FileRecord{*name, static_cast<std::uintmax_t>(*size), *hash});
    }
    return r;
}

bool write_record(const fs::path& dir, const ResultRecord& r) {
    const std::string text = sealed(record_text(r));
    const fs::path temp = dir / (std::string(kRecord) + ".part");
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t w = ::write(fd, text.data() + done, text.size() - done);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
    }
    // On the disk before it is renamed: the record never announces what a
    // crash could still lose.
    const bool ok = done == text.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || std::rename(temp.c_str(), (dir / kRecord).c_str()) != 0) {
        std::error_code ec;
        fs::remove(temp, ec);
        return false;
    }
    return true;
}

PointStatus check_point(const fs::path& dir) {
    PointStatus s;
    const auto params = hash_file(dir / kParameters);
    if (!params) {
        s.message = std::string("no parameters (") + kParameters + " missing)";
        return s;
    }
    std::error_code ec;
    if (!fs::exists(dir / kRecord, ec)) {
        s.message = fs::exists(dir / kConsole, ec) ? "the run did not finish: no result (its console text is in " +
                                                         (dir / kConsole).string() + ")"
                                                   : "not run";
        return s;
    }
    if (!seal_holds(dir / kRecord)) {
        s.message = "its result record was changed after the run (its checksum " +
                    std::string(kSeal).substr(0, 12) + " does not match)";
        return s;
    }
    std::string error;
    s.record = read_record(dir / kRecord, error);
    if (!s.record) {
        s.message = "its result record cannot be read: " + error;
        return s;
    }
    if (s.record->parameters_hash != *params) {
        s.message = "its result is of other parameters than those in " + std::string(kParameters);
        return s;
    }
    if (s.record->program_hash != program_hash()) {
        s.message = "it was run by another build of nodrix";
        return s;
    }
    if (!s.record->done) {
        s.state = PointState::failed;
        s.message = s.record->message.empty() ? "exit status " + std::to_string(s.record->exit_status)
                                              : s.record->message;
        return s;
    }
    for (const FileRecord& f : s.record->files) {
        const fs::path p = dir / f.name;
        if (!fs::is_regular_file(p, ec)) {
            s.message = "its result file " + f.name + " is missing";
            return s;
        }
        if (fs::file_size(p, ec) != f.size || hash_file(p) != f.hash) {
            s.message = "its result file " + f.name + " changed since the run";
            return s;
        }
    }
    s.state = PointState::complete;
    return s;
}

const std::string& program_hash() {
    static const std::string hash = hash_file("/proc/self/exe").value_or("unknown");
    return hash;
}

bool record_failure(const fs::path& dir, int exit_status, const std::string& message, double wall_time_s) {
    const auto params = hash_file(dir / kParameters);
    if (!params) return false;
    ResultRecord r;
    r.exit_status = exit_status;
    r.message = message;
    r.wall_time_s = wall_time_s;
    r.parameters_hash = *params;
    r.program_hash = program_hash();
    r.files = run_files(dir, {});
    return write_record(dir, r);
}

namespace {

// What point.toml says a point runs with.
struct PointParameters {
    std::string text;  // the file's bytes
    std::string link, link_hash, directory;
    std::vector<std::string> sets;
    ConvergeCheck converge;
};

std::optional<PointParameters> read_parameters(const fs::path& file) {
    PointParameters p;
    toml::table t;
    try {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw std::runtime_error("no such file");
        std::ostringstream s;
        s << in.rdbuf();
        p.text = s.str();
        t = toml::parse(p.text, file.string());
    } catch (const std::exception& e) {
        opxerr("nodrix sweep --point: cannot read " + file.string() + ": " + e.what());
        return std::nullopt;
    }
    const auto link = t["link"].value<std::string>();
    const auto link_hash = t["link_fnv1a"].value<std::string>();
    const auto directory = t["directory"].value<std::string>();
    bool sets_ok = t["set"].as_array() != nullptr;
    if (sets_ok)
        for (const toml::node& n : *t["set"].as_array()) {
            const auto s = n.value<std::string>();
            sets_ok = sets_ok && s.has_value();
            if (s) p.sets.push_back(*s);
        }
    if (!link || !link_hash || !directory || !sets_ok) {
        opxerr("nodrix sweep --point: " + file.string() + " lacks link, link_fnv1a, directory or set");
        return std::nullopt;
    }
    if (!get_converge(t, p.converge)) {
        opxerr("nodrix sweep --point: " + file.string() + ": its converge table needs a factor of at least 1 and a "
               "positive tolerance_db");
        return std::nullopt;
    }
    p.link = *link;
    p.link_hash = *link_hash;
    p.directory = *directory;
    return p;
}

// One process at a time runs a point: a second one stops at once, with the
// error, and touches nothing.
bool lock_point(const fs::path& dir, FileLock& lock) {
    const FileLock::Outcome taken = lock.take((dir / kLock).string());
    if (taken == FileLock::Outcome::taken) return true;
    const std::string holder = lock.holder() > 0 ? " (process " + std::to_string(lock.holder()) + ")" : "";
    opxerr("nodrix sweep --point: " +
           (taken == FileLock::Outcome::held_by_another
                ? dir.string() + " is being run by another process" + holder + "; a point runs once at a time"
                : "cannot take the lock " + (dir / kLock).string() + ": " + std::strerror(lock.error())));
    return false;
}

// One thread per point, and FFT plans that do not depend on timing (the
// wisdom named by BNLIB, or else FFTW's estimate), so that a point gives the
// same numbers wherever and beside whatever it runs.
void same_numbers_everywhere() {
    ::setenv("NODRIX_THREADS", "1", 1);
    if (std::getenv("BNLIB") == nullptr && std::getenv("NODRIX_FFT_PLANS") == nullptr)
        ::setenv("NODRIX_FFT_PLANS", "estimate", 1);
}

std::vector<LinkOverride> overrides_of(const PointParameters& point) {
    std::vector<LinkOverride> overrides;
    for (const std::string& s : point.sets)
        if (const auto o = parse_override(s)) overrides.push_back(*o);
    return overrides;
}

// The convergence check of a point whose run is done: the refined plan, and
// an aligned run of the plan when the alignment delays a fibre of the plan
// (else the point's own run stands for it), made in a scratch directory of
// the point that goes when they end, with their console. The point's files
// stay those of its own run. A run that does not complete fails the point,
// naming it. Returns the signal that stopped the check, or 0.
int check_convergence(const PointParameters& point, const fs::path& dir, const RunResults& results, ResultRecord& r) {
    std::error_code ec;
    const fs::path scratch = dir / kConvergeScratch;
    fs::remove_all(scratch, ec);
    fs::create_directories(scratch, ec);
    const std::vector<LinkOverride> overrides = overrides_of(point);
    std::optional<Link> given;
    if (fs::current_path(point.directory, ec), !ec) given = load_link_file(point.link, overrides);
    fs::current_path(dir, ec);
    std::vector<ConvergenceFigures> plan;
    for (const ChannelResult& c : results.channels) plan.push_back(figures_of(c));
    ConvergenceOutcome runs;
    runs.failed = "loading the link again";
    if (given)
        runs = run_convergence(*given,
                               ConvergenceRuns{point.link, overrides, point.converge.factor, point.directory,
                                               scratch, scratch / kConsole, "--converge-factor"},
                               &plan);
    const std::string said = first_error(scratch / kConsole);
    fs::remove_all(scratch, ec);
    if (runs.stop != 0) return runs.stop;
    if (!runs.plan || !runs.refined) {
        r.done = false;
        r.exit_status = 1;
        r.message = "convergence check: " + runs.failed + " did not complete" + (said.empty() ? "" : ": " + said);
        return 0;
    }
    const ConvergenceVerdict v =
        judge(compare_runs(*runs.plan, *runs.refined, point.converge.tolerance_db));
    r.convergence = ConvergenceRecord{point.converge.factor, point.converge.tolerance_db, v.converged,
                                      v.power_change_db, v.q_change_db};
    return 0;
}

}  // namespace

int run_point(const fs::path& given) {
    const auto started = std::chrono::steady_clock::now();
    const fs::path dir = fs::absolute(given);
    const std::optional<PointParameters> point = read_parameters(dir / kParameters);
    if (!point) return 1;
    const std::string& link = point->link;
    const std::string& directory = point->directory;
    FileLock lock;
    if (!lock_point(dir, lock)) return 1;
    stop_point("point-locked");
    // What an earlier run made goes, the record first: from here on the point
    // is incomplete until its new record is in place.
    clear_earlier_run(dir);
    std::error_code ec;
    const int saved_err = ::dup(2);
    const int console = ::open((dir / kConsole).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (console < 0) {
        opxerr("nodrix sweep --point: cannot write " + (dir / kConsole).string());
        return 1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(console, 1);
    ::dup2(console, 2);
    ::close(console);
    same_numbers_everywhere();

    RunResults results;
    std::vector<OsnrMeterResult> osnr;
    int status = 1;
    if (hash_file(link) != point->link_hash) {
        opxerr("the link file " + link + " changed since the sweep was prepared; run the sweep again in a new directory");
    } else {
        std::optional<Link> loaded;
        fs::current_path(directory, ec);
        if (ec)
            opxerr("Cannot enter " + directory + ", where the sweep was started: " + ec.message());
        else
            loaded = load_link_file(link, overrides_of(*point));
        fs::current_path(dir, ec);
        if (loaded && !ec)
            status = run_link(std::move(*loaded), RunSettings{true, true, 0}, [&](const LinkSchedule& s, int st) {
                if (st == 3) return;
                results = run_results(s);
                osnr = osnr_results(s);
                std::fputs(simulation_summary(s).c_str(), stdout);
            });
    }
    std::fflush(stdout);
    std::fflush(stderr);
    // The point's own run; a convergence check's runs are not counted.
    const double wall_time_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    ResultRecord r;
    r.done = status == 0;
    r.exit_status = status;
    if (!r.done) {
        r.message = first_error(dir / kConsole);
        if (r.message.empty()) r.message = "exit status " + std::to_string(status);
    }
    r.parameters_hash = hash_text(point->text);
    r.program_hash = program_hash();
    for (const ChannelResult& c : results.channels) r.channels.push_back(channel_record(c));
    for (const MeterResult& m : results.meters) r.meters.push_back(meter_record(m));
    r.osnr = osnr_records(osnr);
    if (r.done && point->converge.on)
        if (const int stop = check_convergence(*point, dir, results, r); stop != 0) return 128 + stop;
    r.files = run_files(dir, files_put_in_place());
    r.wall_time_s = wall_time_s;
    if (!write_record(dir, r)) {
        const std::string what = "nodrix sweep --point: cannot write " + (dir / kRecord).string() + "\n";
        if (saved_err >= 0 && ::write(saved_err, what.data(), what.size()) < 0) {
        }
        return 1;
    }
    return r.done ? 0 : 1;
}

}  // namespace nodrix::sweep

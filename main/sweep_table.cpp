#include "main/sweep_table.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "project/observation.h"
#include "runtime/opxfile.h"
#include "tools/chart_plot.h"
#include "tools/gnuplot_run.h"
#include "tools/output_file.h"

namespace nodrix::sweep {
namespace {

namespace fs = std::filesystem;

// The numbers of one channel in the table, after its prefix.
const char* const kChannelColumns[] = {"power_dbm",  "ber_optimal", "q_optimal_db", "ber_relative",
                                       "q_relative_db", "ber_fixed",  "q_fixed_db",   "q_eye",
                                       "q_eye_db",   "bits_observed"};
constexpr std::size_t kChannelColumnCount = std::size(kChannelColumns);
constexpr std::size_t kQEyeDb = 8;  // index of q_eye_db among them

std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (const char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

// The channels of a sweep: every estimator met in the points' records, in
// order, with the prefix of its columns.
struct ChannelColumn {
    std::int32_t estimator = 0;
    int channel = 0;
    double frequency_thz = 0.0;
    std::string prefix;
};
struct MeterColumn {
    std::int32_t id = 0;
};
// An OSNR meter's channel: the column osnrID_chN_db.
struct OsnrColumn {
    std::int32_t meter = 0;
    int channel = 0;
    std::string name() const { return "osnr" + std::to_string(meter) + "_ch" + std::to_string(channel) + "_db"; }
};
struct Layout {
    std::vector<ChannelColumn> channels;
    std::vector<MeterColumn> meters;
    std::vector<OsnrColumn> osnr;
};

// The OSNR columns a record adds to the layout, and its values in them.
void add_osnr_columns(Layout& l, const ResultRecord& r) {
    for (const OsnrRecord& o : r.osnr) {
        bool seen = false;
        for (const OsnrColumn& k : l.osnr) seen = seen || (k.meter == o.meter && k.channel == o.channel);
        if (!seen) l.osnr.push_back(OsnrColumn{o.meter, o.channel});
    }
}
void append_osnr(const Layout& l, const ResultRecord* r, std::vector<std::optional<double>>& n) {
    for (const OsnrColumn& k : l.osnr) {
        std::optional<double> v;
        if (r != nullptr)
            for (const OsnrRecord& o : r->osnr)
                if (o.meter == k.meter && o.channel == k.channel) v = o.osnr_db;
        n.push_back(v);
    }
}

Layout layout_of(const std::vector<PointStatus>& status) {
    Layout l;
    for (const PointStatus& s : status) {
        if (!s.record) continue;
        for (const ChannelRecord& c : s.record->channels) {
            bool seen = false;
            for (const ChannelColumn& k : l.channels) seen = seen || k.estimator == c.estimator;
            if (!seen) l.channels.push_back(ChannelColumn{c.estimator, c.channel, c.frequency_thz, ""});
        }
        for (const MeterRecord& m : s.record->meters) {
            bool seen = false;
            for (const MeterColumn& k : l.meters) seen = seen || k.id == m.id;
            if (!seen) l.meters.push_back(MeterColumn{m.id});
        }
        add_osnr_columns(l, *s.record);
    }
    for (ChannelColumn& c : l.channels) {
        int same = 0;
        for (const ChannelColumn& k : l.channels) same += k.channel == c.channel ? 1 : 0;
        const std::string e = "e" + std::to_string(c.estimator) + "_";
        c.prefix = c.channel == 0 ? e : "ch" + std::to_string(c.channel) + "_" + (same > 1 ? e : "");
    }
    return l;
}

const ChannelRecord* find_channel(const ResultRecord& r, std::int32_t estimator) {
    for (const ChannelRecord& c : r.channels)
        if (c.estimator == estimator) return &c;
    return nullptr;
}

std::optional<double> q_db(const std::optional<double>& q) {
    if (!q || *q <= 0.0) return std::nullopt;
    return 20.0 * std::log10(*q);
}

using Numbers = std::vector<std::optional<double>>;

// The numbers of a point's row: wall time, the channels' values, the meters'.
// A point that did not complete has its wall time at most.
Numbers numbers_of(const Layout& l, const PointStatus& s) {
    Numbers n;
    n.push_back(s.record ? std::optional<double>(s.record->wall_time_s) : std::nullopt);
    const bool done = s.state == PointState::complete;
    for (const ChannelColumn& k : l.channels) {
        const ChannelRecord* c = done ? find_channel(*s.record, k.estimator) : nullptr;
        if (c == nullptr) {
            n.insert(n.end(), kChannelColumnCount, std::nullopt);
            continue;
        }
        const std::optional<double> bits =
            c->bits_observed ? std::optional<double>(static_cast<double>(*c->bits_observed)) : std::nullopt;
        for (const auto& v : {c->power_dbm, c->ber_optimal, c->q_optimal_db, c->ber_relative, c->q_relative_db,
                              c->ber_fixed, c->q_fixed_db, c->q_eye, q_db(c->q_eye), bits})
            n.push_back(v);
    }
    for (const MeterColumn& k : l.meters) {
        std::optional<double> v;
        if (done)
            for (const MeterRecord& m : s.record->meters)
                if (m.id == k.id) v = m.dbm;
        n.push_back(v);
    }
    append_osnr(l, done ? &*s.record : nullptr, n);
    return n;
}

// Why a completed point lacks some channel's values, and what observed
// less than it asked for.
std::string channel_notes(const Layout& l, const PointStatus& s) {
    std::string notes;
    auto note = [&](const std::string& what) { notes += (notes.empty() ? "" : "; ") + what; };
    for (const ChannelColumn& k : l.channels) {
        const ChannelRecord* c = find_channel(*s.record, k.estimator);
        const std::string name = k.prefix.substr(0, k.prefix.size() - 1);
        if (c != nullptr && c->state != "measured") note(name + ": " + c->state);
        if (c != nullptr && c->partial()) note(name + ": " + c->remarks);
    }
    for (const MeterRecord& m : s.record->meters)
        if (m.partial())
            note("meter" + std::to_string(m.id) + ": " +
                 coverage_mark(ObservationCoverage{ObservationUnit::samples, *m.samples_requested, *m.samples_observed}));
    return notes;
}

// A completed point some of whose measurements observed less than they asked for.
bool partial(const PointStatus& s) {
    if (s.state != PointState::complete || !s.record) return false;
    for (const ChannelRecord& c : s.record->channels)
        if (c.partial()) return true;
    for (const MeterRecord& m : s.record->meters)
        if (m.partial()) return true;
    return false;
}

// Mean and standard deviation (n - 1) of each number over rows.
std::pair<Numbers, Numbers> mean_and_spread(const std::vector<Numbers>& rows, std::size_t width) {
    Numbers mean(width);
    Numbers spread(width);
    for (std::size_t c = 0; c < width; ++c) {
        std::vector<double> v;
        for (const Numbers& r : rows)
            if (c < r.size() && r[c]) v.push_back(*r[c]);
        if (v.empty()) continue;
        double m = 0.0;
        for (double x : v) m += x;
        m /= static_cast<double>(v.size());
        mean[c] = m;
        if (v.size() < 2) continue;
        double ss = 0.0;
        for (double x : v) ss += (x - m) * (x - m);
        spread[c] = std::sqrt(ss / static_cast<double>(v.size() - 1));
    }
    return {mean, spread};
}

const char* state_word(PointState s) {
    switch (s) {
        case PointState::complete: return "done";
        case PointState::failed: return "failed";
        case PointState::incomplete: return "incomplete";
    }
    return "";
}

// Groups of points that differ only in their seed, in order.
std::vector<std::vector<std::size_t>> seed_groups(const std::vector<Point>& points) {
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t k = 0; k < points.size(); ++k) {
        if (points[k].seed == 0 || groups.empty()) groups.emplace_back();
        groups.back().push_back(k);
    }
    return groups;
}

std::optional<double> as_number(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

// Draws the plot with gnuplot (NODRIX_GNUPLOT names another program) and
// writes the image into `output` through a new file beside it.
bool draw(const Definition& d, const std::vector<Point>& points, const std::vector<PointStatus>& status,
          const fs::path& output) {
    const char* named = std::getenv("NODRIX_GNUPLOT");
    const std::string program = named != nullptr && named[0] != '\0' ? named : "gnuplot";
    const chart::PlotFormat format = chart::plot_format_for(output.string());
    const chart::GnuplotRun run = chart::run_gnuplot(program, plot_script(d, points, status, output.string()));
    std::string why = chart::drawing_fault(run, program, format);
    if (why.empty() && !write_whole_file(output.string(), run.output, why)) why = "cannot write it: " + why;
    if (why.empty()) return true;
    std::string lines;
    std::istringstream in(run.messages);
    for (std::string line; std::getline(in, line);)
        if (line.find_first_not_of(" \t\r^") != std::string::npos) lines += "\n  " + line;
    opxerr("nodrix sweep: cannot draw " + output.string() + ": " + why + lines);
    return false;
}

}  // namespace

std::string cell(const std::optional<double>& v) {
    if (!v || std::isnan(*v)) return "";
    if (std::isinf(*v)) return *v > 0 ? "inf" : "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", *v);
    return buf;
}

std::string table_csv(const Definition& d, const std::vector<Point>& points, const std::vector<PointStatus>& status) {
    const Layout l = layout_of(status);
    const bool seeds = d.seeds > 1;
    std::string out = "point";
    for (const Vary& v : d.varies) out += "," + csv_field(v.name);
    if (seeds) out += ",seed";
    out += ",status,wall_time_s";
    for (const ChannelColumn& c : l.channels)
        for (const char* name : kChannelColumns) out += "," + c.prefix + name;
    for (const MeterColumn& m : l.meters) out += ",meter" + std::to_string(m.id) + "_dbm";
    for (const OsnrColumn& o : l.osnr) out += "," + o.name();
    out += ",message\n";
    auto row = [&](const std::string& point, const std::vector<std::string>& values, const std::string& seed,
                   const std::string& state, const Numbers& numbers, const std::string& message) {
        std::string r = point;
        for (const std::string& v : values) r += "," + csv_field(v);
        if (seeds) r += "," + seed;
        r += "," + state;
        for (const auto& n : numbers) r += "," + cell(n);
        return r + "," + csv_field(message) + "\n";
    };
    for (const std::vector<std::size_t>& group : seed_groups(points)) {
        std::vector<Numbers> done;
        for (std::size_t k : group) {
            const PointStatus& s = status[k];
            const Numbers n = numbers_of(l, s);
            std::string message = s.message;
            if (s.state == PointState::complete) {
                done.push_back(n);
                message = channel_notes(l, s);
            }
            out += row(point_name(points[k].number), points[k].values, std::to_string(points[k].seed),
                       partial(s) ? "partial" : state_word(s.state), n, message);
        }
        if (!seeds) continue;
        const std::size_t width = 1 + l.channels.size() * kChannelColumnCount + l.meters.size() + l.osnr.size();
        const auto [mean, spread] = mean_and_spread(done, width);
        const std::string over =
            "over " + std::to_string(done.size()) + " of " + std::to_string(group.size()) + " seeds";
        out += row("", points[group[0]].values, "mean", "", mean, over);
        out += row("", points[group[0]].values, "spread", "", spread, over);
    }
    return out;
}

std::string plot_script(const Definition& d, const std::vector<Point>& points, const std::vector<PointStatus>& status,
                        const std::string& output) {
    if (d.varies.empty()) return "";
    const Layout l = layout_of(status);
    if (l.channels.empty()) return "";
    const Vary& first = d.varies[0];
    // X: the first parameter's values when they are all numbers, else their ordinals, labelled.
    bool numeric = true;
    for (const std::string& v : first.values) numeric = numeric && as_number(v).has_value();
    chart::Plot plot;
    plot.kind = chart::PlotKind::kXY;
    plot.title = d.name + ": eye Q against " + first.name +
                 (d.seeds > 1 ? " (mean and spread over " + std::to_string(d.seeds) + " seeds)" : "");
    if (l.channels.size() == 1 && d.varies.size() > 1 && !d.zip) {
        char freq[32];
        std::snprintf(freq, sizeof freq, "%.2f THz", l.channels[0].frequency_thz);
        plot.title += l.channels[0].channel > 0 ? ", channel " + std::to_string(l.channels[0].channel) + " (" + freq + ")"
                                                : ", estimator " + std::to_string(l.channels[0].estimator);
    }
    plot.key_below = true;
    plot.x_label = first.unit.empty() ? first.name : first.name + " [" + first.unit + "]";
    plot.y_label = "eye Q [dB]";
    plot.log_x = numeric && log_range(first.written);
    if (!numeric) {
        for (std::size_t k = 0; k < first.values.size(); ++k)
            plot.x_tics.emplace_back(static_cast<double>(k + 1), first.values[k]);
        plot.x_range_set = true;  // half a step of room at both ends
        plot.x_min = 0.5;
        plot.x_max = static_cast<double>(first.values.size()) + 0.5;
    }
    auto x_of = [&](const std::string& value) {
        if (numeric) return *as_number(value);
        for (std::size_t k = 0; k < first.values.size(); ++k)
            if (first.values[k] == value) return static_cast<double>(k + 1);
        return std::nan("");
    };
    // One line per channel and combination of the other parameters' values
    // (with zip, the values move together: one line per channel).
    for (std::size_t ci = 0; ci < l.channels.size(); ++ci) {
        const ChannelColumn& c = l.channels[ci];
        std::map<std::vector<std::string>, std::size_t> line_of;
        std::vector<chart::PlotSeries> lines;
        for (const std::vector<std::size_t>& group : seed_groups(points)) {
            const Point& p = points[group[0]];
            const std::vector<std::string> others =
                d.zip ? std::vector<std::string>{} : std::vector<std::string>(p.values.begin() + 1, p.values.end());
            auto [at, added] = line_of.emplace(others, lines.size());
            if (added) {
                char freq[32];
                std::snprintf(freq, sizeof freq, " (%.2f THz)", c.frequency_thz);
                std::string title = c.channel > 0 ? "channel " + std::to_string(c.channel) + freq
                                                  : "estimator " + std::to_string(c.estimator);
                if (l.channels.size() == 1 && !others.empty()) title.clear();  // the plot's title names it
                for (std::size_t k = 0; k < others.size(); ++k)
                    title += (title.empty() ? "" : ", ") + d.varies[k + 1].name + "=" + others[k];
                lines.push_back(chart::PlotSeries{title, {chart::PlotTrace{}}});
            }
            std::vector<Numbers> done;
            for (std::size_t k : group)
                if (status[k].state == PointState::complete) done.push_back(numbers_of(l, status[k]));
            const std::size_t column = 1 + ci * kChannelColumnCount + kQEyeDb;
            const auto [mean, spread] = mean_and_spread(done, column + 1);
            chart::PlotTrace& t = lines[at->second].traces[0];
            t.x.push_back(x_of(p.values[0]));
            t.y.push_back(mean[column] ? *mean[column] : std::nan(""));
            if (d.seeds > 1) t.dy.push_back(spread[column] ? *spread[column] : 0.0);
        }
        for (chart::PlotSeries& s : lines) plot.series.push_back(std::move(s));
    }
    return chart::gnuplot_script(plot, chart::plot_format_for(output));
}

bool write_results(const fs::path& dir, const Definition& d, const std::vector<Point>& points,
                   const std::vector<PointStatus>& status) {
    std::string why;
    if (!write_whole_file((dir / "sweep.csv").string(), table_csv(d, points, status), why)) {
        opxerr("nodrix sweep: cannot write " + (dir / "sweep.csv").string() + ": " + why);
        return false;
    }
    if (plot_script(d, points, status, "x.png").empty()) return true;  // nothing to draw
    bool ok = true;
    for (const char* image : {"sweep.png", "sweep.svg"}) ok = draw(d, points, status, dir / image) && ok;
    return ok;
}

}  // namespace nodrix::sweep

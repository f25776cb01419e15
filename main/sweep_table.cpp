#include "main/sweep_table.h"

#include <algorithm>
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
    // Channels of multi-level estimators: their SER and eyes' Q after the
    // meters, as many eyes as the most any point reports.
    std::vector<const ChannelColumn*> multilevel;
    std::size_t eyes = 0;
    std::vector<OsnrColumn> osnr;
    bool convergence = false;  // the points judge their step plans: the columns kConvergenceColumns
};

// The largest changes of a point's convergence check, after the other numbers,
// and its verdict, before the message.
const char* const kConvergenceColumns[] = {"power_change_db", "q_eye_change_db"};
const char* const kVerdictColumn = "convergence";

const char* const kEyeNames[][3] = {{"", "", ""}, {"q_single_db", "", ""}, {"", "", ""},
                                    {"q_lower_db", "q_middle_db", "q_upper_db"}};

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

Layout layout_of(const Definition& d, const std::vector<PointStatus>& status) {
    Layout l;
    l.convergence = d.converge.on;
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
    for (const PointStatus& s : status) {
        if (!s.record) continue;
        for (const ChannelRecord& c : s.record->channels)
            if (c.ser) l.eyes = std::max(l.eyes, std::min<std::size_t>(c.eye_q_db.size(), 3));
    }
    for (ChannelColumn& c : l.channels) {
        int same = 0;
        for (const ChannelColumn& k : l.channels) same += k.channel == c.channel ? 1 : 0;
        const std::string e = "e" + std::to_string(c.estimator) + "_";
        c.prefix = c.channel == 0 ? e : "ch" + std::to_string(c.channel) + "_" + (same > 1 ? e : "");
    }
    for (const PointStatus& s : status)
        for (const ChannelColumn& k : l.channels)
            if (s.record && std::find(l.multilevel.begin(), l.multilevel.end(), &k) == l.multilevel.end())
                for (const ChannelRecord& c : s.record->channels)
                    if (c.estimator == k.estimator && c.ser) l.multilevel.push_back(&k);
    return l;
}

const ChannelRecord* find_channel(const ResultRecord& r, std::int32_t estimator) {
    for (const ChannelRecord& c : r.channels)
        if (c.estimator == estimator) return &c;
    return nullptr;
}

// The names of the numbers of a row (numbers_of), after the status.
std::vector<std::string> number_names(const Layout& l) {
    std::vector<std::string> names{"wall_time_s"};
    for (const ChannelColumn& c : l.channels)
        for (const char* name : kChannelColumns) names.push_back(c.prefix + name);
    for (const MeterColumn& m : l.meters) names.push_back("meter" + std::to_string(m.id) + "_dbm");
    for (const ChannelColumn* c : l.multilevel) {
        names.push_back(c->prefix + "ser");
        for (std::size_t e = 0; e < l.eyes; ++e) names.push_back(c->prefix + kEyeNames[l.eyes][e]);
    }
    for (const OsnrColumn& o : l.osnr) names.push_back(o.name());
    if (l.convergence) names.insert(names.end(), std::begin(kConvergenceColumns), std::end(kConvergenceColumns));
    return names;
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
    for (const ChannelColumn* k : l.multilevel) {
        const ChannelRecord* c = done ? find_channel(*s.record, k->estimator) : nullptr;
        n.push_back(c != nullptr ? c->ser : std::nullopt);
        for (std::size_t e = 0; e < l.eyes; ++e)
            n.push_back(c != nullptr && e < c->eye_q_db.size() ? std::optional<double>(c->eye_q_db[e]) : std::nullopt);
    }
    append_osnr(l, done ? &*s.record : nullptr, n);
    if (!l.convergence) return n;
    const auto& check = done ? s.record->convergence : std::nullopt;
    n.push_back(check ? check->power_change_db : std::nullopt);
    n.push_back(check ? check->q_eye_change_db : std::nullopt);
    return n;
}

// A point's verdict: "converged" or "not converged"; empty when it was not judged.
std::string verdict_of(const PointStatus& s) {
    if (s.state != PointState::complete || !s.record->convergence) return "";
    return s.record->convergence->converged ? "converged" : "not converged";
}

// The verdict over the seeds that completed (the mean row): converged when
// every one of them is, not converged when one is not.
std::string verdict_over(const std::vector<std::string>& verdicts) {
    std::string over;
    for (const std::string& v : verdicts)
        if (!v.empty()) over = over == "not converged" ? over : v;
    return over;
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

// A power varied in mW (a laser's: the launch power of its channel) has its
// value in dBm in a column of its own beside it, named as the parameter's
// dBm form ("3.power_dbm").
std::string dbm_column(const Vary& v) {
    const std::string mw = ".power_mw";
    if (v.name.size() <= mw.size() || !v.name.ends_with(mw)) return "";
    return v.name.substr(0, v.name.size() - 2) + "dbm";
}

std::optional<double> in_dbm(const std::string& mw) {
    const auto v = as_number(mw);
    if (!v || *v < 0.0) return std::nullopt;
    return 10.0 * std::log10(*v);
}

// A column's number in a point's row: a varied value, its dBm form, or one
// of the numbers; nothing for a text or an empty cell.
std::optional<double> column_number(const Definition& d, const std::vector<std::string>& names, const Numbers& numbers,
                                    const Point& p, const std::string& column) {
    for (std::size_t k = 0; k < d.varies.size() && k < p.values.size(); ++k) {
        if (column == d.varies[k].name) return as_number(p.values[k]);
        if (column == dbm_column(d.varies[k])) return in_dbm(p.values[k]);
    }
    for (std::size_t k = 0; k < names.size() && k < numbers.size(); ++k)
        if (names[k] == column) return numbers[k];
    return std::nullopt;
}

// The table's columns that hold numbers, in order.
std::vector<std::string> numeric_columns(const Definition& d, const Layout& l) {
    std::vector<std::string> out;
    for (const Vary& v : d.varies) {
        out.push_back(v.name);
        if (!dbm_column(v).empty()) out.push_back(dbm_column(v));
    }
    for (const std::string& n : number_names(l)) out.push_back(n);
    return out;
}

std::string joined(const std::vector<std::string>& words) {
    std::string s;
    for (const std::string& w : words) s += (s.empty() ? "" : ", ") + w;
    return s;
}

// The plot's x axis: its column, the varied parameter its lines run along
// (the column's own, else the first), and whether its values are numbers
// (else the texts of that parameter at their ordinals).
struct PlotX {
    std::string column;
    std::size_t along = 0;
    bool numeric = true;
};

PlotX plot_x(const Definition& d) {
    PlotX px;
    const Vary& first = d.varies[0];
    // By default a power in mW is drawn in dBm.
    px.column = !d.x_axis.empty() ? d.x_axis : dbm_column(first).empty() ? first.name : dbm_column(first);
    for (std::size_t k = 0; k < d.varies.size(); ++k)
        if (px.column == d.varies[k].name || px.column == dbm_column(d.varies[k])) px.along = k;
    if (px.column == d.varies[px.along].name)
        for (const std::string& v : d.varies[px.along].values) px.numeric = px.numeric && as_number(v).has_value();
    return px;
}

// "NAME [UNIT]": a varied parameter's unit, dBm, dB or s by the column's name.
std::string column_label(const Definition& d, const std::string& column) {
    for (const Vary& v : d.varies)
        if (column == v.name && !v.unit.empty()) return column + " [" + v.unit + "]";
    if (column.ends_with("_dbm")) return column + " [dBm]";
    if (column.ends_with("_db")) return column + " [dB]";
    if (column == "wall_time_s") return column + " [s]";
    return column;
}

// An axis showing a channel's column also names the channel's frequency:
// "ch3_ber_optimal (192.95 THz)".
std::string axis_label(const Definition& d, const Layout& l, const std::string& column) {
    std::string label = column_label(d, column);
    for (const ChannelColumn& c : l.channels)
        if (c.channel > 0 && column.starts_with(c.prefix)) {
            char freq[32];
            std::snprintf(freq, sizeof freq, " (%.2f THz)", c.frequency_thz);
            return label.insert(column.size(), freq);
        }
    return label;
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
    const Layout l = layout_of(d, status);
    const bool seeds = d.seeds > 1;
    std::string out = "point";
    for (const Vary& v : d.varies) out += "," + csv_field(v.name) + (dbm_column(v).empty() ? "" : "," + dbm_column(v));
    if (seeds) out += ",seed";
    out += ",status";
    for (const std::string& name : number_names(l)) out += "," + name;
    out += std::string(l.convergence ? "," : "") + (l.convergence ? kVerdictColumn : "") + ",message\n";
    auto row = [&](const std::string& point, const std::vector<std::string>& values, const std::string& seed,
                   const std::string& state, const Numbers& numbers, const std::string& verdict,
                   const std::string& message) {
        std::string r = point;
        for (std::size_t k = 0; k < values.size(); ++k)
            r += "," + csv_field(values[k]) + (dbm_column(d.varies[k]).empty() ? "" : "," + cell(in_dbm(values[k])));
        if (seeds) r += "," + seed;
        r += "," + state;
        for (const auto& n : numbers) r += "," + cell(n);
        if (l.convergence) r += "," + verdict;
        return r + "," + csv_field(message) + "\n";
    };
    for (const std::vector<std::size_t>& group : seed_groups(points)) {
        std::vector<Numbers> done;
        std::vector<std::string> verdicts;
        for (std::size_t k : group) {
            const PointStatus& s = status[k];
            const Numbers n = numbers_of(l, s);
            std::string message = s.message;
            if (s.state == PointState::complete) {
                done.push_back(n);
                verdicts.push_back(verdict_of(s));
                message = channel_notes(l, s);
            }
            out += row(point_name(points[k].number), points[k].values, std::to_string(points[k].seed),
                       partial(s) ? "partial" : state_word(s.state), n, verdict_of(s), message);
        }
        if (!seeds) continue;
        const std::size_t width = number_names(l).size();
        const auto [mean, spread] = mean_and_spread(done, width);
        const std::string over =
            "over " + std::to_string(done.size()) + " of " + std::to_string(group.size()) + " seeds";
        out += row("", points[group[0]].values, "mean", "", mean, verdict_over(verdicts), over);
        out += row("", points[group[0]].values, "spread", "", spread, "", over);
    }
    return out;
}

std::string plot_script(const Definition& d, const std::vector<Point>& points, const std::vector<PointStatus>& status,
                        const std::string& output) {
    if (d.varies.empty()) return "";
    const Layout l = layout_of(d, status);
    // Y: the column asked for, or every channel's eye Q in dB (one line each).
    std::vector<std::pair<std::string, const ChannelColumn*>> ys;
    if (!d.y_axis.empty()) ys.emplace_back(d.y_axis, nullptr);
    for (const ChannelColumn& c : l.channels)
        if (d.y_axis.empty()) ys.emplace_back(c.prefix + kChannelColumns[kQEyeDb], &c);
    if (ys.empty()) return "";
    const PlotX px = plot_x(d);
    const Vary& along = d.varies[px.along];
    chart::Plot plot;
    plot.kind = chart::PlotKind::kXY;
    plot.title = d.name + ": " + (d.y_axis.empty() ? "eye Q" : d.y_axis) + " against " + px.column +
                 (d.seeds > 1 ? " (mean and spread over " + std::to_string(d.seeds) + " seeds)" : "");
    if (l.channels.size() == 1 && d.y_axis.empty() && d.varies.size() > 1 && !d.zip) {
        char freq[32];
        std::snprintf(freq, sizeof freq, "%.2f THz", l.channels[0].frequency_thz);
        plot.title += l.channels[0].channel > 0 ? ", channel " + std::to_string(l.channels[0].channel) + " (" + freq + ")"
                                                : ", estimator " + std::to_string(l.channels[0].estimator);
    }
    plot.key_below = true;
    plot.x_label = axis_label(d, l, px.column);
    plot.y_label = d.y_axis.empty() ? "eye Q [dB]" : axis_label(d, l, d.y_axis);
    plot.log_x = px.numeric && px.column == along.name && log_range(along.written);
    if (!px.numeric) {
        for (std::size_t k = 0; k < along.values.size(); ++k)
            plot.x_tics.emplace_back(static_cast<double>(k + 1), along.values[k]);
        plot.x_range_set = true;  // half a step of room at both ends
        plot.x_min = 0.5;
        plot.x_max = static_cast<double>(along.values.size()) + 0.5;
    }
    const std::vector<std::string> names = number_names(l);
    // x and y of a point: its ordinal among texts, or the columns' numbers.
    auto xy_of = [&](const Point& p, const PointStatus& s, const std::string& y) -> Numbers {
        const Numbers n = numbers_of(l, s);
        std::optional<double> x = column_number(d, names, n, p, px.column);
        if (!px.numeric)
            for (std::size_t k = 0; k < along.values.size(); ++k)
                if (along.values[k] == p.values[px.along]) x = static_cast<double>(k + 1);
        return {x, column_number(d, names, n, p, y)};
    };
    // One line per y and combination of the other parameters' values (with
    // zip, the values move together: one line per y).
    for (const auto& [y, channel] : ys) {
        std::map<std::vector<std::string>, std::size_t> line_of;
        std::vector<chart::PlotSeries> lines;
        for (const std::vector<std::size_t>& group : seed_groups(points)) {
            const Point& p = points[group[0]];
            std::vector<std::string> others;
            for (std::size_t k = 0; k < p.values.size() && !d.zip; ++k)
                if (k != px.along) others.push_back(d.varies[k].name + "=" + p.values[k]);
            auto [at, added] = line_of.emplace(others, lines.size());
            if (added) {
                std::string title;
                if (channel != nullptr && !(l.channels.size() == 1 && !others.empty())) {  // else the title names it
                    char freq[32];
                    std::snprintf(freq, sizeof freq, " (%.2f THz)", channel->frequency_thz);
                    title = channel->channel > 0 ? "channel " + std::to_string(channel->channel) + freq
                                                 : "estimator " + std::to_string(channel->estimator);
                }
                for (const std::string& o : others) title += (title.empty() ? "" : ", ") + o;
                lines.push_back(chart::PlotSeries{title, {chart::PlotTrace{}}});
            }
            std::vector<Numbers> done;
            for (std::size_t k : group)
                if (status[k].state == PointState::complete) done.push_back(xy_of(points[k], status[k], y));
            const auto [mean, spread] = mean_and_spread(done, 2);
            chart::PlotTrace& t = lines[at->second].traces[0];
            t.x.push_back(mean[0] ? *mean[0] : std::nan(""));
            t.y.push_back(mean[1] ? *mean[1] : std::nan(""));
            if (d.seeds > 1) t.dy.push_back(spread[1] ? *spread[1] : 0.0);
        }
        for (chart::PlotSeries& s : lines) plot.series.push_back(std::move(s));
    }
    if (!d.y_axis.empty()) plot.log_y = chart::log_scale_for(plot.y_label, plot.series);
    plot.note = chart::y_axis_note(plot);
    return chart::gnuplot_script(plot, chart::plot_format_for(output));
}

std::string axes_fault(const Definition& d) {
    for (const auto& [flag, axis] : {std::pair{"--x", &d.x_axis}, std::pair{"--y", &d.y_axis}}) {
        if (axis->empty()) continue;
        bool can = axis->starts_with("meter") && axis->ends_with("_dbm");
        can = can || (axis->starts_with("osnr") && axis->ends_with("_db") && axis->find("_ch") != std::string::npos);
        for (const Vary& v : d.varies) can = can || *axis == v.name || *axis == dbm_column(v);
        for (const char* name : kChannelColumns) can = can || axis->ends_with(std::string("_") + name);
        can = can || *axis == "wall_time_s";
        for (const char* name : kConvergenceColumns) can = can || (d.converge.on && *axis == name);
        if (can) continue;
        std::string known;
        for (const Vary& v : d.varies) known += v.name + ", " + (dbm_column(v).empty() ? "" : dbm_column(v) + ", ");
        known += "wall_time_s";
        for (const char* name : kConvergenceColumns) known += d.converge.on ? std::string(", ") + name : "";
        for (const char* name : kChannelColumns) known += std::string(", chN_") + name;
        return std::string(flag) + " " + *axis + ": no such column of sweep.csv; its columns of numbers are " + known +
               " (N the channel), meterID_dbm (ID a power meter) and osnrID_chN_db (ID an OSNR meter)";
    }
    return "";
}

bool write_results(const fs::path& dir, const Definition& d, const std::vector<Point>& points,
                   const std::vector<PointStatus>& status) {
    std::string why;
    if (!write_whole_file((dir / "sweep.csv").string(), table_csv(d, points, status), why)) {
        opxerr("nodrix sweep: cannot write " + (dir / "sweep.csv").string() + ": " + why);
        return false;
    }
    // An axis the table does not hold leaves the table without a plot.
    const std::vector<std::string> numeric = numeric_columns(d, layout_of(d, status));
    for (const std::string* axis : {&d.x_axis, &d.y_axis})
        if (!axis->empty() && std::find(numeric.begin(), numeric.end(), *axis) == numeric.end()) {
            opxerr("nodrix sweep: cannot plot " + *axis + ": " + (dir / "sweep.csv").string() +
                   " has no such column of numbers; it has " + joined(numeric) +
                   " (nodrix sweep --collect DIR --x COLUMN --y COLUMN draws it on others)");
            return false;
        }
    if (plot_script(d, points, status, "x.png").empty()) return true;  // nothing to draw
    bool ok = true;
    for (const char* image : {"sweep.png", "sweep.svg"}) ok = draw(d, points, status, dir / image) && ok;
    return ok;
}

}  // namespace nodrix::sweep

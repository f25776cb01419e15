#include "tools/chart_tool.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tools/chart_file.h"
#include "tools/chart_plot.h"
#include "tools/gnuplot_run.h"
#include "tools/output_file.h"

namespace nodrix::chart {
namespace {

constexpr const char* kProgram = "nodrix-chart";

using Handler = int (*)(const ToolOptions& options, std::ostream& out, std::ostream& err);

struct Verb {
    const char* name;
    const char* usage;    // the words after the verb
    const char* summary;  // one line for the command's help
    const char* options;  // option letters the verb takes
    const char* details;  // the verb's own help text
    Handler run;
};

// Numbers for people: shortest form that reads back the same value.
std::string number(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[40];
    for (int precision = 6; precision <= 17; ++precision) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

std::string point_text(const QxyPoint& p) { return p.type == kQxyInt ? std::to_string(p.i) : number(p.d); }

std::string quoted(const char* text) { return std::string("\"") + text + "\""; }

std::string label_unit(const char* label, const char* unit) {
    std::string s = label[0] != '\0' ? label : "(no label)";
    if (unit[0] != '\0') s += std::string(" [") + unit + "]";
    return s;
}

// Checks the file before the reader sees it, for a clear message.
bool file_readable(const std::string& path, std::ostream& err) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        err << kProgram << ": " << path << ": no such file\n";
        return false;
    }
    if (std::filesystem::is_directory(status)) {
        err << kProgram << ": " << path << ": is a directory, not a chart file\n";
        return false;
    }
    // A device or a pipe may never end (/dev/zero): chart files are regular files.
    if (!std::filesystem::is_regular_file(status)) {
        err << kProgram << ": " << path << ": is not a regular file, not a chart file\n";
        return false;
    }
    return true;
}

bool load(const std::string& path, int chart, bool keep_rows, ChartFile& file, std::ostream& err) {
    if (!file_readable(path, err)) return false;
    const int code = load_chart_file(path, chart, keep_rows, file);
    if (code != 0) {
        err << kProgram << ": " << path << ": " << reader_failure(code) << "\n";
        return false;
    }
    return true;
}

std::string form_text(const ChartFile& f) {
    std::string s = f.binary ? "binary" : "text";
    s += ", version " + std::to_string(f.version);
    return s;
}

int run_info(const ToolOptions& o, std::ostream& out, std::ostream& err) {
    ChartFile f;
    if (!load(o.file, -1, false, f, err)) return kExitFailure;
    const std::int32_t type = f.header.words[0];
    out << "File: " << f.path << "\n";
    out << "Form: " << form_text(f) << "\n";
    out << "File type: " << type << " (" << file_type_name(type) << ")\n";
    out << "Charts: " << f.charts.size()
        << (chart_count_known(f) ? "" : " (the form does not record how many: a file cut between two charts reads as whole)")
        << "\n";
    for (const Chart& c : f.charts) {
        const QxyChartHeader& h = c.header;
        out << "\nChart " << c.number << ": " << (h.Title[0] != '\0' ? quoted(h.Title) : "(no title)") << "\n";
        if (h.LabelY[0] != '\0' || h.MeasureY[0] != '\0') out << "  Y: " << label_unit(h.LabelY, h.MeasureY) << "\n";
        out << "  Rows: " << c.rows;
        if (h.SamplesNum != 0 && h.SamplesNum != c.rows) out << " (the header states " << h.SamplesNum << ")";
        if (!row_count_known(f, c)) out << " (the header states no count: a file cut between two rows reads as whole)";
        out << "\n  Columns: " << c.columns.size() << "\n";
        for (const TableColumn& t : chart_table(f, c))
            if (t.data == nullptr)
                out << "  Axis: " << t.title << " from " << number(t.start) << " in steps of " << number(t.step)
                    << "\n";
        if (type == kQxySpectrum || type == kQxySpectrumText)
            out << "  Frequencies: " << number(h.Tstart) << " to " << number(h.StopFrequency) << " THz\n";
        if (h.Fsym != 0.0) out << "  Fsym: " << number(h.Fsym) << "\n";
        if (h.SamplesPerBit != 0) out << "  Samples per bit: " << h.SamplesPerBit << "\n";
        // The older forms state one range for the whole chart (of its values,
        // the Y values of an XY chart); the reader repeats it on every column.
        const bool per_column = ranges_per_column(f);
        if (!per_column && !c.columns.empty())
            out << "  Stated range of the chart's values: " << point_text(c.columns[0].descriptor.Minimum) << " .. "
                << point_text(c.columns[0].descriptor.Maximum) << "\n";
        for (const ColumnData& d : c.columns) {
            const QxyColumn& col = d.descriptor;
            out << "  Column " << col.Index << ": " << label_unit(col.Label, col.Measure) << ", "
                << (col.Type == kQxyInt ? "integer" : "float");
            if (per_column) out << ", stated range " << point_text(col.Minimum) << " .. " << point_text(col.Maximum);
            out << ", data range ";
            if (d.finite > 0)
                out << number(d.data_min) << " .. " << number(d.data_max);
            else
                out << "(no finite values)";
            out << "\n";
        }
    }
    return kExitOk;
}

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csv_field(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string q = "\"";
    for (const char ch : s) {
        if (ch == '"') q += '"';
        q += ch;
    }
    return q + "\"";
}

std::string csv_value(const TableColumn& t, std::int64_t row) {
    const double v = table_value(t, row);
    if (t.integer && std::isfinite(v)) return std::to_string(static_cast<long long>(v));
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void write_csv(const ChartFile& f, const Chart& c, std::ostream& os) {
    const std::vector<TableColumn> table = chart_table(f, c);
    for (std::size_t k = 0; k < table.size(); ++k) os << (k ? "," : "") << csv_field(table[k].title);
    os << "\n";
    for (std::int64_t r = 0; r < c.rows; ++r) {
        for (std::size_t k = 0; k < table.size(); ++k) os << (k ? "," : "") << csv_value(table[k], r);
        os << "\n";
    }
}

void report_no_chart(const ToolOptions& o, std::size_t count, std::ostream& err) {
    err << kProgram << ": " << o.file << ": no chart " << o.chart << " (the file holds " << count
        << (count == 1 ? " chart, numbered 0)\n" : " charts, numbered from 0)\n");
}

std::string reason_of_errno() { return errno != 0 ? std::strerror(errno) : "write error"; }

int run_csv(const ToolOptions& o, std::ostream& out, std::ostream& err) {
    // The whole file first, so that damage anywhere in it is reported, then
    // the rows of the chart asked for.
    ChartFile all;
    if (!load(o.file, -1, false, all, err)) return kExitFailure;
    if (static_cast<std::size_t>(o.chart) >= all.charts.size()) {
        report_no_chart(o, all.charts.size(), err);
        return kExitFailure;
    }
    ChartFile f;
    if (!load(o.file, o.chart, true, f, err)) return kExitFailure;
    if (o.output.empty()) {
        errno = 0;
        write_csv(f, f.charts[0], out);
        out.flush();  // a full disk or a closed pipe shows only when the output is flushed
        if (!out) {
            err << kProgram << ": cannot write the output: " << reason_of_errno() << "\n";
            return kExitFailure;
        }
        return kExitOk;
    }
    std::error_code ec;
    if (std::filesystem::equivalent(o.file, o.output, ec)) {
        err << kProgram << ": " << o.output << " is the chart file itself; write the CSV elsewhere\n";
        return kExitFailure;
    }
    std::ostringstream csv;
    write_csv(f, f.charts[0], csv);
    std::string reason;
    if (!write_whole_file(o.output, csv.view(), reason)) {
        err << kProgram << ": cannot write " << o.output << ": " << reason << "\n";
        return kExitFailure;
    }
    return kExitOk;
}

// The program that draws: NODRIX_GNUPLOT when set, else gnuplot on PATH.
std::string gnuplot_program() {
    const char* named = std::getenv("NODRIX_GNUPLOT");
    return named != nullptr && named[0] != '\0' ? named : "gnuplot";
}

// gnuplot's own lines, indented under a message of ours.
void relay_messages(const std::string& messages, const char* prefix, std::ostream& err) {
    std::istringstream lines(messages);
    for (std::string line; std::getline(lines, line);)
        if (line.find_first_not_of(" \t\r^") != std::string::npos) err << prefix << line << "\n";
}

int run_plot(const ToolOptions& o, std::ostream& out, std::ostream& err) {
    const std::string me = std::string(kProgram) + " plot: ";
    if (o.output.empty()) {
        err << me << "name the image with -o OUT.png or -o OUT.svg\n";
        return kExitUsage;
    }
    const PlotFormat format = plot_format_for(o.output);
    if (format == PlotFormat::kUnknown) {
        err << me << o.output << ": the image name must end in .png or .svg\n";
        return kExitUsage;
    }
    for (const char ch : o.output)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
            err << me << "the image name holds a control character\n";
            return kExitUsage;
        }
    // A device, a pipe or a directory is never replaced by the image.
    if (const std::string refusal = output_refusal(o.output); !refusal.empty()) {
        err << kProgram << ": cannot write " << o.output << ": " << refusal << "\n";
        return kExitFailure;
    }

    ChartFile f;
    if (!load(o.file, -1, true, f, err)) return kExitFailure;
    if (static_cast<std::size_t>(o.chart) >= f.charts.size()) {
        report_no_chart(o, f.charts.size(), err);
        return kExitFailure;
    }
    const Chart& chart = f.charts[static_cast<std::size_t>(o.chart)];
    Plot plot;
    std::string error;
    if (!build_plot(f, chart, std::filesystem::path(o.file).filename().string(), plot, error)) {
        err << kProgram << ": " << o.file << ": " << error << "\n";
        return kExitFailure;
    }

    // gnuplot draws on its standard output; the image is written here, so
    // that every byte of it is known to have reached the disk.
    const std::string program = gnuplot_program();
    const GnuplotRun run = run_gnuplot(program, gnuplot_script(plot, format));
    if (const std::string fault = drawing_fault(run, program, format); !fault.empty()) {
        const bool said = run.outcome == GnuplotRun::kNotFound || run.outcome == GnuplotRun::kCannotStart;
        err << me << fault << (run.outcome == GnuplotRun::kFailed && !run.messages.empty() ? "; it reported:\n" : "\n");
        if (!said) relay_messages(run.messages, "  ", err);
        return kExitFailure;
    }
    std::string reason;
    if (!write_whole_file(o.output, run.output, reason)) {
        err << kProgram << ": cannot write " << o.output << ": " << reason << "\n";
        return kExitFailure;
    }
    // Warnings of a drawing that succeeded.
    relay_messages(run.messages, "gnuplot: ", err);
    out << "Wrote " << o.output << ": chart " << chart.number << " of " << f.charts.size() << ", \"" << plot.title
        << "\"\n";
    return kExitOk;
}

const Verb kVerbs[] = {
    {"info", "FILE", "describe a chart file and each of its charts", "",
     "Shows the file's form and type, then per chart its title, labels, units,\n"
     "number of rows and columns, and each column's stated and actual range.\n",
     run_info},
    {"csv", "FILE [-c N] [-o OUT]", "write one chart as CSV", "co",
     "Writes chart N (from 0, as info lists them; default 0) as comma-separated\n"
     "values: a header row of labels with their units in brackets, then one\n"
     "line per row. Signals and spectra get their time or frequency axis as\n"
     "the first column. -o OUT writes to the file OUT instead of the output.\n",
     run_csv},
    {"plot", "FILE [-c N] -o OUT.png|OUT.svg", "draw one chart as a PNG or SVG image (with gnuplot)", "co",
     "Draws chart N (from 0, as info lists them; default 0) with gnuplot into\n"
     "OUT.png or OUT.svg (the extension chooses the format):\n"
     "  spectra       power in dB against frequency in THz;\n"
     "  XY charts     every further column against the first (BER and Q curves,\n"
     "                eye closure); a BER axis, or positive values spanning more\n"
     "                than two decades, on a logarithmic scale;\n"
     "  eye signals   a signal file with its samples per bit, folded into traces\n"
     "                of two bit periods on a time axis in ps;\n"
     "  other signals each column against time.\n"
     "Titles, axis labels and units come from the file. A file of several charts\n"
     "gives one image per run: choose the chart with -c.\n"
     "gnuplot (Debian package gnuplot-nox) must be installed; the environment\n"
     "variable NODRIX_GNUPLOT names another program to run instead (it draws on\n"
     "its standard output). The image is written whole or not at all; an OUT that\n"
     "is a device, a pipe or a directory is refused.\n"
     "Exit status: 0 drawn, 1 unreadable file or gnuplot failed, 2 usage error.\n",
     run_plot},
};

void print_help(std::ostream& os) {
    os << "Usage: " << kProgram << " COMMAND FILE [OPTIONS]\n\n"
       << "Looks into the chart files of a run (.qxy, .qsp, .qsg binary charts and\n"
       << "their text forms).\n\nCommands:\n";
    std::size_t width = 0;
    for (const Verb& v : kVerbs) width = std::max(width, std::string(v.name).size() + 1 + std::string(v.usage).size());
    for (const Verb& v : kVerbs) {
        std::string head = std::string(v.name) + " " + v.usage;
        head.resize(width, ' ');
        os << "  " << head << "  " << v.summary << "\n";
    }
    os << "\n" << kProgram << " COMMAND --help shows the help of one command.\n";
}

void print_verb_help(const Verb& v, std::ostream& os) {
    os << "Usage: " << kProgram << " " << v.name << " " << v.usage << "\n\n" << v.details;
}

}  // namespace

bool parse_tool_options(const std::vector<std::string>& args, const std::string& allowed, ToolOptions& o,
                        std::string& error) {
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& a = args[k];
        if (a == "-h" || a == "--help") {
            o.help = true;
            continue;
        }
        char letter = 0;
        std::string value;
        bool has_value = false;
        if (a == "-c" || a == "--chart") letter = 'c';
        else if (a == "-o" || a == "--output") letter = 'o';
        else if (a.rfind("--chart=", 0) == 0) letter = 'c', value = a.substr(8), has_value = true;
        else if (a.rfind("--output=", 0) == 0) letter = 'o', value = a.substr(9), has_value = true;
        else if (a.size() > 2 && a[0] == '-' && (a[1] == 'c' || a[1] == 'o') && a[1] != '-')
            letter = a[1], value = a.substr(2), has_value = true;
        if (letter == 0 && a.size() > 1 && a[0] == '-') {
            error = "unknown option " + a;
            return false;
        }
        if (letter == 0) {
            if (!o.file.empty()) {
                error = "more than one file given (" + o.file + ", " + a + ")";
                return false;
            }
            o.file = a;
            continue;
        }
        if (allowed.find(letter) == std::string::npos) {
            error = "option " + a + " does not apply here";
            return false;
        }
        if (!has_value) {
            if (k + 1 >= args.size()) {
                error = "option " + a + " needs a value";
                return false;
            }
            value = args[++k];
        }
        if (letter == 'c') {
            char* end = nullptr;
            errno = 0;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || errno == ERANGE || n < 0 || n > 1000000000L) {
                error = "chart number must be a whole number from 0, not \"" + value + "\"";
                return false;
            }
            o.chart = static_cast<int>(n);
            o.chart_given = true;
        } else {
            if (value.empty()) {
                error = "option -o needs a file name";
                return false;
            }
            o.output = value;
        }
    }
    return true;
}

int chart_tool_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    std::vector<std::string> words;
    for (int k = 1; k < argc; ++k) words.emplace_back(argv[k] != nullptr ? argv[k] : "");
    if (words.empty()) {
        print_help(err);
        return kExitUsage;
    }
    const std::string& verb_name = words[0];
    if (verb_name == "-h" || verb_name == "--help" || verb_name == "help") {
        print_help(out);
        return kExitOk;
    }
    const Verb* verb = nullptr;
    for (const Verb& v : kVerbs)
        if (verb_name == v.name) verb = &v;
    if (verb == nullptr) {
        err << kProgram << ": unknown command \"" << verb_name << "\" (" << kProgram << " --help lists them)\n";
        return kExitUsage;
    }
    ToolOptions options;
    std::string error;
    if (!parse_tool_options(std::vector<std::string>(words.begin() + 1, words.end()), verb->options, options,
                            error)) {
        err << kProgram << " " << verb->name << ": " << error << "\n";
        print_verb_help(*verb, err);
        return kExitUsage;
    }
    if (options.help) {
        print_verb_help(*verb, out);
        return kExitOk;
    }
    if (options.file.empty()) {
        err << kProgram << " " << verb->name << ": no file given\n";
        print_verb_help(*verb, err);
        return kExitUsage;
    }
    return verb->run(options, out, err);
}

}  // namespace nodrix::chart

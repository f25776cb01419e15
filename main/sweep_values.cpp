#include "main/sweep_values.h"

#include <toml++/toml.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "xu/xu_string.h"

namespace nodrix::sweep {
namespace {

// Most values one list or range may give.
constexpr std::size_t kMaxValues = 10000;

std::string trimmed(std::string_view s) {
    const auto a = s.find_first_not_of(" \t");
    if (a == std::string_view::npos) return "";
    const auto b = s.find_last_not_of(" \t");
    return std::string(s.substr(a, b - a + 1));
}

std::optional<double> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

// A value of a range, without the rounding noise of its steps (0.1 + 2 x 0.1
// is 0.3, not 0.30000000000000004).
std::string value_text(double v, double scale) {
    if (std::fabs(v) < 1e-12 * scale) v = 0.0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.12g", v);
    return buf;
}

// The items of a list: commas outside brackets and quotes part them.
std::vector<std::string> list_items(std::string_view written) {
    std::vector<std::string> items;
    int depth = 0;
    char quote = 0;
    std::size_t start = 0;
    for (std::size_t k = 0; k <= written.size(); ++k) {
        const char c = k < written.size() ? written[k] : ',';
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (c == ',' && depth <= 0) {
            items.push_back(trimmed(written.substr(start, k - start)));
            start = k + 1;
        }
    }
    return items;
}

const char* const kRangeForm = "a range is START:STOP:STEP or START:STOP:xFACTOR, with numbers";

std::vector<std::string> range_values(std::string_view written, std::string& error) {
    std::vector<std::string> parts;
    for (std::size_t start = 0;;) {
        const auto colon = written.find(':', start);
        parts.push_back(trimmed(written.substr(start, colon == std::string_view::npos ? colon : colon - start)));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    const bool log = parts.size() == 3 && !parts[2].empty() && (parts[2][0] == 'x' || parts[2][0] == 'X');
    const auto from = parts.size() == 3 ? number(parts[0]) : std::nullopt;
    const auto to = parts.size() == 3 ? number(parts[1]) : std::nullopt;
    const auto step = parts.size() == 3 ? number(log ? parts[2].substr(1) : parts[2]) : std::nullopt;
    if (!from || !to || !step) {
        error = kRangeForm;
        return {};
    }
    std::vector<std::string> values;
    auto too_many = [&] {
        if (values.size() < kMaxValues) return false;
        error = "more than " + std::to_string(kMaxValues) + " values";
        values.clear();
        return true;
    };
    if (log) {
        if (*from <= 0.0 || *to <= 0.0 || *step <= 0.0 || *step == 1.0) {
            error = "a logarithmic range needs ends above 0 and a factor above 0 other than 1";
            return {};
        }
        if ((*to - *from) * (*step - 1.0) < 0.0) {
            error = "the factor " + parts[2].substr(1) + " goes away from " + parts[1];
            return {};
        }
        const double n = std::floor(std::log(*to / *from) / std::log(*step) + 1e-9);
        for (double k = 0; k <= n; ++k) {
            if (too_many()) return {};
            values.push_back(value_text(*from * std::pow(*step, k), *from));
        }
        return values;
    }
    if (*step == 0.0 && *from != *to) {
        error = "the step 0 never reaches " + parts[1];
        return {};
    }
    if ((*to - *from) * *step < 0.0) {
        error = "the step " + parts[2] + " goes away from " + parts[1];
        return {};
    }
    const double n = *step == 0.0 ? 0.0 : std::floor((*to - *from) / *step + 1e-9);
    for (double k = 0; k <= n; ++k) {
        if (too_many()) return {};
        values.push_back(value_text(*from + k * *step, std::fabs(*step)));
    }
    return values;
}

void put_strings(toml::table& t, const char* key, const std::vector<std::string>& list) {
    toml::array a;
    for (const std::string& s : list) a.push_back(s);
    t.insert(key, std::move(a));
}

bool get_strings(const toml::node* n, std::vector<std::string>& out) {
    const toml::array* a = n != nullptr ? n->as_array() : nullptr;
    if (a == nullptr) return false;
    out.clear();
    for (const toml::node& e : *a) {
        const auto s = e.value<std::string>();
        if (!s) return false;
        out.push_back(*s);
    }
    return true;
}

}  // namespace

bool log_range(std::string_view written) {
    const auto colon = written.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= written.size()) return false;
    const std::string last = trimmed(written.substr(colon + 1));
    return !last.empty() && (last[0] == 'x' || last[0] == 'X');
}

std::string vary_echo(std::string_view name, std::string_view written) {
    std::string echo = "--vary " + std::string(name) + "=";
    if (written.size() <= kVaryEchoLength) return echo + std::string(written);
    std::size_t cut = kVaryEchoLength;
    while (cut > 0 && (static_cast<unsigned char>(written[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return echo + std::string(written.substr(0, cut)) + "... (" + std::to_string(written.size()) + " characters)";
}

std::vector<std::string> parse_values(std::string_view written, std::string& error) {
    error.clear();
    if (trimmed(written).empty()) {
        error = "no values";
        return {};
    }
    // A colon outside brackets and quotes makes a range.
    bool range = false;
    char quote = 0;
    int depth = 0;
    for (const char c : written) {
        if (quote != 0) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (c == ':' && depth == 0) {
            range = true;
        }
    }
    if (range) {
        if (written.find(',') != std::string_view::npos) {
            error = "a list or a range, not both";
            return {};
        }
        return range_values(written, error);
    }
    std::vector<std::string> values = list_items(written);
    for (const std::string& v : values)
        if (v.empty()) {
            error = "an empty value in the list";
            return {};
        }
    if (values.size() > kMaxValues) {
        error = "more than " + std::to_string(kMaxValues) + " values";
        return {};
    }
    return values;
}

std::vector<std::int32_t> seeds_for(const std::vector<std::int32_t>& link_seeds, int seed) {
    std::vector<std::int32_t> s = link_seeds;
    if (seed == 0) return s;
    for (std::size_t k = 0; k < s.size(); ++k) {
        const std::int64_t v = std::int64_t{s[k]} + std::int64_t{seed} * 1000003 * static_cast<std::int64_t>(k + 1);
        s[k] = static_cast<std::int32_t>(((v % (1 << 30)) + (1 << 30)) % (1 << 30));
    }
    return s;
}

std::vector<Point> points(const Definition& d) {
    std::vector<std::vector<std::string>> combos;
    if (d.varies.empty()) {
        combos.emplace_back();
    } else if (d.zip) {
        for (std::size_t k = 0; k < d.varies[0].values.size(); ++k) {
            std::vector<std::string> c;
            for (const Vary& v : d.varies) c.push_back(k < v.values.size() ? v.values[k] : std::string());
            combos.push_back(std::move(c));
        }
    } else {
        combos.emplace_back();
        for (const Vary& v : d.varies) {
            std::vector<std::vector<std::string>> next;
            for (const auto& c : combos)
                for (const std::string& value : v.values) {
                    next.push_back(c);
                    next.back().push_back(value);
                }
            combos = std::move(next);
        }
    }
    std::vector<Point> out;
    for (const auto& c : combos)
        for (int s = 0; s < std::max(d.seeds, 1); ++s) {
            Point p;
            p.number = static_cast<int>(out.size()) + 1;
            p.values = c;
            p.seed = s;
            p.sets = d.sets;
            for (std::size_t k = 0; k < d.varies.size(); ++k) p.sets.push_back(d.varies[k].name + "=" + c[k]);
            if (s > 0) {
                std::string list;
                for (std::int32_t v : seeds_for(d.link_seeds, s)) list += (list.empty() ? "[" : ",") + std::to_string(v);
                p.sets.push_back("link.seeds=" + list + "]");
            }
            out.push_back(std::move(p));
        }
    return out;
}

std::string point_name(int number) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d", number);
    return buf;
}

std::string hash_text(std::string_view bytes) { return fnv1a_hex(bytes); }

std::optional<std::string> hash_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return hash_text(s.str());
}

void put_converge(toml::table& t, const ConvergeCheck& c) {
    if (c.on) t.insert("converge", toml::table{{"factor", c.factor}, {"tolerance_db", c.tolerance_db}});
}

bool get_converge(const toml::table& t, ConvergeCheck& c) {
    c = ConvergeCheck{};
    if (t.get("converge") == nullptr) return true;
    const toml::table* ct = t["converge"].as_table();
    const auto factor = ct != nullptr ? (*ct)["factor"].value<double>() : std::nullopt;
    const auto tolerance = ct != nullptr ? (*ct)["tolerance_db"].value<double>() : std::nullopt;
    if (!factor || !tolerance || !(*factor >= 1.0) || !(*tolerance > 0.0)) return false;
    c = ConvergeCheck{true, *factor, *tolerance};
    return true;
}

std::string definition_text(const Definition& d) {
    toml::table t;
    t.insert("link", d.link);
    t.insert("name", d.name);
    t.insert("link_fnv1a", d.link_hash);
    t.insert("directory", d.directory);
    put_strings(t, "set", d.sets);
    t.insert("zip", d.zip);
    t.insert("seeds", d.seeds);
    toml::array seeds;
    for (std::int32_t s : d.link_seeds) seeds.push_back(static_cast<std::int64_t>(s));
    t.insert("link_seeds", std::move(seeds));
    toml::array varies;
    for (const Vary& v : d.varies) {
        toml::table vt;
        vt.insert("name", v.name);
        vt.insert("written", v.written);
        vt.insert("unit", v.unit);
        put_strings(vt, "values", v.values);
        varies.push_back(std::move(vt));
    }
    t.insert("vary", std::move(varies));
    put_converge(t, d.converge);
    if (!d.x_axis.empty()) t.insert("plot_x", d.x_axis);
    if (!d.y_axis.empty()) t.insert("plot_y", d.y_axis);
    std::ostringstream out;
    out << "# A sweep of nodrix: the link, its changes and the values it varies.\n"
           "# nodrix sweep --collect reads it; a rerun of the same sweep must find it unchanged.\n"
        << t << "\n";
    return out.str();
}

bool Definition::same_runs(const Definition& other) const {
    Definition axes = other;
    axes.x_axis = x_axis;
    axes.y_axis = y_axis;
    return axes == *this;
}

std::optional<Definition> read_definition(const std::filesystem::path& file, std::string& error) {
    toml::table t;
    try {
        t = toml::parse_file(file.string());
    } catch (const toml::parse_error& e) {
        error = std::string(e.description());
        return std::nullopt;
    }
    Definition d;
    const auto link = t["link"].value<std::string>();
    const auto name = t["name"].value<std::string>();
    const auto hash = t["link_fnv1a"].value<std::string>();
    const auto dir = t["directory"].value<std::string>();
    const auto zip = t["zip"].value<bool>();
    const auto seeds = t["seeds"].value<std::int64_t>();
    const toml::array* link_seeds = t["link_seeds"].as_array();
    const toml::array* varies = t["vary"].as_array();
    if (!link || !name || !hash || !dir || !zip || !seeds || *seeds < 1 || link_seeds == nullptr || varies == nullptr ||
        !get_strings(t.get("set"), d.sets) || !get_converge(t, d.converge)) {
        error = "a setting is missing or of the wrong type";
        return std::nullopt;
    }
    d.link = *link;
    d.name = *name;
    d.link_hash = *hash;
    d.directory = *dir;
    d.zip = *zip;
    d.seeds = static_cast<int>(*seeds);
    d.x_axis = t["plot_x"].value_or(std::string());
    d.y_axis = t["plot_y"].value_or(std::string());
    for (const toml::node& n : *link_seeds) d.link_seeds.push_back(static_cast<std::int32_t>(n.value_or(0)));
    for (const toml::node& n : *varies) {
        const toml::table* vt = n.as_table();
        Vary v;
        const auto name = vt != nullptr ? (*vt)["name"].value<std::string>() : std::nullopt;
        const auto written = vt != nullptr ? (*vt)["written"].value<std::string>() : std::nullopt;
        const auto unit = vt != nullptr ? (*vt)["unit"].value<std::string>() : std::nullopt;
        if (!name || !written || !unit || !get_strings(vt->get("values"), v.values)) {
            error = "a [[vary]] is missing a setting";
            return std::nullopt;
        }
        v.name = *name;
        v.written = *written;
        v.unit = *unit;
        d.varies.push_back(std::move(v));
    }
    return d;
}


bool write_text_file(const std::filesystem::path& file, const std::string& text) {
    const std::filesystem::path part = file.string() + ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) return false;
    }
    std::error_code ec;
    std::filesystem::rename(part, file, ec);
    return !ec;
}

std::string self_program() {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("nodrix") : p.string();
}

}  // namespace nodrix::sweep

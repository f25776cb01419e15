#include "project/channel_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "xu/xu_string.h"

namespace nodrix {
namespace {

constexpr const char* kPlanKeys[] = {"count",        "first_frequency_thz", "centre_frequency_thz", "spacing_ghz",
                                     "power_dbm",    "power_mw",            "prbs_degree",          "seed_offset",
                                     "id_step",      "receiver_input",      "transmitter",          "receiver"};
constexpr const char* kConnections[] = {"input", "inputs", "drive", "output", "clock_output"};

int line_of(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

bool optical_filter(std::string_view kind) { return kind == "raised_cosine_filter" || kind == "lorentzian_filter"; }

// The plan's settings, read and checked.
class PlanReader {
public:
    PlanReader(const toml::table& t, const PlanProblem& problem) : t_(t), problem_(problem) {}

    std::optional<ChannelPlan> read() {
        for (const auto& [key, value] : t_) {
            std::vector<std::string_view> names(std::begin(kPlanKeys), std::end(kPlanKeys));
            if (std::find(names.begin(), names.end(), key.str()) != names.end()) continue;
            const std::string near = closest_word(key.str(), names);
            fail(line_of(value), "unknown setting \"" + std::string(key.str()) + "\"" +
                                     (near.empty() ? "" : "; did you mean \"" + near + "\"?"));
        }
        ChannelPlan plan;
        plan.count = static_cast<int>(whole("count", 1, 999, true).value_or(1));
        plan.spacing_ghz = number("spacing_ghz", plan.count > 1).value_or(0.0);
        plan.id_step = whole("id_step", 2, 999999 / (plan.count + 1), false).value_or(100);
        const auto first = number("first_frequency_thz", false);
        const auto centre = number("centre_frequency_thz", false);
        if (first && centre) fail(line("centre_frequency_thz"), "first_frequency_thz and centre_frequency_thz both "
                                                                "place the channels; give one of them");
        if (!first && !centre) fail(line(""), "missing first_frequency_thz or centre_frequency_thz (where the channels lie)");
        plan.first_thz = first ? *first : centre.value_or(0.0) - 0.5 * (plan.count - 1) * plan.spacing_ghz / 1000.0;
        if (t_.contains("power_dbm") && t_.contains("power_mw"))
            fail(line("power_mw"), "power_dbm and power_mw give one quantity in two forms; give one of them");
        whole("prbs_degree", 0, 28, false);
        whole("seed_offset", 0, 1000000, false);
        whole("receiver_input", 1, 999999, false);
        if (failed_) return std::nullopt;
        return plan;
    }

    bool failed() const { return failed_; }
    void fail(int at, const std::string& what) {
        problem_(at, "[channels]: " + what);
        failed_ = true;
    }
    int line(std::string_view key) const {
        const toml::node* n = t_.get(key);
        return n != nullptr ? line_of(*n) : line_of(t_);
    }

private:
    std::optional<std::int64_t> whole(std::string_view key, std::int64_t low, std::int64_t high, bool required) {
        const toml::node* n = t_.get(key);
        if (n == nullptr) {
            if (required) fail(line(""), "missing " + std::string(key));
            return std::nullopt;
        }
        const auto i = n->value_exact<std::int64_t>();
        if (!i || *i < low || *i > high) {
            fail(line_of(*n), std::string(key) + " must be a whole number from " + std::to_string(low) + " to " +
                                  std::to_string(high));
            return std::nullopt;
        }
        return i;
    }
    std::optional<double> number(std::string_view key, bool required) {
        const toml::node* n = t_.get(key);
        if (n == nullptr) {
            if (required) fail(line(""), "missing " + std::string(key));
            return std::nullopt;
        }
        const auto v = n->value<double>();
        if (!v || !std::isfinite(*v) || *v <= 0.0) {
            fail(line_of(*n), std::string(key) + " must be a number above 0");
            return std::nullopt;
        }
        return v;
    }

    const toml::table& t_;
    const PlanProblem& problem_;
    bool failed_ = false;
};

// A template connection for channel `k`: a number of its own templates, or "line".
bool rewrite_connection(toml::table& t, const char* key, std::int64_t base, const toml::table& plan,
                        std::string& problem) {
    auto one = [&](const toml::node& e) -> std::optional<std::int64_t> {
        if (const auto i = e.value_exact<std::int64_t>()) return base + *i;
        if (e.value<std::string>() == "line") {
            if (const auto r = plan["receiver_input"].value<std::int64_t>()) return *r;
            problem = "\"line\" names the plan's receiver_input, which [channels] does not give";
        } else {
            problem = "a connection of a template is a template id of the channel or \"line\"";
        }
        return std::nullopt;
    };
    const toml::node& n = *t.get(key);
    if (const toml::array* a = n.as_array()) {
        toml::array out;
        for (const toml::node& e : *a) {
            const auto v = one(e);
            if (!v) return false;
            out.push_back(*v);
        }
        t.insert_or_assign(key, std::move(out));
        return true;
    }
    const auto v = one(n);
    if (v) t.insert_or_assign(key, *v);
    return v.has_value();
}

// The values the plan gives a laser or an optical filter of channel k, in
// place of the template's.
std::vector<std::pair<std::string, double>> plan_values(std::string_view kind, const ChannelPlan& plan,
                                                        const toml::table& channels, int k) {
    std::vector<std::pair<std::string, double>> v;
    if (kind == "laser") {
        v.emplace_back("frequency_thz", plan.frequency_thz(k));
        for (const char* power : {"power_dbm", "power_mw"})
            if (const auto p = channels[power].value<double>()) v.emplace_back(power, *p);
    }
    if (optical_filter(kind)) v.emplace_back("centre_frequency_thz", plan.frequency_thz(k));
    return v;
}

// One template block of one side, for channel k; the problems of a template
// are reported once, for channel 1.
void expand_block(const toml::node& n, const char* side, int k, ChannelPlan& plan, const toml::table& channels,
                  PlanReader& reader, std::vector<PlanBlock>& out) {
    const toml::table* t = n.as_table();
    const auto id = t != nullptr ? (*t)["id"].value_exact<std::int64_t>() : std::nullopt;
    auto fail = [&](int at, const std::string& what) {
        if (k == 1) reader.fail(at, std::string(side) + " block " + (id ? std::to_string(*id) : "") + ": " + what);
    };
    if (!id || *id < 1 || *id >= plan.id_step) {
        fail(line_of(n), "a template block needs an id from 1 to " + std::to_string(plan.id_step - 1) +
                             " (below id_step)");
        return;
    }
    const std::int64_t base = k * plan.id_step;
    PlanBlock b{*t, line_of(n), {}, k};
    for (const auto& [key, value] : *t) b.lines[std::string(key.str())] = line_of(value);
    b.table.insert_or_assign("id", base + *id);
    const std::string kind = (*t)["kind"].value<std::string>().value_or("");
    for (const char* c : kConnections) {
        std::string why;
        if (b.table.contains(c) && !rewrite_connection(b.table, c, base, channels, why))
            fail(b.lines[c], std::string(c) + ": " + why);
    }
    std::vector<std::pair<std::string, double>> set = plan_values(kind, plan, channels, k);
    for (const auto& [key, value] : set) {
        b.table.insert_or_assign(key, value);
        b.lines[key] = reader.line(key.find("frequency") != std::string::npos ? "" : key);
    }
    if (kind == "prbs_source") {
        if (const auto degree = channels["prbs_degree"].value<std::int64_t>()) {
            set.emplace_back("degree", 0.0);
            b.table.insert_or_assign("degree", *degree);
            b.lines["degree"] = reader.line("prbs_degree");
        }
        const std::int64_t skipped = (*t)["skipped_symbols"].value<std::int64_t>().value_or(0);
        const std::int64_t offset = channels["seed_offset"].value<std::int64_t>().value_or(0);
        b.table.insert_or_assign("skipped_symbols", skipped + (k - 1) * offset);
    }
    for (const auto& [key, value] : set)
        if (t->contains(key)) fail(line_of(*t->get(key)), "the channel plan sets " + key + " (" + kind + "); leave it out");
    out.push_back(std::move(b));
}

}  // namespace

std::optional<ChannelPlan> expand_channel_plan(const toml::table& channels, const PlanProblem& problem) {
    PlanReader reader(channels, problem);
    std::optional<ChannelPlan> plan = reader.read();
    if (!plan) return std::nullopt;
    for (const char* side : {"transmitter", "receiver"}) {
        const toml::array* templates = channels[side].as_array();
        if (templates == nullptr || templates->empty()) {
            reader.fail(reader.line(side), std::string("missing [[channels.") + side + "]], the template of a channel's " +
                                               side);
            continue;
        }
        const bool sending = std::string_view(side) == "transmitter";
        std::vector<PlanBlock>& out = sending ? plan->transmitters : plan->receivers;
        for (int k = 1; k <= plan->count; ++k) {
            const std::size_t before = out.size();
            for (const toml::node& n : *templates) expand_block(n, side, k, *plan, channels, reader, out);
            if (!sending || out.size() == before) continue;
            // The channel's light: the output of its last transmitter block.
            const toml::table& last = out.back().table;
            plan->outputs.push_back(static_cast<std::int32_t>(
                last["output"].value<std::int64_t>().value_or(last["id"].value<std::int64_t>().value_or(0))));
        }
    }
    if (reader.failed()) return std::nullopt;
    return plan;
}

std::optional<std::vector<std::int32_t>> channel_signals(const ChannelPlan& plan, std::string_view word,
                                                         std::string& problem) {
    if (word.rfind("channels", 0) != 0) return std::nullopt;
    std::string_view rest = word.substr(8);
    int from = 1;
    int to = plan.count;
    if (!rest.empty()) {
        const std::string range(rest);
        if (std::sscanf(range.c_str(), " %d-%d", &from, &to) != 2 || from < 1 || to > plan.count || from > to) {
            problem = "\"" + std::string(word) + "\": write \"channels\" or \"channels A-B\" with 1 <= A <= B <= " +
                      std::to_string(plan.count);
            return std::vector<std::int32_t>{};
        }
    }
    return std::vector<std::int32_t>(plan.outputs.begin() + (from - 1), plan.outputs.begin() + to);
}

}  // namespace nodrix

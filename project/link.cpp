#include "project/link.h"

#include <toml++/toml.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "project/channel_plan.h"
#include "project/link_checks.h"
#include "project/link_settings.h"
#include "project/link_words.h"
#include "project/modulated_power.h"
#include "project/parameter_forms.h"
#include "runtime/opxfile.h"

namespace nodrix {

const LinkBlock* Link::find(std::int32_t id) const {
    for (const LinkBlock& b : blocks)
        if (b.id == id) return &b;
    return nullptr;
}

const LinkBlock* Link::producer(std::int32_t signal) const {
    for (const LinkBlock& b : blocks)
        if ((b.output != 0 && b.output == signal) || (b.clock_output != 0 && b.clock_output == signal)) return &b;
    return nullptr;
}

std::optional<LinkOverride> parse_override(std::string_view argument) {
    const auto eq = argument.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view lhs = argument.substr(0, eq);
    const auto dot = lhs.find('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == lhs.size()) return std::nullopt;
    return LinkOverride{std::string(lhs.substr(0, dot)), std::string(lhs.substr(dot + 1)),
                        std::string(argument.substr(eq + 1)), "-set " + std::string(argument)};
}

namespace {

namespace fs = std::filesystem;

// One value given for a parameter or a connection, and where it was given.
struct Given {
    const toml::node* node = nullptr;
    std::string where;      // "file:12: block 73 (fibre)" or "-set 73.length_km=80"
    std::string base_dir;   // the directory relative file names are taken from
    bool command_line = false;  // given by -set (or -window), not in the file
};

// Reports the problems of one link, each once, and counts them.
class Problems {
public:
    explicit Problems(std::string source) : source_(std::move(source)) {}
    void add(const std::string& where, const std::string& what) {
        opxerr(where + ": " + what);
        ++count_;
    }
    int count() const { return count_; }
    std::string at(int line) const { return source_ + ":" + std::to_string(line); }
    const std::string& source() const { return source_; }

private:
    std::string source_;
    int count_ = 0;
};

int line_of(const toml::node& n) { return static_cast<int>(n.source().begin.line); }

const char* type_words(const toml::node& n) {
    switch (n.type()) {
        case toml::node_type::string: return "a text";
        case toml::node_type::integer: return "a whole number";
        case toml::node_type::floating_point: return "a number";
        case toml::node_type::boolean: return "true or false";
        case toml::node_type::array: return "a list";
        case toml::node_type::table: return "a table";
        default: return "a date or time";
    }
}

// Converts a given value to the parameter's value; the problem in words, or
// empty when it is acceptable.
std::string convert(const ParamSpec& p, const Given& g, ParamValue& out) {
    const toml::node& n = *g.node;
    const std::string name(p.name);
    switch (p.type) {
        case ParamType::real: {
            std::optional<double> v;
            if (auto f = n.as_floating_point()) v = f->get();
            if (auto i = n.as_integer()) v = static_cast<double>(i->get());
            if (!v) return name + " must be a number, not " + type_words(n);
            if (std::string problem = value_problem(p, *v); !problem.empty()) return problem;
            out.number = *v;
            return {};
        }
        case ParamType::integer: {
            const auto i = n.as_integer();
            if (i == nullptr) return name + " must be a whole number, not " + type_words(n);
            const double v = static_cast<double>(i->get());
            bool listed = p.choices.empty();
            for (const Choice& c : p.choices) listed = listed || c.value == i->get();
            if (!in_range(p, v) || v < INT32_MIN || v > INT32_MAX || !listed) return range_problem(p, v);
            out.number = v;
            return {};
        }
        case ParamType::flag: {
            const auto b = n.as_boolean();
            if (b == nullptr) return name + " must be true or false, not " + type_words(n);
            out.number = b->get() ? 1.0 : 0.0;
            return {};
        }
        case ParamType::choice: {
            const auto s = n.as_string();
            if (s != nullptr)
                for (const Choice& c : p.choices)
                    if (c.name == s->get()) {
                        out.number = c.value;
                        return {};
                    }
            return name + (s != nullptr ? " = " + in_quotes(s->get()) + " is not allowed" : " must be a text in quotes") +
                   "; allowed: " + allowed_values(p);
        }
        case ParamType::text:
        case ParamType::file: {
            const auto s = n.as_string();
            if (s == nullptr) return name + " must be a text in quotes, not " + type_words(n);
            out.text = s->get();
            if (p.type == ParamType::file && !out.text.empty() && fs::path(out.text).is_relative())
                out.text = (fs::path(g.base_dir) / out.text).lexically_normal().string();
            return {};
        }
        case ParamType::integer_list: {
            const auto a = n.as_array();
            if (a == nullptr || a->size() != p.count)
                return name + " must be a list of " + std::to_string(p.count) + " whole numbers";
            out.list.clear();
            for (const toml::node& e : *a) {
                const auto i = e.as_integer();
                if (i == nullptr) return name + " must be a list of " + std::to_string(p.count) + " whole numbers";
                if (!in_range(p, static_cast<double>(i->get())) || i->get() > INT32_MAX)
                    return range_problem(p, static_cast<double>(i->get()));
                out.list.push_back(static_cast<std::int32_t>(i->get()));
            }
            return {};
        }
    }
    return {};
}

// What a block's [[block]] table and the overrides gave it.
struct BlockDraft {
    LinkBlock block;
    std::map<std::string, Given> values;        // by parameter name
    std::map<std::string, Given> connections;   // by port key
    std::string where;
};

// Resolves the values of a kind's parameters: given (by the block or its
// kind's defaults), else the registry's; reports what is wrong.
std::vector<ParamValue> resolve(const KindSpec& kind, const std::map<std::string, Given>& given,
                                const std::string& where, Problems& problems) {
    std::vector<ParamValue> values;
    for (const ParamSpec& p : kind.params) {
        ParamValue v = default_param_value(p);
        const auto g = given.find(std::string(p.name));
        const Given* chosen = g != given.end() ? &g->second : nullptr;
        if (chosen != nullptr) {
            const std::string problem = convert(p, *chosen, v);
            if (!problem.empty()) problems.add(chosen->where, problem);
        } else if (p.required && std::none_of(given.begin(), given.end(), [&](const auto& e) {
                       return same_quantity(kind, e.first, p.name);  // given in another form
                   })) {
            std::string what = "missing required parameter " + std::string(p.name);
            if (!p.unit.empty()) what += " [" + std::string(p.unit) + "]";
            problems.add(where, what + " (" + std::string(p.help) + ")");
        }
        values.push_back(std::move(v));
    }
    return values;
}

// A signal number of a connection: a whole number from 1.
bool signal_number(const Given& g, const PortSpec& port, std::vector<std::int32_t>& out, Problems& problems) {
    auto one = [&](const toml::node& n) {
        const auto i = n.as_integer();
        if (i == nullptr || i->get() < 1 || i->get() > 999999) return false;
        out.push_back(static_cast<std::int32_t>(i->get()));
        return true;
    };
    bool ok = true;
    if (const auto a = g.node->as_array(); a != nullptr && port.max_count > 1) {
        if (a->empty() || static_cast<int>(a->size()) > port.max_count) ok = false;
        for (const toml::node& n : *a) ok = one(n) && ok;
    } else {
        ok = one(*g.node);
    }
    if (!ok)
        problems.add(g.where, std::string(port.key) + " must be " +
                                  (port.max_count > 1 ? "a list of 1 to " + std::to_string(port.max_count) + " "
                                                      : std::string("a ")) +
                                  "signal number" + (port.max_count > 1 ? "s" : "") + " (1 to 999999)");
    return ok;
}

class Loader {
public:
    Loader(std::string source, std::string base_dir) : problems_(source), base_dir_(std::move(base_dir)) {}

    std::optional<Link> load(std::string_view text, const std::vector<LinkOverride>& overrides) {
        toml::table root;
        try {
            root = toml::parse(text, problems_.source());
        } catch (const toml::parse_error& e) {
            problems_.add(problems_.at(static_cast<int>(e.source().begin.line)) + ":" +
                              std::to_string(e.source().begin.column),
                          std::string(e.description()));
            return finish();
        }
        read_root(root);
        for (const LinkOverride& o : overrides) apply(o);
        return build();
    }

private:
    // The channels' transmitters come first in the schedule, then the
    // [[block]]s, then the channels' receivers.
    void read_root(const toml::table& root) {
        if (const toml::node* c = root.get("channels")) read_plan(*c);
        if (plan_)
            for (const PlanBlock& b : plan_->transmitters) read_block(b.table, b.line, &b.lines);
        for (const auto& [key, node] : root) {
            const std::string k(key.str());
            if (k == "link") {
                read_link(node);
            } else if (k == "defaults") {
                read_defaults(node);
            } else if (k == "block") {
                read_blocks(node);
            } else if (k != "channels") {
                const std::string near = closest_word(k, {"link", "defaults", "block", "channels"});
                problems_.add(problems_.at(line_of(node)),
                              "unknown section " + in_quotes(k) + (near.empty() ? "" : "; did you mean " + in_quotes(near) + "?") +
                                  " (a link file holds [link], [defaults.KIND], [channels] and [[block]])");
            }
        }
        if (plan_)
            for (const PlanBlock& b : plan_->receivers) read_block(b.table, b.line, &b.lines);
        if (!root.contains("link")) problems_.add(problems_.source(), "no [link] section (its name and end time)");
        if (!root.contains("block") && !plan_) problems_.add(problems_.source(), "no [[block]]: the link has no blocks");
    }

    void read_plan(const toml::node& node) {
        const auto t = node.as_table();
        if (t == nullptr) {
            problems_.add(problems_.at(line_of(node)), "channels must be a table: [channels]");
            return;
        }
        plan_ = expand_channel_plan(*t, [&](int line, const std::string& what) { problems_.add(problems_.at(line), what); });
        if (plan_) given_.plan_centre_thz = plan_->centre_thz();
    }

    void read_link(const toml::node& node) {
        const auto t = node.as_table();
        if (t == nullptr) {
            problems_.add(problems_.at(line_of(node)), "link must be a table: [link]");
            return;
        }
        const KindSpec& kind = link_settings_kind();
        for (const auto& [key, value] : *t) {
            const std::string where = problems_.at(line_of(value)) + ": [link]";
            if (kind.find_param(key.str()) == nullptr)
                problems_.add(where, unknown_key(kind, key.str(), false));
            else
                set_link_value(std::string(key.str()), Given{&value, where, base_dir_});
        }
    }

    // A run setting; the emission window and the end time may be "auto".
    void set_link_value(const std::string& key, const Given& g) {
        const bool timing = key == "emission_window_ps" || key == "end_time_ps";
        const bool automatic = timing && g.node->value<std::string>() == "auto";
        if (timing) (key == "end_time_ps" ? given_.auto_end_time : given_.auto_emission_window) = automatic;
        if (automatic) {
            link_values_.erase(key);
            auto_where_[key] = g.where;
        } else {
            link_values_[key] = g;
        }
    }

    void read_defaults(const toml::node& node) {
        const auto t = node.as_table();
        if (t == nullptr) {
            problems_.add(problems_.at(line_of(node)), "defaults must be a table of kinds: [defaults.KIND]");
            return;
        }
        for (const auto& [kind_name, table] : *t) {
            const std::string where = problems_.at(line_of(table)) + ": [defaults." + std::string(kind_name.str()) + "]";
            const KindSpec* kind = find_kind(kind_name.str());
            const auto values = table.as_table();
            if (kind == nullptr || values == nullptr) {
                problems_.add(where, kind == nullptr ? unknown_kind(kind_name.str()) : "must be a table of parameters");
                continue;
            }
            for (const auto& [key, value] : *values) {
                const std::string at = problems_.at(line_of(value)) + ": [defaults." + std::string(kind->name) + "]";
                if (kind->find_param(key.str()) == nullptr && find_form(*kind, key.str()) == nullptr)
                    problems_.add(at, unknown_key(*kind, key.str(), false) +
                                          (kind->find_port(key.str()) != nullptr ? " (connections belong to blocks)" : ""));
                else
                    defaults_[kind][std::string(key.str())] = Given{&value, at, base_dir_};
            }
            refuse_two_forms(*kind, defaults_[kind]);
        }
    }

    void read_blocks(const toml::node& node) {
        const auto a = node.as_array();
        if (a == nullptr) {
            problems_.add(problems_.at(line_of(node)), "block must be an array of tables: [[block]]");
            return;
        }
        for (const toml::node& n : *a) {
            const auto t = n.as_table();
            const int line = line_of(n);
            if (t == nullptr) {
                problems_.add(problems_.at(line), "a block must be a table: [[block]]");
                continue;
            }
            read_block(*t, line);
        }
    }

    // A block of the file, or of a channel plan (with the lines of its values).
    void read_block(const toml::table& t, int line, const std::map<std::string, int>* lines = nullptr) {
        BlockDraft d;
        d.block.line = line;
        const toml::node* id = t.get("id");
        const toml::node* kind = t.get("kind");
        std::string label = "block";
        if (id == nullptr || !id->is_integer() || id->as_integer()->get() < 1 || id->as_integer()->get() > 999999) {
            problems_.add(problems_.at(line) + ": block",
                          id == nullptr ? "missing id (the instance number)" : "id must be a whole number from 1 to 999999");
        } else {
            d.block.id = static_cast<std::int32_t>(id->as_integer()->get());
            label += " " + std::to_string(d.block.id);
        }
        if (kind == nullptr || !kind->is_string()) {
            problems_.add(problems_.at(line) + ": " + label,
                          kind == nullptr ? "missing kind (nodrix blocks lists the kinds)" : "kind must be a text in quotes");
            return;
        }
        d.block.kind = find_kind(kind->as_string()->get());
        if (d.block.kind == nullptr) {
            problems_.add(problems_.at(line_of(*kind)) + ": " + label, unknown_kind(kind->as_string()->get()));
            // Its signals are unknown too: readers of them are not reported again.
            if (d.block.id != 0) unknown_writers_.insert(d.block.id);
            for (const char* key : {"output", "clock_output"})
                if (const toml::node* n = t.get(key); n != nullptr && n->is_integer())
                    unknown_writers_.insert(static_cast<std::int32_t>(n->as_integer()->get()));
            return;
        }
        d.where = problems_.at(line) + ": " + label + " (" + std::string(d.block.kind->name) + ")";
        for (const auto& [key, value] : t) {
            const std::string k(key.str());
            if (k == "id" || k == "kind") continue;
            const int at = lines != nullptr && lines->count(k) != 0 ? lines->at(k) : line_of(value);
            const std::string where = problems_.at(at) + ": " + label + " (" + std::string(d.block.kind->name) + ")";
            if (d.block.kind->find_param(k) != nullptr || find_form(*d.block.kind, k) != nullptr)
                d.values[k] = Given{&value, where, base_dir_};
            else if (d.block.kind->find_port(k) != nullptr)
                d.connections[k] = Given{channel_connection(value, where), where, base_dir_};
            else
                problems_.add(where, unknown_key(*d.block.kind, k, true));
        }
        refuse_two_forms(*d.block.kind, d.values);
        if (d.block.id != 0) drafts_.push_back(std::move(d));
    }

    // A connection "channels" or "channels A-B": the channels' light.
    const toml::node* channel_connection(const toml::node& value, const std::string& where) {
        const auto word = value.value<std::string>();
        if (!plan_ || !word) return &value;
        std::string problem;
        const auto signals = channel_signals(*plan_, *word, problem);
        if (!signals) return &value;
        if (!problem.empty()) problems_.add(where, problem);
        toml::array numbers;
        for (std::int32_t n : *signals) numbers.push_back(static_cast<std::int64_t>(n));
        toml::table& t = parsed_.emplace_back();
        t.insert("v", std::move(numbers));
        return t.get("v");
    }

    // The value of an override as a TOML value; a bare word is a text.
    const toml::node* override_value(const LinkOverride& o) {
        try {
            const toml::table& t = parsed_.emplace_back(toml::parse("v = " + o.value));
            if (const toml::node* v = t.get("v")) return v;
        } catch (const toml::parse_error&) {
        }
        toml::table& t = parsed_.emplace_back();
        t.insert("v", o.value);
        return t.get("v");
    }

    void apply(const LinkOverride& o) {
        const Given g{override_value(o), o.origin, fs::current_path().string(), true};
        if (o.target == "link") {
            if (link_settings_kind().find_param(o.key) == nullptr)
                problems_.add(o.origin, unknown_key(link_settings_kind(), o.key, false));
            else
                set_link_value(o.key, g);
            return;
        }
        const bool number = o.target.find_first_not_of("0123456789") == std::string::npos;
        const KindSpec* kind = number ? nullptr : find_kind(o.target);
        if (!number && kind == nullptr) {
            problems_.add(o.origin, in_quotes(o.target) + " is neither \"link\", an instance number nor a block kind; " +
                                        unknown_kind(o.target));
            return;
        }
        int matched = 0;
        for (BlockDraft& d : drafts_) {
            if (number ? std::to_string(d.block.id) != o.target : d.block.kind != kind) continue;
            ++matched;
            if (d.block.kind->find_param(o.key) != nullptr || find_form(*d.block.kind, o.key) != nullptr) {
                // It replaces the quantity, in whichever form the file gave it.
                std::erase_if(d.values, [&](const auto& e) { return same_quantity(*d.block.kind, e.first, o.key); });
                d.values[o.key] = g;
            } else if (number && d.block.kind->find_port(o.key) != nullptr)
                d.connections[o.key] = g;
            else
                problems_.add(o.origin, "block " + std::to_string(d.block.id) + " (" + std::string(d.block.kind->name) +
                                            "): " + unknown_key(*d.block.kind, o.key, number));
        }
        if (matched == 0)
            problems_.add(o.origin, number ? "the link has no block " + o.target
                                           : "the link has no block of kind " + in_quotes(o.target));
    }

    std::optional<Link> build() {
        Link link;
        link.source = problems_.source();
        const std::string link_where = problems_.source() + ": [link]";
        for (const auto& [key, g] : link_values_) given_.names.insert(key);
        if (auto_timing(given_).auto_end_time) {
            // A stand-in until the measurements give the end time.
            toml::table& t = parsed_.emplace_back();
            t.insert("v", 1.0);
            link_values_["end_time_ps"] = Given{t.get("v"), link_where, base_dir_};
        }
        link.settings = BlockSettings(link_settings_kind(),
                                      resolve(link_settings_kind(), link_values_, link_where, problems_));
        if (problems_.count() == 0) derive_settings(link, link_where);
        check_link_settings(link.settings, link_where);
        // Rules against the run settings apply only to settings that are sound.
        const bool settings_sound = problems_.count() == 0;
        if (settings_sound) {
            Findings run;
            check_run_settings(link.settings, run);
            for (const Finding& f : run.list()) report(f, where_of_setting(f.param, link_where));
        }
        const LinkContext context = LinkContext::of(link.settings);
        std::map<std::int32_t, int> first_line;
        std::map<const KindSpec*, int> ordinals;
        for (BlockDraft& d : drafts_) {
            if (auto [at, fresh] = first_line.emplace(d.block.id, d.block.line); !fresh)
                problems_.add(d.where, "duplicate instance " + std::to_string(d.block.id) + " (also at line " +
                                           std::to_string(at->second) + ")");
            d.block.ordinal = ++ordinals[d.block.kind];
            connect(d);
        }
        check_signals();
        std::vector<std::int32_t> factors_to_derive;  // modulators that leave their spectrum to the link
        for (BlockDraft& d : drafts_) {
            const int before = problems_.count();
            const std::map<std::string, Given> given = with_defaults(d);
            if (d.block.kind->name == "modulator" && given.count("spectral_field_factor") == 0)
                factors_to_derive.push_back(d.block.id);
            std::vector<ParamValue> values = resolve(*d.block.kind, given, d.where, problems_);
            derive_from_forms(d, given, std::as_const(link.settings).value("centre_frequency_thz").number, values);
            for (std::size_t k = 0; k < values.size(); ++k) {
                if (d.block.kind->params[k].type != ParamType::text) continue;
                // A caption the link does not give names the block by kind and instance.
                if (d.block.kind->params[k].name == "title" && given.count("title") == 0)
                    values[k].text = std::string(d.block.kind->name) + " " + std::to_string(d.block.id);
                std::string problem;
                values[k].text = expand(values[k].text, link.settings.text("name"), &d.block, problem);
                if (!problem.empty()) problems_.add(d.where, std::string(d.block.kind->params[k].name) + ": " + problem);
            }
            d.block.settings = BlockSettings(*d.block.kind, std::move(values));
            if (d.block.kind->check != nullptr && settings_sound && problems_.count() == before) {
                Findings found;
                d.block.kind->check(d.block.settings, context, found);
                for (const Finding& f : found.list()) report(f, where_of(d, f.param));
            }
            link.blocks.push_back(std::move(d.block));
        }
        if (problems_.count() == 0) derive_spectral_field_factors(link, factors_to_derive);
        // The link as a whole, once every block is sound (drafts_ and the
        // blocks are in the same order).
        if (problems_.count() == 0)
            for (const auto& [block, f] : check_link_physics(link))
                report(f, where_of(drafts_[static_cast<std::size_t>(block - link.blocks.data())], f.param));
        if (problems_.count() > 0) return finish();
        if (plan_)
            for (int k = 1; k <= plan_->count; ++k) {
                LinkChannel c{k, plan_->frequency_thz(k), {}};
                for (const auto* side : {&plan_->transmitters, &plan_->receivers})
                    for (const PlanBlock& b : *side)
                        if (b.channel == k) c.blocks.push_back(static_cast<std::int32_t>(b.table["id"].value_or(0)));
                link.channels.push_back(std::move(c));
            }
        return link;
    }

    // The settings that follow from the given ones (link_settings.h).
    void derive_settings(Link& link, const std::string& link_where) {
        Findings found;
        const DerivedTiming timing = derive_link_settings(link.settings, given_, found);
        for (const Finding& f : found.list())
            report(f, auto_where_.count(f.param) != 0 ? auto_where_[f.param] : where_of_setting(f.param, link_where));
        link.auto_emission_window = timing.auto_emission_window;
        link.auto_end_time = timing.auto_end_time;
    }

    // What a block was given: its own values, then those of its kind's
    // defaults for the quantities it does not give in any form, then the
    // link's samples per bit.
    std::map<std::string, Given> with_defaults(const BlockDraft& d) const {
        std::map<std::string, Given> given = d.values;
        if (const auto spb = link_values_.find("samples_per_bit");
            spb != link_values_.end() && spb->second.node->value_or(std::int64_t{0}) > 0 &&
            d.block.kind->find_param("samples_per_bit") != nullptr) {
            const auto own = defaults_.find(d.block.kind);
            if (own == defaults_.end() || own->second.count("samples_per_bit") == 0)
                given.emplace("samples_per_bit", spb->second);
        }
        const auto defaults = defaults_.find(d.block.kind);
        if (defaults == defaults_.end()) return given;
        for (const auto& [key, g] : defaults->second)
            if (std::none_of(d.values.begin(), d.values.end(), [&](const auto& e) {
                    return e.first == key || same_quantity(*d.block.kind, e.first, key);
                }))
                given.emplace(key, g);
        return given;
    }

    // One place giving a parameter in two forms (power_mw and power_dbm).
    void refuse_two_forms(const KindSpec& kind, const std::map<std::string, Given>& table) {
        for (auto a = table.begin(); a != table.end(); ++a)
            for (auto b = std::next(a); b != table.end(); ++b)
                if (same_quantity(kind, a->first, b->first))
                    problems_.add(b->second.where, a->first + " and " + b->first +
                                                       " give one quantity in two forms; give one of them");
    }

    // The parameters a block gives in other forms (designer's units, a
    // fibre's preset and dispersion), derived and checked like given ones.
    void derive_from_forms(const BlockDraft& d, const std::map<std::string, Given>& given, double centre_thz,
                           std::vector<ParamValue>& values) {
        const KindSpec& kind = *d.block.kind;
        GivenValues in{.centre_frequency_thz = centre_thz};
        bool forms = false;
        bool sound = true;
        for (const auto& [key, g] : given) {
            if (const ParamSpec* p = kind.find_param(key)) {
                in.values[key] = values[static_cast<std::size_t>(p - kind.params.data())];
            } else if (const ParameterForm* f = find_form(kind, key)) {
                ParamValue v = default_param_value(f->entry);
                const std::string problem = convert(f->entry, g, v);
                if (!problem.empty()) problems_.add(g.where, problem);
                in.values[key] = v;
                forms = true;
                sound = sound && problem.empty();
            }
        }
        if (!forms || !sound) return;
        std::vector<DerivedValue> derived;
        Findings found;
        derive_parameters(kind, in, derived, found);
        auto where = [&](std::string_view key) {
            const auto g = given.find(std::string(key));
            return g != given.end() ? g->second.where : d.where;
        };
        for (const Finding& f : found.list()) report(f, where(f.param));
        for (const DerivedValue& v : derived) {
            const ParamSpec& p = *kind.find_param(v.param);
            // "power_dbm = 400 gives power_mw = 1e+40, which is beyond ..."
            const std::string stored = std::string(p.name) + " = " + number_text(v.number);
            if (const std::string problem = value_problem(p, v.number); !problem.empty())
                problems_.add(where(v.key), v.from + " gives " + stored + ", which" + problem.substr(stored.size()));
            else
                values[static_cast<std::size_t>(&p - kind.params.data())].number = v.number;
        }
    }

    void report(const Finding& f, const std::string& where) {
        if (f.error)
            problems_.add(where, f.text);
        else
            opxwarn(where + ": " + f.text);
    }

    // Where a finding about a block's parameter is reported: the value's own
    // line in the block, or the block and the place the value came from (a
    // -set, the kind's defaults).
    std::string where_of(const BlockDraft& d, const std::string& param) const {
        if (param.empty()) return d.where;
        if (const auto g = d.values.find(param); g != d.values.end())
            return g->second.command_line ? d.where + ", " + g->second.where : g->second.where;
        // Given in another form: where that form was written.
        for (const auto& [key, g] : d.values)
            if (same_quantity(*d.block.kind, key, param)) return g.command_line ? d.where + ", " + g.where : g.where;
        if (const auto k = defaults_.find(d.block.kind); k != defaults_.end())
            if (const auto g = k->second.find(param); g != k->second.end()) return d.where + ", " + g->second.where;
        return d.where;
    }

    std::string where_of_setting(const std::string& param, const std::string& link_where) const {
        const auto g = link_values_.find(param);
        if (g == link_values_.end()) return link_where;
        return g->second.command_line ? link_where + ", " + g->second.where : g->second.where;
    }

    void check_link_settings(const BlockSettings& s, const std::string& where) {
        const std::string& name = s.text("name");
        const bool safe = !name.empty() && name[0] != '.' &&
                          name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-.") ==
                              std::string::npos;
        if (!safe && link_values_.count("name") != 0)
            problems_.add(link_values_["name"].where,
                          "name " + in_quotes(name) + " cannot name files; use letters, digits, '_', '-' and '.'");
        if (!(s.real("grid_low_thz") < s.real("grid_high_thz")))
            problems_.add(where, "grid_low_thz must lie below grid_high_thz");
        if (!(s.real("band_low_thz") < s.real("band_high_thz")))
            problems_.add(where, "band_low_thz must lie below band_high_thz");
    }

    // Reads a block's connections: the signals it reads, the numbers of the
    // signals it writes.
    void connect(BlockDraft& d) {
        LinkBlock& b = d.block;
        const KindSpec& kind = *b.kind;
        for (const PortSpec& port : kind.inputs) {
            const auto g = d.connections.find(std::string(port.key));
            if (g == d.connections.end()) {
                if (port.required)
                    problems_.add(d.where, "missing connection " + std::string(port.key) + " (" +
                                               (port.max_count > 1 ? "1 to " + std::to_string(port.max_count) + " " : "an ") +
                                               signal_kind_name(port.kind) + " signal" +
                                               (port.max_count > 1 ? "s" : "") + ")");
                continue;
            }
            std::vector<std::int32_t> numbers;
            if (!signal_number(g->second, port, numbers, problems_)) continue;
            if (port.key == "drive")
                b.drive = numbers[0];
            else
                b.inputs.insert(b.inputs.end(), numbers.begin(), numbers.end());
        }
        for (const PortSpec& port : kind.outputs) {
            const auto g = d.connections.find(std::string(port.key));
            std::int32_t number = port.key == "output" ? b.id : 0;
            if (g != d.connections.end()) {
                std::vector<std::int32_t> numbers;
                if (!signal_number(g->second, port, numbers, problems_)) continue;
                number = numbers[0];
            }
            (port.key == "output" ? b.output : b.clock_output) = number;
        }
    }

    // Every input is written by an earlier block, as a signal of the kind the
    // port takes; no signal is written twice.
    void check_signals() {
        struct Writer {
            const BlockDraft* block;
            SignalKind kind;
            std::size_t order;
        };
        std::map<std::int32_t, Writer> writers;
        for (std::size_t k = 0; k < drafts_.size(); ++k) {
            const LinkBlock& b = drafts_[k].block;
            for (const PortSpec& port : b.kind->outputs) {
                const std::int32_t number = port.key == "output" ? b.output : b.clock_output;
                if (number == 0) continue;
                const auto [at, fresh] = writers.emplace(number, Writer{&drafts_[k], port.kind, k});
                // A duplicate instance writes its number twice; that is reported already.
                if (!fresh && at->second.block->block.id != b.id)
                    problems_.add(drafts_[k].where, std::string(port.key) + " " + std::to_string(number) +
                                                        " is already written by block " +
                                                        std::to_string(at->second.block->block.id));
            }
        }
        for (std::size_t k = 0; k < drafts_.size(); ++k) {
            const BlockDraft& d = drafts_[k];
            auto check = [&](std::int32_t signal, const PortSpec& port) {
                const auto w = writers.find(signal);
                const std::string what = std::string(port.key) + " " + std::to_string(signal);
                if (w == writers.end()) {
                    if (unknown_writers_.count(signal) == 0) problems_.add(d.where, what + " is not written by any block");
                } else if (w->second.order >= k) {
                    problems_.add(d.where, what + " is written by block " + std::to_string(w->second.block->block.id) +
                                               ", which does not come before it in the schedule");
                } else if (w->second.kind != port.kind) {
                    const LinkBlock& from = w->second.block->block;
                    problems_.add(d.where, what + " is the " + signal_kind_name(w->second.kind) + " output of block " +
                                               std::to_string(from.id) + " (" + std::string(from.kind->name) + "); " +
                                               std::string(port.key) + " takes an " + signal_kind_name(port.kind) +
                                               " signal");
                }
            };
            std::size_t next = 0;
            for (const PortSpec& port : d.block.kind->inputs) {
                if (port.key == "drive") {
                    if (d.block.drive != 0) check(d.block.drive, port);
                    continue;
                }
                for (; next < d.block.inputs.size(); ++next) check(d.block.inputs[next], port);
            }
        }
    }

    std::optional<Link> finish() {
        opxinfo(problems_.source() + ": " + std::to_string(problems_.count()) +
                (problems_.count() == 1 ? " error" : " errors") + "; nothing was run");
        return std::nullopt;
    }

    Problems problems_;
    std::string base_dir_;
    std::map<std::string, Given> link_values_;
    std::optional<ChannelPlan> plan_;
    GivenSettings given_;                            // of [link] and its overrides
    std::map<std::string, std::string> auto_where_;  // where "auto" was given
    std::map<const KindSpec*, std::map<std::string, Given>> defaults_;
    std::vector<BlockDraft> drafts_;
    std::set<std::int32_t> unknown_writers_;  // signals of blocks of unknown kinds
    std::deque<toml::table> parsed_;  // the overrides' values
};

}  // namespace

std::optional<Link> load_link_text(std::string_view text, const std::string& source, const std::string& base_dir,
                                   const std::vector<LinkOverride>& overrides) {
    Loader loader(source, base_dir);
    return loader.load(text, overrides);
}

std::optional<Link> load_link_file(const std::string& path, const std::vector<LinkOverride>& overrides) {
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    if (!in || fs::is_directory(path, ec)) {
        opxerr("Cannot read the link file " + path + ": " +
               (fs::exists(path, ec) ? "not a readable file" : "no such file"));
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const fs::path dir = fs::absolute(fs::path(path)).parent_path();
    return load_link_text(text.str(), path, dir.string(), overrides);
}

}  // namespace nodrix

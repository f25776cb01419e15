#include "kernel/block_kind.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace nodrix {

const char* signal_kind_name(SignalKind kind) {
    switch (kind) {
        case SignalKind::optical: return "optical";
        case SignalKind::electrical: return "electrical";
        case SignalKind::logical: return "logical";
    }
    return "";
}

const char* param_type_name(ParamType type) {
    switch (type) {
        case ParamType::real: return "real";
        case ParamType::integer: return "integer";
        case ParamType::flag: return "flag";
        case ParamType::choice: return "choice";
        case ParamType::text: return "text";
        case ParamType::file: return "file";
        case ParamType::integer_list: return "integers";
    }
    return "";
}

ParamValue default_param_value(const ParamSpec& p) {
    ParamValue v;
    v.number = p.fallback;
    v.text = std::string(p.text_fallback);
    if (p.type == ParamType::integer_list) {
        std::istringstream in(v.text);
        for (std::string item; std::getline(in, item, ',');) v.list.push_back(std::stoi(item));
        v.text.clear();
    }
    return v;
}

BlockSettings BlockSettings::defaults(const KindSpec& kind) {
    std::vector<ParamValue> values;
    for (const ParamSpec& p : kind.params) values.push_back(default_param_value(p));
    return BlockSettings(kind, std::move(values));
}

const ParamValue& BlockSettings::value(std::string_view name) const {
    for (std::size_t k = 0; k < kind_->params.size(); ++k)
        if (kind_->params[k].name == name) return values_[k];
    // A kind's call asks only for its own parameters; anything else is a
    // programming error in the declaration.
    throw std::logic_error("block kind " + std::string(kind_->name) + " has no parameter " + std::string(name));
}

float BlockSettings::real(std::string_view name) const { return static_cast<float>(value(name).number); }
std::int32_t BlockSettings::integer(std::string_view name) const {
    return static_cast<std::int32_t>(value(name).number);
}
bool BlockSettings::flag(std::string_view name) const { return value(name).number != 0.0; }
const std::string& BlockSettings::text(std::string_view name) const { return value(name).text; }
const std::vector<std::int32_t>& BlockSettings::integers(std::string_view name) const { return value(name).list; }

void BlockSettings::set_text(std::string_view name, std::string text) { value(name).text = std::move(text); }
void BlockSettings::set_number(std::string_view name, double number) { value(name).number = number; }

std::string BlockSettings::padded(std::string_view name, std::size_t width) const {
    std::string s = text(name);
    if (s.size() < width) s.resize(width, ' ');
    return s;
}

const ParamSpec* KindSpec::find_param(std::string_view n) const {
    for (const ParamSpec& p : params)
        if (p.name == n) return &p;
    return nullptr;
}

const PortSpec* KindSpec::find_port(std::string_view key) const {
    for (const PortSpec& p : inputs)
        if (p.key == key) return &p;
    for (const PortSpec& p : outputs)
        if (p.key == key) return &p;
    return nullptr;
}

std::string number_text(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.9g", v);
    return buf;
}

std::string number_text(float v) {
    char buf[32];
    for (int digits = 6; digits < 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(v));
        if (std::strtof(buf, nullptr) == v) return buf;
    }
    std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
    return buf;
}

LinkContext LinkContext::of(const BlockSettings& link) {
    return LinkContext{link.real("time_step_ps"), link.real("end_time_ps"),   link.real("centre_frequency_thz"),
                       link.real("band_low_thz"), link.real("band_high_thz"), link.real("grid_low_thz"),
                       link.real("grid_high_thz")};
}

namespace {

// "a, b or c" of the names, each in quotes when asked.
std::string listed(const std::vector<Choice>& choices, bool quoted) {
    std::string s;
    for (std::size_t k = 0; k < choices.size(); ++k) {
        if (k > 0) s += k + 1 == choices.size() ? " or " : ", ";
        s += quoted ? "\"" + std::string(choices[k].name) + "\"" : std::string(choices[k].name);
    }
    return s;
}

}  // namespace

std::string allowed_values(const ParamSpec& p) {
    switch (p.type) {
        case ParamType::flag: return "true or false";
        case ParamType::text: return "any text";
        case ParamType::file: return "a file name";
        case ParamType::integer_list: return std::to_string(p.count) + " whole numbers";
        case ParamType::choice: return listed(p.choices, true);
        case ParamType::real:
        case ParamType::integer: break;
    }
    if (!p.choices.empty()) return listed(p.choices, false);
    const bool has_low = std::isfinite(p.low);
    const bool has_high = std::isfinite(p.high);
    if (has_low && has_high && !p.low_open && !p.high_open) return number_text(p.low) + " to " + number_text(p.high);
    std::string s;
    if (has_low) s = (p.low_open ? "> " : ">= ") + number_text(p.low);
    if (has_high) s += (has_low ? " and " : "") + std::string(p.high_open ? "< " : "<= ") + number_text(p.high);
    if (s.empty()) s = "any";
    return s;
}

std::string default_value(const ParamSpec& p) {
    if (p.required) return "(required)";
    switch (p.type) {
        case ParamType::flag: return p.fallback != 0.0 ? "true" : "false";
        case ParamType::text:
        case ParamType::file: return "\"" + std::string(p.text_fallback) + "\"";
        case ParamType::integer_list: return "[" + std::string(p.text_fallback) + "]";
        case ParamType::choice:
            for (const Choice& c : p.choices)
                if (c.value == static_cast<std::int32_t>(p.fallback)) return "\"" + std::string(c.name) + "\"";
            return "";
        case ParamType::real:
        case ParamType::integer: break;
    }
    return number_text(p.fallback);
}

// ---- Registration ---------------------------------------------------------

namespace {

// Filled by the registrations while the program starts, read-only after.
struct Catalogue {
    std::vector<std::unique_ptr<const KindSpec>> kinds;
    std::vector<const KindSpec*> ordered;
};

Catalogue& catalogue() {
    static Catalogue c;
    return c;
}

bool listed_before(const KindSpec* a, const KindSpec* b) {
    if (a->family != b->family) return a->family < b->family;
    return a->name < b->name;
}

}  // namespace

KindRegistration::KindRegistration(KindSpec kind) {
    Catalogue& c = catalogue();
    // Two files declaring one name is a programming error that no link could
    // ever resolve.
    if (find_registered_kind(kind.name) != nullptr)
        throw std::logic_error("block kind " + std::string(kind.name) + " is declared twice");
    c.kinds.push_back(std::make_unique<const KindSpec>(std::move(kind)));
    const KindSpec* added = c.kinds.back().get();
    c.ordered.insert(std::upper_bound(c.ordered.begin(), c.ordered.end(), added, listed_before), added);
}

const std::vector<const KindSpec*>& registered_kinds() { return catalogue().ordered; }

const KindSpec* find_registered_kind(std::string_view name) {
    for (const KindSpec* k : catalogue().ordered)
        if (k->name == name) return k;
    return nullptr;
}

namespace {
std::vector<std::unique_ptr<const KindForms>>& forms_catalogue() {
    static std::vector<std::unique_ptr<const KindForms>> list;
    return list;
}
}  // namespace

KindFormsRegistration::KindFormsRegistration(KindForms forms) {
    if (find_registered_forms(forms.kind) != nullptr)
        throw std::logic_error("the other forms of kind " + std::string(forms.kind) + " are declared twice");
    forms_catalogue().push_back(std::make_unique<const KindForms>(std::move(forms)));
}

const KindForms* find_registered_forms(std::string_view kind) {
    for (const auto& f : forms_catalogue())
        if (f->kind == kind) return f.get();
    return nullptr;
}

}  // namespace nodrix

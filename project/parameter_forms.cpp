#include "project/parameter_forms.h"

#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "kernel/block_kind.h"

namespace nodrix {
namespace {

// How a designer's unit maps to the unit a parameter is stored in.
enum class DesignerUnit { dbm, db, ghz };

struct UnitForm {
    ParameterForm form;
    DesignerUnit unit;
    std::string name;  // owns the form's name
    std::string help;
};

bool ends_with(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// The designer's form of a parameter, if it has one: its name and unit.
bool designer_form_of(const ParamSpec& p, DesignerUnit& unit, std::string& name) {
    if (p.type != ParamType::real) return false;
    const std::string_view n = p.name;
    if (ends_with(n, "_mw") && p.unit == "mW") {
        unit = DesignerUnit::dbm;
        name = std::string(n.substr(0, n.size() - 3)) + "_dbm";
        return true;
    }
    if (ends_with(n, "_linear")) {
        unit = DesignerUnit::db;
        name = std::string(n.substr(0, n.size() - 7)) + "_db";
        return true;
    }
    if ((ends_with(n, "width_thz") || ends_with(n, "spacing_thz")) && p.unit == "THz") {
        unit = DesignerUnit::ghz;
        name = std::string(n.substr(0, n.size() - 4)) + "_ghz";
        return true;
    }
    return false;
}

const char* unit_word(DesignerUnit unit) {
    switch (unit) {
        case DesignerUnit::dbm: return "dBm";
        case DesignerUnit::db: return "dB";
        case DesignerUnit::ghz: return "GHz";
    }
    return "";
}

// How the stored value follows, in words for the help.
const char* conversion_words(DesignerUnit unit) {
    switch (unit) {
        case DesignerUnit::dbm: return ": 10^(dBm / 10) mW";
        case DesignerUnit::db: return ": 10^(dB / 10)";
        case DesignerUnit::ghz: return ": GHz / 1000 THz";
    }
    return "";
}

// The stored value of a value in the designer's unit, in double precision:
// 0 dBm is 1 mW, 10 dB a factor of 10, 12.5 GHz 0.0125 THz.
double stored_value(DesignerUnit unit, double value) {
    switch (unit) {
        case DesignerUnit::dbm:
        case DesignerUnit::db: return std::pow(10.0, value / 10.0);
        case DesignerUnit::ghz: return value / 1000.0;
    }
    return value;
}

struct FormsOfKind {
    std::vector<std::unique_ptr<UnitForm>> units;
    std::vector<ParameterForm> all;
};

const FormsOfKind& forms_of(const KindSpec& kind) {
    // Made once per kind, whichever thread asks first, and only read after.
    static struct {
        std::map<const KindSpec*, FormsOfKind> of;
        std::mutex guard;
    } made;
    const std::lock_guard lock(made.guard);
    const auto at = made.of.find(&kind);
    if (at != made.of.end()) return at->second;
    FormsOfKind& f = made.of[&kind];
    for (const ParamSpec& p : kind.params) {
        auto u = std::make_unique<UnitForm>();
        if (!designer_form_of(p, u->unit, u->name)) continue;
        u->help = std::string(p.name) + " in " + unit_word(u->unit) + conversion_words(u->unit);
        u->form.entry = ParamSpec{.name = u->name, .unit = unit_word(u->unit), .help = u->help};
        u->form.stands_for = p.name;
        f.all.push_back(u->form);
        f.units.push_back(std::move(u));
    }
    if (const KindForms* own = find_registered_forms(kind.name))
        f.all.insert(f.all.end(), own->forms.begin(), own->forms.end());
    return f;
}

}  // namespace

const std::vector<ParameterForm>& parameter_forms(const KindSpec& kind) { return forms_of(kind).all; }

const ParameterForm* find_form(const KindSpec& kind, std::string_view key) {
    for (const ParameterForm& f : parameter_forms(kind))
        if (f.entry.name == key) return &f;
    return nullptr;
}

bool same_quantity(const KindSpec& kind, std::string_view a, std::string_view b) {
    if (a == b) return false;
    const ParameterForm* fa = find_form(kind, a);
    const ParameterForm* fb = find_form(kind, b);
    return (fa != nullptr && !fa->stands_for.empty() && fa->stands_for == b) ||
           (fb != nullptr && !fb->stands_for.empty() && fb->stands_for == a);
}

void derive_parameters(const KindSpec& kind, const GivenValues& given, std::vector<DerivedValue>& derived,
                       Findings& found) {
    for (const auto& u : forms_of(kind).units) {
        const auto v = given.values.find(u->form.entry.name);
        if (v == given.values.end()) continue;
        derived.push_back({u->form.stands_for, stored_value(u->unit, v->second.number), u->form.entry.name,
                           std::string(u->form.entry.name) + " = " + number_text(v->second.number)});
    }
    if (const KindForms* own = find_registered_forms(kind.name); own != nullptr && own->derive != nullptr)
        own->derive(given, derived, found);
}

bool in_range(const ParamSpec& p, double v) {
    if (p.low_open ? !(v > p.low) : !(v >= p.low)) return false;
    if (p.high_open ? !(v < p.high) : !(v <= p.high)) return false;
    return true;
}

std::string range_problem(const ParamSpec& p, double v) {
    return std::string(p.name) + " = " + number_text(v) + " is out of range; allowed: " + allowed_values(p);
}

// The blocks hold a real in single precision: a value beyond its largest
// magnitude would be infinite, a value below its smallest one 0.
std::string value_problem(const ParamSpec& p, double v) {
    if (!std::isfinite(v) || !in_range(p, v)) return range_problem(p, v);
    const float held = static_cast<float>(v);
    if (std::isfinite(held) && (held != 0.0f || v == 0.0)) return {};
    const std::string what = std::isfinite(held)
                                 ? " would be held as 0 in single precision (smallest magnitude " +
                                       number_text(std::numeric_limits<float>::denorm_min()) + ")"
                                 : " is beyond single precision (largest magnitude " +
                                       number_text(std::numeric_limits<float>::max()) + "), in which it is held";
    return std::string(p.name) + " = " + number_text(v) + what + "; allowed: " + allowed_values(p);
}

}  // namespace nodrix

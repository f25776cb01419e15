#include "project/link_words.h"

#include <cstdio>

#include "project/parameter_forms.h"

namespace nodrix {

std::string in_quotes(std::string_view s) { return "\"" + std::string(s) + "\""; }

namespace {

std::vector<std::string_view> names_of(const KindSpec& k, bool with_ports) {
    std::vector<std::string_view> names;
    for (const ParamSpec& p : k.params) names.push_back(p.name);
    for (const ParameterForm& f : parameter_forms(k)) names.push_back(f.entry.name);
    if (with_ports) {
        for (const PortSpec& p : k.inputs) names.push_back(p.key);
        for (const PortSpec& p : k.outputs) names.push_back(p.key);
    }
    return names;
}

}  // namespace

std::string unknown_key(const KindSpec& k, std::string_view key, bool with_ports) {
    const std::string near = closest_word(key, names_of(k, with_ports));
    std::string s = "unknown " + std::string(with_ports ? "parameter or connection " : "setting ") + in_quotes(key);
    if (!near.empty()) return s + "; did you mean " + in_quotes(near) + "?";
    if (k.name == "link") return s + "; nodrix blocks link lists the settings";
    return s + "; nodrix blocks " + std::string(k.name) + " lists its parameters";
}

std::string unknown_kind(std::string_view kind) {
    std::vector<std::string_view> names;
    for (const KindSpec& k : block_kinds()) names.push_back(k.name);
    const std::string near = closest_word(kind, names);
    return "unknown kind " + in_quotes(kind) + (near.empty() ? "" : "; did you mean " + in_quotes(near) + "?") +
           " (nodrix blocks lists the kinds)";
}

std::string expand(const std::string& text, const std::string& link, const LinkBlock* b, std::string& problem) {
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] != '{') {
            out += text[k];
            continue;
        }
        const auto close = text.find('}', k);
        const std::string word = close == std::string::npos ? text.substr(k) : text.substr(k, close - k + 1);
        char buf[16];
        if (word == "{link}") {
            out += link;
        } else if (word == "{id}" && b != nullptr) {
            std::snprintf(buf, sizeof buf, "%04d", b->id);
            out += buf;
        } else if (word == "{n}" && b != nullptr) {
            out += std::to_string(b->ordinal);
        } else if (word == "{input}" && b != nullptr && !b->inputs.empty()) {
            std::snprintf(buf, sizeof buf, "%04d", b->inputs[0]);
            out += buf;
        } else {
            problem = "unknown placeholder " + word + " in " + in_quotes(text) +
                      "; a text may hold {link}, {id}, {n} and {input}";
            return text;
        }
        k += word.size() - 1;
    }
    return out;
}

}  // namespace nodrix

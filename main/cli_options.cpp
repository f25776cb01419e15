#include "main/cli_options.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "project/registry.h"
#include "runtime/opxfile.h"

namespace nodrix {

void usage_error(const std::string& verb, const std::string& what) {
    opxerr("nodrix " + verb + ": " + what + " (nodrix " + verb + " --help)");
}

bool parse_options(const std::string& verb, const std::vector<OptionSpec>& known, const std::vector<std::string>& args,
                   const std::function<bool(const std::string& name, const std::string& value)>& option,
                   const std::function<bool(const std::string& word)>& word) {
    for (std::size_t k = 0; k < args.size(); ++k) {
        const std::string& w = args[k];
        if (w.empty() || w[0] != '-' || w == "-") {
            if (!word(w)) return false;
            continue;
        }
        const bool dashes = w.rfind("--", 0) == 0;
        std::string name = w.substr(dashes ? 2 : 1);
        std::optional<std::string> value;
        if (const auto eq = name.find('='); eq != std::string::npos && dashes) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        const auto known_option = std::find_if(known.begin(), known.end(), [&](const OptionSpec& s) { return name == s.name; });
        if (known_option == known.end()) {
            std::vector<std::string_view> names;
            for (const OptionSpec& s : known) names.push_back(s.name);
            const std::string near = closest_word(name, names);
            usage_error(verb, "unknown option \"" + w + "\"" +
                                  (near.empty() ? "" : "; did you mean \"" + std::string(dashes ? "--" : "-") + near + "\"?"));
            return false;
        }
        if (known_option->takes_value && !value) {
            if (k + 1 >= args.size()) {
                usage_error(verb, std::string(dashes ? "--" : "-") + name + " needs a value");
                return false;
            }
            value = args[++k];
        }
        if (!option(name, value.value_or(""))) return false;
    }
    return true;
}

}  // namespace nodrix

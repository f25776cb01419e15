// The reading of a verb's words, shared by the verbs of nodrix: options
// written "-name" or "--name", a value in the next word or after "=" in
// "--name=value", and plain words. An unknown option names the closest one.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace nodrix {

struct OptionSpec {
    const char* name;
    bool takes_value;
};

// Reports a usage error of a verb: "nodrix VERB: WHAT (nodrix VERB --help)".
void usage_error(const std::string& verb, const std::string& what);

// Calls `option` for every known option (with its value, empty when it takes
// none) and `word` for every plain word, in order; either returns false after
// reporting a usage error. False after a usage error.
bool parse_options(const std::string& verb, const std::vector<OptionSpec>& known, const std::vector<std::string>& args,
                   const std::function<bool(const std::string& name, const std::string& value)>& option,
                   const std::function<bool(const std::string& word)>& word);

}  // namespace nodrix

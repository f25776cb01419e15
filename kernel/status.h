// Errors as values: the outcome of a phase of a block, and an error that
// names the block it comes from.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace nodrix {

// Done, or the errors found, each in words (a design may find several).
class Status {
public:
    Status() = default;
    static Status error(std::string text) {
        Status s;
        s.add(std::move(text));
        return s;
    }
    void add(std::string text) { errors_.push_back(std::move(text)); }
    bool ok() const { return errors_.empty(); }
    explicit operator bool() const { return ok(); }
    const std::vector<std::string>& errors() const { return errors_; }
    // The errors on one line ("" when done).
    std::string text() const {
        std::string joined;
        for (const std::string& e : errors_) joined += (joined.empty() ? "" : "; ") + e;
        return joined;
    }

private:
    std::vector<std::string> errors_;
};

// An error of a block, naming it.
struct BlockError {
    std::int32_t instance = 0;
    std::string kind;
    std::string text;
    bool fatal = false;  // the run could not go on
    // "block 4 (modulator)"
    std::string label() const { return "block " + std::to_string(instance) + " (" + kind + ")"; }
};

}  // namespace nodrix

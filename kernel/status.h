// Errors as values: the outcome of a phase of a block, and an error that
// names the block it comes from.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace nodrix {

// Done, or an error in words.
class Status {
public:
    Status() = default;
    static Status error(std::string text) {
        Status s;
        s.failed_ = true;
        s.text_ = std::move(text);
        return s;
    }
    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const std::string& text() const { return text_; }

private:
    bool failed_ = false;
    std::string text_;
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

// A fixture that loads a link description from text, with overrides given as
// on the command line, and keeps what the loader printed.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "project/link.h"
#include "tests/support/test_support.h"

namespace nodrix::testing {

class LinkLoadingTest : public NodrixTest {
protected:
    std::optional<Link> load(const std::string& text, const std::vector<std::string>& sets = {}) {
        std::vector<LinkOverride> overrides;
        for (const std::string& s : sets) overrides.push_back(*parse_override(s));
        ::testing::internal::CaptureStderr();
        auto link = load_link_text(text, "t.toml", "/links", overrides);
        messages_ = ::testing::internal::GetCapturedStderr();
        return link;
    }
    std::string messages_;
};

// `text` with the first `from` in it replaced by `to` (which must be there).
inline std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

}  // namespace nodrix::testing

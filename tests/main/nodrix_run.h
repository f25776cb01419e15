// Runs the program nodrix in this process, as its command line would, and
// keeps what it wrote on its two streams.
#pragma once

#include <string>
#include <vector>

#include "kernel/driver.h"
#include "main/nodrix_cli.h"
#include "tests/support/test_support.h"
#include "xu/xu_msg.h"

namespace nodrix::testing {

class NodrixRunTest : public NodrixTest {
protected:
    int run(std::vector<std::string> words) {
        words.insert(words.begin(), "nodrix");
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = nodrix_main(static_cast<int>(words.size()), argv.data());
        err_ = ::testing::internal::GetCapturedStderr();
        out_ = ::testing::internal::GetCapturedStdout();
        set_per_sample_run(false);
        return status;
    }
    std::string out_, err_;
};

// The value after `option` in the last message that names it ("-window 29906").
inline std::string hinted(const std::string& messages, const std::string& option) {
    const auto at = messages.rfind(option);
    if (at == std::string::npos) return "";
    const auto from = at + option.size();
    return messages.substr(from, messages.find_first_of(" \n", from) - from);
}

inline void expect_has(const std::string& text, const std::string& part) {
    EXPECT_NE(text.find(part), std::string::npos) << "no \"" << part << "\" in\n" << text;
}

}  // namespace nodrix::testing

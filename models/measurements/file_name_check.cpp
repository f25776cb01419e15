#include "models/measurements/file_name_check.h"

#include <string>

namespace nodrix {

void check_result_file_name(const BlockSettings& s, std::string_view param, bool cut_at_blank, Findings& found) {
    const std::string& name = s.text(param);
    const auto last = name.find_last_not_of(' ');
    if (last == std::string::npos) {
        found.error(param, std::string(param) + " is empty: the block would write no file of its own; allowed: a name");
        return;
    }
    const auto blank = name.find(' ');
    if (cut_at_blank && blank < last)
        found.error(param, std::string(param) + " = \"" + name + "\" holds a blank, at which the block cuts it (" +
                               name.substr(0, blank) + "); allowed: a name without blanks");
}

}  // namespace nodrix

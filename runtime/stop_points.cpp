#include "runtime/stop_points.h"

#include <csignal>
#include <cstdlib>

namespace nodrix {

void stop_point(std::string_view name) {
    const char* list = std::getenv("NODRIX_STOP_AT");
    if (list == nullptr) return;
    for (std::string_view rest(list); !rest.empty();) {
        const auto comma = rest.find(',');
        if (rest.substr(0, comma) == name) {
            std::raise(SIGSTOP);
            return;
        }
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
}

}  // namespace nodrix

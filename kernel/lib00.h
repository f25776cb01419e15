// Kernel error and warning routing: numeric codes shown with the simulation
// time, explained from an optional error-message file, and the fixed reports
// of a failed user-defined filter synthesis.
#pragma once

#include <cstdint>
#include <string_view>

namespace nodrix {

void tsedet(std::int32_t code);
// The electrical block library reports two-character codes ("bR", ...): they
// are shown right-justified in the five-column code field.
void tsedet(std::string_view code);
void txedet(std::string_view text);
void tswarn(std::int32_t code);
void txwarn(std::string_view text);
// Whether the kernel has counted errors: the run that asks must stop (its
// status then is 1). The process goes on.
bool tserck();

// Option words (counted from 1 in the reports) of a user-defined filter.
void error_message_opt(const std::int32_t* options, std::string_view name);
void warning_message_opt(const std::int32_t* options, std::string_view name, const std::int32_t* status);

// The kernel error count and reported-warning list (tests reset them).
std::int32_t kernel_error_count();
void reset_kernel_errors();

}  // namespace nodrix

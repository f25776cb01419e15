// Kernel error and warning routing: numeric codes shown with the simulation
// time (explained in words under nodrix's policy), and the fixed reports of a
// failed user-defined filter synthesis.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nodrix {

// How a run treats the errors its blocks and the kernel report. The project
// executable keeps the ways of the generated project: an error only makes
// the exit status 1, the run goes on, and a kernel code is shown with the
// line the project executable gives a code it has no error-message file for. nodrix runs stop at the first error (the driver
// and the schedule look at the error count after every pass, block round
// and sample), name the block in every error and warning its call reports
// (runtime/opxfile), and say in words what each kernel code means. A filter
// whose synthesis fails then reports an error too: the branch after it would
// carry no light.
struct ErrorPolicy {
    bool stop_at_error = false;
    bool name_blocks = false;
    bool explain_codes = false;
};
void set_error_policy(const ErrorPolicy& policy);
const ErrorPolicy& error_policy();
// True when the policy stops at errors and an error has been reported since
// the message counters were last zeroed.
bool stop_requested();

// What a kernel code means, in words; empty for a code the models never
// report.
std::string kernel_code_words(std::string_view code_i5);

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

// The kernel error count and reported-warning list (tests reset them, and
// the message time with them).
std::int32_t kernel_error_count();
void reset_kernel_errors();

// The simulation time [ps] the kernel's messages show: that of the sample the
// run has reached (RunContext::enter_sample sets it; it stays after the
// samples). A warning code already reported is shown again only at time 0.
void set_message_time(float time_ps);
// The run's word for that time, which a run context holds so that every
// sample sets it without looking the run up.
float& message_time_word();

}  // namespace nodrix

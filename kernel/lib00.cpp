#include "kernel/lib00.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "runtime/format.h"
#include "runtime/opxfile.h"
#include "xu/run_state.h"

namespace nodrix {
namespace {

// What the kernel's error routing keeps over a run: its policy, the errors
// it counted, the warning codes it reported and the time its messages show.
struct KernelMessages {
    std::int32_t errors = 0;
    std::vector<std::int32_t> reported_warnings;
    ErrorPolicy policy;
    float time = 0.0f;
};

KernelMessages& kernel() { return current_run_state().part<KernelMessages>(); }

// The codes the models and the unit registry report, as the error-message
// file of a full installation would explain them.
struct CodeWords {
    std::string_view code;   // as the code field reads, blanks left out
    std::string_view words;
};
constexpr CodeWords kCodeWords[] = {
    {"bR", "the Bessel filter's type is none of low-pass, band-pass and high-pass"},
    {"cR", "the Bessel filter's order is below 1"},
    {"dR", "a Bessel low- or high-pass filter was given a centre frequency, which only a band-pass takes"},
    {"eR", "the Bessel filter's chart option is neither 0 nor 1"},
    {"lR", "the Bessel filter's bandwidth is negative"},
    {"mR", "the Bessel filter's bandwidth lies beyond what the time step carries: a low- or high-pass takes at most "
           "0.2 / time step, a band-pass needs both 3-dB edges between 0 and 0.5 / time step"},
    {"oR", "the Bessel filter's order changed after its design"},
    {"pR", "the Bessel filter's order is above 10"},
    {"14011", "the data source's register degree is above 28"},
    {"14012", "the data source's bits per symbol lie outside 1 to 8"},
    {"14013", "the data source's first symbol boundary is not below its samples per bit"},
    {"14014", "the data source's table holds no such feedback polynomial for the degree in use"},
    {"15090", "the laser's carrier lies below 0.2 / time step, too low for its envelope model"},
    {"15091", "the laser's frequency modulation was driven by a signal that is not in baseband"},
    {"9250", "a data file was opened a second time while still open"},
    {"9251", "no file unit is free: too many data files are open at once"},
    {"9252", "a data file was opened in a mode the file registry does not know"},
    {"9260", "a data file was closed in a mode the file registry does not know"},
    {"9261", "a data file was closed that is not open"},
    {"9270", "a file unit was closed in a mode the file registry does not know"},
    {"9271", "a file unit was closed that is not open"},
};

// The data source's warning of a degree chosen from the run length: its code
// is 14900 plus the degree.
constexpr std::int32_t kChosenDegree = 14900;

// The project executable explains a kernel code from an error-message file;
// this program ships none, so every code reads as unexplained there.
void explain() { opxinfo("  NO ERROR MESSAGE AVAILABLE FOR THIS CODE"); }

std::string time_e13() { return fmt::E(kernel().time, 13, 6); }

std::string trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(' ');
    return first == std::string_view::npos ? std::string() : std::string(s.substr(first, s.find_last_not_of(' ') - first + 1));
}

// The code in words, with the code and the time for reference.
std::string worded(const std::string& code_i5, std::string_view kind) {
    const std::string words = kernel_code_words(code_i5);
    const std::string code = "kernel " + std::string(kind) + " code " + trimmed(code_i5);
    const std::string time = "time " + trimmed(time_e13());
    return words.empty() ? code + ", which has no explanation (" + time + ")" : words + " (" + code + ", " + time + ")";
}

void report_error(const std::string& code_i5) {
    if (kernel().policy.explain_codes) {
        opxerr(worded(code_i5, "error"));
        ++kernel().errors;
        return;
    }
    opxerr("  NODRIX PROGRAM INTERRUPT - ERROR CODE = " + code_i5 + "   TIME = " + time_e13());
    explain();
    opxinfo(" ");
    ++kernel().errors;
}

std::string first60(std::string_view text) { return std::string(text.substr(0, 60)); }

void option_lines(const std::int32_t* options, bool db_capital) {
    opxinfo("   Please check if the filter description file");
    opxinfo("   matches the following options");
    opxinfo(options[2] != 0 ? "   - abscissa in frequency [Thz]" : "   - abscissa in wavelength [nm]");
    opxinfo(options[3] != 0 ? "   - points expressed as modulus and group delay"
                            : "   - points expressed as modulus and phase");
    opxinfo(options[4] != 0 ? "   - relative abscissa values" : "   - absolute abscissa values");
    if (options[5] != 0)
        opxinfo(db_capital ? "   - modulus in dB" : "   - modulus in db");
    else
        opxinfo("   - modulus in a linear scale");
}

}  // namespace

void set_error_policy(const ErrorPolicy& policy) {
    kernel().policy = policy;
    name_message_origins(policy.name_blocks);
}

const ErrorPolicy& error_policy() { return kernel().policy; }

bool stop_requested() {
    if (!kernel().policy.stop_at_error) return false;
    std::int32_t errors = 0;
    opxget(&errors, nullptr);
    return errors > 0;
}

std::string kernel_code_words(std::string_view code_i5) {
    const std::string code = trimmed(code_i5);
    for (const CodeWords& c : kCodeWords)
        if (c.code == code) return std::string(c.words);
    char* end = nullptr;
    const long value = std::strtol(code.c_str(), &end, 10);
    if (!code.empty() && *end == '\0' && value > kChosenDegree && value <= kChosenDegree + 28)
        return "the data source's register degree was chosen from the run length: " +
               std::to_string(value - kChosenDegree);
    return {};
}

void tsedet(std::int32_t code) { report_error(fmt::I(code, 5)); }

void tsedet(std::string_view code) { report_error(fmt::A_right(code, 5)); }

void txedet(std::string_view text) {
    if (kernel().policy.explain_codes) {
        opxerr(first60(text) + " (time " + trimmed(time_e13()) + ")");
        ++kernel().errors;
        return;
    }
    opxerr("  NODRIX ERROR CONDITION - TIME = " + time_e13());
    opxinfo(" " + first60(text));
    ++kernel().errors;
}

void tswarn(std::int32_t code) {
    if (!kernel().reported_warnings.empty() && kernel().time > 0.0f)
        for (std::int32_t c : kernel().reported_warnings)
            if (c == code) return;
    const std::string code_i5 = fmt::I(code, 5);
    if (kernel().policy.explain_codes) {
        opxwarn(worded(code_i5, "warning"));
    } else {
        opxwarn("  NODRIX WARNING CONDITION - CODE = " + code_i5 + "   TIME = " + time_e13());
        explain();
    }
    if (kernel().reported_warnings.size() < 1000) kernel().reported_warnings.push_back(code);
}

void txwarn(std::string_view text) {
    if (kernel().policy.explain_codes) {
        opxwarn(first60(text) + " (time " + trimmed(time_e13()) + ")");
        return;
    }
    opxwarn("  NODRIX WARNING CONDITION - TIME = " + time_e13());
    opxinfo(" " + first60(text));
}

bool tserck() { return kernel().errors > 0; }

void error_message_opt(const std::int32_t* options, std::string_view name) {
    opxerr("User defined optical filter at ");
    opxinfo(std::string(name));
    opxinfo("   The filter syntesis was not possible");
    option_lines(options, false);
    opxinfo("please read the online help for further information.");
}

void warning_message_opt(const std::int32_t* options, std::string_view name, const std::int32_t* status) {
    if (kernel().policy.stop_at_error) {
        // The branch after the filter would carry no light: nothing after it
        // would mean anything.
        opxerr("User defined optical filter at " + std::string(name));
        opxinfo("   The filter synthesis was not possible.");
        if (status[2] != -1) option_lines(options, true);
        opxinfo("   The branch after this block would carry no light: the run stops.");
        return;
    }
    opxwarn("User defined optical filter at " + std::string(name));
    opxinfo("   The filter synthesis was not possible.");
    if (status[2] != -1) option_lines(options, true);
    opxinfo("   Please read the online help for further information.");
    opxinfo("   Simulation will proceed, but the branch ");
    opxinfo("   after this block will be turned off");
}

std::int32_t kernel_error_count() { return kernel().errors; }

void reset_kernel_errors() {
    kernel().errors = 0;
    kernel().reported_warnings.clear();
    kernel().time = 0.0f;
}

void set_message_time(float time_ps) { kernel().time = time_ps; }

float& message_time_word() { return kernel().time; }

}  // namespace nodrix

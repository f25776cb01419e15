#include "kernel/lib00.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kernel/control_blocks.h"
#include "runtime/format.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

std::int32_t kernel_errors = 0;
std::vector<std::int32_t> reported_warnings;

std::string message_file_name() {
    std::string s(zzerr.name.data(), zzerr.name.size());
    const auto nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    const auto last = s.find_last_not_of(' ');
    s.resize(last == std::string::npos ? 0 : last + 1);
    return s;
}

// Reads a record as (A5,1X,A75): code field and text, blank-padded.
void split_record(std::string line, std::string& code, std::string& text) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    line.resize(81, ' ');
    code = line.substr(0, 5);
    text = line.substr(6, 75);
}

bool reads_as_zero(const std::string& field) {
    const auto first = field.find_first_not_of(' ');
    if (first == std::string::npos) return true;
    char* end = nullptr;
    const std::string rest = field.substr(first);
    const long v = std::strtol(rest.c_str(), &end, 10);
    return v == 0;
}

// Shows the explanation lines of `code` from the error-message file.
void explain(const std::string& code_i5) {
    const std::string path = message_file_name();
    std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    bool shown = false;
    if (f != nullptr) {
        char buf[512];
        bool in_block = false;
        std::string suffix;
        while (std::fgets(buf, sizeof buf, f) != nullptr) {
            std::string line(buf);
            if (!line.empty() && line.back() == '\n') line.pop_back();
            std::string field;
            std::string text;
            split_record(line, field, text);
            if (in_block) {
                if (!reads_as_zero(field)) break;
            } else {
                const auto at = field.find('@');
                const std::size_t n = at == std::string::npos ? 5 : at;
                if (field.compare(0, n, code_i5, 0, n) != 0) continue;
                suffix = code_i5.substr(n);
                in_block = true;
            }
            for (auto at = text.find('@'); at != std::string::npos; at = text.find('@', at + suffix.size())) {
                text.replace(at, 1, suffix);
                if (suffix.empty()) break;
            }
            opxinfo(text);
            shown = true;
        }
        std::fclose(f);
    }
    if (!shown) opxinfo("  NO ERROR MESSAGE AVAILABLE FOR THIS CODE");
}

std::string time_e13() { return fmt::E(zzctrl.time, 13, 6); }

void report_error(const std::string& code_i5) {
    opxerr("  NODRIX PROGRAM INTERRUPT - ERROR CODE = " + code_i5 + "   TIME = " + time_e13());
    explain(code_i5);
    opxinfo(" ");
    ++kernel_errors;
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

void tsedet(std::int32_t code) { report_error(fmt::I(code, 5)); }

void tsedet(std::string_view code) { report_error(fmt::A_right(code, 5)); }

void txedet(std::string_view text) {
    opxerr("  NODRIX ERROR CONDITION - TIME = " + time_e13());
    opxinfo(" " + first60(text));
    ++kernel_errors;
}

void tswarn(std::int32_t code) {
    if (!reported_warnings.empty() && zzctrl.time > 0.0f)
        for (std::int32_t c : reported_warnings)
            if (c == code) return;
    const std::string code_i5 = fmt::I(code, 5);
    opxwarn("  NODRIX WARNING CONDITION - CODE = " + code_i5 + "   TIME = " + time_e13());
    explain(code_i5);
    if (reported_warnings.size() < 1000) reported_warnings.push_back(code);
}

void txwarn(std::string_view text) {
    opxwarn("  NODRIX WARNING CONDITION - TIME = " + time_e13());
    opxinfo(" " + first60(text));
}

bool tserck() { return kernel_errors > 0; }

void error_message_opt(const std::int32_t* options, std::string_view name) {
    opxerr("User defined optical filter at ");
    opxinfo(std::string(name));
    opxinfo("   The filter syntesis was not possible");
    option_lines(options, false);
    opxinfo("please read the online help for further information.");
}

void warning_message_opt(const std::int32_t* options, std::string_view name, const std::int32_t* status) {
    opxwarn("User defined optical filter at " + std::string(name));
    opxinfo("   The filter synthesis was not possible.");
    if (status[2] != -1) option_lines(options, true);
    opxinfo("   Please read the online help for further information.");
    opxinfo("   Simulation will proceed, but the branch ");
    opxinfo("   after this block will be turned off");
}

std::int32_t kernel_error_count() { return kernel_errors; }

void reset_kernel_errors() {
    kernel_errors = 0;
    reported_warnings.clear();
}

}  // namespace nodrix

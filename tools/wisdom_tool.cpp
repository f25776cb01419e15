#include "tools/wisdom_tool.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>

#include "runtime/wisdom.h"
#include "tools/output_file.h"

namespace nodrix::wisdom_tool {
namespace {

constexpr const char* kUsage =
    "Usage: nodrix-wisdom [-max N] [DIR]\n"
    "Measures the FFT plans of lengths 2 to 2^N (N from 1 to 14, default 14) in both\n"
    "directions, more thoroughly than a run can afford, and writes what FFTW learnt\n"
    "to DIR/opwis.pln, the plan wisdom file that the simulator reads from the\n"
    "directory named by the environment variable BNLIB (DIR defaults to $BNLIB),\n"
    "behind a checksum line by which a run finds the file damaged.\n"
    "Wisdom already in the file is kept and added to. Measuring takes up to a few\n"
    "seconds per length, once; runs with BNLIB=DIR then take their plans from the\n"
    "file instead of measuring them, and so also choose the same plans every time.\n"
    "The wisdom belongs to the machine and the FFTW it was measured with: measure\n"
    "again on another.\n";

using Clock = std::chrono::steady_clock;

}  // namespace

int write_wisdom(const std::string& dir, int max_exponent, std::ostream& out, std::ostream& err) {
    if (max_exponent < 1 || max_exponent > kMaxPlanExponent) {
        err << "nodrix-wisdom: the largest exponent must lie between 1 and " << kMaxPlanExponent << "\n";
        return 1;
    }
    std::error_code ec;
    if (dir.empty() || !std::filesystem::is_directory(dir, ec)) {
        err << "nodrix-wisdom: " << (dir.empty() ? std::string("no directory given and BNLIB is not set")
                                                 : "no directory " + dir)
            << "\n";
        return 1;
    }
    const std::filesystem::path file = std::filesystem::path(dir) / "opwis.pln";
    // Refused before the measuring: a device or a pipe of that name is never replaced.
    if (const std::string refusal = output_refusal(file.string()); !refusal.empty()) {
        err << "nodrix-wisdom: " << file.string() << " is not replaced: " << refusal << "\n";
        return 1;
    }
    forget_wisdom();
    const WisdomImport old = import_wisdom_file(file.string());
    if (old.imported)
        out << "Starting from the wisdom in " << file.string() << "\n";
    else if (old.present)
        err << "nodrix-wisdom: " << file.string() << " is not used (" << old.reason << "); it is replaced\n";
    for (int n = 1; n <= max_exponent; ++n) {
        const Clock::time_point t0 = Clock::now();
        if (!learn_plans(n)) {
            err << "nodrix-wisdom: FFTW cannot make a plan of length " << (1 << n) << "\n";
            return 1;
        }
        out << "length 2^" << n << ": " << std::chrono::duration<double>(Clock::now() - t0).count() << " s\n";
    }
    // Written beside the file and renamed over it: a failed write keeps the old one.
    std::string reason;
    if (!write_whole_file(file.string(), wisdom_file_text(), reason)) {
        err << "nodrix-wisdom: cannot write " << file.string() << ": " << reason << "\n";
        return 1;
    }
    out << "Wrote " << file.string() << "; runs with BNLIB=" << dir << " use it.\n";
    return 0;
}

int wisdom_tool_main(int argc, char** argv, std::ostream& out, std::ostream& err) {
    int max_exponent = kMaxPlanExponent;
    std::string dir;
    bool dir_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "-help" || a == "--help") {
            out << kUsage;
            return 0;
        }
        if (a == "-max" && i + 1 < argc) {
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (end == argv[i] || *end != '\0' || v < 1 || v > kMaxPlanExponent) {
                err << "nodrix-wisdom: -max takes a number from 1 to " << kMaxPlanExponent << "\n" << kUsage;
                return 2;
            }
            max_exponent = static_cast<int>(v);
        } else if (!a.empty() && a[0] != '-' && !dir_given) {
            dir = a;
            dir_given = true;
        } else {
            err << "nodrix-wisdom: unknown argument " << a << "\n" << kUsage;
            return 2;
        }
    }
    if (!dir_given) {
        const char* bnlib = std::getenv("BNLIB");
        if (bnlib != nullptr) dir = bnlib;
    }
    return write_wisdom(dir, max_exponent, out, err);
}

}  // namespace nodrix::wisdom_tool

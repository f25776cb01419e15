// Times the synthesis of the sixteen raised-cosine demultiplexer filters of
// the link (block set-up: description file, reading, frequency-sampling
// design, accuracy check, delay estimate, hand-over file) and prints the time
// per filter with the FFT length each settled on.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "filters/filter_tables.h"
#include "filters/optical_filter.h"
#include "filters/raised_cosine.h"
#include "kernel/control_blocks.h"
#include "kernel/driver.h"
#include "runtime/filexx.h"
#include "runtime/record_file.h"
#include "xu/xu_msg.h"

using namespace nodrix;

int main() {
    const auto dir = std::filesystem::temp_directory_path() / "nodrix-bench-filters";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    xu_MsgInit("Nodrix", 56, nullptr, nullptr);
    const ProjectConstants k;
    f_vbs_band = {k.fcenter, k.fbandlo, k.fbandhi};
    flimit = {k.fgrid0, k.fgridlo, k.fgridhi};
    optcl_ctrl.npol = 1;
    zzctrl.delt = k.delt;
    zdctrl.ddelt = static_cast<double>(k.delt);
    opx_filter_init();
    const int instances[16] = {89, 95, 104, 77, 107, 129, 83, 80, 115, 98, 122, 119, 112, 101, 86, 126};
    OpticalSignal in;
    in.iv = 1;
    in.pp = 1.0f;
    in.ps.fill(1.0f / kBins);
    InputWindow win{0.0f, 15360.0f};
    double total = 0.0;
    std::printf("channel  fc [THz]   FFT length  time [ms]\n");
    for (int c = 0; c < 16; ++c) {
        OrcfilParams p;
        p.instance = instances[c];
        p.shape_exponent = 1.0f;
        p.roll_off = 0.2f;
        p.centre_frequency = 192.35f + 0.1f * static_cast<float>(c);
        p.bandwidth = 0.04f;
        p.block_name = "Raised cosine filter";
        p.file_base = "sim_160G_ORC" + std::to_string(p.instance);
        zzctrl.pass = 0;
        optcl_ctrl.blkmode = 1;
        zzflmn.nohist = 1;
        zzsupv.storephase = 0;
        OpticalSignal out;
        TimeWindow tw;
        const auto t0 = std::chrono::steady_clock::now();
        orcfil(p, win, tw, in, out);
        const auto t1 = std::chrono::steady_clock::now();
        const double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
        total += ms;
        // The FFT length is record 2 of the hand-over file.
        std::int32_t active = 0, n = 0;
        if (std::FILE* f = std::fopen((filename_generation(p.instance, "kn") + ".DAT").c_str(), "rb")) {
            records::read_values(f, active);
            records::read_values(f, n);
            std::fclose(f);
        }
        std::printf("%7d  %8.3f  %11d  %9.2f%s\n", c + 1, p.centre_frequency, n, ms,
                    active == 1 && usdfil_area.synthesis_status == 1 ? "" : "  (synthesis failed)");
    }
    std::printf("sixteen filters: %.1f ms, %.2f ms per filter\n", total, total / 16.0);
    reset_units();
    std::filesystem::current_path(std::filesystem::temp_directory_path());
    std::filesystem::remove_all(dir);
    return 0;
}

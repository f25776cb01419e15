#include "kernel/driver.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "filters/filter_tables.h"
#include "kernel/control_blocks.h"
#include "kernel/schedule.h"
#include "kernel/storage.h"
#include "kernel/storage_limits.h"
#include "runtime/filexx.h"
#include "runtime/format.h"
#include "runtime/history.h"
#include "runtime/opxfile.h"
#include "runtime/wisdom.h"

namespace nodrix {
namespace {

ProjectDescription the_project;
StorageMaxima last_maxima{};
bool sample_by_sample = false;

void write_constants(const ProjectConstants& k) {
    f_vbs_band = {k.fcenter, k.fbandlo, k.fbandhi};
    flimit = {k.fgrid0, k.fgridlo, k.fgridhi};
    optcl_ctrl.npol = 1;
    zzctrl.delt = k.delt;
    zdctrl.ddelt = static_cast<double>(k.delt);
    inftop.itop1 = 1;
    inftop.itop2 = 1;
    std::copy(std::begin(k.seeds), std::end(k.seeds), seeds.begin());
    optcl_ctrl.setuponly = 0;
    optcl_ctrl.optaux1 = 0;
    optcl_ctrl.optaux2 = 0;
}

void write_split_step_settings(const ProjectConstants& k) {
    polmon.tmon = k.tmon;
    ssprsn = k.ssprsn;
}

void reset_cursors() {
    zzsupv.h = zzsupv.i = zzsupv.c = zzsupv.d = zzsupv.z = zzsupv.zd = 1;
    zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
}

void schedule(std::int32_t& nrun, std::int32_t& irun, std::int32_t& more, std::int32_t& first) {
    if (the_project.projec) the_project.projec(nrun, irun, more, first);
}

void write_limits_file(const StorageMaxima& m) {
    const std::string name = limits_file_name(the_project.name);
    opxfdel(name.c_str());
    std::FILE* f = std::fopen(name.c_str(), "w");
    if (f == nullptr) {
        opxerr("Cannot create the limits file " + name);
        return;
    }
    const std::pair<const char*, std::int32_t> records[] = {
        {"MAXH", m.h}, {"MAXI", m.i}, {"MAXD", m.d}, {"MAXC", m.c}, {"MAXHT", m.ht},
        {"MAXIT", m.it}, {"MAXCT", m.ct}, {"MAXZ", m.z}, {"MAXZD", m.zd},
    };
    for (const auto& [key, value] : records) {
        const std::string line = fmt::A(key, 10) + fmt::I(value, 11) + "\n";
        std::fputs(line.c_str(), f);
    }
    if (std::fclose(f) != 0) opxerr("Cannot write the limits file " + name);
}

}  // namespace

void set_project(const ProjectDescription& project) { the_project = project; }
void set_source_window(float twinin) { the_project.schedule.twinin = twinin; }
void set_per_sample_run(bool on) { sample_by_sample = on; }
bool per_sample_run() { return sample_by_sample; }
const ProjectDescription& current_project() { return the_project; }

std::string limits_file_name(const std::string& project) {
    std::string s = project;
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "x0_" + s + ".hst";
}

void ogscls() {}
void opx_constants_init() {}

StorageMaxima last_storage_maxima() { return last_maxima; }

bool storage_fits(const StorageMaxima& m) {
    return !(m.i > limits::kMaxI || m.h > limits::kMaxH || m.c > limits::kMaxC || m.d > limits::kMaxD ||
             m.z > limits::kMaxZ || m.zd > limits::kMaxZD || m.it > limits::kMaxIT || m.ht > limits::kMaxHT ||
             m.ct > limits::kMaxCT);
}

void topmain(std::int32_t& prerun, std::int32_t& status) {
    std::int32_t nrun = 1;
    std::int32_t irun = 0;
    std::int32_t more = 0;
    std::int32_t first = 1;
    StorageMaxima m{2, 2, 2, 2, 2, 2, 2, 2, 2};
    const ProjectConstants& k = the_project.constants;

    bool stopped_by_prerun = false;
    set_schedule_mode(sample_by_sample ? ScheduleMode::per_sample : ScheduleMode::setup);
    while (irun < nrun) {
        ++irun;
        reset_cursors();
        zzsupv.storephase = 0;
        zzctrl.pass = 0;
        zzmax.h = zzmax.i = zzmax.c = zzmax.d = 0;
        zzmaxd.z = zzmaxd.zd = 0;
        ztmax.ht = ztmax.it = ztmax.ct = 0;
        write_constants(k);
        opxinit();
        opx_filter_init();
        opxplancreate();
        opxhistoryinit(the_project.first_instance, the_project.last_instance);
        opx_constants_init();
        write_split_step_settings(k);
        first = 1;
        opxtrace("Dimensioning pass " + std::to_string(irun) + " of project " + the_project.name);
        schedule(nrun, irun, more, first);
        status = 0;
        if (prerun == 1) {
            stopped_by_prerun = true;
            break;
        }
        tqpmrx(nrun);
        m.h = std::max(m.h, zzmax.h);
        m.i = std::max(m.i, zzmax.i);
        m.c = std::max(m.c, zzmax.c);
        m.d = std::max(m.d, zzmax.d);
        m.z = std::max(m.z, zzmaxd.z);
        m.zd = std::max(m.zd, zzmaxd.zd);
        m.ht = std::max(m.ht, ztmax.ht);
        m.it = std::max(m.it, ztmax.it);
        m.ct = std::max(m.ct, ztmax.ct);
    }
    last_maxima = m;
    if (!stopped_by_prerun)
        opxtrace("Storage counted: H " + std::to_string(m.h) + ", I " + std::to_string(m.i) + ", C " +
                 std::to_string(m.c) + ", D " + std::to_string(m.d) + ", Z " + std::to_string(m.z) + ", ZD " +
                 std::to_string(m.zd) + ", HT " + std::to_string(m.ht) + ", IT " + std::to_string(m.it) +
                 ", CT " + std::to_string(m.ct));

    if (!stopped_by_prerun) {
        if (!storage_fits(m)) {
            if (!(zzctrl.delt > 0.0f)) {
                opxerr("DELT <= 0 - CONDITION NOT ALLOWED\nNODRIX SIMULATOR INTERRUPTED");
            } else {
                opxtrace("The storage does not fit the build's capacities: limits file " +
                         limits_file_name(the_project.name));
                write_limits_file(m);
                status = 3;
            }
        } else {
            tqflrs();
            zzsupv.storephase = 1;
            zzctrl.pass = 0;
            first = 0;
            nrun = 1;
            irun = 0;
            std::fill_n(zthist, m.ht, 0.0f);
            std::fill_n(ztist, m.it, 0);
            while (irun < nrun) {
                ++irun;
                zzctrl.pass = 0;
                reset_cursors();
                std::fill_n(zzhist, m.h, 0.0f);
                std::fill_n(zzist, m.i, 0);
                std::fill_n(zzdist, m.d, 0.0);
                std::fill_n(zzzis, m.z, std::complex<float>{});
                std::fill_n(zzzisd, m.zd, std::complex<double>{});
                for (std::int32_t c = 0; c < m.c; ++c) std::fill_n(zzcist[c], 80, ' ');
                opxtrace("Run " + std::to_string(irun) + ": initialisation");
                schedule(nrun, irun, more, first);
                tqpmrx(nrun);
                zzctrl.pass = 1;
                zzsupt.ht = zzsupt.it = zzsupt.ct = 1;
                more = 0;
                opxtrace(sample_by_sample ? "Run " + std::to_string(irun) + ": simulation sample by sample"
                                          : "Run " + std::to_string(irun) + ": second call");
                schedule(nrun, irun, more, first);
                if (more == 1) ++nrun;
            }
            ogscls();
            status = 0;
        }
    }

    set_schedule_mode(ScheduleMode::setup);
    opxplandestroy();
    opxend();
}

}  // namespace nodrix

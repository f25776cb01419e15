#include "runtime/wisdom.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace nodrix {

PPlan pplan;

namespace {
std::string wisdom_path;
}

const char* wisdom_file_name() {
    const char* dir = std::getenv("BNLIB");
    if (dir == nullptr) return nullptr;
    wisdom_path = std::string(dir) + "/opwis.pln";
    return wisdom_path.c_str();
}

void import_plan(std::int32_t& flag) {
    flag = 0;
    const char* path = wisdom_file_name();
    if (path == nullptr) return;
    std::FILE* f = std::fopen(path, "r");
    if (f == nullptr) return;
    if (fftw_import_wisdom_from_file(f) == FFTW_SUCCESS) flag = 1;
    std::fclose(f);
}

void opxplancreate() {
    for (int n = 1; n <= kMaxPlanExponent; ++n) {
        pplan.forward[n] = nullptr;
        pplan.backward[n] = nullptr;
    }
    import_plan(pplan.wisdom);
}

void create_plans(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return;
    int length = 2;
    for (int k = 1; k < n; ++k) length *= 2;
    const int flags = pplan.wisdom == 1 ? (FFTW_MEASURE | FFTW_USE_WISDOM) : FFTW_MEASURE;
    pplan.forward[n] = fftw_create_plan(length, FFTW_FORWARD, flags);
    pplan.backward[n] = fftw_create_plan(length, FFTW_BACKWARD, flags);
}

void opxplandestroy() {
    for (int n = 1; n <= kMaxPlanExponent; ++n) {
        if (pplan.forward[n] != nullptr) {
            fftw_destroy_plan(pplan.forward[n]);
            if (pplan.backward[n] != nullptr) fftw_destroy_plan(pplan.backward[n]);
        }
        pplan.forward[n] = nullptr;
        pplan.backward[n] = nullptr;
    }
}

fftw_plan forward_plan(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return nullptr;
    if (pplan.forward[n] == nullptr) create_plans(n);
    return pplan.forward[n];
}

fftw_plan backward_plan(std::int32_t n) {
    if (n < 1 || n > kMaxPlanExponent) return nullptr;
    if (pplan.backward[n] == nullptr) create_plans(n);
    return pplan.backward[n];
}

}  // namespace nodrix

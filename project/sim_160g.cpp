#include "project/sim_160g.h"

#include <vector>

#include "kernel/schedule.h"

namespace nodrix {
namespace {

constexpr std::int32_t kLastInstance = 132;

// The generated schedule: every block instance once, in schedule order.
void projec(std::int32_t& /*nrun*/, std::int32_t& /*irun*/, std::int32_t& /*more*/, std::int32_t& /*first*/) {
    std::vector<BlockCall> blocks;  // the block list joins as the models land
    run_schedule("sim_160G", blocks, kLastInstance + 1);
}

}  // namespace

ProjectDescription sim_160g_project() {
    ProjectDescription p;
    p.name = "sim_160G";
    p.first_instance = 1;
    p.last_instance = kLastInstance;
    p.projec = projec;
    return p;
}

}  // namespace nodrix

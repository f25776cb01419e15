#include "xu/run_state.h"

namespace nodrix {
namespace {

// The run installed on this thread; null outside a run.
thread_local RunState* installed = nullptr;

}  // namespace

RunState::~RunState() {
    for (auto p = parts_.rbegin(); p != parts_.rend(); ++p) p->destroy(p->object);
}

RunState& current_run_state() {
    if (installed != nullptr) return *installed;
    // The thread's own state, for work outside a run.
    thread_local RunState own;
    return own;
}

RunStateScope::RunStateScope(RunState& run) : previous_(installed) { installed = &run; }

RunStateScope::~RunStateScope() { installed = previous_; }

}  // namespace nodrix

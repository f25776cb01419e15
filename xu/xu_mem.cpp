#include "xu/xu_mem.h"

#include <cstdlib>

#include "xu/run_state.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

// The allocations a run's test makes fail.
struct ForcedFailures {
    int count = 0;
};

const char* const xu_user_msg[] = {
    "malloc() failed, size is %d",
    "calloc() failed, num is %d, size is %d",
    "realloc() failed, size is %d",
    "bad size %d",
    "bad num %d or size %d",
    "bad size %d",
    "free NULL pointer",
};

bool fail_now() {
    int& forced_failures = current_run_state().part<ForcedFailures>().count;
    if (forced_failures > 0) {
        --forced_failures;
        return true;
    }
    return false;
}

[[noreturn]] void exhausted(int line, int code, int a, int b) {
    xu_Print(kMsgFatal | 64, __FILE__, line, code, xu_user_msg, a, b);
    std::abort();  // the fatal report has aborted already
}

}  // namespace

void xu_mem_fail_next(int count) { current_run_state().part<ForcedFailures>().count = count; }

void* xu_malloc(std::size_t size) {
    if (size == 0) {
        if (xu_MsgLevel() & 8) {
            xu_Print(kMsgWarning, __FILE__, __LINE__, 3, xu_user_msg, 0);
        }
        size = 1;
    }
    void* p = fail_now() ? nullptr : std::malloc(size);
    if (p == nullptr) exhausted(__LINE__, 0, static_cast<int>(size), 0);
    return p;
}

void* xu_calloc(std::size_t num, std::size_t size) {
    if (num == 0 || size == 0) {
        if (xu_MsgLevel() & 8) {
            xu_Print(kMsgWarning, __FILE__, __LINE__, 4, xu_user_msg, static_cast<int>(num), static_cast<int>(size));
        }
        if (num == 0) num = 1;
        if (size == 0) size = 1;
    }
    void* p = fail_now() ? nullptr : std::calloc(num, size);
    if (p == nullptr) exhausted(__LINE__, 1, static_cast<int>(num), static_cast<int>(size));
    return p;
}

void* xu_realloc(void* ptr, std::size_t size) {
    if (size == 0) {
        if (xu_MsgLevel() & 8) {
            xu_Print(kMsgWarning, __FILE__, __LINE__, 5, xu_user_msg, 0);
        }
        size = 1;
    }
    void* p = fail_now() ? nullptr : std::realloc(ptr, size);
    if (p == nullptr) exhausted(__LINE__, 2, static_cast<int>(size), 0);
    return p;
}

void xu_free(void* ptr) {
    if (ptr == nullptr) {
        if (xu_MsgLevel() & 8) {
            xu_Print(kMsgWarning, __FILE__, __LINE__, 6, xu_user_msg);
        }
        return;
    }
    std::free(ptr);
}

}  // namespace nodrix

#include "xu/xu_mem.h"

#include <cstdlib>

#include "xu/xu_msg.h"

namespace nodrix {
namespace {

void (*user_exit)() = nullptr;
int forced_failures = 0;

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
    if (forced_failures > 0) {
        --forced_failures;
        return true;
    }
    return false;
}

void warn_at(int line) {
    xu_level = kMsgWarning;
    xu_file = __FILE__;
    xu_line = line;
}

[[noreturn]] void exhausted(int line, int code, int a, int b) {
    if (user_exit != nullptr) user_exit();
    xu_level = kMsgFatal | 64;
    xu_file = __FILE__;
    xu_line = line;
    xu_Print(code, xu_user_msg, a, b);
    // The fatal report has aborted; this covers a process whose report
    // callback was removed.
    std::abort();
}

}  // namespace

void xu_mem_init(void (*hook)()) { user_exit = hook; }

void xu_mem_fail_next(int count) { forced_failures = count; }

void* xu_malloc(std::size_t size) {
    if (size == 0) {
        if (xu_msg_level & 8) {
            warn_at(__LINE__);
            xu_Print(3, xu_user_msg, 0);
        }
        size = 1;
    }
    void* p = fail_now() ? nullptr : std::malloc(size);
    if (p == nullptr) exhausted(__LINE__, 0, static_cast<int>(size), 0);
    return p;
}

void* xu_calloc(std::size_t num, std::size_t size) {
    if (num == 0 || size == 0) {
        if (xu_msg_level & 8) {
            warn_at(__LINE__);
            xu_Print(4, xu_user_msg, static_cast<int>(num), static_cast<int>(size));
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
        if (xu_msg_level & 8) {
            warn_at(__LINE__);
            xu_Print(5, xu_user_msg, 0);
        }
        size = 1;
    }
    void* p = fail_now() ? nullptr : std::realloc(ptr, size);
    if (p == nullptr) exhausted(__LINE__, 2, static_cast<int>(size), 0);
    return p;
}

void xu_free(void* ptr) {
    if (ptr == nullptr) {
        if (xu_msg_level & 8) {
            warn_at(__LINE__);
            xu_Print(6, xu_user_msg);
        }
        return;
    }
    std::free(ptr);
}

}  // namespace nodrix

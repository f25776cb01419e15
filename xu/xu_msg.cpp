#include "xu/xu_msg.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "xu/run_state.h"
#include "xu/xu_mem.h"
#include "xu/xu_string.h"

namespace nodrix {

namespace {

// The message state of a run.
struct MessageState {
    XuMsg context;
    int held_outputs = -1;  // the outputs of a context whose lines are held; -1: none held
    char prog_name[40] = {};
    int msg_level = 0;
    MessageState() = default;
    MessageState(const MessageState&) = delete;
    MessageState& operator=(const MessageState&) = delete;
    ~MessageState() {
        if (context.log != nullptr) std::fclose(context.log);
        if (context.log_path != nullptr) xu_free(context.log_path);
        for (int i = 0; i < context.list_count; ++i) xu_free(context.list[i].text);
        if (context.list != nullptr) xu_free(context.list);
    }
};

MessageState& state() { return current_run_state().part<MessageState>(); }

char letter_of(int level) {
    if (level & kMsgProgram) return 'P';
    if (level & kMsgTrace) return 'T';
    if (level & kMsgInfo) return 'I';
    if (level & kMsgWarning) return 'W';
    if (level & kMsgError) return 'E';
    if (level & kMsgFatal) return 'F';
    return '?';
}

char letter_of_callback(int level) {
    switch (level) {
        case 1: return 'T';
        case 2: return 'I';
        case 8: return 'W';
        case 16: return 'E';
        case 32: return 'F';
        default: return '?';
    }
}

// Formats into a string that grows as needed (a composed line is never cut).
std::string vformat(const char* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    std::vector<char> buf(1024);
    const int n = std::vsnprintf(buf.data(), buf.size(), format, copy);
    va_end(copy);
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) >= buf.size()) {
        buf.resize(static_cast<std::size_t>(n) + 1);
        std::va_list again;
        va_copy(again, args);
        std::vsnprintf(buf.data(), buf.size(), format, again);
        va_end(again);
    }
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string location_text(const char* file, int line) {
    std::string s = xu_BaseName(file != nullptr ? file : "");
    s += "(" + std::to_string(line) + ")";
    return s;
}

// Writes a report of the xu_Print path to the standard error.
void print_report(int level, const char* name, const char* location, int code, int errnum, const char* format,
                  std::va_list args);

}  // namespace

const char* xu_BaseName(const char* path) {
    if (path == nullptr) return nullptr;
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    return base;
}

XuMsg* xu_MsgInit(const char* name, int level, int* argc, char** argv) {
    MessageState& run = state();
    XuMsg* ctx = &run.context;
    if (ctx->initialised) return ctx;
    ctx->shown = kMsgWarning | kMsgError | kMsgFatal;
    ctx->outputs = kOutStderr;
    ctx->log = nullptr;
    ctx->warning_tally = 0;
    ctx->error_tally = 0;
    ctx->list_capacity = 0;
    ctx->list_count = 0;
    ctx->list = nullptr;
    ctx->initialised = true;

    const char* source = name;
    if (source == nullptr) {
        if (argc == nullptr || argv == nullptr || *argc < 1 || argv[0] == nullptr) return nullptr;
        source = argv[0];
    }
    const char* base = xu_BaseName(source);
    if (base == nullptr || *base == '\0') return nullptr;
    std::strncpy(run.prog_name, base, sizeof run.prog_name - 1);
    run.prog_name[sizeof run.prog_name - 1] = '\0';
    ctx->name = run.prog_name;
    run.msg_level = level;

    if (argc != nullptr && argv != nullptr) {
        int i = 1;
        while (i < *argc) {
            const char* a = argv[i];
            int set = 0;
            int clear = 0;
            if (a != nullptr && (a[0] == '-' || a[0] == '/')) {
                const char* w = a + 1;
                if (std::strcmp(w, "warning") == 0) set = 8;
                else if (std::strcmp(w, "trace") == 0) set = 2;
                else if (std::strcmp(w, "ftrace") == 0) set = 1;
                else if (std::strcmp(w, "nowarning") == 0) clear = 8;
                else if (std::strcmp(w, "notrace") == 0) clear = 2;
                else if (std::strcmp(w, "noftrace") == 0) clear = 1;
            }
            if (set == 0 && clear == 0) {
                ++i;
                continue;
            }
            run.msg_level = (run.msg_level | set) & ~clear;
            for (int k = i; k < *argc - 1; ++k) argv[k] = argv[k + 1];
            argv[*argc - 1] = nullptr;
            --*argc;
        }
    }
    return ctx;
}

XuMsg* xu_MsgGetMessage(XuMsg* handle) { return handle != nullptr ? handle : &state().context; }

int xu_MsgLevel() { return state().msg_level; }

static int open_log(XuMsg* handle, const char* path, const char* mode) {
    XuMsg* ctx = xu_MsgGetMessage(handle);
    if (path != nullptr) {
        char* copy = xu_StringDup(path);
        if (ctx->log_path != nullptr) xu_free(ctx->log_path);
        ctx->log_path = copy;
    }
    if (ctx->log_path == nullptr) return 1;
    std::FILE* f = std::fopen(ctx->log_path, mode);
    if (f == nullptr) return 1;
    if (ctx->log != nullptr) std::fclose(ctx->log);
    ctx->log = f;
    ctx->outputs |= kOutLogFile;
    return 1;
}

int xu_MsgOutputFileOpen(XuMsg* handle, const char* path) { return open_log(handle, path, "w"); }

int xu_MsgOutputFileAppend(XuMsg* handle, const char* path) { return open_log(handle, path, "a"); }

int xu_MsgOutputFileClose(XuMsg* handle) {
    XuMsg* ctx = xu_MsgGetMessage(handle);
    if (ctx->log != nullptr) std::fclose(ctx->log);
    ctx->log = nullptr;
    ctx->outputs &= ~kOutLogFile;
    return 1;
}

int xu_MsgVPrintf(XuMsg* handle, int level, int code, const char* location, int word, const char* format,
                  std::va_list args) {
    XuMsg* ctx = xu_MsgGetMessage(handle);
    if ((ctx->shown & level) == 0) return 0;
    const char letter = letter_of(level);
    if (letter == 'W') ++ctx->warning_tally;
    if (letter == 'E') ++ctx->error_tally;

    std::string line;
    const std::string text = vformat(format, args);
    if (code == -2) {
        line = text;
    } else {
        if (ctx->name != nullptr) line = std::string(ctx->name) + "-";
        line += letter;
        if (code < 0) {
            line += "-" + text;
        } else {
            char head[64];
            std::snprintf(head, sizeof head, "-%03d-", code);
            line += head;
            line += location != nullptr ? location : "";
            line += ":\n" + text;
        }
    }
    if (ctx->outputs & kOutStderr) std::fprintf(stderr, "%s\n", line.c_str());
    if ((ctx->outputs & kOutLogFile) && ctx->log != nullptr) {
        std::fprintf(ctx->log, "%s\n", line.c_str());
        std::fflush(ctx->log);
    }
    if (ctx->outputs & kOutList) {
        if (ctx->list_count == ctx->list_capacity) {
            ctx->list_capacity += 25;
            ctx->list = static_cast<XuMsgRecord*>(
                xu_realloc(ctx->list, sizeof(XuMsgRecord) * static_cast<std::size_t>(ctx->list_capacity)));
        }
        ctx->list[ctx->list_count++] = XuMsgRecord{level, xu_StringDup(line.c_str()), word};
    }
    return 0;
}

int xu_MsgPrintf(XuMsg* handle, int level, int code, const char* location, int word, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int r = xu_MsgVPrintf(handle, level, code, location, word, format, args);
    va_end(args);
    return r;
}

void xu_MsgHold(XuMsg* handle) {
    XuMsg* ctx = xu_MsgGetMessage(handle);
    int& held_outputs = state().held_outputs;
    if (held_outputs < 0) held_outputs = ctx->outputs;
    ctx->outputs = kOutList;
}

void xu_MsgRelease(XuMsg* handle, bool show) {
    XuMsg* ctx = xu_MsgGetMessage(handle);
    int& held_outputs = state().held_outputs;
    if (held_outputs < 0) return;
    ctx->outputs = held_outputs;
    held_outputs = -1;
    for (int i = 0; i < ctx->list_count; ++i) {
        const char* line = ctx->list[i].text;
        if (show && (ctx->outputs & kOutStderr)) std::fprintf(stderr, "%s\n", line);
        if (show && (ctx->outputs & kOutLogFile) && ctx->log != nullptr) std::fprintf(ctx->log, "%s\n", line);
        xu_free(ctx->list[i].text);
    }
    if (show && ctx->log != nullptr) std::fflush(ctx->log);
    ctx->list_count = 0;
}

void xu_Print(int level, const char* file, int line, int code, const char* const* table, ...) {
    const int saved_errno = errno;
    const std::string location = line >= 0 ? location_text(file, line) : std::string();
    int errnum = 0;
    if (level & 64) {
        level &= ~64;
        errnum = saved_errno;
    }
    std::va_list args;
    va_start(args, table);
    print_report(level, state().prog_name, line >= 0 ? location.c_str() : nullptr, code, errnum, table[code], args);
    va_end(args);
    if (level == kMsgFatal) {
        std::fflush(nullptr);
        std::abort();
    }
}

namespace {

void print_report(int level, const char* name, const char* location, int code, int errnum, const char* format,
                  std::va_list args) {
    std::FILE* out = stderr;
    const std::string text = vformat(format, args);
    const char* prog = name != nullptr ? name : "";
    if (level == 1) {
        if (location == nullptr)
            std::fprintf(out, "%s-T: %s\n", prog, text.c_str());
        else
            std::fprintf(out, "%s-T-%s: %s\n", prog, location, text.c_str());
        return;
    }
    const char letter = letter_of_callback(level);
    if (location != nullptr && code >= 0)
        std::fprintf(out, "%s-%c-%03d-%s: ", prog, letter, code, location);
    else if (code >= 0)
        std::fprintf(out, "%s-%c-%03d: ", prog, letter, code);
    else if (location != nullptr)
        std::fprintf(out, "%s-%c-%s: ", prog, letter, location);
    else
        std::fprintf(out, "%s-%c-: ", prog, letter);
    std::fprintf(out, "%s\n", text.c_str());
    if (errnum > 0) {
        const char* sys = std::strerror(errnum);
        if (sys != nullptr) std::fprintf(out, "\t: %s\n", sys);
    }
}

}  // namespace

}  // namespace nodrix

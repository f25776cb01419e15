#include "runtime/opxfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/run_files.h"
#include "xu/run_state.h"
#include "xu/xu_msg.h"

namespace nodrix {
namespace {

// A run's counted errors and warnings, and whether its messages name the block.
struct MessageCounts {
    std::int32_t errors = 0;
    std::int32_t warnings = 0;
    bool naming_origins = false;
};

MessageCounts& counts() { return current_run_state().part<MessageCounts>(); }

// The block whose call is under way on this thread, set around each call of
// the set-up rounds and the finish; and the labels and the index of a loop
// of block calls (set_message_origin_lookup), which the sample loop keeps
// up to date instead. Plain thread-local words, read only when a message is
// reported, not parts of the run looked up at every call.
thread_local const char* call_origin = nullptr;
thread_local const char* const* origin_labels = nullptr;
thread_local const std::size_t* origin_index = nullptr;

const char* message_origin() {
    if (origin_labels != nullptr && origin_index != nullptr) return origin_labels[*origin_index];
    return call_origin;
}

// Reports a line of a severity, led by the block under way when naming.
void report(std::int32_t level, const char* text) {
    const char* origin = message_origin();
    if (counts().naming_origins && origin != nullptr && *origin != '\0')
        xu_MsgPrintf(nullptr, level, -1, nullptr, 0, "%s: %s", origin, text);
    else
        xu_MsgPrintf(nullptr, level, -1, nullptr, 0, "%s", text);
}

bool empty_text(const char* text) { return text == nullptr || text[0] == '\0'; }

void bad_parameter() { std::fputs("opx[err|warn|info](): bad parameter\n", stderr); }

// Whether the run's version of the file can be read.
bool file_exists(const std::string& name) {
    const std::string path = present_version(name);
    std::FILE* f = path.empty() ? nullptr : std::fopen(path.c_str(), "r");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

}  // namespace

void set_message_origin(const char* origin) { call_origin = origin; }
void set_message_origin_lookup(const char* const* labels, const std::size_t* index) {
    origin_labels = labels;
    origin_index = index;
}
const char* current_message_origin() { return message_origin(); }
void name_message_origins(bool on) { counts().naming_origins = on; }

void opxinit() {
    counts().errors = 0;
    counts().warnings = 0;
}

void opxerr(const char* text) {
    if (empty_text(text)) {
        bad_parameter();
        return;
    }
    report(kMsgError, text);
    ++counts().errors;
}

void opxwarn(const char* text) {
    if (empty_text(text)) {
        bad_parameter();
        return;
    }
    report(kMsgWarning, text);
    ++counts().warnings;
}

void opxinfo(const char* text) {
    if (empty_text(text)) {
        bad_parameter();
        return;
    }
    xu_MsgPrintf(nullptr, kMsgError, -2, nullptr, 0, "%s", text);
}

void opxtrace(char* text) {
    if (empty_text(text)) {
        bad_parameter();
        return;
    }
    for (char* p = text; *p != '\0'; ++p)
        if (*p == '\n') *p = ' ';
    xu_MsgPrintf(nullptr, kMsgInfo, -1, nullptr, 0, "%s", text);
}

void opxtrace(const char* text) {
    if (empty_text(text)) {
        bad_parameter();
        return;
    }
    std::string copy = text;
    opxtrace(copy.data());
}

void opxtrace(const std::string& text) { opxtrace(text.c_str()); }

void opxget(std::int32_t* nerr, std::int32_t* nwarn) {
    if (nerr != nullptr) *nerr = counts().errors;
    if (nwarn != nullptr) *nwarn = counts().warnings;
}

void opxend() {}

std::string cut_at_first_blank(const char* name) {
    std::string s = name != nullptr ? name : "";
    const auto blank = s.find(' ');
    if (blank != std::string::npos) s.resize(blank);
    return s;
}

void opxfdel(const char* name) {
    const std::string path = cut_at_first_blank(name);
    if (path.empty()) {
        std::fputs("opxfdel(): bad parameters\n", stderr);
        return;
    }
    if (!file_exists(path)) return;
    if (!remove_run_file(path)) std::fprintf(stderr, "opxfdel(): can't remove file %s\n", path.c_str());
}

std::int32_t opxfchk(const char* name) {
    const std::string base = cut_at_first_blank(name);
    if (base.empty()) {
        std::fputs("opxfchk(): bad parameters\n", stderr);
        return 0;
    }
    return file_exists(base + ".DAT") ? 1 : 0;
}

std::int32_t opxfrename(const char* name, char* old) {
    const std::string base = cut_at_first_blank(name);
    if (base.empty()) {
        std::fputs("opxfrename(): bad source\n", stderr);
        return 0;
    }
    if (old == nullptr) {
        std::fputs("opxfrename(): bad destination\n", stderr);
        return 0;
    }
    std::sprintf(old, "%s_old", base.c_str());
    const std::string from = base + ".DAT";
    const std::string to = base + "_old.DAT";
    // A data file that cannot be kept as _old is an error: the run's next
    // version would replace it unkept.
    if (!rename_run_file(from, to) && errno != ENOENT) report_unwritable(to, errno);
    return static_cast<std::int32_t>(std::strlen(old));
}

}  // namespace nodrix

// Value and line input of the chart-file reader: the binary read-ahead, texts,
// lines, keywords and numbers.
#include "xu/pars_qxy.h"
#include "xu/pars_qxy_parts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <strings.h>

#include "xu/xu_mem.h"
#include "xu/xu_string.h"

namespace nodrix::qxy_parts {

void report(XuParsQxy* c, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    xu_MsgVPrintf(c->msg, kMsgError, -1, nullptr, 0, format, args);
    va_end(args);
}

int deliver(XuParsQxy* c, int kind, const void* record) {
    if (c->cb == nullptr) return kQxyOk;
    return c->cb(c->msg, kind, record, c->user) < 0 ? kQxyRefused : kQxyOk;
}

void copy_text(char (&dst)[kQxyTextSize], const char* src) {
    std::size_t n = 0;
    while (n < kQxyTextSize - 1 && src[n] != '\0') ++n;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Extension of the last path component: the part after its last dot.
const char* extension_of(const char* path) {
    const char* base = std::strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    const char* dot = std::strrchr(base, '.');
    return dot != nullptr ? dot + 1 : nullptr;
}

bool is_binary_extension(const char* path) {
    const char* ext = extension_of(path);
    if (ext == nullptr) return false;
    for (const char* e : {"qxy", "qsg", "qsp", "bxy"})
        if (strcasecmp(ext, e) == 0) return true;
    return false;
}

// ---- Binary primitives: 0, or -1 at the end of the file ----


// Copies n bytes from the read-ahead buffer, refilling it from the file. At
// the end of the file the n destination bytes are zeroed and -1 returned.
int get_bytes(XuParsQxy* c, void* p, std::size_t n) {
    auto* dest = static_cast<unsigned char*>(p);
    std::size_t done = 0;
    while (done < n) {
        if (c->ahead_pos == c->ahead_len) {
            const ssize_t r = ::read(c->bfile->fd, c->ahead, kReadAhead);
            if (r <= 0) {
                std::memset(dest, 0, n);
                return kQxyReadError;
            }
            c->ahead_len = static_cast<std::size_t>(r);
            c->ahead_pos = 0;
        }
        const std::size_t take = std::min(n - done, c->ahead_len - c->ahead_pos);
        std::memcpy(dest + done, c->ahead + c->ahead_pos, take);
        c->ahead_pos += take;
        done += take;
    }
    return kQxyOk;
}

// The first value of a structure: 1 read, 0 a clean end of the file before it,
// -1 the file ends inside it.
int get_first(XuParsQxy* c, void* p, std::size_t n) {
    auto* b = static_cast<unsigned char*>(p);
    if (get_bytes(c, b, 1) != 0) return 0;
    if (n > 1 && get_bytes(c, b + 1, n - 1) != 0) return kQxyReadError;
    return 1;
}

// A NUL-terminated text; at most 127 characters are kept, the rest is skipped.
int get_text_ascii(XuParsQxy* c, char (&out)[kQxyTextSize]) {
    std::size_t kept = 0;
    for (;;) {
        std::uint8_t ch = 0;
        if (get_u8(c, ch) != 0) {
            out[kept] = '\0';
            return kQxyReadError;
        }
        if (ch == 0) break;
        if (kept < kQxyTextSize - 1) out[kept++] = static_cast<char>(ch);
    }
    out[kept] = '\0';
    return kQxyOk;
}

// A length-prefixed text: the length (with the NUL) must match the text.
int get_text_v3(XuParsQxy* c, char (&out)[kQxyTextSize]) {
    out[0] = '\0';
    std::int32_t length = 0;
    if (get_i32(c, length) != 0) return kQxyReadError;
    if (length < 1) return kQxyFormatError;
    std::int32_t count = 0;
    std::size_t kept = 0;
    for (;;) {
        std::uint8_t ch = 0;
        if (get_u8(c, ch) != 0) {
            out[kept] = '\0';
            return kQxyReadError;
        }
        ++count;
        if (ch == 0) break;
        if (kept < kQxyTextSize - 1) out[kept++] = static_cast<char>(ch);
        if (count >= length) {
            out[kept] = '\0';
            return kQxyFormatError;
        }
    }
    out[kept] = '\0';
    return count == length ? kQxyOk : kQxyFormatError;
}

// ---- Text primitives ----

// Reads a whole line of any length (without its LF or CR LF): 1 a line, 0 the
// end of the file before any character, -1 a line cut by the end of the file
// (every line of a chart file ends with a line feed) or a read failure.
int next_line(XuParsQxy* c) {
    if (c->line_held) {
        c->line_held = 0;
        return 1;
    }
    c->line_len = 0;
    for (;;) {
        const int ch = std::getc(c->stream);
        if (ch == EOF) {
            if (std::ferror(c->stream) || c->line_len > 0) return kQxyReadError;
            return 0;
        }
        if (ch == '\n') break;
        if (c->line_len + 1 >= c->line_cap) {
            const std::size_t cap = c->line_cap < 128 ? 256 : c->line_cap * 2;
            c->line = static_cast<char*>(xu_realloc(c->line, cap));
            c->line_cap = cap;
        }
        c->line[c->line_len++] = static_cast<char>(ch);
    }
    if (c->line_len > 0 && c->line[c->line_len - 1] == '\r') --c->line_len;
    if (c->line_cap == 0) {
        c->line = static_cast<char*>(xu_realloc(c->line, 256));
        c->line_cap = 256;
    }
    c->line[c->line_len] = '\0';
    return 1;
}

bool blank_text(const char* s) {
    for (; *s != '\0'; ++s)
        if (*s != ' ' && *s != '\t') return false;
    return true;
}

// The next line that is not blank: blank lines carry nothing.
int next_content_line(XuParsQxy* c) {
    for (;;) {
        const int r = next_line(c);
        if (r != 1 || !blank_text(c->line)) return r;
    }
}


// Splits the current line at its first separator into the keyword (without
// surrounding blanks) and the value (the rest of the line as it stands).
void split_line(XuParsQxy* c, char*& key, char*& value) {
    char* s = c->line;
    while (*s == ' ' || *s == '\t') ++s;
    char* p = std::strchr(s, c->sep);
    if (p != nullptr) {
        *p = '\0';
        value = p + 1;
    } else {
        value = s + std::strlen(s);
    }
    char* e = s + std::strlen(s);
    while (e > s && (e[-1] == ' ' || e[-1] == '\t')) *--e = '\0';
    key = s;
}

bool rest_blank(const char* s) {
    while (*s == ' ' || *s == '\t') ++s;
    return *s == '\0';
}

bool parse_int(const char* s, std::int32_t& v) {
    while (*s == ' ' || *s == '\t') ++s;
    if (*s == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long long x = std::strtoll(s, &end, 10);
    if (end == s || !rest_blank(end) || errno == ERANGE) return false;
    if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max()) return false;
    v = static_cast<std::int32_t>(x);
    return true;
}

bool parse_double(const char* s, double& v) {
    while (*s == ' ' || *s == '\t') ++s;
    if (*s == '\0') return false;
    char* end = nullptr;
    const double x = std::strtod(s, &end);
    if (end == s || !rest_blank(end)) return false;
    v = x;
    return true;
}

// A data row begins with a number; any other line ends rows of unknown count.
bool looks_like_row(const char* s) {
    while (*s == ' ' || *s == '\t') ++s;
    const char ch = *s;
    if (std::isdigit(static_cast<unsigned char>(ch)) || ch == '+' || ch == '-' || ch == '.') return true;
    return strncasecmp(s, "nan", 3) == 0 || strncasecmp(s, "inf", 3) == 0;
}

}  // namespace nodrix::qxy_parts

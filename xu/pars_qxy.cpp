#include "xu/pars_qxy.h"

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

namespace nodrix {
namespace {

constexpr int kRowBlock = 1000;        // rows read per block by xu_ParsQxy
constexpr std::size_t kMagicKeep = 31;  // characters of the magic line kept
constexpr std::size_t kMagicScan = 256;  // a longer magic line is not a chart file

// Section marks of the version 3 binary form.
enum : std::uint8_t { kMarkEnd = 0, kMarkTitle = 1, kMarkLabels = 2, kMarkTiming = 3, kMarkColumn = 4, kMarkRow = 5 };

void report(XuParsQxy* c, const char* format, ...) __attribute__((format(printf, 2, 3)));
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

// Binary files are read ahead in blocks: value-by-value system reads would
// make a long signal file slow to read.
constexpr std::size_t kReadAhead = 65536;

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
int get_u8(XuParsQxy* c, std::uint8_t& v) { return get_bytes(c, &v, 1); }
int get_i32(XuParsQxy* c, std::int32_t& v) { return get_bytes(c, &v, sizeof v); }
int get_f64(XuParsQxy* c, double& v) { return get_bytes(c, &v, sizeof v); }

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

void hold_line(XuParsQxy* c) { c->line_held = 1; }

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

// ---- Text chart headers ----

enum Field : int {
    fSamplesNum, fDelt, fFsym, fSamplesPerBit, fMinimum, fMaximum, fTstart, fPolarization, fFrequencyStep,
    fStartFrequency, fStopFrequency, fNBitsPerSymbol, fChartType, fGraphStyle, fColumnNum, fTitle, fLabelX,
    fMeasureX, fLabelY, fMeasureY, fType, fStartingScale, fOrdering, fLabel, fMeasure, kFieldCount
};
enum Kind : int { kInt, kDouble, kText, kPoint };

struct Keyword {
    const char* name;
    Kind kind;
};

constexpr Keyword kKeywords[kFieldCount] = {
    {"SamplesNum", kInt},     {"Delt", kDouble},          {"Fsym", kDouble},          {"SamplesPerBit", kInt},
    {"Minimum", kDouble},     {"Maximum", kDouble},       {"Tstart", kDouble},        {"Polarization", kInt},
    {"FrequencyStep", kDouble}, {"StartFrequency", kDouble}, {"StopFrequency", kDouble}, {"NBitsPerSymbol", kInt},
    {"ChartType", kInt},      {"GraphStyle", kInt},       {"ColumnNum", kInt},        {"Title", kText},
    {"LabelX", kText},        {"MeasureX", kText},        {"LabelY", kText},          {"MeasureY", kText},
    {"Type", kInt},           {"StartingScale", kInt},    {"Ordering", kDouble},      {"Label", kText},
    {"Measure", kText},
};

struct TextValues {
    bool found[kFieldCount] = {};
    std::int32_t i[kFieldCount] = {};
    double d[kFieldCount] = {};
    bool int_ok[kFieldCount] = {};  // kPoint: the value also reads as an integer
    char t[kFieldCount][kQxyTextSize] = {};
};

// Reads `lines` keyword lines; the keywords of `wanted` may come in any order,
// any other keyword uses up its line. `alias_samples` accepts "SampleNum" for
// "SamplesNum" (signal files only). `points` marks fields read as a point of a
// type not yet known (both conversions are kept).
int read_keyword_lines(XuParsQxy* c, int lines, const int* wanted, int nwanted, bool alias_samples,
                       TextValues& v, bool points = false) {
    for (int n = 0; n < lines; ++n) {
        const int r = next_content_line(c);
        if (r != 1) return kQxyReadError;
        char* key = nullptr;
        char* value = nullptr;
        split_line(c, key, value);
        int field = -1;
        for (int k = 0; k < nwanted; ++k) {
            const int f = wanted[k];
            if (std::strcmp(key, kKeywords[f].name) == 0 ||
                (alias_samples && f == fSamplesNum && std::strcmp(key, "SampleNum") == 0)) {
                field = f;
                break;
            }
        }
        if (field < 0) continue;
        v.found[field] = true;
        Kind kind = kKeywords[field].kind;
        if (points && (field == fMinimum || field == fMaximum)) kind = kPoint;
        switch (kind) {
            case kInt:
                if (!parse_int(value, v.i[field])) return kQxyFormatError;
                break;
            case kDouble:
                if (!parse_double(value, v.d[field])) return kQxyFormatError;
                break;
            case kPoint:
                if (!parse_double(value, v.d[field])) return kQxyFormatError;
                v.int_ok[field] = parse_int(value, v.i[field]);
                break;
            case kText:
                copy_text(v.t[field], value);
                break;
        }
    }
    for (int k = 0; k < nwanted; ++k)
        if (!v.found[wanted[k]]) {
            report(c, "One/some parameter not found for header");
            return kQxyReadError;
        }
    return kQxyOk;
}

int text_chart_header(XuParsQxy* c, QxyChartHeader& h) {
    const int r = next_content_line(c);
    if (r != 1) return r == 0 ? 0 : kQxyReadError;
    hold_line(c);
    if (c->file_type < 1 || c->file_type > 8) {
        report(c, "Bad file type");
        return kQxyFormatError;
    }
    TextValues v;
    int result = kQxyOk;
    switch (c->file_type) {
        case kQxyElectricalSignal: {
            static constexpr int w[] = {fSamplesNum, fDelt, fFsym, fSamplesPerBit, fMinimum, fMaximum};
            result = read_keyword_lines(c, 6, w, 6, true, v);
            c->columns = 1;
            break;
        }
        case kQxyOpticalSignal1:
        case kQxyOpticalSignal2: {
            static constexpr int w[] = {fSamplesNum, fMinimum, fMaximum, fTstart, fDelt, fFsym, fPolarization};
            result = read_keyword_lines(c, 7, w, 7, true, v);
            if (result == kQxyOk) {
                if (v.i[fPolarization] == 1) {
                    c->file_type = kQxyOpticalSignal1;
                    c->columns = 2;
                } else if (v.i[fPolarization] == 2) {
                    c->file_type = kQxyOpticalSignal2;
                    c->columns = 4;
                } else {
                    return kQxyFormatError;
                }
            }
            break;
        }
        case kQxySpectrum:
        case kQxySpectrumText: {
            static constexpr int w[] = {fSamplesNum, fFsym,           fMinimum,       fMaximum,
                                        fDelt,       fFrequencyStep, fStartFrequency, fStopFrequency};
            result = read_keyword_lines(c, 8, w, 8, false, v);
            c->columns = 1;
            break;
        }
        case kQxySymbolSignal: {
            static constexpr int w[] = {fSamplesNum, fNBitsPerSymbol, fMinimum, fMaximum, fDelt};
            result = read_keyword_lines(c, 5, w, 5, true, v);
            c->columns = v.i[fNBitsPerSymbol];
            break;
        }
        case kQxyXY:
            if (c->version > 3) {
                static constexpr int w[] = {fChartType, fGraphStyle, fSamplesNum, fColumnNum,
                                            fTitle,     fLabelY,     fMeasureY};
                result = read_keyword_lines(c, 7, w, 7, false, v);
                c->columns = v.i[fColumnNum];
            } else {
                static constexpr int w[] = {fSamplesNum, fMinimum, fMaximum, fTitle,
                                            fLabelX,     fMeasureX, fLabelY, fMeasureY};
                result = read_keyword_lines(c, 8, w, 8, false, v);
                c->columns = 2;
            }
            break;
        default:  // the container carries no header lines of its own
            c->columns = 0;
            break;
    }
    if (result != kQxyOk) return result;
    if (v.i[fSamplesNum] < 0 || c->columns < 0 || c->columns > kQxyMaxColumns) return kQxyFormatError;
    h.ChartType = v.i[fChartType];
    h.GraphStyle = v.i[fGraphStyle];
    h.SamplesNum = v.i[fSamplesNum];
    h.ColumnNum = c->columns;
    copy_text(h.Title, v.t[fTitle]);
    copy_text(h.LabelY, v.t[fLabelY]);
    copy_text(h.MeasureY, v.t[fMeasureY]);
    h.Fsym = v.d[fFsym];
    h.Delt = v.d[fDelt];
    h.SamplesPerBit = v.i[fSamplesPerBit];
    const bool spectrum = c->file_type == kQxySpectrum || c->file_type == kQxySpectrumText;
    h.Tstart = spectrum ? v.d[fStartFrequency] : v.d[fTstart];
    h.StopFrequency = v.d[fStopFrequency];
    h.FrequencyStep = v.d[fFrequencyStep];
    c->Fsym = h.Fsym;
    c->Delt = h.Delt;
    c->Tstart = h.Tstart;
    c->SamplesPerBit = h.SamplesPerBit;
    c->Minimum = v.d[fMinimum];
    c->Maximum = v.d[fMaximum];
    copy_text(c->LabelX, v.t[fLabelX]);
    copy_text(c->MeasureX, v.t[fMeasureX]);
    copy_text(c->LabelY, v.t[fLabelY]);
    copy_text(c->MeasureY, v.t[fMeasureY]);
    return 1;
}

int text_column(XuParsQxy* c, std::int32_t index, QxyColumn& col) {
    if (c->file_type < 1 || c->file_type > 8) {
        report(c, "Bad file type");
        return kQxyFormatError;
    }
    if (c->file_type != kQxyXY || c->version <= 3) {
        report(c, "Unable to read column header for this ascii file type");
        return kQxyFormatError;
    }
    char* key = nullptr;
    char* value = nullptr;
    int r = next_content_line(c);
    if (r != 1) return kQxyReadError;
    split_line(c, key, value);
    if (std::strcmp(key, "ColumnBegin") != 0) return kQxyFormatError;
    static constexpr int w[] = {fType, fMinimum, fMaximum, fStartingScale, fOrdering, fLabel, fMeasure};
    TextValues v;
    r = read_keyword_lines(c, 7, w, 7, false, v, true);
    if (r != kQxyOk) return r;
    r = next_content_line(c);
    if (r != 1) return kQxyReadError;
    split_line(c, key, value);
    if (std::strcmp(key, "ColumnEnd") != 0) return kQxyFormatError;
    const std::int32_t type = v.i[fType];
    if (type != kQxyDouble && type != kQxyInt) {
        report(c, "Bad column type %d", type);
        return kQxyFormatError;
    }
    col.Index = index;
    col.Type = static_cast<std::uint8_t>(type);
    if (type == kQxyInt) {
        if (!v.int_ok[fMinimum] || !v.int_ok[fMaximum]) return kQxyFormatError;
        col.Minimum = QxyPoint::of_int(v.i[fMinimum]);
        col.Maximum = QxyPoint::of_int(v.i[fMaximum]);
    } else {
        col.Minimum = QxyPoint::of_double(v.d[fMinimum]);
        col.Maximum = QxyPoint::of_double(v.d[fMaximum]);
    }
    col.StartingScale = v.i[fStartingScale];
    col.Ordering = v.d[fOrdering];
    copy_text(col.Label, v.t[fLabel]);
    copy_text(col.Measure, v.t[fMeasure]);
    return kQxyOk;
}

// ---- Binary chart headers ----

int v3_chart_header(XuParsQxy* c, QxyChartHeader& h) {
    std::uint8_t mark = 0;
    if (get_u8(c, mark) != 0) return 0;
    if (mark == kMarkEnd) {
        // The end mark of the previous chart; the end of the file may follow.
        if (get_u8(c, mark) != 0) return 0;
    }
    if (mark != kMarkTitle) return kQxyFormatError;
    if (get_i32(c, h.ChartType) || get_i32(c, h.GraphStyle) || get_i32(c, h.SamplesNum) || get_i32(c, h.ColumnNum))
        return kQxyReadError;
    int r = get_text_v3(c, h.Title);
    if (r != 0) return r;
    if (get_u8(c, mark) != 0) return kQxyReadError;
    if (mark == kMarkLabels) {
        if ((r = get_text_v3(c, h.LabelY)) != 0 || (r = get_text_v3(c, h.MeasureY)) != 0) return r;
        if (get_u8(c, mark) != 0) return kQxyReadError;
    }
    if (mark == kMarkTiming) {
        if (get_f64(c, h.Fsym) || get_f64(c, h.Delt) || get_i32(c, h.SamplesPerBit) || get_f64(c, h.Tstart) ||
            get_f64(c, h.StopFrequency) || get_f64(c, h.FrequencyStep))
            return kQxyReadError;
        if (get_u8(c, mark) != 0) return kQxyReadError;
    }
    if (mark != kMarkEnd) return kQxyFormatError;
    if (h.SamplesNum < 0 || h.ColumnNum < 0 || h.ColumnNum > kQxyMaxColumns) return kQxyFormatError;
    c->columns = h.ColumnNum;
    return 1;
}

int old_signal_header(XuParsQxy* c, QxyChartHeader& h) {
    // A signal file holds one chart.
    if (c->charts_read > 0) return 0;
    std::int32_t stored_columns = 0;
    const int first = get_first(c, &stored_columns, sizeof stored_columns);
    if (first <= 0) return first;
    std::int32_t end = 0;
    if (get_i32(c, h.SamplesNum) || get_i32(c, h.SamplesPerBit) || get_f64(c, c->Minimum) ||
        get_f64(c, c->Maximum) || get_f64(c, h.Delt) || get_f64(c, h.Tstart) || get_f64(c, h.Fsym) ||
        get_i32(c, end))
        return kQxyReadError;
    if (end != 0) {
        report(c, "Wrong Signal Termination");
        return kQxyFormatError;
    }
    switch (c->file_type) {
        case kQxyElectricalSignal: c->columns = 1; break;
        case kQxyOpticalSignal1: c->columns = 2; break;
        case kQxyOpticalSignal2: c->columns = 4; break;
        default: c->columns = stored_columns; break;
    }
    if (h.SamplesNum < 0 || c->columns < 1 || c->columns > kQxyMaxColumns) return kQxyFormatError;
    h.ColumnNum = c->columns;
    c->Delt = h.Delt;
    c->Tstart = h.Tstart;
    c->Fsym = h.Fsym;
    c->SamplesPerBit = h.SamplesPerBit;
    return 1;
}

// ---- Columns ----

void free_chart(XuParsQxy* c) {
    if (c->column_types != nullptr) xu_free(c->column_types);
    if (c->row != nullptr) xu_free(c->row);
    c->column_types = nullptr;
    c->row = nullptr;
}

// Column descriptors that the older forms leave implicit.
QxyColumn made_column(XuParsQxy* c, std::int32_t index) {
    QxyColumn col;
    col.Index = index;
    const bool ints = c->form == kQxyFormText && c->file_type == kQxySymbolSignal;
    col.Type = ints ? kQxyInt : kQxyDouble;
    if (ints) {
        col.Minimum = QxyPoint::of_int(saturate_i32(c->Minimum));
        col.Maximum = QxyPoint::of_int(saturate_i32(c->Maximum));
    } else {
        col.Minimum = QxyPoint::of_double(c->Minimum);
        col.Maximum = QxyPoint::of_double(c->Maximum);
    }
    const bool xy = c->form == kQxyFormOldXY || (c->form == kQxyFormText && c->file_type == kQxyXY);
    if (xy) {
        copy_text(col.Label, index == 0 ? c->LabelX : c->LabelY);
        copy_text(col.Measure, index == 0 ? c->MeasureX : c->MeasureY);
    }
    return col;
}

bool reads_column_blocks(const XuParsQxy* c) {
    if (c->form == kQxyFormV3) return true;
    return c->form == kQxyFormText && c->file_type == kQxyXY && c->version > 3;
}

// ---- Rows ----

// Ends a chart whose rows are complete: the older XY and spectrum forms close
// it with an int32 0.
int finish_chart(XuParsQxy* c) {
    c->chart_open = 0;
    if (c->form != kQxyFormOldXY && c->form != kQxyFormOldSpectrum) return kQxyOk;
    std::int32_t end = 0;
    if (get_i32(c, end) != 0) return kQxyReadError;
    return end == 0 ? kQxyOk : kQxyFormatError;
}

// 1 a row was read into c->row, 0 the chart has no more rows, or a code.
int read_text_row(XuParsQxy* c) {
    if (c->columns == 0) return 0;
    const int r = next_content_line(c);
    if (r == 0) return c->count_known ? kQxyReadError : 0;
    if (r < 0) return kQxyReadError;
    if (!c->count_known && !looks_like_row(c->line)) {
        hold_line(c);
        return 0;
    }
    const char delimiters[2] = {c->sep, '\0'};
    char* save = nullptr;
    char* token = xu_StringTok(c->line, delimiters, &save);
    for (std::int32_t k = 0; k < c->columns; ++k) {
        if (token == nullptr) return kQxyFormatError;
        QxyPoint& p = c->row[k];
        p.type = c->column_types[k];
        if (p.type == kQxyInt) {
            if (!parse_int(token, p.i)) return kQxyFormatError;
        } else if (!parse_double(token, p.d)) {
            return kQxyFormatError;
        }
        token = xu_StringTok(nullptr, delimiters, &save);
    }
    return token == nullptr ? 1 : kQxyFormatError;
}

int read_row(XuParsQxy* c) {
    switch (c->form) {
        case kQxyFormText:
            return read_text_row(c);
        case kQxyFormV3: {
            std::uint8_t mark = 0;
            if (get_u8(c, mark) != 0) return c->count_known ? kQxyReadError : 0;
            if (mark == kMarkEnd) return 0;
            if (mark != kMarkRow) return kQxyFormatError;
            for (std::int32_t k = 0; k < c->columns; ++k) {
                const int r = xu_ParsQxyPointRead(c, c->column_types[k], c->row[k]);
                if (r != 0) return r;
            }
            return 1;
        }
        case kQxyFormOldSignal:
            for (std::int32_t k = 0; k < c->columns; ++k) {
                c->row[k].type = kQxyDouble;
                if (k == 0 && !c->count_known) {
                    const int r = get_first(c, &c->row[0].d, sizeof(double));
                    if (r <= 0) return r;
                } else if (get_f64(c, c->row[k].d) != 0) {
                    return kQxyReadError;
                }
            }
            return 1;
        default:  // the older XY (X, Y) and spectrum (one value) forms
            for (std::int32_t k = 0; k < c->columns; ++k) {
                c->row[k].type = kQxyDouble;
                if (get_f64(c, c->row[k].d) != 0) return kQxyReadError;
            }
            return 1;
    }
}

// Reads and drops the rest of the current chart.
int drain_chart(XuParsQxy* c) {
    const QxyCallback saved = c->cb;
    c->cb = nullptr;
    int r = 0;
    while ((r = xu_ParsQxyChartData(c, kRowBlock)) > 0) {
    }
    c->cb = saved;
    return r;
}

}  // namespace

// ---- Public operations ----

int xu_QXYGetSepByExt(const char* path) {
    if (path == nullptr) return -1;
    const char* ext = extension_of(path);
    if (ext == nullptr || std::strlen(ext) != 3) return -1;
    if (strcasecmp(ext, "prn") == 0) return ' ';
    if (strcasecmp(ext, "txt") == 0) return '\t';
    if (strcasecmp(ext, "csv") == 0) return ',';
    if (strcasecmp(ext, "ssv") == 0) return ':';
    return -1;
}

XuParsQxy* xu_ParsQxyInit(XuMsg* handle, const char* path, QxyCallback cb, void* user) {
    if (path == nullptr) {
        xu_MsgPrintf(handle, kMsgError, -1, nullptr, 0, "File %s not found", "");
        return nullptr;
    }
    const bool binary = is_binary_extension(path);
    XuBfile* bfile = nullptr;
    std::FILE* stream = nullptr;
    int fd = -1;
    if (binary) {
        bfile = xu_BfileOpen(path, kBfileRead);
        if (bfile != nullptr) fd = bfile->fd;
    } else {
        stream = std::fopen(path, "r");
        if (stream != nullptr) fd = fileno(stream);
    }
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
        // A directory opens but holds no chart.
        if (bfile != nullptr) xu_BfileClose(bfile);
        if (stream != nullptr) std::fclose(stream);
        fd = -1;
    }
    if (fd < 0) {
        xu_MsgPrintf(handle, kMsgError, -1, nullptr, 0, "File %s not found", path);
        return nullptr;
    }
    auto* c = static_cast<XuParsQxy*>(xu_calloc(1, sizeof(XuParsQxy)));
    c->msg = handle;
    c->path = xu_StringDup(path);
    c->user = user;
    c->cb = cb;
    c->binary = binary ? 1 : 0;
    const int sep = xu_QXYGetSepByExt(path);
    c->sep = sep < 0 ? ' ' : static_cast<char>(sep);
    c->bfile = bfile;
    c->stream = stream;
    if (binary) c->ahead = static_cast<unsigned char*>(xu_malloc(kReadAhead));
    return c;
}

int xu_ParsQxyVersionRead(XuParsQxy* c) {
    c->version = 0;
    if (c->binary) {
        char buf[kMagicKeep + 1] = {};
        std::size_t kept = 0;
        std::size_t scanned = 0;
        bool ended = false;
        while (scanned < kMagicScan) {
            std::uint8_t ch = 0;
            if (get_u8(c, ch) != 0) break;
            if (ch == 0) {
                ended = true;
                break;
            }
            ++scanned;
            if (kept < kMagicKeep) buf[kept++] = static_cast<char>(ch);
        }
        buf[kept] = '\0';
        char* save = nullptr;
        const char* magic = ended ? xu_StringTok(buf, " \t\r\n", &save) : nullptr;
        const char* version = magic != nullptr ? xu_StringTok(nullptr, " \t\r\n", &save) : nullptr;
        std::int32_t type = 0;
        if (magic == nullptr) type = 0;
        else if (std::strcmp(magic, "NodrixXY") == 0) type = kQxyXY;
        else if (std::strcmp(magic, "QuarvinXY") == 0) type = kQxyContainer;
        else if (std::strcmp(magic, "NodrixSgn") == 0) type = kQxySymbolSignal;
        else if (std::strcmp(magic, "NodrixSpr") == 0) type = kQxySpectrum;
        if (type == 0) {
            report(c, "Cannot read Header section");
            return kQxyFormatError;
        }
        if (version == nullptr || !parse_int(version, c->version)) c->version = 0;
        c->file_type = type;
        if (type == kQxyContainer || c->version >= 3) c->form = kQxyFormV3;
        else if (type == kQxyXY) c->form = kQxyFormOldXY;
        else if (type == kQxySpectrum) c->form = kQxyFormOldSpectrum;
        else c->form = kQxyFormOldSignal;
        return kQxyOk;
    }

    c->form = kQxyFormText;
    char* key = nullptr;
    char* value = nullptr;
    std::int32_t type = 0;
    if (next_content_line(c) == 1) {
        split_line(c, key, value);
        if (std::strcmp(key, "NodrixExpXY") == 0) type = kQxyXY;
        else if (std::strcmp(key, "QuarvinXY") == 0) type = kQxyContainer;
        else if (std::strcmp(key, "NodrixExpSpr") == 0) type = kQxySpectrumText;
        else if (std::strcmp(key, "NodrixEltSgn") == 0) type = kQxyElectricalSignal;
        else if (std::strcmp(key, "NodrixOptSgn") == 0) type = kQxyOpticalSignal1;
        else if (std::strcmp(key, "NodrixLogSgn") == 0) type = kQxySymbolSignal;
        if (type != 0 && !parse_int(value, c->version)) c->version = 0;
    }
    if (type == kQxySpectrumText || type == kQxyXY) {
        // The "Type" line; for spectra it tells the file type.
        std::int32_t stated = 0;
        bool ok = next_content_line(c) == 1;
        if (ok) {
            split_line(c, key, value);
            ok = std::strcmp(key, "Type") == 0 && parse_int(value, stated);
        }
        if (!ok) type = 0;
        else if (type == kQxySpectrumText) type = stated;
    }
    if (type == 0) {
        report(c, "Cannot read Header section");
        return kQxyFormatError;
    }
    c->file_type = type;
    return kQxyOk;
}

int xu_ParsQxyHeaderRead(XuParsQxy* c, QxyFileHeader& h) {
    if (!c->binary) {
        h = QxyFileHeader{};
        h.words[0] = c->file_type;
        return kQxyOk;
    }
    if (c->form == kQxyFormV3) {
        std::uint8_t order = 0;
        if (get_u8(c, order) != 0) return kQxyReadError;
        if (order != 1) {
            report(c, "Byte Order invalid");
            return kQxyFormatError;
        }
    }
    if (c->form == kQxyFormOldSignal && c->version < 2) {
        // A version 1 signal file holds the type word alone.
        h = QxyFileHeader{};
        if (get_i32(c, h.words[0]) != 0) return kQxyReadError;
    } else {
        for (std::int32_t& w : h.words)
            if (get_i32(c, w) != 0) return kQxyReadError;
    }
    c->file_type = h.words[0];
    if (c->form != kQxyFormV3) {
        // The older forms are laid out by their file type.
        switch (c->file_type) {
            case kQxyElectricalSignal:
            case kQxyOpticalSignal1:
            case kQxyOpticalSignal2:
            case kQxySymbolSignal: c->form = kQxyFormOldSignal; break;
            case kQxySpectrum:
            case kQxySpectrumText: c->form = kQxyFormOldSpectrum; break;
            case kQxyXY: c->form = kQxyFormOldXY; break;
            default: report(c, "Bad file type"); return kQxyFormatError;
        }
    }
    std::int32_t end = 0;
    switch (c->form) {
        case kQxyFormOldSpectrum:
            if (get_f64(c, c->Delt) || get_f64(c, c->Fsym) || get_i32(c, end)) return kQxyReadError;
            if (end != 0) {
                report(c, "Wrong Spectrum Termination");
                return kQxyFormatError;
            }
            return kQxyOk;
        case kQxyFormV3:
        case kQxyFormOldXY:
            if (get_i32(c, end) != 0) return kQxyReadError;
            return end == 0 ? kQxyOk : kQxyFormatError;
        default:
            return kQxyOk;
    }
}

int xu_ParsQxyHeader(XuParsQxy* c) {
    if (c == nullptr) return kQxyFormatError;
    int r = xu_ParsQxyVersionRead(c);
    if (r != kQxyOk) return r;
    const std::int32_t version = c->version;
    if ((r = deliver(c, kQxyRecVersion, &version)) != kQxyOk) return r;
    QxyFileHeader h;
    if ((r = xu_ParsQxyHeaderRead(c, h)) != kQxyOk) return r;
    return deliver(c, kQxyRecFileHeader, &h);
}

int read_old_qxy_hdr(XuParsQxy* c, QxyChartHeader& h) {
    const int first = get_first(c, &h.SamplesNum, sizeof h.SamplesNum);
    if (first <= 0) return first;
    std::int32_t end = 0;
    if (get_f64(c, c->Minimum) || get_f64(c, c->Maximum) || get_text_ascii(c, h.Title) ||
        get_text_ascii(c, c->LabelX) || get_text_ascii(c, c->MeasureX) || get_text_ascii(c, c->LabelY) ||
        get_text_ascii(c, c->MeasureY) || get_i32(c, end))
        return kQxyReadError;
    if (end != 0 || h.SamplesNum < 0) return kQxyFormatError;
    c->columns = 2;
    h.ColumnNum = 2;
    copy_text(h.LabelY, c->LabelY);
    copy_text(h.MeasureY, c->MeasureY);
    return 1;
}

int read_old_qsp_hdr(XuParsQxy* c, QxyChartHeader& h) {
    const int first = get_first(c, &h.SamplesNum, sizeof h.SamplesNum);
    if (first <= 0) return first;
    std::int32_t end = 0;
    if (get_f64(c, h.FrequencyStep) || get_f64(c, h.Tstart) || get_f64(c, h.StopFrequency) ||
        get_f64(c, c->Minimum) || get_f64(c, c->Maximum) || get_i32(c, end))
        return kQxyReadError;
    if (end != 0) {
        report(c, "Wrong Spectrum Termination");
        return kQxyFormatError;
    }
    if (h.SamplesNum < 0) return kQxyFormatError;
    c->columns = 1;
    h.ColumnNum = 1;
    h.Fsym = c->Fsym;
    h.Delt = c->Delt;
    c->Tstart = h.Tstart;
    return 1;
}

int xu_ParsQxyChartHeaderRead(XuParsQxy* c, QxyChartHeader& h) {
    h = QxyChartHeader{};
    switch (c->form) {
        case kQxyFormV3: return v3_chart_header(c, h);
        case kQxyFormOldXY: return read_old_qxy_hdr(c, h);
        case kQxyFormOldSpectrum: return read_old_qsp_hdr(c, h);
        case kQxyFormOldSignal: return old_signal_header(c, h);
        default: return text_chart_header(c, h);
    }
}

int xu_ParsQxyPointRead(XuParsQxy* c, int type, QxyPoint& p) {
    if (!c->binary) return kQxyFormatError;
    p = QxyPoint{};
    if (type == kQxyDouble) {
        p.type = kQxyDouble;
        return get_f64(c, p.d);
    }
    if (type == kQxyInt) {
        p.type = kQxyInt;
        return get_i32(c, p.i);
    }
    return kQxyFormatError;
}

int xu_ParsQxyChartColumnRead(XuParsQxy* c, std::int32_t index, QxyColumn& col) {
    col = QxyColumn{};
    if (!c->binary) return text_column(c, index, col);
    if (c->form != kQxyFormV3) return kQxyFormatError;
    std::uint8_t mark = 0;
    if (get_u8(c, mark) != 0) return kQxyReadError;
    if (mark != kMarkColumn) return kQxyFormatError;
    std::int32_t type = 0;
    if (get_i32(c, type) != 0) return kQxyReadError;
    if (type != kQxyDouble && type != kQxyInt) {
        report(c, "Bad column type %d", type);
        return kQxyFormatError;
    }
    col.Index = index;
    col.Type = static_cast<std::uint8_t>(type);
    int r = 0;
    if ((r = xu_ParsQxyPointRead(c, type, col.Minimum)) != 0 || (r = xu_ParsQxyPointRead(c, type, col.Maximum)) != 0)
        return r;
    if (get_i32(c, col.StartingScale) || get_f64(c, col.Ordering)) return kQxyReadError;
    if ((r = get_text_v3(c, col.Label)) != 0 || (r = get_text_v3(c, col.Measure)) != 0) return r;
    return kQxyOk;
}

int xu_ParsQxyChartHeader(XuParsQxy* c) {
    if (c == nullptr) return kQxyFormatError;
    int r = kQxyOk;
    if (c->chart_open && (r = drain_chart(c)) < 0) return r;
    QxyChartHeader h;
    r = xu_ParsQxyChartHeaderRead(c, h);
    if (r <= 0) return r;
    free_chart(c);
    c->samples = h.SamplesNum;
    c->columns = h.ColumnNum;
    const std::size_t n = static_cast<std::size_t>(c->columns) + 1;
    c->column_types = static_cast<std::uint8_t*>(xu_calloc(n, 1));
    c->row = static_cast<QxyPoint*>(xu_calloc(n, sizeof(QxyPoint)));
    c->rows_done = 0;
    c->count_known = (c->form == kQxyFormOldXY || c->form == kQxyFormOldSpectrum || c->samples > 0) ? 1 : 0;
    if ((r = deliver(c, kQxyRecChartHeader, &h)) != kQxyOk) return r;
    if (c->form == kQxyFormText && c->file_type == kQxyContainer) {
        // A text container has no column blocks of its own: asking for them
        // is the reported error.
        QxyColumn col;
        r = xu_ParsQxyChartColumnRead(c, 0, col);
        return r < 0 ? r : kQxyFormatError;
    }
    const bool blocks = reads_column_blocks(c);
    for (std::int32_t k = 0; k < c->columns; ++k) {
        QxyColumn col;
        if (blocks) {
            if ((r = xu_ParsQxyChartColumnRead(c, k, col)) != kQxyOk) return r;
        } else {
            col = made_column(c, k);
        }
        c->column_types[k] = col.Type;
        if ((r = deliver(c, kQxyRecColumn, &col)) != kQxyOk) return r;
    }
    if (c->form == kQxyFormV3) {
        std::uint8_t mark = 0;
        if (get_u8(c, mark) != 0) return kQxyReadError;
        if (mark != kMarkEnd) return kQxyFormatError;
    }
    c->chart_open = 1;
    ++c->charts_read;
    return 1;
}

int xu_ParsQxyChartData(XuParsQxy* c, int wanted) {
    if (c == nullptr || !c->chart_open) return 0;
    if (c->count_known && c->rows_done >= c->samples) {
        const int r = finish_chart(c);
        return r < 0 ? r : 0;
    }
    int n = 0;
    while (n < wanted) {
        int r = read_row(c);
        if (r < 0) return r;
        if (r == 0) {
            c->chart_open = 0;
            break;
        }
        const QxyRow row{c->rows_done, c->columns, c->row};
        ++c->rows_done;
        ++n;
        if ((r = deliver(c, kQxyRecRow, &row)) != kQxyOk) return r;
        if (c->count_known && c->rows_done >= c->samples) {
            if ((r = finish_chart(c)) < 0) return r;
            break;
        }
    }
    return n;
}

int xu_ParsQxyChartSetPos(XuParsQxy* c, int chart) {
    if (c == nullptr) return kQxyFormatError;
    if (c->binary) {
        if (xu_BfileSeek(c->bfile, 0) != 0) return kQxyReadError;
        c->ahead_pos = c->ahead_len = 0;
    } else {
        std::rewind(c->stream);
        c->line_held = 0;
    }
    c->chart_open = 0;
    c->charts_read = 0;
    const QxyCallback saved = c->cb;
    c->cb = nullptr;
    QxyFileHeader header;
    int r = xu_ParsQxyVersionRead(c);
    if (r == kQxyOk) r = xu_ParsQxyHeaderRead(c, header);
    for (int k = 0; r == kQxyOk && k < chart; ++k) {
        const int h = xu_ParsQxyChartHeader(c);
        if (h <= 0) {
            r = h;
            break;
        }
        r = drain_chart(c);
    }
    c->cb = saved;
    return r < 0 ? r : kQxyOk;
}

int xu_ParsQxyClose(XuParsQxy* c) {
    if (c == nullptr) return kQxyFormatError;
    int r = kQxyOk;
    if (c->bfile != nullptr && xu_BfileClose(c->bfile) != 0) r = kQxyReadError;
    if (c->stream != nullptr && std::fclose(c->stream) != 0) r = kQxyReadError;
    c->bfile = nullptr;
    c->stream = nullptr;
    return r;
}

int xu_ParsQxyEnd(XuParsQxy* c) {
    if (c == nullptr) return kQxyFormatError;
    const int r = xu_ParsQxyClose(c);
    free_chart(c);
    if (c->line != nullptr) xu_free(c->line);
    if (c->ahead != nullptr) xu_free(c->ahead);
    if (c->path != nullptr) xu_free(c->path);
    xu_free(c);
    return r;
}

int xu_ParsQxy(XuMsg* handle, const char* path, QxyCallback cb, void* user, int chart) {
    XuParsQxy* c = xu_ParsQxyInit(handle, path, cb, user);
    if (c == nullptr) return kQxyFormatError;
    int r = xu_ParsQxyHeader(c);
    if (r == kQxyOk && chart >= 0) r = xu_ParsQxyChartSetPos(c, chart);
    while (r == kQxyOk) {
        const int h = xu_ParsQxyChartHeader(c);
        if (h <= 0) {
            r = h;
            break;
        }
        int n = 0;
        while ((n = xu_ParsQxyChartData(c, kRowBlock)) > 0) {
        }
        r = n;
        if (chart >= 0) break;
    }
    xu_ParsQxyEnd(c);
    return r;
}

}  // namespace nodrix

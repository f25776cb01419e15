// Chart headers, column descriptors and rows of the chart-file reader, in
// the text, version 3 binary and older binary forms.
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

// Reads the keyword lines of a text chart header, which the file type decides,
// and the chart's column count they imply.
int read_text_header_keywords(XuParsQxy* c, TextValues& v) {
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
    return result;
}

// Puts the values read into the chart header and into the reader's state that
// the columns and rows of the chart use.
void store_text_header(XuParsQxy* c, const TextValues& v, QxyChartHeader& h) {
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
    const int result = read_text_header_keywords(c, v);
    if (result != kQxyOk) return result;
    if (v.i[fSamplesNum] < 0 || c->columns < 0 || c->columns > kQxyMaxColumns) return kQxyFormatError;
    store_text_header(c, v, h);
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
    // The writer ends every file with an end mark: one that ends without it was cut.
    if (get_u8(c, mark) != 0) return c->end_mark_read ? 0 : kQxyReadError;
    c->end_mark_read = 0;
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
    if (first <= 0) return first == 0 ? end_of_compact_file(c) : first;
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

int end_of_compact_file(const XuParsQxy* c) { return c->charts_read > 0 ? 0 : kQxyReadError; }

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
            if (mark == kMarkEnd) {
                c->end_mark_read = 1;
                return 0;
            }
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

}  // namespace nodrix::qxy_parts

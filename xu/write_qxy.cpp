#include "xu/write_qxy.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "xu/pars_qxy.h"
#include "xu/xu_mem.h"
#include "xu/xu_string.h"

namespace nodrix {

std::int32_t saturate_i32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    if (v <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(std::lround(v));
}

namespace {

constexpr const char* kBinaryMagic = "NodrixXY";
constexpr int kBinaryVersion = 3;

// Section marks of the version 3 binary form.
enum : std::uint8_t { kMarkEnd = 0, kMarkTitle = 1, kMarkLabels = 2, kMarkTiming = 3, kMarkColumn = 4, kMarkRow = 5 };

bool valid_point_type(int type) { return type == kQxyDouble || type == kQxyInt; }

// The value of a point in the point type of its column.
double as_double(const QxyPoint& p) { return p.type == kQxyInt ? static_cast<double>(p.i) : p.d; }
std::int32_t as_int(const QxyPoint& p) { return p.type == kQxyInt ? p.i : saturate_i32(p.d); }

// Texts are written as the data model holds them: at most 127 characters.
const char* bounded(const char* text, char (&buffer)[kQxyTextSize]) {
    std::size_t n = 0;
    while (n < kQxyTextSize - 1 && text[n] != '\0') ++n;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return buffer;
}

// ---- Binary version 3 ----

bool put_byte(XuWriteQxy* c, std::uint8_t b) { return xu_BfileWriteByte(c->bfile, b) == 0; }
bool put_int(XuWriteQxy* c, std::int32_t v) { return xu_BfileWriteInt(c->bfile, v) == 0; }
bool put_dbl(XuWriteQxy* c, double v) { return xu_BfileWriteDouble(c->bfile, v) == 0; }
bool put_text(XuWriteQxy* c, const char* text) {
    char buffer[kQxyTextSize];
    return xu_BfileWriteString(c->bfile, bounded(text, buffer)) == 0;
}

// Writes one value in the given point type; an invalid type is reported on the
// standard error and its value is left out.
bool xu_write_qxy_point(XuWriteQxy* c, int type, const QxyPoint& p) {
    if (type == kQxyDouble) return put_dbl(c, as_double(p));
    if (type == kQxyInt) return put_int(c, as_int(p));
    std::fputs("xu_write_qxy_point(): invalid type.\n", stderr);
    return false;
}

bool binary_header(XuWriteQxy* c, const QxyFileHeader& h) {
    char magic[32];
    std::snprintf(magic, sizeof magic, "%s %d", kBinaryMagic, kBinaryVersion);
    if (xu_BfileWriteStringAscii(c->bfile, magic) != 0 || !put_byte(c, 1)) return false;
    for (const std::int32_t w : h.words)
        if (!put_int(c, w)) return false;
    return put_int(c, 0);
}

bool binary_chart_header(XuWriteQxy* c, const QxyChartHeader& h) {
    bool ok = true;
    if (!c->first_chart) ok = put_byte(c, kMarkEnd);
    ok = ok && put_byte(c, kMarkTitle) && put_int(c, h.ChartType) && put_int(c, h.GraphStyle) &&
         put_int(c, h.SamplesNum) && put_int(c, h.ColumnNum) && put_text(c, h.Title);
    ok = ok && put_byte(c, kMarkLabels) && put_text(c, h.LabelY) && put_text(c, h.MeasureY);
    ok = ok && put_byte(c, kMarkTiming) && put_dbl(c, h.Fsym) && put_dbl(c, h.Delt) && put_int(c, h.SamplesPerBit) &&
         put_dbl(c, h.Tstart) && put_dbl(c, h.StopFrequency) && put_dbl(c, h.FrequencyStep);
    ok = ok && put_byte(c, kMarkEnd);
    // A chart without columns ends its (empty) column list at once.
    if (ok && h.ColumnNum == 0) ok = put_byte(c, kMarkEnd);
    return ok;
}

bool binary_column(XuWriteQxy* c, const QxyColumn& col) {
    bool ok = put_byte(c, kMarkColumn) && put_int(c, col.Type) && xu_write_qxy_point(c, col.Type, col.Minimum) &&
              xu_write_qxy_point(c, col.Type, col.Maximum) && put_int(c, col.StartingScale) &&
              put_dbl(c, col.Ordering) && put_text(c, col.Label) && put_text(c, col.Measure);
    if (ok && col.Index == c->columns - 1) ok = put_byte(c, kMarkEnd);
    return ok;
}

// ---- Text form ----

// Magic word and version of the first line, by file type; null for types that
// write no header lines.
const char* text_magic(std::int32_t type, int& version) {
    switch (type) {
        case kQxyElectricalSignal: version = 3; return "NodrixEltSgn";
        case kQxyOpticalSignal1:
        case kQxyOpticalSignal2: version = 4; return "NodrixOptSgn";
        case kQxySpectrum:
        case kQxySpectrumText: version = 2; return "NodrixExpSpr";
        case kQxySymbolSignal: version = 3; return "NodrixLogSgn";
        case kQxyXY: version = 4; return "NodrixExpXY";
        default: return nullptr;
    }
}

bool line_int(XuWriteQxy* c, const char* key, std::int32_t v) {
    return std::fprintf(c->stream, "%s%c%d\n", key, c->sep, v) >= 0;
}
bool line_dbl(XuWriteQxy* c, const char* key, double v) {
    return std::fprintf(c->stream, "%s%c%20.17e\n", key, c->sep, v) >= 0;
}
bool line_text(XuWriteQxy* c, const char* key, const char* text) {
    char buffer[kQxyTextSize];
    return std::fprintf(c->stream, "%s%c%s\n", key, c->sep, bounded(text, buffer)) >= 0;
}
// A header line holding a point of the given type.
bool line_point(XuWriteQxy* c, const char* key, int type, const QxyPoint& p) {
    return type == kQxyInt ? line_int(c, key, as_int(p)) : line_dbl(c, key, as_double(p));
}

bool text_header(XuWriteQxy* c, const QxyFileHeader& h) {
    int version = 0;
    const char* magic = text_magic(h.words[0], version);
    if (magic == nullptr) return true;
    bool ok = std::fprintf(c->stream, "%s%c%2d\n", magic, c->sep, version) >= 0;
    const std::int32_t type = h.words[0];
    if (ok && (type == kQxySpectrum || type == kQxySpectrumText || type == kQxyXY))
        ok = std::fprintf(c->stream, "Type%c%2d\n", c->sep, type) >= 0;
    return ok;
}

// 1 written, 0 write failure, -1 unknown file type.
int text_chart_header(XuWriteQxy* c, const QxyChartHeader& h) {
    bool ok = true;
    switch (c->file_type) {
        case kQxyElectricalSignal:
            ok = line_int(c, "SamplesNum", h.SamplesNum) && line_dbl(c, "Delt", h.Delt) &&
                 line_dbl(c, "Fsym", h.Fsym) && line_int(c, "SamplesPerBit", h.SamplesPerBit);
            break;
        case kQxyOpticalSignal1:
        case kQxyOpticalSignal2:
            ok = line_int(c, "SamplesNum", h.SamplesNum) && line_dbl(c, "Delt", h.Delt) &&
                 line_dbl(c, "Fsym", h.Fsym) && line_dbl(c, "Tstart", h.Tstart) &&
                 line_int(c, "Polarization", h.ColumnNum == 2 ? 1 : 2);
            break;
        case kQxySpectrum:
        case kQxySpectrumText:
            ok = line_int(c, "SamplesNum", h.SamplesNum) && line_dbl(c, "Delt", h.Delt) &&
                 line_dbl(c, "Fsym", h.Fsym) && line_dbl(c, "FrequencyStep", h.FrequencyStep) &&
                 line_dbl(c, "StartFrequency", h.Tstart) && line_dbl(c, "StopFrequency", h.StopFrequency);
            break;
        case kQxySymbolSignal:
            ok = line_int(c, "SamplesNum", h.SamplesNum) && line_dbl(c, "Delt", h.Delt) &&
                 line_int(c, "NBitsPerSymbol", h.ColumnNum);
            break;
        case kQxyXY:
            ok = line_int(c, "ChartType", h.ChartType) && line_int(c, "GraphStyle", h.GraphStyle) &&
                 line_int(c, "SamplesNum", h.SamplesNum) && line_int(c, "ColumnNum", h.ColumnNum) &&
                 line_text(c, "Title", h.Title) && line_text(c, "LabelY", h.LabelY) &&
                 line_text(c, "MeasureY", h.MeasureY);
            break;
        case kQxyContainer:
            break;
        default:
            return -1;
    }
    return ok ? 1 : 0;
}

bool text_column(XuWriteQxy* c, const QxyColumn& col) {
    if (c->file_type != kQxyXY) {
        // The other types carry the extremes of column 0 as header lines.
        if (col.Index != 0) return true;
        return line_point(c, "Minimum", col.Type, col.Minimum) && line_point(c, "Maximum", col.Type, col.Maximum);
    }
    return std::fprintf(c->stream, "ColumnBegin\n") >= 0 && line_int(c, "Type", col.Type) &&
           line_point(c, "Minimum", col.Type, col.Minimum) && line_point(c, "Maximum", col.Type, col.Maximum) &&
           line_int(c, "StartingScale", col.StartingScale) && line_dbl(c, "Ordering", col.Ordering) &&
           line_text(c, "Label", col.Label) && line_text(c, "Measure", col.Measure) &&
           std::fprintf(c->stream, "ColumnEnd\n") >= 0;
}

}  // namespace

void qxy_set_text(char (&field)[kQxyTextSize], std::string_view text) {
    const std::size_t n = text.size() < kQxyTextSize - 1 ? text.size() : kQxyTextSize - 1;
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

XuWriteQxy* xu_WriteQxyInit(XuMsg* handle, const char* path, int mode) {
    if (mode != 0 && mode != 1) {
        xu_MsgPrintf(handle, kMsgError, -1, nullptr, 0, "Error: bad filetype parameter");
        return nullptr;
    }
    if (path == nullptr) return nullptr;
    XuBfile* bfile = nullptr;
    std::FILE* stream = nullptr;
    if (mode == 0) {
        bfile = xu_BfileOpen(path, kBfileWrite);
        if (bfile == nullptr) return nullptr;
    } else {
        stream = std::fopen(path, "w");
        if (stream == nullptr) return nullptr;
    }
    auto* c = static_cast<XuWriteQxy*>(xu_calloc(1, sizeof(XuWriteQxy)));
    c->msg = handle;
    c->path = xu_StringDup(path);
    c->text = mode;
    c->bfile = bfile;
    c->stream = stream;
    const int sep = xu_QXYGetSepByExt(path);
    c->sep = sep < 0 ? ' ' : static_cast<char>(sep);
    c->first_chart = 1;
    return c;
}

int xu_WriteQxyHeader(XuWriteQxy* c, const QxyFileHeader& header) {
    if (c == nullptr) return 0;
    c->file_type = header.words[0];
    c->first_chart = 1;
    const bool ok = c->text ? text_header(c, header) : binary_header(c, header);
    if (!ok) c->failed = 1;
    return ok ? 1 : 0;
}

int xu_WriteQxyChartHeader(XuWriteQxy* c, const QxyChartHeader& header) {
    if (c == nullptr || header.ColumnNum < 0) return 0;
    if (c->text) {
        const int r = text_chart_header(c, header);
        if (r < 0) {
            xu_MsgPrintf(c->msg, kMsgError, -1, nullptr, 0, "Invalid file type");
            return 0;
        }
        if (r == 0) {
            c->failed = 1;
            return 0;
        }
    } else if (!binary_chart_header(c, header)) {
        c->failed = 1;
        return 0;
    }
    c->first_chart = 0;
    if (c->column_types != nullptr) xu_free(c->column_types);
    c->columns = header.ColumnNum;
    c->column_types = static_cast<std::uint8_t*>(xu_calloc(static_cast<std::size_t>(header.ColumnNum) + 1, 1));
    return 1;
}

int xu_WriteQxyChartColumn(XuWriteQxy* c, const QxyColumn& column) {
    if (c == nullptr || c->column_types == nullptr || column.Index < 0 || column.Index >= c->columns) return -1;
    if (!valid_point_type(column.Type)) {
        if (c->text)
            xu_MsgPrintf(c->msg, kMsgError, -1, nullptr, 0, "Invalid sample type");
        else
            std::fputs("xu_write_qxy_point(): invalid type.\n", stderr);
        return -1;
    }
    c->column_types[column.Index] = column.Type;
    const bool ok = c->text ? text_column(c, column) : binary_column(c, column);
    if (!ok) {
        c->failed = 1;
        return -1;
    }
    return 1;
}

int xu_WriteQxyChartData(XuWriteQxy* c, const QxyPoint* row) {
    if (c == nullptr || c->column_types == nullptr || (row == nullptr && c->columns > 0)) return -1;
    int result = 1;
    if (c->text) {
        for (std::int32_t k = 0; k < c->columns; ++k) {
            const int type = c->column_types[k];
            if (!valid_point_type(type) || !valid_point_type(row[k].type)) {
                xu_MsgPrintf(c->msg, kMsgError, -1, nullptr, 0, "Invalid sample type");
                return -1;
            }
        }
        for (std::int32_t k = 0; k < c->columns; ++k) {
            const char end = k + 1 < c->columns ? c->sep : '\n';
            const int n = c->column_types[k] == kQxyInt
                              ? std::fprintf(c->stream, "%d%c", as_int(row[k]), end)
                              : std::fprintf(c->stream, "%+20.17e%c", as_double(row[k]), end);
            if (n < 0) {
                c->failed = 1;
                return -1;
            }
        }
        return 1;
    }
    if (!put_byte(c, kMarkRow)) {
        c->failed = 1;
        return -1;
    }
    for (std::int32_t k = 0; k < c->columns; ++k) {
        // A point of an invalid type is reported and left out; the row goes on.
        const int type = valid_point_type(row[k].type) ? c->column_types[k] : row[k].type;
        if (!xu_write_qxy_point(c, type, row[k])) result = -1;
    }
    return result;
}

int xu_WriteQxyEnd(XuWriteQxy* c) {
    if (c == nullptr) return 0;
    bool ok = !c->failed;
    if (c->text) {
        if (std::fclose(c->stream) != 0) ok = false;
    } else {
        if (!put_byte(c, kMarkEnd)) ok = false;
        if (xu_BfileClose(c->bfile) != 0) ok = false;
    }
    if (c->column_types != nullptr) xu_free(c->column_types);
    xu_free(c->path);
    xu_free(c);
    return ok ? 1 : 0;
}

}  // namespace nodrix

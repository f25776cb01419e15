// The chart file reader: reads every form of the chart family (binary version
// 1 XY charts and spectra, version 1 and 2 sampled signals, version 3 charts
// and "QuarvinXY" containers, and the keyword-value text forms) and hands each
// structure to a callback.
//
// Result codes: 0 success, -1 a read failure or the end of the file inside a
// structure, -2 a format error or a missing file, -3 the callback refused a
// record. Reports go through the message layer with the reader's handle.
#pragma once

#include <cstdint>
#include <cstdio>

#include "xu/write_qxy.h"
#include "xu/xu_bfile.h"
#include "xu/xu_msg.h"

namespace nodrix {

enum : int { kQxyOk = 0, kQxyReadError = -1, kQxyFormatError = -2, kQxyRefused = -3 };

// Record kinds handed to the callback, with the record's type.
enum : int {
    kQxyRecVersion = 1,      // const std::int32_t* (the version of the form)
    kQxyRecFileHeader = 2,   // const QxyFileHeader*
    kQxyRecChartHeader = 3,  // const QxyChartHeader*
    kQxyRecColumn = 6,       // const QxyColumn*
    kQxyRecRow = 7,          // const QxyRow*
};

struct QxyRow {
    std::int64_t index;       // row number within its chart, from 0
    std::int32_t count;       // number of points (the chart's column count)
    const QxyPoint* points;
};

// Returns a negative value to stop the reading.
using QxyCallback = int (*)(XuMsg* handle, int kind, const void* record, void* user);

// Layout of the file being read.
enum : int {
    kQxyFormText = 0,
    kQxyFormV3 = 1,         // version 3 and later, and every "QuarvinXY" file
    kQxyFormOldXY = 2,      // version 1 XY chart
    kQxyFormOldSpectrum = 3,
    kQxyFormOldSignal = 4,  // version 1 and 2 sampled signal
};

// No chart has more columns than this; a larger count is a format error
// (it guards the row buffer against absurd counts of a damaged file).
constexpr std::int32_t kQxyMaxColumns = 65536;

struct XuParsQxy {
    XuMsg* msg;
    char* path;               // owned copy
    void* user;
    QxyCallback cb;
    int binary;               // 1 binary form, 0 text form
    char sep;                 // separator of the text form
    XuBfile* bfile;
    std::FILE* stream;
    std::int32_t file_type;
    std::int32_t version;
    int form;                 // kQxyForm*
    // Current chart.
    std::int32_t samples;     // SamplesNum
    std::int32_t columns;     // ColumnNum
    std::uint8_t* column_types;
    QxyPoint* row;            // one row of `columns` points
    std::int64_t rows_done;
    int chart_open;           // rows (or the end of the chart) still to be read
    int count_known;          // the chart header gives the row count
    int charts_read;
    int end_mark_read;        // version 3: the last byte read was a chart's end mark
    // Header values of the older forms.
    double Fsym, Delt, Minimum, Maximum, Tstart;
    std::int32_t SamplesPerBit;
    char LabelX[kQxyTextSize], MeasureX[kQxyTextSize], LabelY[kQxyTextSize], MeasureY[kQxyTextSize];
    // Binary files: bytes read ahead from the file.
    unsigned char* ahead;
    std::size_t ahead_len;
    std::size_t ahead_pos;
    // Text lines: a whole line of any length, and one line held back.
    char* line;
    std::size_t line_cap;
    std::size_t line_len;
    int line_held;
};

// Reads a whole file (chart < 0) or only chart number `chart` (from 0); the
// context is closed and freed on every return.
int xu_ParsQxy(XuMsg* handle, const char* path, QxyCallback cb, void* user, int chart);

// Opens the file and chooses the form by the extension: binary for "qxy",
// "qsg", "qsp" and "bxy" (any case), text otherwise. Null (after "File %s not
// found") when it cannot be opened.
XuParsQxy* xu_ParsQxyInit(XuMsg* handle, const char* path, QxyCallback cb, void* user);
// Reads the magic line and the file header (records 1 and 2). 0 or a code.
int xu_ParsQxyHeader(XuParsQxy* ctx);
// Goes back to the first chart and skips `chart` charts. 0 or a code.
int xu_ParsQxyChartSetPos(XuParsQxy* ctx, int chart);
// Reads the next chart header and its column descriptors (records 3 and 6);
// the rest of an unfinished chart is skipped first. 1 when a chart was read,
// 0 at the end of the file, or a negative code.
int xu_ParsQxyChartHeader(XuParsQxy* ctx);
// Reads up to `wanted` rows of the current chart (record 7 each). The number of
// rows read (0 once the chart is complete), or a negative code.
int xu_ParsQxyChartData(XuParsQxy* ctx, int wanted);
// Closes the file and frees the context / closes the file only.
int xu_ParsQxyEnd(XuParsQxy* ctx);
int xu_ParsQxyClose(XuParsQxy* ctx);
// Separator of the text form by extension: ' ' "prn", '\t' "txt", ',' "csv",
// ':' "ssv" (any case); -1 for any other or a missing extension.
int xu_QXYGetSepByExt(const char* path);

// Lower-level steps, one structure each.
int xu_ParsQxyVersionRead(XuParsQxy* ctx);       // the magic line
int xu_ParsQxyHeaderRead(XuParsQxy* ctx, QxyFileHeader& header);  // the file header
int xu_ParsQxyChartHeaderRead(XuParsQxy* ctx, QxyChartHeader& header);  // 1, 0 at the end, or a code
int xu_ParsQxyChartColumnRead(XuParsQxy* ctx, std::int32_t index, QxyColumn& column);
int xu_ParsQxyPointRead(XuParsQxy* ctx, int type, QxyPoint& point);
int read_old_qxy_hdr(XuParsQxy* ctx, QxyChartHeader& header);  // 1, 0 at the end, or a code
int read_old_qsp_hdr(XuParsQxy* ctx, QxyChartHeader& header);

}  // namespace nodrix

// The chart library writer and the data model of the chart file family.
//
// A chart file holds a file header and one or more charts; a chart has a chart
// header, one descriptor per column and rows of points. The writer produces the
// version 3 binary form ("NodrixXY 3") or the keyword-value text form, whose
// separator follows from the file's extension. The compact version 1 and 2
// binary forms written by the models live in runtime/chart_compact.h (they go
// through the run-time io files); the reader of every form is xu/pars_qxy.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>

#include "xu/xu_bfile.h"
#include "xu/xu_msg.h"

namespace nodrix {

// File-type codes; the code also selects the chart-header fields that matter.
enum : std::int32_t {
    kQxyElectricalSignal = 1,  // one real column
    kQxyOpticalSignal1 = 2,    // one polarisation: real and imaginary column
    kQxyOpticalSignal2 = 3,    // two polarisations: four columns
    kQxySpectrum = 4,
    kQxySpectrumText = 5,      // spectrum in the text form
    kQxySymbolSignal = 6,      // one column per bit of a symbol
    kQxyXY = 7,                // XY chart, any number of columns
    kQxyContainer = 8,         // generic chart container ("QuarvinXY")
};

// Point types: a float64 or a signed int32 value.
enum : std::uint8_t { kQxyDouble = 3, kQxyInt = 5 };

// Texts of the data model hold at most 127 characters and their NUL.
constexpr std::size_t kQxyTextSize = 128;

struct QxyPoint {
    std::uint8_t type = kQxyDouble;  // kQxyDouble or kQxyInt
    double d = 0.0;                  // value of a float64 point
    std::int32_t i = 0;              // value of an int32 point

    double value() const { return type == kQxyInt ? static_cast<double>(i) : d; }
    static QxyPoint of_double(double v) { return QxyPoint{kQxyDouble, v, 0}; }
    static QxyPoint of_int(std::int32_t v) { return QxyPoint{kQxyInt, 0.0, v}; }
};

// A value as an int32 point: rounded to nearest, saturating at the int32
// limits; NaN gives 0.
std::int32_t saturate_i32(double v);

// Five 32-bit words: the file-type code and the fixed words 5, 16, 1, 7.
struct QxyFileHeader {
    std::int32_t words[5] = {kQxyXY, 5, 16, 1, 7};
};

struct QxyChartHeader {
    std::int32_t ChartType = 0;      // kind of chart for the plotting front end (XY only)
    std::int32_t GraphStyle = 0;     // drawing style (XY only; -1 = default)
    std::int32_t SamplesNum = 0;     // number of rows
    std::int32_t ColumnNum = 0;      // number of columns (signals: 1, 2 or 4; type 6: bits per symbol)
    char Title[kQxyTextSize] = {};
    char LabelY[kQxyTextSize] = {};   // name of the Y quantity
    char MeasureY[kQxyTextSize] = {};  // unit of the Y quantity
    double Fsym = 0.0;               // symbol rate, or the band's reference frequency [THz]
    double Delt = 0.0;               // sample spacing [ps]
    std::int32_t SamplesPerBit = 0;  // signals
    double Tstart = 0.0;             // time of the first sample; StartFrequency for spectra
    double StopFrequency = 0.0;      // last frequency (spectra)
    double FrequencyStep = 0.0;      // spacing of the spectrum points [THz]
};

struct QxyColumn {
    std::int32_t Index = 0;          // 0 .. ColumnNum-1
    std::uint8_t Type = kQxyDouble;  // point type of the column
    QxyPoint Minimum;                // extremes, points of the column's type
    QxyPoint Maximum;
    std::int32_t StartingScale = 0;
    double Ordering = 0.0;
    char Label[kQxyTextSize] = {};    // name of the quantity
    char Measure[kQxyTextSize] = {};  // its unit
};

// Copies a text into a field of the data model, cut at 127 characters.
void qxy_set_text(char (&field)[kQxyTextSize], std::string_view text);

// Writer context: owned by the caller from xu_WriteQxyInit to xu_WriteQxyEnd.
struct XuWriteQxy {
    XuMsg* msg;                   // message handle for errors
    char* path;                   // owned copy of the path
    int text;                     // 0 binary, 1 text
    XuBfile* bfile;               // binary stream
    std::FILE* stream;            // text stream
    std::int32_t file_type;       // code given to xu_WriteQxyHeader
    char sep;                     // separator of the text form
    int first_chart;              // 1 until a chart header has been written
    std::int32_t columns;         // column count of the current chart
    std::uint8_t* column_types;   // point type per column of the current chart
    int failed;                   // a write has failed
};

// Opens the file: mode 0 binary, 1 text. Null when the file cannot be created
// or the mode is neither ("Error: bad filetype parameter").
XuWriteQxy* xu_WriteQxyInit(XuMsg* handle, const char* path, int mode);
// Writes the magic line and the file header. 1, or 0 when the write failed.
int xu_WriteQxyHeader(XuWriteQxy* ctx, const QxyFileHeader& header);
// Writes a chart header and prepares the column types. 1, or 0 for an unknown
// file type ("Invalid file type", text form), a negative column count or a
// failed write.
int xu_WriteQxyChartHeader(XuWriteQxy* ctx, const QxyChartHeader& header);
// Writes the descriptor of column `Index` (in order). 1, or -1 for an invalid
// point type or an index outside the chart.
int xu_WriteQxyChartColumn(XuWriteQxy* ctx, const QxyColumn& column);
// Writes one row of `columns` points, each value in its column's point type.
// 1, or -1 for an invalid point type (or a failed write).
int xu_WriteQxyChartData(XuWriteQxy* ctx, const QxyPoint* row);
// Ends the file (binary: the final byte 0), closes it and frees the context.
// 1, or 0 when a write or the close failed.
int xu_WriteQxyEnd(XuWriteQxy* ctx);

}  // namespace nodrix

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

namespace nodrix {

using namespace qxy_parts;


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
    if (first <= 0) return first == 0 ? end_of_compact_file(c) : first;
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
    if (first <= 0) return first == 0 ? end_of_compact_file(c) : first;
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
    c->end_mark_read = 0;
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

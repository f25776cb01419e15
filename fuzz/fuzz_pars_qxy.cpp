// libFuzzer target of the chart reader. The first byte of an input chooses the
// file's extension (and so the binary or text form with its separator) and the
// chart asked for; the rest is the file. Each input is read whole through
// xu_ParsQxy and once more step by step, in small row blocks, with a
// repositioning in the middle.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "xu/pars_qxy.h"
#include "xu/xu_msg.h"

namespace {

const char* const kExtensions[8] = {"qxy", "qsg", "qsp", "bxy", "csv", "txt", "ssv", "dat"};

// Touches every field of every record, so that a bad record shows up.
int touch(nodrix::XuMsg*, int kind, const void* record, void* user) {
    auto* sum = static_cast<double*>(user);
    switch (kind) {
        case nodrix::kQxyRecVersion: *sum += *static_cast<const std::int32_t*>(record); break;
        case nodrix::kQxyRecFileHeader:
            for (const std::int32_t w : static_cast<const nodrix::QxyFileHeader*>(record)->words) *sum += w;
            break;
        case nodrix::kQxyRecChartHeader: {
            const auto* h = static_cast<const nodrix::QxyChartHeader*>(record);
            *sum += static_cast<double>(h->SamplesNum) + static_cast<double>(h->ColumnNum) + h->Delt +
                    static_cast<double>(std::string(h->Title).size()) +
                    static_cast<double>(std::string(h->LabelY).size() + std::string(h->MeasureY).size());
            break;
        }
        case nodrix::kQxyRecColumn: {
            const auto* c = static_cast<const nodrix::QxyColumn*>(record);
            *sum += c->Minimum.value() + c->Maximum.value() +
                    static_cast<double>(std::string(c->Label).size() + std::string(c->Measure).size());
            break;
        }
        case nodrix::kQxyRecRow: {
            const auto* r = static_cast<const nodrix::QxyRow*>(record);
            for (std::int32_t k = 0; k < r->count; ++k) *sum += r->points[k].value();
            break;
        }
        default: __builtin_trap();
    }
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        nodrix::xu_MsgInit("fuzz", 0, nullptr, nullptr);
        nodrix::xu_MsgGetMessage(nullptr)->shown = 0;
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    const std::uint8_t selector = data[0];
    const std::string path = "/dev/shm/nodrix-fuzz-" + std::to_string(::getpid()) + "." + kExtensions[selector & 7];
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 0;
    if (size > 1) std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);

    double sum = 0.0;
    const int chart = ((selector >> 3) & 3) - 1;  // -1 (all), 0, 1, 2
    nodrix::xu_ParsQxy(nullptr, path.c_str(), touch, &sum, chart);

    nodrix::XuParsQxy* c = nodrix::xu_ParsQxyInit(nullptr, path.c_str(), touch, &sum);
    if (c != nullptr) {
        if (nodrix::xu_ParsQxyHeader(c) == 0) {
            for (int charts = 0; charts < 64 && nodrix::xu_ParsQxyChartHeader(c) == 1; ++charts) {
                if (nodrix::xu_ParsQxyChartData(c, 7) < 0) break;
                if (charts == 0 && (selector & 0x20) && nodrix::xu_ParsQxyChartSetPos(c, 1) != 0) break;
            }
        }
        nodrix::xu_ParsQxyEnd(c);
    }
    ::unlink(path.c_str());
    return 0;
}

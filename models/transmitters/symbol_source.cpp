// The symbol source of multi-level links: symbols of M = 2 or 4 levels from
// the data source's bit stream (its shift register or a bit file, with its
// pattern and phase options). With M = 4 each symbol takes a pair of bits and
// Gray-maps it to a level, so that neighbouring levels differ in one bit:
// 00 -> 0, 01 -> 1, 11 -> 2, 10 -> 3. The output carries the level index,
// most significant bit first; with M = 2 it is the data source's bit itself.
#include <cstdint>
#include <string>

#include "kernel/block_declaration.h"
#include "models/transmitters/multilevel.h"
#include "models/transmitters/prbs_source.h"

namespace nodrix {

std::int32_t gray_level(std::int32_t first_bit, std::int32_t second_bit) {
    const std::int32_t b0 = first_bit != 0 ? 1 : 0;
    const std::int32_t b1 = second_bit != 0 ? 1 : 0;
    return 2 * b0 + (b0 ^ b1);
}

std::int32_t gray_bits(std::int32_t level) { return level ^ (level >> 1); }

std::int32_t bits_of_levels(std::int32_t levels) { return levels == 4 ? 2 : 1; }

namespace {

struct SymbolSource : BitSource {
    std::int32_t levels = 4;  // M, 2 or 4

    static KindDeclaration<SymbolSource> declaration();

    void design(const RunContext& ctx, StateClaims& state) {
        bits_per_symbol = bits_of_levels(levels);
        BitSource::design(ctx, state);
    }

    // The data source's bits of the symbol, then the pair Gray-mapped to its
    // level index in place (nothing changes while there is no data).
    void run(const RunContext& ctx) {
        BitSource::run(ctx);
        LogicalSignal& lg = *output;
        if (levels != 4 || lg[2] != -1) return;
        const std::int32_t level = gray_level(lg[0], lg[1]);
        lg[0] = level >> 1;
        lg[1] = level & 1;
    }
};

void check_symbol_source(const BlockSettings& s, const LinkContext& link, Findings& found) {
    check_bit_source(s, link, bits_of_levels(s.integer("levels")), "samples_per_symbol", found);
}

// A parameter of the data source, bound through the symbol source.
template <class T>
Parameter<SymbolSource> shared(T BitSource::*member, ParamSpec entry) {
    return parameter<SymbolSource, T>(member, entry);
}

template <class Sample>
Port<SymbolSource> shared(Output<Sample> BitSource::*member, PortSpec entry) {
    return port<SymbolSource, Sample>(static_cast<Output<Sample> SymbolSource::*>(member), entry);
}

KindDeclaration<SymbolSource> SymbolSource::declaration() {
    using S = SymbolSource;
    return {
        .name = "symbol_source",
        .help = "symbol source: M = 2 or 4 levels from a pseudo-random bit sequence or a file, Gray-mapped pairs",
        .family = BlockFamily::transmitters,
        .parameters =
            {
                parameter(&S::levels, {.name = "levels", .fallback = 4, .help = "number of levels M",
                                       .choices = {{"2", 2}, {"4", 4}}}),
                shared(&S::source, {.name = "source", .type = ParamType::choice, .fallback = 0,
                                    .help = "where the bits come from", .choices = {{"prbs", 0}, {"file", 1}}}),
                shared(&S::degree, {.name = "degree", .fallback = 7,
                                    .help = "shift-register degree; below 5 it is chosen from the run length",
                                    .low = 0, .high = 28}),
                shared(&S::polynomial,
                       {.name = "polynomial", .fallback = 1, .help = "variant of the feedback polynomial of that degree",
                        .low = 1, .limits = "at most the polynomials of the degree: 6, 18 at degree 7, 16 at degree 8"}),
                shared(&S::first_boundary_samples,
                       {.name = "first_boundary_samples", .unit = "samples", .fallback = 0,
                        .help = "phase of the first symbol boundary, below samples_per_symbol", .low = 0,
                        .limits = "below samples_per_symbol"}),
                shared(&S::samples_per_bit, {.name = "samples_per_symbol", .unit = "samples",
                                             .help = "samples per symbol", .low = 1, .required = true}),
                shared(&S::skipped_symbols, {.name = "skipped_symbols", .fallback = 0,
                                             .help = "symbols skipped before the first output symbol", .low = 0}),
                shared(&S::clock, {.name = "clock", .type = ParamType::choice, .fallback = 1,
                                   .help = "form of the clock output",
                                   .choices = {{"pulse", 1}, {"square", 2}, {"sine", 3}}}),
                shared(&S::file, {.name = "file", .type = ParamType::file,
                                  .help = "bit file (without \".DAT\") when source is \"file\"",
                                  .limits = "read when source is \"file\": a line starting with ##, a line with the "
                                            "bits per record (at least log2 M), then a symbol per record in 0s and 1s"}),
            },
        .outputs = {shared(&S::output, {.key = "output", .help = "the symbols' level indices, most significant bit first"}),
                    shared(&S::clock_output, {.key = "clock_output", .required = false, .help = "the clock"})},
        .check = check_symbol_source,
    };
}

const KindRegistration registration{declare_kind<SymbolSource>()};

}  // namespace
}  // namespace nodrix

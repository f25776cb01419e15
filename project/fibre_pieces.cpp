#include "project/fibre_pieces.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "kernel/signals.h"
#include "runtime/opxfile.h"

namespace nodrix {
namespace {

// Instance numbers name the fibre's working files in six digits.
constexpr std::int32_t kLargestInstance = 999999;

// The whole fibre a block is, or is a piece of.
std::int32_t whole_of(const LinkBlock& b) { return b.whole_fibre != 0 ? b.whole_fibre : b.id; }

std::string whole_name(const LinkBlock& b) { return "block " + std::to_string(whole_of(b)) + " (fibre)"; }

std::string length_text(double km) {
    char text[32];
    std::snprintf(text, sizeof text, "%g km", km);
    return text;
}

// The spectral broadening of a modulated signal by a Kerr phase phi, as for a
// Gaussian pulse: its rms width grows by sqrt(1 + 4 phi^2 / (3 sqrt 3)).
double kerr_broadening(double phi) { return std::sqrt(1.0 + 4.0 / (3.0 * std::sqrt(3.0)) * phi * phi); }

// Why the pieces of a request cannot be simulated, or empty when they can.
// `pieces_before`: how many pieces the whole fibre has besides this block.
std::string unusable_pieces(const LinkBlock& fibre, const SplitRequest& r, std::int32_t pieces_before) {
    const double length = fibre.settings.real("length_km");
    if (!std::isfinite(length)) return "its length does not fit a single-precision real (3.4e38 at most)";
    // Splitting shares the steps out, not the Kerr phase: light broadened
    // past the whole grid cannot be simulated at this time step, even if it
    // occupied a single bin before.
    const double broadening = kerr_broadening(r.kerr_phase_rad);
    if (broadening > kBins) {
        char text[320];
        std::snprintf(text, sizeof text,
                      "its Kerr phase of %.0f rad (gamma x peak power x effective length) would broaden its "
                      "spectrum about %.0f-fold, past the %d bins of the simulated grid; check its "
                      "gamma_per_w_per_km and the power launched into it",
                      r.kerr_phase_rad, broadening, kBins);
        return text;
    }
    // The plan of a piece, or of the whole fibre.
    const std::string plan = fibre.whole_fibre == 0 ? "its step plan"
                                                    : "the step plan of its piece of " + length_text(length) +
                                                          " from " + length_text(fibre.piece_start_km);
    if (r.pieces_km.size() < 2) return plan + " gives no pieces to cut it into";
    double longest = 0.0;
    for (double piece : r.pieces_km) {
        if (!(piece > 0.0) || !std::isfinite(piece))
            return plan + " gives pieces of no finite positive length (" + length_text(piece) + ")";
        longest = std::max(longest, piece);
    }
    // A piece no shorter than the fibre would ask for the same cut again.
    if (!(static_cast<float>(longest) < static_cast<float>(length)))
        return plan + " cannot shorten it: a piece of " + length_text(longest) + " remains of " +
               length_text(length);
    const auto total = static_cast<std::int64_t>(r.pieces_km.size()) + pieces_before;
    if (total > kMaxFibrePieces)
        return "it would take " + std::to_string(total) + " pieces, more than the " +
               std::to_string(kMaxFibrePieces) + " a fibre may become";
    return {};
}

// The first instance number above every instance and signal number of the link.
std::int32_t next_free_number(const Link& link) {
    std::int32_t top = 0;
    for (const LinkBlock& b : link.blocks) top = std::max({top, b.id, b.output, b.clock_output});
    return top + 1;
}

std::string four_digits(std::int32_t n) {
    char text[16];
    std::snprintf(text, sizeof text, "_%04d", static_cast<int>(n));
    return text;
}

// The report name of the whole fibre a block belongs to.
std::string whole_report_name(const LinkBlock& b) {
    std::string name = b.settings.text("file_name");
    const std::string suffix = four_digits(b.id);
    if (b.id != whole_of(b) && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        name.resize(name.size() - suffix.size());
    return name;
}

// The pieces that replace `fibre`, the last with its number and output; the
// others numbered from `next` for now.
std::vector<LinkBlock> pieces_of(const LinkBlock& fibre, const SplitRequest& r, std::int32_t& next) {
    std::vector<LinkBlock> pieces;
    double start = fibre.piece_start_km;
    std::int32_t input = fibre.inputs.at(0);
    for (std::size_t k = 0; k < r.pieces_km.size(); ++k) {
        LinkBlock piece = fibre;
        piece.whole_fibre = whole_of(fibre);
        piece.piece_start_km = start;
        piece.inputs = {input};
        piece.settings.set_number("length_km", r.pieces_km[k]);
        piece.settings.set_number("length_tolerance_percent", 0.0);
        if (k + 1 < r.pieces_km.size()) {
            piece.id = next++;
            piece.output = piece.id;
            piece.settings.set_text("file_name", whole_report_name(fibre) + four_digits(piece.id));
        }
        input = piece.output;
        start += r.pieces_km[k];
        pieces.push_back(std::move(piece));
    }
    return pieces;
}

// A piece before the last of a split fibre (the last has the fibre's number).
bool earlier_piece(const LinkBlock& b) { return b.whole_fibre != 0 && b.id != b.whole_fibre; }

// Numbers the earlier pieces of every split fibre consecutively, in schedule
// order, from above every number of the link's own blocks and signals; each
// writes the signal of its number, read by the piece after it, and its report
// is named after the fibre's.
void number_pieces(std::vector<LinkBlock>& blocks) {
    std::int32_t next = 1;
    for (const LinkBlock& b : blocks)
        if (!earlier_piece(b)) next = std::max({next, b.id + 1, b.output + 1, b.clock_output + 1});
    std::map<std::int32_t, std::int32_t> numbers;  // the pieces' numbers and signals, old to new
    for (const LinkBlock& b : blocks)
        if (earlier_piece(b)) numbers[b.id] = next++;
    for (LinkBlock& b : blocks) {
        if (b.whole_fibre == 0) continue;
        if (earlier_piece(b)) {
            const std::string report = whole_report_name(b);
            b.id = b.output = numbers.at(b.id);
            b.settings.set_text("file_name", report + four_digits(b.id));
        }
        const auto from = numbers.find(b.inputs.at(0));
        if (from != numbers.end()) b.inputs[0] = from->second;
    }
}

// Instance numbers as a reader takes them in: runs of consecutive numbers
// as "13 to 98", the last joined by "and".
std::string number_list(const std::vector<std::int32_t>& ids) {
    std::vector<std::string> runs;
    for (std::size_t i = 0; i < ids.size();) {
        std::size_t j = i;
        while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1) ++j;
        runs.push_back(j == i ? std::to_string(ids[i])
                              : std::to_string(ids[i]) + (j == i + 1 ? ", " : " to ") + std::to_string(ids[j]));
        i = j + 1;
    }
    std::string text;
    for (std::size_t k = 0; k < runs.size(); ++k)
        text += (k == 0 ? "" : k + 1 == runs.size() ? " and " : ", ") + runs[k];
    return text;
}

}  // namespace

bool FibreSplits::apply(Link& link, std::span<const SplitRequest> requests, int round) {
    std::int32_t next = next_free_number(link);
    std::set<std::int32_t> refused;  // whole fibres, each reported once
    std::vector<LinkBlock> formed;
    formed.reserve(link.blocks.size());
    for (const LinkBlock& b : link.blocks) {
        // A fibre over its storage limit is set up whole and runs whole: the
        // kernel storage is sized to what the link needs.
        const auto r = std::find_if(requests.begin(), requests.end(), [&](const SplitRequest& q) {
            return q.instance == b.id && q.reason == SplitReason::steps;
        });
        if (r == requests.end() || b.kind->name != "fibre") {
            formed.push_back(b);
            continue;
        }
        const std::int32_t whole = whole_of(b);
        const auto pieces_before = static_cast<std::int32_t>(
            std::count_if(link.blocks.begin(), link.blocks.end(),
                          [&](const LinkBlock& o) { return &o != &b && whole_of(o) == whole; }));
        std::string problem = round >= kMaxSplitRounds ? "its pieces still ask to be split after " +
                                                               std::to_string(round - 1) + " rounds of splits"
                                                         : unusable_pieces(b, *r, pieces_before);
        if (problem.empty() && next + static_cast<std::int64_t>(r->pieces_km.size()) - 1 > kLargestInstance)
            problem = "its pieces would need instance numbers beyond " + std::to_string(kLargestInstance);
        if (!problem.empty()) {
            if (refused.insert(whole).second)
                opxerr(link.source + ":" + std::to_string(b.line) + ": " + whole_name(b) +
                       " cannot be split into pieces it can simulate: " + problem);
            formed.push_back(b);
            continue;
        }
        split_.insert(whole);
        for (LinkBlock& piece : pieces_of(b, *r, next)) formed.push_back(std::move(piece));
    }
    number_pieces(formed);
    link.blocks = std::move(formed);
    return refused.empty();
}

std::vector<std::string> FibreSplits::report(const Link& link) const {
    std::vector<std::string> lines;
    for (const std::int32_t whole : split_) {
        std::vector<std::int32_t> ids;
        for (const LinkBlock& b : link.blocks)
            if (whole_of(b) == whole) ids.push_back(b.id);
        lines.push_back("block " + std::to_string(whole) + " (fibre) is split into " + std::to_string(ids.size()) +
                        " pieces (blocks " + number_list(ids) + "): its step plan needs more than the " +
                        std::to_string(kMaxSteps) + " steps one fibre block holds");
    }
    return lines;
}

}  // namespace nodrix

// A channel plan: a link's channels declared once ([channels]: their count,
// frequencies, power, data) with a transmitter and a receiver template
// ([[channels.transmitter]], [[channels.receiver]]), expanded into the
// [[block]] tables of every channel.
//
// Numbering: channel k (from 1, in rising frequency) gets the instance
// numbers k x id_step + the template's id (id_step 100: channel 3's template
// block 4 is block 304), and so the files named by {id} of its own
// (wdm8_PST0313.DAT). A connection number in a template names a block of
// the same channel's templates; "line" names the plan's receiver_input. The
// transmitters of every channel come first in the schedule, channel by
// channel; the receivers last. A line block reads the channels' light (each
// channel's last transmitter block) with `inputs = "channels"` or
// `"channels 1-4"`.
//
// The plan sets in its blocks: a laser's frequency_thz (and its power when
// the plan gives power_dbm or power_mw), a data source's degree (prbs_degree)
// and skipped_symbols (the template's plus (k - 1) x seed_offset, so that the
// channels carry different data), and an optical filter's
// centre_frequency_thz; a template that gives one of them is refused.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <toml++/toml.h>

namespace nodrix {

// One block of one channel, as a [[block]] table would give it.
struct PlanBlock {
    toml::table table;                // id, kind, values, connections
    int line = 0;                     // of its template in the file
    std::map<std::string, int> lines; // of each value, where the file gives it
    int channel = 0;                  // from 1
};

struct ChannelPlan {
    int count = 0;
    double first_thz = 0.0;
    double spacing_ghz = 0.0;
    std::int64_t id_step = 100;
    std::vector<PlanBlock> transmitters;  // channel by channel, in schedule order
    std::vector<PlanBlock> receivers;
    std::vector<std::int32_t> outputs;    // each channel's light
    double frequency_thz(int channel) const { return first_thz + (channel - 1) * spacing_ghz / 1000.0; }
    double centre_thz() const { return first_thz + 0.5 * (count - 1) * spacing_ghz / 1000.0; }
};

// Reports a problem of the plan at a line of the file.
using PlanProblem = std::function<void(int line, const std::string& what)>;

// Reads [channels] and expands its templates; nullopt after a problem.
std::optional<ChannelPlan> expand_channel_plan(const toml::table& channels, const PlanProblem& problem);

// The signals a line block's connection "channels" or "channels A-B" reads;
// nullopt when the text is no such word, with `problem` set when it is one
// that names channels the plan does not have.
std::optional<std::vector<std::int32_t>> channel_signals(const ChannelPlan& plan, std::string_view word,
                                                         std::string& problem);

}  // namespace nodrix

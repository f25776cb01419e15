// A link as data: its run settings and its blocks in schedule order, read
// from a description file (TOML) and checked against the registry of block
// kinds before anything runs.
//
//   [link]                      run settings (link_settings_kind() lists them)
//   name = "one_channel"
//   bit_rate_gbps = 10          the time step follows from the bit rate and
//   samples_per_bit = 64        the samples per bit, which every block with
//                               samples_per_bit takes unless it gives its own
//   end_time_ps = "auto"        worked out from the measurements' observations
//   [defaults.<kind>]           values for every block of a kind
//   [channels]                  a channel plan and its templates (channel_plan.h)
//   [[block]]                   one per block instance, in schedule order
//   id = 4                      instance number
//   kind = "laser"              a kind of the registry
//   frequency_thz = 193.1       named parameters
//   input = 3 / inputs = [...]  the signals it reads (by number), drive = N
//   output = 71                 the number of the signal it writes, where it
//                               differs from the instance number
//
// Overrides (`-set ID.PARAM=VALUE`) change any parameter of one block (ID a
// number), of every block of a kind (ID a kind), or of the link ("link").
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "project/registry.h"

namespace nodrix {

// The run settings, declared as the parameters of a kind named "link".
const KindSpec& link_settings_kind();

struct LinkBlock {
    std::int32_t id = 0;
    const KindSpec* kind = nullptr;
    int line = 0;                         // of its [[block]] in the file
    int ordinal = 0;                      // among the blocks of its kind, from 1
    BlockSettings settings;
    std::vector<std::int32_t> inputs;     // signal numbers, in the order of the kind's input ports
    std::int32_t drive = 0;               // the modulator's drive signal
    std::int32_t output = 0;              // the primary output signal (0: none)
    std::int32_t clock_output = 0;        // the data source's clock (0: none)
    // A piece of a fibre cut into consecutive pieces: the whole fibre's
    // instance number (0: no piece) and the distance of the piece's start
    // from the whole's start [km].
    std::int32_t whole_fibre = 0;
    double piece_start_km = 0.0;
};

// A channel of the link's channel plan and the blocks expanded for it.
struct LinkChannel {
    int number = 0;                       // from 1, in rising frequency
    double frequency_thz = 0.0;
    std::vector<std::int32_t> blocks;     // its transmitter's, then its receiver's
};

struct Link {
    std::string source;                   // the file it came from
    BlockSettings settings;               // of link_settings_kind()
    std::vector<LinkBlock> blocks;        // schedule order
    // The emission window and the end time are left to the measurements
    // ("auto"): the settings hold stand-ins until a set-up of the link works
    // them out (work_out_auto_settings, project/observation.h).
    bool auto_emission_window = false;
    bool auto_end_time = false;
    std::vector<LinkChannel> channels;    // of its channel plan ([channels]), if it has one
    std::string name() const { return settings.text("name"); }
    const LinkBlock* find(std::int32_t id) const;
    // The block that writes a signal, or null.
    const LinkBlock* producer(std::int32_t signal) const;
};

// One `-set TARGET.KEY=VALUE` of the command line.
struct LinkOverride {
    std::string target;   // "link", an instance number, or a kind
    std::string key;
    std::string value;    // as written: a number, true/false, a quoted or bare text, [a, b]
    std::string origin;   // the whole argument, for messages
};
// Splits "73.length_km=80"; nullopt when it has no "." before the "=".
std::optional<LinkOverride> parse_override(std::string_view argument);

// Reads and checks a link. Every problem is reported through the message
// layer (file, line, block, what is allowed), all of them before returning;
// nullopt when there was any. Relative file names in the description are
// taken from the file's directory (`base_dir` for a text), those of
// overrides from the working directory.
std::optional<Link> load_link_file(const std::string& path, const std::vector<LinkOverride>& overrides = {});
std::optional<Link> load_link_text(std::string_view text, const std::string& source, const std::string& base_dir,
                                   const std::vector<LinkOverride>& overrides = {});

}  // namespace nodrix

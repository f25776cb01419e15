#include "project/sim_160g.h"

#include <array>
#include <vector>

#include "filters/bessel.h"
#include "filters/raised_cosine.h"
#include "kernel/schedule.h"
#include "models/fibre/fibre_block.h"
#include "models/measurements/ber_estimator.h"
#include "project/parameters.h"
#include "project/topology.h"

namespace nodrix {
namespace sim160g {
namespace {

// The signals of the project, by their four-digit numbers: optical signals
// x0004..x0120, electrical signals ze0002..ze0138 (NRZ drive voltages,
// photocurrents, filtered currents, clocks), the data sources' logical
// outputs by source instance, and the output window of every instance.
struct Signals {
    std::array<OpticalSignal, 121> x{};
    std::array<ElectricalSample, 139> ze{};
    std::array<LogicalSignal, 65> lg{};
    std::array<TimeWindow, kLastInstance + 1> window{};
};

Signals& signals() {
    static Signals s;
    return s;
}

// The input window of an instance: the output window of the producer it is
// connected to (its start and the window length), or the sources' start.
InputWindow input_window(const Instance& b) {
    const ScheduleConstants& k = current_project().schedule;
    if (b.window_from == 0) return InputWindow{k.tstart, k.twinin};
    return InputWindow{signals().window[static_cast<std::size_t>(b.window_from)].ton, k.twinin};
}

// The fibre's parameters with the link's variant applied.
FiberParams fibre_variant(std::int32_t instance) {
    FiberParams p = fibre_parameters(instance);
    if (instance == 73) p.rpar[11] = sim160g::link_options().span_gamma;
    return p;
}

// Builds the call of one instance, with its parameters filled just before the
// call. `ordinal` is the transmitter's index in schedule order (from 0).
std::function<void()> block_call(const Instance& b, int ordinal) {
    Signals& s = signals();
    const auto in = [&b]() { return input_window(b); };
    TimeWindow& out = s.window[static_cast<std::size_t>(b.instance)];
    switch (b.kind) {
        // Parameters are made once per block, not on every call: a data
        // source's carry a file name, and 10^7 samples would allocate it each time.
        case Kind::laser:
            return [&b, &s, &out, in, p = laser_parameters(ordinal)] { laslor(p, in(), out, s.x[b.output]); };
        case Kind::data_source:
            return [&b, &s, p = data_source_parameters(ordinal)] { spnseq(p, s.ze[b.output], s.lg[b.instance]); };
        case Kind::nrz_driver:
            return [&b, &s] {
                static const RecnrzParams p = nrz_driver_parameters();
                recnrz(p, s.lg[b.inputs[0]][0], s.ze[b.output]);
            };
        case Kind::modulator:
            return [&b, &s, &out, in] {
                static const OamodParams p = modulator_parameters();
                oamod(p, in(), out, s.x[b.inputs[0]], s.ze[b.drive], s.x[b.output]);
            };
        case Kind::combiner:
            return [&b, &s, &out, in] {
                static const Ocmb04Params p = combiner_parameters();
                ocmb04(p, in(), out, s.x[b.inputs[0]], s.x[b.inputs[1]], s.x[b.inputs[2]], s.x[b.inputs[3]],
                       s.x[b.output]);
            };
        case Kind::amplifier_fg:
            return [&b, &s, &out, in] {
                static const OampfgParams p = fixed_gain_amplifier_parameters();
                oampfg(p, in(), out, s.x[b.inputs[0]], s.x[b.output]);
            };
        case Kind::amplifier_fp:
            return [&b, &s, &out, in] {
                static const OampfpParams p = fixed_power_amplifier_parameters();
                oampfp(p, in(), out, s.x[b.inputs[0]], s.x[b.output]);
            };
        case Kind::power_meter:
            return [&b, &s, &out, in, p = power_meter_parameters(b.instance)] {
                opowme(p, in(), out, s.x[b.inputs[0]]);
            };
        case Kind::spectrum:
            return [&b, &s, &out, in, p = spectrum_analyser_parameters(b.instance)] {
                optspr(p, in(), out, s.x[b.inputs[0]]);
            };
        case Kind::fibre:
            return [&b, &s, &out, in, p = fibre_variant(b.instance)]() mutable {
                // The dimensioning file is the open memory map of this call.
                p.memfile = current_memory_map();
                fiber1(p, in(), out, s.x[b.inputs[0]], s.x[b.output]);
            };
        case Kind::raised_cosine:
            return [&b, &s, &out, in, p = raised_cosine_parameters(b.instance)] {
                orcfil(p, in(), out, s.x[b.inputs[0]], s.x[b.output]);
            };
        case Kind::photodiode:
            return [&b, &s, &out, in] {
                static const PhotodParams p = photodiode_parameters();
                photod(p, in(), out, s.x[b.inputs[0]], s.ze[b.output]);
            };
        case Kind::bessel:
            return [&b, &s] {
                static const FilbesParams p = bessel_parameters();
                filbes(p, s.ze[b.inputs[0]], s.ze[b.output]);
            };
        case Kind::ber:
            return [&b, &s, p = ber_estimator_parameters(b.instance)] {
                pestim(p, s.window[static_cast<std::size_t>(b.window_from)], s.ze[b.inputs[0]]);
            };
        case Kind::scope:
            return [&b, &s, p = scope_parameters(b.instance)] {
                scope(p, s.window[static_cast<std::size_t>(b.window_from)], s.ze[b.inputs[0]]);
            };
    }
    return {};
}

// The generated block list in schedule order, with the memory-map and delay
// file steps of every block.
std::vector<BlockCall> build_block_list() {
    Signals& s = signals();
    std::vector<BlockCall> blocks;
    int transmitter = 0;
    for (const Instance& b : schedule()) {
        BlockCall c;
        c.instance = b.instance;
        int ordinal = 0;
        if (b.kind == Kind::laser) ordinal = transmitter;
        if (b.kind == Kind::data_source) ordinal = transmitter;
        if (b.kind == Kind::modulator) ++transmitter;
        c.call = block_call(b, ordinal);
        if (has_optical_output(b.kind)) {
            c.shown = &s.x[static_cast<std::size_t>(b.output)];
            c.shown_number = b.output;
        } else if (shows_its_input(b.kind)) {
            c.shown = &s.x[static_cast<std::size_t>(b.inputs[0])];
            c.shown_number = b.inputs[0];
        }
        if (writes_delay_record(b.kind)) {
            c.delay_record = true;
            c.delay_input = &s.x[static_cast<std::size_t>(b.inputs[0])];
            c.delay_output = &s.x[static_cast<std::size_t>(b.output)];
        }
        blocks.push_back(std::move(c));
    }
    return blocks;
}

// The generated schedule: every block instance once, in schedule order.
void projec(std::int32_t& /*nrun*/, std::int32_t& /*irun*/, std::int32_t& /*more*/, std::int32_t& /*first*/) {
    run_schedule("sim_160G", block_list(), kLastInstance + 1, current_project().schedule);
}

}  // namespace

namespace {
LinkOptions options;
std::vector<BlockCall>& blocks() {
    static std::vector<BlockCall> list = build_block_list();
    return list;
}
}  // namespace

std::vector<BlockCall>& block_list() { return blocks(); }

void set_link_options(const LinkOptions& o) {
    options = o;
    blocks() = build_block_list();
}

const LinkOptions& link_options() { return options; }

const OpticalSignal& optical_signal(std::int32_t number) { return signals().x.at(static_cast<std::size_t>(number)); }
const TimeWindow& output_window(std::int32_t instance) {
    return signals().window.at(static_cast<std::size_t>(instance));
}

}  // namespace sim160g

ProjectDescription sim_160g_project() {
    ProjectDescription p;
    p.name = "sim_160G";
    p.first_instance = 1;
    p.last_instance = sim160g::kLastInstance;
    p.projec = sim160g::projec;
    p.schedule.tstart = sim160g::kTstart;
    p.schedule.twinin = sim160g::kTwinin;
    p.schedule.tend = 640443.06f;
    return p;
}

}  // namespace nodrix

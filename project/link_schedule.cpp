#include "project/link_schedule.h"

#include <algorithm>
#include <filesystem>

#include "numerics/filter_tables.h"
#include "runtime/opxfile.h"

namespace nodrix {

namespace {

// The longest data file name the blocks read.
constexpr std::size_t kFileNameWidth = 50;

// Signals of one polarisation meet an amplifier whose ASE fills both: the
// ASE orthogonal to the signal travels in the second field, where it adds
// its power and its own beat noise at a detector but does not beat with
// the signal.
bool orthogonal_ase(const Link& link) {
    if (link.settings.integer("polarisations") != 1) return false;
    return std::any_of(link.blocks.begin(), link.blocks.end(), [](const LinkBlock& b) {
        const bool amplifier = b.kind->name == "amplifier_fixed_gain" || b.kind->name == "amplifier_fixed_power";
        return amplifier && b.settings.integer("ase_polarisations") == 2 && !b.settings.flag("ase_off");
    });
}

}  // namespace

template <class T>
T* LinkSchedule::signal(std::map<std::int32_t, std::unique_ptr<T>>& map, std::int32_t number) {
    auto& slot = map[number];
    if (!slot) slot = std::make_unique<T>();
    return slot.get();
}

LinkSchedule::LinkSchedule(Link link) : link_(std::move(link)) {
    for (LinkBlock& b : link_.blocks) ok_ = hand_over_files(b) && ok_;
    if (!ok_) return;

    // Every signal and window first, so that the calls can hold their addresses.
    for (const LinkBlock& b : link_.blocks) {
        if (b.kind->windowed) windows_[b.id] = std::make_unique<TimeWindow>();
        if (b.clock_output != 0) signal(electrical_, b.clock_output);
        if (b.output == 0) continue;
        switch (b.kind->outputs[0].kind) {
            case SignalKind::optical: signal(optical_, b.output); break;
            case SignalKind::electrical: signal(electrical_, b.output); break;
            case SignalKind::logical: signal(logical_, b.output); break;
        }
    }
    for (LinkBlock& b : link_.blocks) {
        BlockWiring w;
        w.id = b.id;
        w.constants = &constants_;
        w.window = b.kind->windowed ? windows_[b.id].get() : nullptr;
        w.producer_window = producer_window(b);
        w.whole_fibre = b.whole_fibre;
        w.piece_start_km = b.piece_start_km;
        for (const PortSpec& port : b.kind->inputs) {
            if (port.key == "drive") {
                w.drive = electrical_.at(b.drive).get();
                continue;
            }
            for (std::int32_t s : b.inputs) {
                switch (port.kind) {
                    case SignalKind::optical: w.optical_inputs.push_back(optical_.at(s).get()); break;
                    case SignalKind::electrical: w.electrical_input = electrical_.at(s).get(); break;
                    case SignalKind::logical: w.logical_input = logical_.at(s).get(); break;
                }
            }
        }
        if (b.output != 0) {
            switch (b.kind->outputs[0].kind) {
                case SignalKind::optical: w.optical_output = optical_.at(b.output).get(); break;
                case SignalKind::electrical: w.electrical_output = electrical_.at(b.output).get(); break;
                case SignalKind::logical: w.logical_output = logical_.at(b.output).get(); break;
            }
        }
        if (b.kind->find_port("clock_output") != nullptr) {
            if (b.clock_output != 0) {
                w.clock_output = signal(electrical_, b.clock_output);
            } else {
                unread_.push_back(std::make_unique<ElectricalSample>());
                w.clock_output = unread_.back().get();
            }
        }

        BlockCall c;
        c.instance = b.id;
        c.kind = std::string(b.kind->name);
        c.label = "block " + std::to_string(b.id) + " (" + c.kind + ")";
        c.block = b.kind->create(b.settings, connections(b, w));
        // The memory map shows the block's optical output, or else its
        // optical input.
        if (w.optical_output != nullptr) {
            c.shown = w.optical_output;
            c.shown_number = b.output;
        } else if (!w.optical_inputs.empty()) {
            c.shown = w.optical_inputs[0];
            c.shown_number = b.inputs[0];
        }
        if (b.kind->delay_record) {
            c.delay_record = true;
            c.delay_input = optical_.at(b.inputs[0]).get();
            c.delay_output = w.optical_output;
        }
        calls_.push_back(std::move(c));
    }
}

void* LinkSchedule::signal_of(SignalKind kind, std::int32_t number) {
    switch (kind) {
        case SignalKind::optical: return signal(optical_, number);
        case SignalKind::electrical: return signal(electrical_, number);
        case SignalKind::logical: return signal(logical_, number);
    }
    return nullptr;
}

// The block's signals by port name: the inputs in the order of its input
// ports (the drive apart), the outputs by number. An output left unnumbered
// (a clock no block reads) still has a signal to write, under a number below
// those a link can give.
Connections LinkSchedule::connections(const LinkBlock& b, const BlockWiring& w) {
    Connections c;
    for (const PortSpec& port : b.kind->inputs) {
        if (port.key == "drive") {
            if (b.drive != 0) c.add_input(port.key, port.kind, signal_of(port.kind, b.drive));
            continue;
        }
        for (std::int32_t s : b.inputs) c.add_input(port.key, port.kind, signal_of(port.kind, s));
    }
    for (const PortSpec& port : b.kind->outputs) {
        std::int32_t number = port.key == "output" ? b.output : b.clock_output;
        if (number == 0) number = -++unread_outputs_;
        c.add_output(port.key, port.kind, signal_of(port.kind, number));
    }
    c.producer_window = w.producer_window;
    c.window = w.window;
    c.identity = BlockIdentity{b.id, w.whole_fibre, w.piece_start_km};
    return c;
}

// Data files are named to the blocks relative to the working directory when
// that is shorter than the absolute name.
bool LinkSchedule::hand_over_files(LinkBlock& b) {
    namespace fs = std::filesystem;
    bool fits = true;
    for (const ParamSpec& p : b.kind->params) {
        if (p.type != ParamType::file || b.settings.text(p.name).empty()) continue;
        const fs::path absolute = fs::path(b.settings.text(p.name));
        std::error_code ec;
        const fs::path relative = fs::relative(absolute, fs::current_path(), ec);
        std::string name = absolute.string();
        if (!ec && !relative.empty() && relative.string().size() < name.size()) name = relative.string();
        if (name.size() > kFileNameWidth) {
            opxerr(link_.source + ":" + std::to_string(b.line) + ": block " + std::to_string(b.id) + " (" +
                   std::string(b.kind->name) + "): " + std::string(p.name) + " " + name + " is longer than the " +
                   std::to_string(kFileNameWidth) + " characters the block reads; run closer to the file or move it");
            fits = false;
            continue;
        }
        b.settings.set_text(p.name, name);
    }
    return fits;
}

const LinkBlock* LinkSchedule::window_source(const LinkBlock& b) const {
    // Among the producers of the block's inputs, the one scheduled first.
    const LinkBlock* first = nullptr;
    std::size_t first_order = link_.blocks.size();
    for (std::int32_t s : b.inputs) {
        const LinkBlock* p = link_.producer(s);
        if (p == nullptr) continue;
        const auto order = static_cast<std::size_t>(p - link_.blocks.data());
        if (order < first_order) first = p, first_order = order;
    }
    if (first == nullptr) return nullptr;
    return first->kind->windowed ? first : window_source(*first);
}

const TimeWindow* LinkSchedule::producer_window(const LinkBlock& b) const {
    const LinkBlock* source = window_source(b);
    return source != nullptr ? windows_.at(source->id).get() : nullptr;
}

const LinkBlock* LinkSchedule::upstream(const LinkBlock& b, std::string_view kind) const {
    for (const LinkBlock* p = b.inputs.empty() ? nullptr : link_.producer(b.inputs[0]); p != nullptr;
         p = p->inputs.empty() ? nullptr : link_.producer(p->inputs[0]))
        if (p->kind->name == kind) return p;
    return nullptr;
}

const OpticalSignal* LinkSchedule::optical(std::int32_t signal) const {
    const auto s = optical_.find(signal);
    return s != optical_.end() ? s->second.get() : nullptr;
}

const TimeWindow* LinkSchedule::window(std::int32_t id) const {
    const auto w = windows_.find(id);
    return w != windows_.end() ? w->second.get() : nullptr;
}

ProjectDescription LinkSchedule::project() {
    const BlockSettings& s = link_.settings;
    ProjectDescription p;
    p.name = link_.name();
    ProjectConstants& k = p.constants;
    k.delt = s.real("time_step_ps");
    k.fcenter = s.real("centre_frequency_thz");
    k.fbandlo = s.real("band_low_thz");
    k.fbandhi = s.real("band_high_thz");
    k.fgrid0 = s.real("grid_reference_thz");
    k.fgridlo = s.real("grid_low_thz");
    k.fgridhi = s.real("grid_high_thz");
    std::copy_n(s.integers("seeds").begin(), 10, std::begin(k.seeds));
    k.polarisations = s.integer("polarisations");
    k.orthogonal_ase = orthogonal_ase(link_);
    k.tmon = s.real("monitor_offset_ps");
    k.split_step = SplitStepSettings{s.real("fwm_accuracy_db"),           s.flag("fourfold_precision_off"),
                                     s.real("filter_precision_constant"), s.integer("peak_power_index"),
                                     s.real("max_nonlinear_phase_deg"),   1e-6f,
                                     s.integer("step_rule"),              s.integer("splitting"),
                                     s.real("step_refinement")};
    p.schedule.tstart = s.real("start_time_ps");
    p.schedule.twinin = s.real("emission_window_ps");
    p.schedule.tend = s.real("end_time_ps");
    constants_ = p.schedule;
    const std::string name = p.name;
    p.projec = [this, name](RunContext& run, std::int32_t&, std::int32_t&, std::int32_t&, std::int32_t&) {
        // The driver's copy carries the run's changes (the emission window).
        constants_ = current_project().schedule;
        return run_schedule(run, name, calls_);
    };
    // The fibre step-filter and amplifier filter designs read the shared
    // frequency tables and the filter precision, set afresh for every
    // dimensioning pass.
    p.block_setup = opx_filter_init;
    return p;
}

}  // namespace nodrix

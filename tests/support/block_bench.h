// A bench for one block of a declared kind: the block made by name from its
// registry entry, with settings changed from their defaults, signals the bench
// owns on its ports, and its phases called one by one with a run context, as
// the schedule calls them.
//
//   testing::BlockBench bench("modulator");
//   bench.set("insertion_loss_db", 3.0);
//   OpticalSignal& laser = bench.input<OpticalSignal>("input");
//   ElectricalSample& drive = bench.input<ElectricalSample>("drive");
//   const OpticalSignal& out = bench.output<OpticalSignal>("output");
//   bench.start();           // made, designed and set up
//   drive.value = 2.5f;
//   bench.run(1);            // sample 1
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "kernel/block.h"
#include "kernel/run_context.h"

namespace nodrix::testing {

class BlockBench {
public:
    explicit BlockBench(std::string_view kind, const SimulationSettings& settings = {});

    BlockBench& set(std::string_view param, double number);
    BlockBench& set(std::string_view param, const std::string& text);

    // A signal the bench owns, read by the input port (once more for each
    // further signal of a port that takes several).
    template <class Sample>
    Sample& input(std::string_view port) {
        Sample& s = store<Sample>().emplace_back();
        connections_.add_input(port, SignalTraits<Sample>::kind, &s);
        return s;
    }
    // The signal the output port writes.
    template <class Sample>
    const Sample& output(std::string_view port) {
        Sample& s = store<Sample>().emplace_back();
        connections_.add_output(port, SignalTraits<Sample>::kind, &s);
        return s;
    }
    // The window the block's input window starts from (by default none: the
    // sources' start), and the block's own.
    TimeWindow& producer_window();
    // Who the block is (its instance number, a fibre piece's place).
    BlockIdentity& identity() { return connections_.identity; }
    const TimeWindow& window() const { return window_; }

    // The block made from the settings and connections given so far.
    Block& make();
    Status design();
    Status setup();
    // Made (when not yet), designed and set up.
    Status start();
    void run(std::int32_t step);
    Status finish();
    RunContext& context() { return context_; }
    Block& block() { return *block_; }
    const KindSpec& kind() const { return *kind_; }

private:
    template <class Sample>
    std::deque<Sample>& store();

    const KindSpec* kind_;
    BlockSettings settings_;
    Connections connections_;
    RunContext context_;
    std::deque<OpticalSignal> optical_;
    std::deque<ElectricalSample> electrical_;
    std::deque<LogicalSignal> logical_;
    TimeWindow producer_;
    TimeWindow window_;
    std::unique_ptr<Block> block_;
};

template <>
inline std::deque<OpticalSignal>& BlockBench::store<OpticalSignal>() {
    return optical_;
}
template <>
inline std::deque<ElectricalSample>& BlockBench::store<ElectricalSample>() {
    return electrical_;
}
template <>
inline std::deque<LogicalSignal>& BlockBench::store<LogicalSignal>() {
    return logical_;
}

}  // namespace nodrix::testing

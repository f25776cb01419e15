// The input port of a measurement that observes its input over a window of
// its own, opened from the good interval of the input's window: the eye
// scope and the BER estimator. They fill no output window; the port also
// hands them the window of the block their input's window comes from.
#pragma once

#include "kernel/block_declaration.h"

namespace nodrix {

// The window of a block fed by nothing but the sources: no good interval.
inline const TimeWindow& window_of_no_block() {
    static const TimeWindow none{};
    return none;
}

// `member` reads the input signal; `window` receives the window its input
// comes with (that of no block when there is none).
template <class B>
Port<B> observed_input(Input<ElectricalSample> B::*member, const TimeWindow* B::*window, PortSpec entry) {
    Port<B> made = port(member, entry);
    made.connect = [connect = made.connect, window](B& b, const Connections& c) {
        connect(b, c);
        b.*window = c.producer_window != nullptr ? c.producer_window : &window_of_no_block();
    };
    return made;
}

}  // namespace nodrix

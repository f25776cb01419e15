// The pulse shape of the NRZ driver (nrz_driver.cpp) that its block and its
// tests share: two levels joined by linear edges whose start is delayed to
// place the eye crossing point.
#pragma once

#include <cstdint>

namespace nodrix {

struct RecnrzParams {
    std::int32_t samples_per_bit = 1;  // samples per bit period, >= 1
    float low_level = -2.5f;           // voltage of a 0 bit [V]
    float high_level = 2.5f;           // voltage of a 1 bit [V]
    float rise_time = 0.0f;            // 10-90 % edge duration [bit periods]; 0 gives rectangular pulses
    float crossing_point = 50.0f;      // eye crossing point [percent of the swing]
};

// Levels and edges of the pulse shape.
struct NrzShape {
    float lower = 0.0f;        // level of a 0 bit [V]
    float upper = 0.0f;        // level of a 1 bit [V]
    float rise_offset = 0.0f;  // delay of the rising edge [samples]
    float fall_offset = 0.0f;  // delay of the falling edge [samples]
    float slope = 0.0f;        // edge slope [V per sample]
    float edge = 0.0f;         // full 0-100 % edge length T [bit periods]
    float crossing = 0.0f;     // crossing point in use, fraction of the swing
    bool adjusted = false;     // the crossing point had to be moved into reach of the edges
};

// Shape for the parameters: levels ordered (the crossing point mirrored when
// they are exchanged), the crossing point kept within [1 - 1/(2T), 1/(2T)],
// and the edge offsets that put the crossing there.
NrzShape nrz_shape(const RecnrzParams& p);

// Value at sample k (from 1) of a period of `samples` samples on an edge of
// `edge` periods that starts `offset` samples into the period and runs from
// `from` by `step` per sample until it reaches `to`.
float edge_value(std::int32_t k, std::int32_t samples, float edge, float offset, float from, float to, float step);

}  // namespace nodrix

// nodrix-wisdom: measures the FFT plans of the plan store once, thoroughly,
// and keeps what FFTW learnt (its "wisdom") in the file that the simulator
// reads at start, "opwis.pln" in the directory named by BNLIB. With the file
// in place a run takes its plans from it instead of measuring them: better
// plans, and the same ones at every run.
#pragma once

#include <iosfwd>
#include <string>

namespace nodrix::wisdom_tool {

// Measures the plans of lengths 2^1 .. 2^max_exponent (max_exponent 1..14),
// both directions, thoroughly, for the arrays the plan store plans for,
// starting from the wisdom already in DIR/opwis.pln when FFTW takes it, and
// writes the wisdom to
// DIR/opwis.pln (a temporary file in DIR renamed over it, so that a failed
// write leaves the old file). Progress goes to `out`, problems to `err`.
// Returns 0 when the file was written, 1 otherwise.
int write_wisdom(const std::string& dir, int max_exponent, std::ostream& out, std::ostream& err);

// The command: nodrix-wisdom [-max N] [DIR]; DIR defaults to $BNLIB.
int wisdom_tool_main(int argc, char** argv, std::ostream& out, std::ostream& err);

}  // namespace nodrix::wisdom_tool

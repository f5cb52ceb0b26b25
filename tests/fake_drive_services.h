// Recording stand-in for the four run-time services the tick sequencer calls
// (inp, outp, GetCtrlIndex, SetCtrlVal), linked in place of the engine.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

namespace fake {

enum class Op { In, Out, GetIndex, SetVal };

struct Call {
    Op op;
    int panel = 0;          // GetIndex, SetVal
    int control = 0;        // GetIndex, SetVal
    std::uint16_t port = 0; // In, Out
    std::uint8_t byte = 0;  // In: value returned; Out: value written
    double number = 0;      // SetVal
};

extern std::vector<Call> calls;           // every call, in order
extern std::deque<std::uint8_t> switches; // bytes inp returns next, one per read
extern std::uint8_t idle_switch;          // what inp returns once the script runs out
extern int direction;                     // index GetCtrlIndex reports

// Clears the record and the script, and puts the drive state back to zero.
void reset();

// The calls of one kind, in order.
std::vector<Call> of(Op op);

// The bytes written by outp, in order.
std::vector<int> writes();

} // namespace fake

// Recording stand-in for the run-time services, linked in place of the engine
// and the port backends. Every call is recorded with its arguments; switch
// bytes, selector indices and the engine's answers are scripted.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace fake {

enum class Op { In, Out, GetIndex, SetVal, Init, Load, Display, SetAttr, GetAttr, Run, Quit };

struct Call {
    Op op;
    int panel = 0;              // GetIndex, SetVal, Display, SetAttr, GetAttr
    int control = 0;            // GetIndex, SetVal, SetAttr, GetAttr
    std::uint16_t port = 0;     // In, Out
    std::uint8_t byte = 0;      // In: value returned; Out: value written
    double number = 0;          // SetVal
    int attribute = 0;          // SetAttr, GetAttr
    int value = 0;              // SetAttr, GetAttr: the value; Quit: the code; Load: panel id
    const char *file = nullptr; // Load
};

extern std::vector<Call> calls;           // every call, in order
extern std::deque<std::uint8_t> switches; // bytes inp returns next, one per read
extern std::uint8_t idle_switch;          // what inp returns once the script runs out
extern int direction;                     // index GetCtrlIndex reports for the direction
extern int port_index;                    // index GetCtrlIndex reports for the port
extern int init_result;                   // what InitRuntimeEx returns
extern int load_result;                   // what LoadPanel returns
extern int timer_on;                      // what GetCtrlAttribute reports; SetCtrlAttribute sets it
extern int attr_result;                   // what GetCtrlAttribute returns; no report unless 0
extern std::function<void()> during_run;  // what happens inside RunUserInterface

// Clears the record and the script, and puts the drive state back to zero.
void reset();

// The calls of one kind, in order.
std::vector<Call> of(Op op);

// The bytes written by outp, in order.
std::vector<int> writes();

} // namespace fake

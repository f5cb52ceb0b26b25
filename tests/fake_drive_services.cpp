#include "fake_drive_services.h"

#include "drive/drive.h"
#include "runtime/services.h"

namespace fake {

std::vector<Call> calls;
std::deque<std::uint8_t> switches;
std::uint8_t idle_switch = 0;
int direction = 0;

void reset()
{
    calls.clear();
    switches.clear();
    idle_switch = 0;
    direction = 0;
    panelHandle = stp = richt = adresse = taster = aus = nullpunkt = zaehler = 0;
    schrittweite = 0.0f;
}

std::vector<Call> of(Op op)
{
    std::vector<Call> out;
    for (const Call &c : calls)
        if (c.op == op)
            out.push_back(c);
    return out;
}

std::vector<int> writes()
{
    std::vector<int> out;
    for (const Call &c : of(Op::Out))
        out.push_back(c.byte);
    return out;
}

} // namespace fake

extern "C" std::uint8_t inp(std::uint16_t port)
{
    std::uint8_t byte = fake::idle_switch;
    if (!fake::switches.empty()) {
        byte = fake::switches.front();
        fake::switches.pop_front();
    }
    fake::calls.push_back({.op = fake::Op::In, .port = port, .byte = byte});
    return byte;
}

extern "C" int outp(std::uint16_t port, std::uint8_t value)
{
    fake::calls.push_back({.op = fake::Op::Out, .port = port, .byte = value});
    return value;
}

extern "C" int GetCtrlIndex(int panel, int control, int *index)
{
    fake::calls.push_back({.op = fake::Op::GetIndex, .panel = panel, .control = control});
    *index = fake::direction;
    return 0;
}

extern "C" int SetCtrlVal(int panel, int control, double value)
{
    fake::calls.push_back(
        {.op = fake::Op::SetVal, .panel = panel, .control = control, .number = value});
    return 0;
}

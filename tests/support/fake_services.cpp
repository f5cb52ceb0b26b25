#include "fake_services.h"

#include "drive/drive.h"
#include "panel/stelmo.h"
#include "runtime/services.h"

namespace fake {

std::vector<Call> calls;
std::deque<std::uint8_t> switches;
std::uint8_t idle_switch;
int direction;
int port_index;
int init_result;
int load_result;
int timer_on;
int attr_result;
std::function<void()> during_run;

void reset()
{
    calls.clear();
    switches.clear();
    idle_switch = 0;
    direction = 0;
    port_index = 0;
    init_result = 1;
    load_result = 1;
    timer_on = 0;
    attr_result = 0;
    during_run = nullptr;
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

using fake::Call;
using fake::Op;

extern "C" std::uint8_t inp(std::uint16_t port)
{
    std::uint8_t byte = fake::idle_switch;
    if (!fake::switches.empty()) {
        byte = fake::switches.front();
        fake::switches.pop_front();
    }
    fake::calls.push_back({.op = Op::In, .port = port, .byte = byte});
    return byte;
}

extern "C" int outp(std::uint16_t port, std::uint8_t value)
{
    fake::calls.push_back({.op = Op::Out, .port = port, .byte = value});
    return 0;
}

extern "C" int GetCtrlIndex(int panel, int control, int *index)
{
    fake::calls.push_back({.op = Op::GetIndex, .panel = panel, .control = control});
    *index = control == PANEL_ADRESSE ? fake::port_index : fake::direction;
    return 0;
}

extern "C" int SetCtrlVal(int panel, int control, double value)
{
    fake::calls.push_back({.op = Op::SetVal, .panel = panel, .control = control, .number = value});
    return 0;
}

extern "C" int InitRuntimeEx(int, char **, int)
{
    fake::calls.push_back({.op = Op::Init});
    return fake::init_result;
}

extern "C" int LoadPanel(int parent, const char *file, int panel)
{
    fake::calls.push_back({.op = Op::Load, .panel = parent, .value = panel, .file = file});
    return fake::load_result;
}

extern "C" int DisplayPanel(int panel)
{
    fake::calls.push_back({.op = Op::Display, .panel = panel});
    return 0;
}

extern "C" int SetCtrlAttribute(int panel, int control, int attribute, int value)
{
    fake::calls.push_back({.op = Op::SetAttr,
                           .panel = panel,
                           .control = control,
                           .attribute = attribute,
                           .value = value});
    fake::timer_on = value != 0;
    return 0;
}

extern "C" int GetCtrlAttribute(int panel, int control, int attribute, int *value)
{
    if (fake::attr_result == 0)
        *value = fake::timer_on;
    fake::calls.push_back({.op = Op::GetAttr,
                           .panel = panel,
                           .control = control,
                           .attribute = attribute,
                           .value = fake::attr_result == 0 ? *value : 0});
    return fake::attr_result;
}

extern "C" int RunUserInterface(void)
{
    fake::calls.push_back({.op = Op::Run});
    if (fake::during_run)
        fake::during_run();
    return 0;
}

extern "C" int QuitUserInterface(int code)
{
    fake::calls.push_back({.op = Op::Quit, .value = code});
    return 0;
}

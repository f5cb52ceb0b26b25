// The program module: brings up the operator panel, runs the event loop, and
// answers the Start, Stop, Step, Home and Quit buttons. The motor itself is
// moved by the timer control's callback timer() in drive/.
#include "panel/stelmo.h"

#include "drive/drive.h"
#include "runtime/services.h"

// Loads and shows the panel with the ticks off, then runs the event loop.
// Returns 0 after Quit, -1 when the engine or the panel cannot be brought up.
int main(int, char *argv[])
{
    if (InitRuntimeEx(0, argv, 0) == 0)
        return -1;
    if ((panelHandle = LoadPanel(0, "stelmo.uir", PANEL)) < 0)
        return -1;
    DisplayPanel(panelHandle);
    // No tick before Start, whatever the panel file says about its timer.
    SetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, 0);
    RunUserInterface();
    // Nothing is released and the port is not written: the last step pattern
    // stays on the data lines.
    return 0;
}

// The port choice is taken here only; changing the selector while the motor
// runs takes effect at the next Start.
extern "C" int start(int, int, int event, void *, int, int)
{
    if (event == EVENT_COMMIT) {
        GetCtrlIndex(panelHandle, PANEL_ADRESSE, &adresse);
        SetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, 1);
    }
    return 0;
}

// Stopping keeps the drive state, so the next Start resumes where it stood.
extern "C" int stop(int, int, int event, void *, int, int)
{
    if (event == EVENT_COMMIT)
        SetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, 0);
    return 0;
}

// While the ticks are off, one tick by hand: the port is taken from the
// selector, as Start takes it, so a Step goes to the port the panel shows.
// While they run, or when the engine cannot say, it leaves the motor alone.
extern "C" int step(int, int, int event, void *, int, int)
{
    int ticking = 1;
    if (event == EVENT_COMMIT &&
        GetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, &ticking) == 0 &&
        ticking == 0) {
        GetCtrlIndex(panelHandle, PANEL_ADRESSE, &adresse);
        timer(panelHandle, PANEL_TIMER, EVENT_TIMER_TICK, nullptr, 0, 0);
    }
    return 0;
}

// From here on the drive goes exactly as after the first Start: the reference
// run, and 0.00 once the home switch answered.
extern "C" int home(int, int, int event, void *, int, int)
{
    if (event == EVENT_COMMIT) {
        grundstellung();
        GetCtrlIndex(panelHandle, PANEL_ADRESSE, &adresse);
        SetCtrlAttribute(panelHandle, PANEL_TIMER, ATTR_TIMER_ENABLED, 1);
    }
    return 0;
}

extern "C" int Ende(int, int, int event, void *, int, int)
{
    if (event == EVENT_COMMIT)
        QuitUserInterface(0);
    return 0;
}

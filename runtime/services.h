// The run-time services that stelmo's own code calls: panel loading, the event
// loop, control access and parallel-port I/O. The engine in this directory
// implements them on Qt; tests put recording stand-ins in their place at link
// time. Nothing here pulls in Qt.
//
// Threads: one lock, callbacks never overlap. The program's code may be
// written for one thread. Button callbacks run on the thread that called
// RunUserInterface; a timer control's callback runs on that timer's own
// thread; but the engine holds one lock around every callback, so no two ever
// run at once, and everything a callback did is seen by the next one. From a
// timer callback the program may call SetCtrlAttribute, GetCtrlAttribute,
// QuitUserInterface, GetCtrlIndex, SetCtrlVal, inp and outp, which then touch
// no window: GetCtrlIndex gives the index as of the selector's last change,
// and a value from SetCtrlVal reaches the display with the next screen frame.
// LoadPanel, DisplayPanel and RunUserInterface refuse a timer callback; every
// service refuses any other thread (ERR_NO_ENGINE).
#pragma once

#include <cstdint>

// Control callback: called by the engine with the panel handle, the control
// id, the event code, the callback data and two event-specific ints.
using CtrlCallbackPtr = int (*)(int panel, int control, int event, void *callbackData,
                                int eventData1, int eventData2);

// Event codes passed to control callbacks.
constexpr int EVENT_COMMIT = 1;      // a button was operated
constexpr int EVENT_TIMER_TICK = 15; // a timer control ticked

// Control attributes for SetCtrlAttribute and GetCtrlAttribute.
constexpr int ATTR_TIMER_ENABLED = 1271; // 1 switches a timer control on, 0 off

// Failure codes. Every service returns one of these (all negative) when it
// cannot do what was asked, and then has changed nothing. Why is said in a
// "stelmo: " line on stderr; a fault that repeats on every tick is said once
// and then counted, in a summary line at most every few seconds.
// The values never change; a new code gets a new number.
constexpr int ERR_PANEL_FILE = -1;     // LoadPanel: file missing, unreadable, empty or too large
constexpr int ERR_NOT_A_PANEL = -2;    // LoadPanel: the document is not a panel
constexpr int ERR_NO_SUCH_PANEL = -3;  // LoadPanel: the file holds another panel id
constexpr int ERR_BAD_CONTROL = -4;    // LoadPanel: a control cannot be made (duplicate id, unknown
                                       // callback, wrong kind, bad timer, no timer to be had)
constexpr int ERR_NO_ENGINE = -5;      // before InitRuntimeEx succeeded, or from a thread the
                                       // service may not run on (see Threads above)
constexpr int ERR_BAD_HANDLE = -6;     // no panel with that handle, or its window is gone
constexpr int ERR_BAD_CONTROL_ID = -7; // no such control, or not of the kind the call needs
constexpr int ERR_BAD_ARGUMENT = -8;   // an argument is wrong: unknown attribute, a value a
                                       // display cannot show, a null pointer, a parent panel
constexpr int ERR_PORT_IO = -9;        // outp: the byte did not reach the port (a register the
                                       // backend does not drive, or the device failed)
constexpr int ERR_LOOP_RUNNING = -10;  // RunUserInterface: the event loop is already running
constexpr int ERR_PORT_GONE = -11;     // SetCtrlAttribute: a timer cannot be switched on, as the
                                       // port hardware is gone (the port helper died)

extern "C" {

// Starts the engine once; 1 when it is ready, 0 when it cannot start.
int InitRuntimeEx(int instance, char **argv, int reserved);

// Loads panel `panel` from the panel file `file`; a handle >= 0, or < 0 on failure.
int LoadPanel(int parent, const char *file, int panel);

// Shows a loaded panel.
int DisplayPanel(int panel);

// Sets an attribute of a control (ATTR_TIMER_ENABLED on a timer control).
// A timer switched off ticks no more once this returns, even when a tick was
// already due.
int SetCtrlAttribute(int panel, int control, int attribute, int value);

// Stores an attribute of a control in *value (ATTR_TIMER_ENABLED of a timer
// control: 1 while it ticks, 0 while it is off, whoever switched it off: the
// program, Quit, or the engine stopping the motor by itself).
int GetCtrlAttribute(int panel, int control, int attribute, int *value);

// Runs the event loop on the calling thread until QuitUserInterface.
int RunUserInterface(void);

// Switches every timer off at once and makes the running RunUserInterface
// return once the current callback ends.
int QuitUserInterface(int code);

// Stores the 0-based index of a selector's current entry in *index.
int GetCtrlIndex(int panel, int control, int *index);

// Shows a value on a numeric display.
int SetCtrlVal(int panel, int control, double value);

// Reads one byte from an I/O port.
std::uint8_t inp(std::uint16_t port);

// Writes one byte to an I/O port.
int outp(std::uint16_t port, std::uint8_t value);

} // extern "C"

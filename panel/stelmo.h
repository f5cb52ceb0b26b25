// Panel and control identifiers of the operator panel in "stelmo.uir", and the
// button callbacks that the panel file binds by name.
#pragma once

constexpr int PANEL = 1;              // the operator panel
constexpr int PANEL_SCHRITTWEITE = 5; // numeric display: position value
constexpr int PANEL_ADRESSE = 6;      // selector: 0 = port 0x378, other = 0x278
constexpr int PANEL_RICHT = 7;        // selector: 1 = rising (far end), other = falling
constexpr int PANEL_TIMER = 9;        // timer control; its callback is timer()

extern "C" {

// Start button: takes the port from the selector and switches the ticks on.
int start(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// Stop button: switches the ticks off.
int stop(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// Step button: one tick's step, in the chosen direction (towards home while
// the reference run goes on), while the ticks are off; nothing while they run.
int step(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// Home button: a new reference run from wherever the motor stands, on the
// port from the selector, with the ticks switched on.
int home(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

// Quit button: ends the event loop, and so the program.
int Ende(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

} // extern "C"

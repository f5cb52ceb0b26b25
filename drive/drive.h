// The stepper drive: what it remembers between timer ticks, its phase tables,
// how it addresses the parallel port, and the tick sequencer timer().
//
// Only timer() changes the drive state, except `adresse` (set by the Start
// and Home buttons), `panelHandle` (set once by main) and grundstellung(),
// which puts the drive back as it was at start-up for the Home button. The
// run-time never runs two callbacks at once (it holds one lock around each),
// so nothing here is locked.
#pragma once

#include <cstdint>

// Drive state. All of it starts at zero when the process starts.
extern int panelHandle;    // handle of the loaded operator panel, >= 0 once main loaded it
extern int stp;            // reference run: 0 while looking for home, 1 once home was found
extern int richt;          // direction selector index: 1 rising, any other value falling
extern int adresse;        // port selector index: 0 first port, any other value second
extern int taster;         // last switch code read (signed byte, -128..127), 0 after a release
extern int aus;            // far-end latch, 0 or 1
extern int nullpunkt;      // home-end latch, 0 or 1
extern int zaehler;        // phase counter, 0..3 between ticks
extern float schrittweite; // position value, 0..340, moved in steps of 1.57

// Port bases and register offsets (I/O port numbers, 16 bits).
constexpr std::uint16_t PORT_FIRST = 0x378;  // used when adresse is 0
constexpr std::uint16_t PORT_SECOND = 0x278; // used for any other adresse
// Data register, base + 0: the step pattern. DB-25 pins 2-5 are D0-D3, one
// motor phase each; D4-D7 (pins 6-9) are always written 0.
constexpr std::uint16_t REG_PATTERN = 0;
// Switch register, base + 2 (0x37a or 0x27a): read back for the end switches,
// never written.
constexpr std::uint16_t REG_SWITCH = 2;

// Switch codes read from the switch register.
constexpr int CODE_HOME = 13; // home-end switch reached
constexpr int CODE_FAR = 14;  // far-end switch reached

// Position value.
constexpr double POSITION_STEP = 1.57; // change per motor step
constexpr float POSITION_MIN = 0.0f;   // floor of schrittweite
constexpr float POSITION_MAX = 340.0f; // ceiling of schrittweite

// Phases.
constexpr int PHASE_COUNT = 4;                        // zaehler wraps from 4 to 0
constexpr std::uint8_t PATTERN_STOP = 0;              // all phases off
extern const std::uint8_t FALLING_TABLE[PHASE_COUNT]; // towards home: D3 D2 D1 D0
extern const std::uint8_t RISING_TABLE[PHASE_COUNT];  // towards far end: D0 D1 D2 D3

// Puts the drive back to its state at start-up, so that the next tick
// begins a new reference run from wherever the motor stands: every drive
// variable 0 but `panelHandle` and `adresse`, which stay. Writes no port.
void grundstellung();

extern "C" {

// Tick sequencer, the callback of the panel's timer control. Acts on tick
// events only; each tick moves the motor by at most one full step. Returns 0.
int timer(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);

} // extern "C"

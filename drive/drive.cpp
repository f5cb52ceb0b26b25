// The tick sequencer and the drive state it owns.
#include "drive/drive.h"

#include "panel/stelmo.h"
#include "runtime/services.h"

// Drive state (see drive.h for ranges and meaning).
int panelHandle;
int stp;
int richt;
int adresse;
int taster;
int aus;
int nullpunkt;
int zaehler;
float schrittweite;

// Step pattern for each value of zaehler: exactly one of D0..D3 is set.
const std::uint8_t FALLING_TABLE[PHASE_COUNT] = {8, 4, 2, 1};
const std::uint8_t RISING_TABLE[PHASE_COUNT] = {1, 2, 4, 8};

namespace {

// Phase table entry for the current counter. zaehler never leaves 0..3
// between ticks; the mask only keeps a corrupted counter inside the table.
std::uint8_t phase(const std::uint8_t *table)
{
    return table[zaehler & (PHASE_COUNT - 1)];
}

// Reads the switch register; the byte counts as signed, so 0x8D is -115.
void read_switch(std::uint16_t base)
{
    taster = static_cast<std::int8_t>(inp(static_cast<std::uint16_t>(base + REG_SWITCH)));
}

// Counts the phase on, writes the pattern, then wraps the counter. The
// increment comes after a stop's reset to 0, so a stop tick leaves zaehler 1.
void write_pattern(std::uint16_t base, std::uint8_t pattern)
{
    ++zaehler;
    outp(static_cast<std::uint16_t>(base + REG_PATTERN), pattern);
    if (zaehler == PHASE_COUNT)
        zaehler = 0;
}

// Moves the position value by one step in double precision, stores it in
// single precision, then holds it within the bounds.
void move_up()
{
    schrittweite = static_cast<float>(static_cast<double>(schrittweite) + POSITION_STEP);
    if (schrittweite > POSITION_MAX)
        schrittweite = POSITION_MAX;
}

void move_down()
{
    schrittweite = static_cast<float>(static_cast<double>(schrittweite) - POSITION_STEP);
    if (schrittweite < POSITION_MIN)
        schrittweite = POSITION_MIN;
}

} // namespace

void grundstellung()
{
    stp = 0;
    richt = 0;
    taster = 0;
    aus = 0;
    nullpunkt = 0;
    zaehler = 0;
    schrittweite = 0.0f;
}

// One tick does at most one port read, one port write, one selector read and
// one display update. It never allocates and never waits: it runs on the
// step timer's thread at the step rate.
extern "C" int timer(int, int, int event, void *, int, int)
{
    if (event != EVENT_TIMER_TICK)
        return 0;

    const std::uint16_t base = adresse == 0 ? PORT_FIRST : PORT_SECOND;
    std::uint8_t pattern;

    // Reference run: step towards home until the home switch answers.
    if (taster != CODE_HOME && stp == 0) {
        pattern = phase(FALLING_TABLE);
        read_switch(base);
        if (taster == CODE_HOME) {
            stp = 1;
            zaehler = 0;
            pattern = PATTERN_STOP;
        }
        write_pattern(base, pattern);
        return 0;
    }

    // Jog: one step in the selected direction unless the switch ahead is latched.
    GetCtrlIndex(panelHandle, PANEL_RICHT, &richt);
    if (taster != CODE_HOME && taster != CODE_FAR)
        read_switch(base); // a latched code is kept until a release clears it
    SetCtrlVal(panelHandle, PANEL_SCHRITTWEITE, static_cast<double>(schrittweite));

    if (taster == CODE_FAR) {
        aus = 1;
        nullpunkt = 0;
    } else if (taster == CODE_HOME) {
        nullpunkt = 1;
        aus = 0;
    }

    if (richt == 1) {
        if (aus == 1) {
            zaehler = 0;
            pattern = PATTERN_STOP;
        } else {
            if (nullpunkt == 1) {
                taster = 0;
                nullpunkt = 0;
            }
            move_up();
            pattern = phase(RISING_TABLE);
        }
    } else {
        if (nullpunkt == 1) {
            zaehler = 0;
            pattern = PATTERN_STOP;
        } else {
            if (aus == 1) {
                taster = 0;
                aus = 0;
            }
            move_down();
            pattern = phase(FALLING_TABLE);
        }
    }
    write_pattern(base, pattern);
    return 0;
}

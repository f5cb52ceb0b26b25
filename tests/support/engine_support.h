// For tests that run the real engine: starting it offscreen on the simulated
// rig, running its event loop for a while, panel documents, and the callbacks
// that those documents name.
#pragma once

#include "support.h"

#include <QTimer>

#include <functional>
#include <string>
#include <vector>

namespace support {

// Directory of the checked-in test panel documents.
std::string panels_dir();

// Starts the engine once for this process: offscreen platform, simulated rig,
// no port trace, whatever the caller's environment says. False when it did
// not start.
bool start_engine();

// Runs the event loop until QuitUserInterface or `ms` milliseconds; returns
// what RunUserInterface returned. Timer controls tick on their own threads,
// with or without the loop; ending the loop after `ms` leaves them running.
int run_for(int ms);

// Runs the event loop until `done` (asked every millisecond) holds; false
// when it still does not after 20 s. The time is a guard against a hang, not
// a measure: on a busy machine the loop may take long.
bool run_until(const std::function<bool()> &done);

// Waits without the event loop until `done` holds (asked every millisecond);
// false when it still does not after 20 s. For what tick threads do alone.
bool wait_until(const std::function<bool()> &done);

// Ends a loop that should have ended by itself with DEADLINE_CODE after `ms`
// milliseconds, so a fault shows as a failure rather than a hang. Cancelled
// when it goes out of scope.
constexpr int DEADLINE_CODE = -99;
class Deadline {
public:
    explicit Deadline(int ms);

private:
    QTimer timer_;
};

// A panel document: top-level QWidget "Panel" with stelmoPanel `panel` and
// `controls` (widget elements) inside.
std::string panel_document(const std::string &controls, int panel = 1);

// One widget element with the given stelmo properties (empty: left out).
// `extra` is spliced into the element as is (items, other properties).
std::string widget(const std::string &cls, const std::string &name, int ctrl,
                   const std::string &callback = "", int interval = 0,
                   const std::string &extra = "");

// What the test callbacks saw.
struct Event {
    int panel;
    int control;
    int event;
};
extern std::vector<Event> events;
// Called by every test callback after it recorded its event; may be empty.
extern std::function<void(const Event &)> on_event;

} // namespace support

extern "C" {
// Records the event (commit or tick).
int engine_test_click(int panel, int control, int event, void *data, int d1, int d2);
int engine_test_tick(int panel, int control, int event, void *data, int d1, int d2);
// Asks the loop to quit with code 7 on a commit, then records the event.
int engine_test_quit(int panel, int control, int event, void *data, int d1, int d2);
// Not a function: a panel file naming it must be refused.
extern int engine_test_not_a_function;
}

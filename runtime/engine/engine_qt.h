// The widgets behind panel handles, for code that is itself on Qt (tests, the
// rig view). The program's own code never sees this.
#pragma once

#include <QWidget>

namespace stelmo::engine {

// The top-level widget of a loaded panel; null for an unknown handle, before
// start-up, or once the window was destroyed.
QWidget *panel_widget(int panel);

// The widget of control `control` on panel `panel`, or null.
QWidget *control_widget(int panel, int control);

} // namespace stelmo::engine

// The window that says why stelmo did not start. Launched from the desktop's
// menu, stelmo's standard error goes where nobody reads it; without this
// window the operator would see nothing happen at all.
#include "runtime/engine/views.h"

#include "runtime/config/translation.h"

#include <QMessageBox>

namespace stelmo::engine {

void show_failure_window(const std::string &text)
{
    QMessageBox box;
    box.setIcon(QMessageBox::Critical);
    box.setWindowTitle(translate("stelmo", "Cannot start stelmo").qstring());
    box.setTextFormat(Qt::PlainText); // file names and values are shown as they are
    box.setText(QString::fromStdString(text));
    box.setInformativeText(
        translate("stelmo",
                  "stelmo has not started, and no port was touched. Put right what the message "
                  "names, then start stelmo again. In a terminal, stelmo --show-config shows "
                  "each setting with where it comes from, and the panel file; man stelmo says "
                  "more.")
            .qstring());
    box.setStandardButtons(QMessageBox::Close);
    box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    box.exec();
}

} // namespace stelmo::engine

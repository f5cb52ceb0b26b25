// LoadPanel: from a panel file to a registered panel with bound callbacks.
//
// A panel file is a Qt Designer form. Dynamic properties (which Designer
// edits like any other) say what the program needs to know:
//   top-level widget  stelmoPanel (int)         the panel id
//   each control      stelmoCtrl (int > 0)      the control id
//                     stelmoCallback (string)   the program function to call
//   timer control     stelmoInterval (int, ms)  on a plain QWidget
//                     stelmoTimerEnabled (bool) running after loading (default true)
// The widget class says what kind of control it is. The whole panel is built
// aside and registered only when every control checked out, so a failed load
// leaves no widget, timer or handle behind.
#include "runtime/engine/internal.h"
#include "runtime/text.h"

#include "runtime/report.h"

#include <QAbstractButton>
#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QEvent>
#include <QFile>
#include <QLCDNumber>
#include <QThread>
#include <QUiLoader>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>
#include <utility>
#include <vector>

namespace stelmo::engine {

namespace {

constexpr const char *PROP_PANEL = "stelmoPanel";
constexpr const char *PROP_CTRL = "stelmoCtrl";
constexpr const char *PROP_CALLBACK = "stelmoCallback";
constexpr const char *PROP_INTERVAL = "stelmoInterval";
constexpr const char *PROP_TIMER_ENABLED = "stelmoTimerEnabled";

// Holds back what Qt says while a form is loaded: the form loader warns on
// stderr about everything it skips. A failed load then reports its one line
// and nothing else; a successful load reports the loader's warnings, one
// line each naming the panel file, since they point at faults in the file.
class HeldMessages {
public:
    HeldMessages() : thread_(QThread::currentThread())
    {
        held_ = this;
        previous_ = qInstallMessageHandler(&HeldMessages::handle);
    }
    ~HeldMessages()
    {
        qInstallMessageHandler(previous_);
        held_ = nullptr;
    }
    HeldMessages(const HeldMessages &) = delete;
    HeldMessages &operator=(const HeldMessages &) = delete;

    // The first message held, for a failure the loader gave no reason for.
    QString first() const { return messages_.empty() ? QString() : messages_.front().second; }

    void pass_on(const std::string &path)
    {
        for (const auto &[type, text] : messages_) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                report(shown(std::string_view(path)) + ": " +
                       shown(text.section(QLatin1Char('\n'), 0, 0)));
        }
        messages_.clear();
    }

private:
    static constexpr std::size_t KEEP_MAX = 50;

    static void emit_to(QtMessageHandler handler, QtMsgType type, const QMessageLogContext &context,
                        const QString &text)
    {
        if (handler)
            handler(type, context, text);
        else
            report(shown(text));
    }

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        HeldMessages *self = held_.load();
        if (!self || type == QtFatalMsg || QThread::currentThread() != self->thread_) {
            emit_to(self ? self->previous_ : nullptr, type, context, text);
            return;
        }
        if (self->messages_.size() < KEEP_MAX)
            self->messages_.emplace_back(type, text);
    }

    static inline std::atomic<HeldMessages *> held_{nullptr}; // Qt may log from any thread
    QThread *thread_;
    QtMessageHandler previous_ = nullptr;
    std::vector<std::pair<QtMsgType, QString>> messages_;
};

// Ends the event loop when the operator closes the panel window (or the
// document's own connections close, hide or delete it): with the window gone
// nobody could stop the motor, so the program must not run on unseen.
// Minimising is a spontaneous hide and does not count.
class WindowWatcher : public QObject {
public:
    explicit WindowWatcher(QWidget *root) : root_(root) { root->installEventFilter(this); }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == root_ && (event->type() == QEvent::Close ||
                                 (event->type() == QEvent::Hide && !event->spontaneous()))) {
            if (Engine *engine = current_engine())
                request_quit(*engine, 0);
        }
        return false;
    }

private:
    QWidget *root_;
};

int fail(int code, const std::string &path, const std::string &fault)
{
    report(shown(std::string_view(path)) + ": " + fault);
    return code;
}

enum class Found { absent, ok, wrong_type };

Found int_property(const QObject *object, const char *name, int &value)
{
    const QVariant v = object->property(name);
    if (!v.isValid())
        return Found::absent;
    if (v.metaType().id() != QMetaType::Int)
        return Found::wrong_type;
    value = v.toInt();
    return Found::ok;
}

std::string quoted(const QObject *object)
{
    return in_quotes(object->objectName().toStdString());
}

std::string class_of(const QObject *object)
{
    return object->metaObject()->className();
}

// The name of what a stelmo property shows as in a report.
std::string shown_value(const QVariant &v)
{
    if (v.metaType().id() == QMetaType::QString)
        return in_quotes(v.toString().toStdString());
    return shown(v.toString());
}

bool known_property(const QByteArray &name, bool top_level)
{
    if (top_level)
        return name == PROP_PANEL;
    return name == PROP_CTRL || name == PROP_CALLBACK || name == PROP_INTERVAL ||
           name == PROP_TIMER_ENABLED;
}

// Makes `object` a control of `panel` when it carries stelmoCtrl. Empty on
// success, else the fault.
std::string add_control(Panel &panel, QObject *object)
{
    const std::string name = quoted(object);
    for (const QByteArray &property : object->dynamicPropertyNames()) {
        if (property.startsWith("stelmo") && !known_property(property, false))
            return name + " has an unknown property " + shown(QString::fromUtf8(property));
    }

    const QVariant callback_value = object->property(PROP_CALLBACK);
    const bool has_interval = object->property(PROP_INTERVAL).isValid();
    const bool has_enabled = object->property(PROP_TIMER_ENABLED).isValid();
    int id = 0;
    switch (int_property(object, PROP_CTRL, id)) {
    case Found::absent:
        if (callback_value.isValid() || has_interval || has_enabled)
            return name + " has stelmo properties but no stelmoCtrl";
        return {};
    case Found::wrong_type:
        return name + " has stelmoCtrl " + shown_value(object->property(PROP_CTRL)) +
               "; a control id is a whole number above 0";
    case Found::ok:
        break;
    }
    if (id <= 0)
        return name + " has stelmoCtrl " + std::to_string(id) +
               "; a control id is a whole number above 0";

    const std::string ctrl = "control " + std::to_string(id) + " " + name;
    if (const auto it = panel.controls.find(id); it != panel.controls.end())
        return ctrl + " appears twice (also " + quoted(it->second.widget.data()) + ")";
    if (!object->isWidgetType())
        return ctrl + " is a " + class_of(object) + ", which cannot be a control";

    auto *widget = static_cast<QWidget *>(object);
    Control control;
    control.id = id;
    control.widget = widget;
    if (qobject_cast<QAbstractButton *>(widget)) {
        control.kind = Kind::button;
    } else if (auto *combo = qobject_cast<QComboBox *>(widget)) {
        control.kind = Kind::selector;
        if (combo->count() == 0)
            return ctrl + " is a selector without entries";
        if (combo->isEditable())
            return ctrl + " is an editable selector; the program needs a fixed list of entries";
    } else if (qobject_cast<QDoubleSpinBox *>(widget) || qobject_cast<QLCDNumber *>(widget)) {
        control.kind = Kind::display;
    } else if (widget->metaObject() == &QWidget::staticMetaObject && has_interval) {
        control.kind = Kind::timer;
    } else if (widget->metaObject() == &QWidget::staticMetaObject) {
        return ctrl + " is a plain QWidget without stelmoInterval, so it is no control";
    } else {
        return ctrl + " is a " + class_of(widget) + ", which cannot be a control";
    }

    if ((has_interval || has_enabled) && control.kind != Kind::timer)
        return ctrl + " is a " + class_of(widget) + "; only a plain QWidget can be a timer";

    if (callback_value.isValid()) {
        if (callback_value.metaType().id() != QMetaType::QString)
            return ctrl + " has stelmoCallback " + shown_value(callback_value) +
                   ", which is not a function name";
        const QByteArray callback = callback_value.toString().toUtf8();
        const std::string callback_shown = in_quotes(callback_value.toString().toStdString());
        if (control.kind == Kind::display)
            return ctrl + " is a numeric display, which raises no events, but names callback " +
                   callback_shown;
        std::string why;
        control.callback =
            find_callback(std::string_view(callback.constData(), callback.size()), why);
        if (!control.callback)
            return "control " + std::to_string(id) + " names callback " + callback_shown + ", " +
                   why;
        control.callback_name = callback.toStdString();
    }

    if (control.kind == Kind::timer) {
        int interval = 0;
        if (int_property(widget, PROP_INTERVAL, interval) != Found::ok || interval <= 0)
            return ctrl + " has stelmoInterval " + shown_value(widget->property(PROP_INTERVAL)) +
                   "; a timer needs a whole number of milliseconds above 0";
        const QVariant enabled = widget->property(PROP_TIMER_ENABLED);
        if (enabled.isValid() && enabled.metaType().id() != QMetaType::Bool)
            return ctrl + " has stelmoTimerEnabled " + shown_value(enabled) +
                   "; it must be true or false";
        control.start_on = !enabled.isValid() || enabled.toBool();
        if (!control.callback)
            return ctrl + " is a timer without a callback";
        const int handle = panel.handle;
        std::string error;
        control.timer = TickTimer::create(
            interval, [handle, id] { dispatch(handle, id, EVENT_TIMER_TICK); }, error);
        if (!control.timer)
            return ctrl + ": " + error;
    }

    panel.controls.emplace(id, std::move(control));
    return {};
}

// Connects the controls that raise events to the dispatcher.
void wire(Panel &panel)
{
    const int handle = panel.handle;
    for (auto &[id, control] : panel.controls) {
        QWidget *widget = control.widget.data();
        const int control_id = id;
        switch (control.kind) {
        case Kind::button:
            if (control.callback)
                QObject::connect(
                    static_cast<QAbstractButton *>(widget), &QAbstractButton::clicked, widget,
                    [handle, control_id] { dispatch(handle, control_id, EVENT_COMMIT); });
            break;
        case Kind::selector:
            if (control.callback)
                QObject::connect(
                    static_cast<QComboBox *>(widget), &QComboBox::activated, widget,
                    [handle, control_id] { dispatch(handle, control_id, EVENT_COMMIT); });
            break;
        case Kind::timer:
            widget->hide(); // a timer has no face on the panel
            break;
        case Kind::display:
            break;
        }
    }
}

std::string working_directory()
{
    std::vector<char> buffer(PATH_MAX);
    if (::getcwd(buffer.data(), buffer.size()))
        return buffer.data();
    return ".";
}

} // namespace

int load_panel(Engine &engine, const char *file, int panel_id)
{
    const std::string name(file);
    if (name.empty()) {
        report("LoadPanel: no panel file named");
        return ERR_BAD_ARGUMENT;
    }

    // Where to look: next to the executable, in the installed data directory,
    // then in the working directory.
    const std::string exe_dir =
        QFile::encodeName(QCoreApplication::applicationDirPath()).toStdString();
    const std::string work_dir = working_directory();
    std::string path = find_panel_file(name, exe_dir, work_dir);
    if (path.empty()) {
        const auto tried = panel_file_candidates(name, exe_dir, work_dir);
        if (tried.size() > 1) {
            std::string places;
            for (std::size_t i = 0; i < tried.size(); ++i) {
                if (i > 0)
                    places += i + 1 == tried.size() ? " or " : ", ";
                places += shown(std::string_view(tried[i]));
            }
            report("panel file \"" + shown(std::string_view(name)) + "\" not found (looked for " +
                   places + ")");
            return ERR_PANEL_FILE;
        }
        path = tried.front(); // one place only: reading it says what is wrong
    }

    QByteArray data;
    std::string error;
    if (!read_panel_file(path, data, error))
        return fail(ERR_PANEL_FILE, path, error);
    if (!check_form_document(data, error))
        return fail(ERR_NOT_A_PANEL, path, "not a panel: " + error);

    HeldMessages messages;
    auto panel = std::make_unique<Panel>();
    panel->handle = engine.next_handle;
    {
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        QUiLoader loader;
        loader.clearPluginPaths(); // a panel file never brings code of its own
        const auto slash = path.rfind('/');
        loader.setWorkingDirectory(QDir(QFile::decodeName(
            slash == std::string::npos ? QByteArray(".")
                                       : QByteArray(path.data(), static_cast<qsizetype>(slash)))));
        panel->root = loader.load(&buffer);
        if (!panel->root) {
            QString why = loader.errorString();
            if (why.isEmpty())
                why = messages.first();
            if (why.isEmpty())
                why = QStringLiteral("the form loader built nothing from it");
            return fail(ERR_NOT_A_PANEL, path, "not a panel: " + shown(why));
        }
    }
    QWidget *root = panel->root.data();

    int id = 0;
    switch (int_property(root, PROP_PANEL, id)) {
    case Found::absent:
        return fail(ERR_NOT_A_PANEL, path,
                    "not a panel: the top-level widget " + quoted(root) + " has no stelmoPanel");
    case Found::wrong_type:
        return fail(ERR_NOT_A_PANEL, path,
                    "not a panel: stelmoPanel of " + quoted(root) + " is " +
                        shown_value(root->property(PROP_PANEL)) + ", not a whole number");
    case Found::ok:
        break;
    }
    if (id != panel_id)
        return fail(ERR_NO_SUCH_PANEL, path,
                    "holds panel " + std::to_string(id) + ", not panel " +
                        std::to_string(panel_id));
    for (const QByteArray &property : root->dynamicPropertyNames()) {
        if (property.startsWith("stelmo") && !known_property(property, true))
            return fail(ERR_BAD_CONTROL, path,
                        "the panel " + quoted(root) + " itself has " +
                            shown(QString::fromUtf8(property)) + "; it cannot be a control");
    }

    for (QObject *object : root->findChildren<QObject *>()) {
        const std::string fault = add_control(*panel, object);
        if (!fault.empty())
            return fail(ERR_BAD_CONTROL, path, fault);
    }

    // Everything checked out: make it live.
    wire(*panel);
    panel->watcher = std::make_unique<WindowWatcher>(root);
    const int handle = panel->handle;
    QObject::connect(root, &QObject::destroyed, panel->watcher.get(), [handle] {
        Engine *engine = current_engine();
        if (!engine)
            return;
        if (auto it = engine->panels.find(handle); it != engine->panels.end()) {
            for (auto &[control_id, control] : it->second->controls)
                if (control.timer)
                    control.timer->set_enabled(false);
        }
        request_quit(*engine, 0);
    });

    QString title = root->windowTitle();
    if (title.isEmpty())
        title = QStringLiteral("stelmo");
    if (!engine.setup.description.empty())
        title += QStringLiteral(" \u2014 ") + QString::fromStdString(engine.setup.description);
    root->setWindowTitle(title);

    Panel &live = *panel;
    engine.panels.emplace(handle, std::move(panel));
    ++engine.next_handle;
    for (auto &[control_id, control] : live.controls) {
        if (control.timer)
            control.timer->set_enabled(control.start_on);
    }
    messages.pass_on(path);
    return handle;
}

} // namespace stelmo::engine

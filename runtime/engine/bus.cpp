// The rig on the session bus: service org.example.stelmo, object
// /org/example/stelmo, interface org.example.stelmo.Rig1 (see bus.h).
//
// A script reaches the rig only as the operator does. A method finds the
// control the operator would use in the loaded panel, by what the program
// gives it: a button by the program function it calls (start, stop, step,
// home), the selectors and the position display by the ids the program
// reads them by.
// A button's method is that button's commit, dispatched to its callback
// under the engine's lock as a click is; a selector's method chooses the
// widget's entry as the operator does, so the panel shows it and the program
// reads it through the same mirror. So the operator stays first: the panel's
// Stop and Esc stop what a script started, being the same callback.
//
// Nothing here blocks the event loop. QtDBus connects synchronously, so the
// connection is made on a thread of its own, and the loop gives it a second;
// the name is asked for without waiting, for a second too. Method calls and
// property reads are answered at once on the loop thread, where QtDBus
// delivers them.
//
// What a script reads changes on the tick path: a tick marks the service's
// frame (note_bus_change). At the end of that frame, after the displays
// were brought up to date, the service compares what it last signalled with
// what the panel and the port monitor show now, and signals the difference
// in one PropertiesChanged, at most ten a second; a change held back goes out
// when its time comes, so the last value always arrives.
#include "runtime/engine/bus.h"
#include "runtime/engine/run_state.h"
#include "runtime/engine/state.h"

#include "runtime/base/bus_probe.h"
#include "runtime/base/report.h"
#include "runtime/config/translation.h"
#include "runtime/ports/monitor.h"

#include <QComboBox>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QTimer>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include <pthread.h>

namespace stelmo::engine {

namespace {

using std::chrono::steady_clock;

constexpr QLatin1String SERVICE("org.example.stelmo");
constexpr QLatin1String PATH("/org/example/stelmo");
constexpr QLatin1String INTERFACE("org.example.stelmo.Rig1");
constexpr QLatin1String PROPERTIES("org.freedesktop.DBus.Properties");
// A bad argument (nothing moved), and a control the panel does not offer.
constexpr QLatin1String INVALID_ARGUMENT("org.example.stelmo.Error.InvalidArgument");
constexpr QLatin1String UNAVAILABLE("org.example.stelmo.Error.Unavailable");
// QtDBus's name for stelmo's own connection, apart from any Qt makes itself.
constexpr QLatin1String CONNECTION("stelmo-rig");
// How long the bus has to answer the connection, then the name request (ms).
constexpr int ANSWER_MS = 1000;
// The least time between two PropertiesChanged signals: ten a second.
constexpr std::chrono::milliseconds SIGNAL_SPACING{100};
// RequestName: fail rather than queue when another has the name, neither
// replacing it nor letting anyone replace this one.
constexpr uint NAME_DO_NOT_QUEUE = 4;
constexpr uint NAME_PRIMARY_OWNER = 1;

// The controls a script reaches. Buttons by the program function they call
// (their ids are the panel file's to choose); the position display and the
// selectors by the ids the program reads them by, which a panel file keeps.
constexpr std::string_view START = "start";
constexpr std::string_view STOP = "stop";
constexpr std::string_view STEP = "step";
constexpr std::string_view HOME = "home"; // a new reference run: it starts the motor too
constexpr int POSITION_DISPLAY = 5;

// A selector a script sets by name: its entries' names on the bus with their
// indices, and the name any other entry counts as for the program.
struct Selector {
    int id;
    const char *what; // "port", "direction"
    std::array<std::pair<const char *, int>, 2> entries;
    const char *otherwise;
};
constexpr Selector PORT{6, "port", {{{"0x378", 0}, {"0x278", 1}}}, "0x278"};
constexpr Selector DIRECTION{7, "direction", {{{"home", 0}, {"far", 1}}}, "home"};

const char *const INTROSPECTION = R"(  <interface name="org.example.stelmo.Rig1">
    <method name="Start"/>
    <method name="Stop"/>
    <method name="Step"/>
    <method name="Home"/>
    <method name="SetDirection">
      <arg name="direction" type="s" direction="in"/>
    </method>
    <method name="SelectPort">
      <arg name="port" type="s" direction="in"/>
    </method>
    <property name="Position" type="d" access="read"/>
    <property name="Direction" type="s" access="read"/>
    <property name="Port" type="s" access="read"/>
    <property name="Backend" type="s" access="read">
      <annotation name="org.freedesktop.DBus.Property.EmitsChangedSignal" value="const"/>
    </property>
    <property name="Switch" type="y" access="read"/>
    <property name="State" type="s" access="read"/>
  </interface>
)";

// The first control of the live panels, by handle, that `wanted` accepts,
// with its panel's handle. Event-loop thread, which owns the panel table.
Control *first_control(Engine &engine, const std::function<bool(const Control &)> &wanted,
                       int &handle)
{
    for (auto &[h, panel] : engine.panels)
        for (auto &[id, control] : panel->controls)
            if (find_control(engine, h, id) == &control && wanted(control)) {
                handle = h;
                return &control;
            }
    return nullptr;
}

Control *find_selector(Engine &engine, const Selector &selector)
{
    int handle = 0;
    return first_control(
        engine,
        [&](const Control &c) { return c.id == selector.id && c.cls->kind == Kind::selector; },
        handle);
}

// The name of the entry the selector shows; empty without the selector.
QString chosen(Engine &engine, const Selector &selector)
{
    const Control *control = find_selector(engine, selector);
    if (!control)
        return {};
    const int index = control->cls->index(control->widget.data());
    for (const auto &[name, entry] : selector.entries)
        if (entry == index)
            return QLatin1String(name);
    return QLatin1String(selector.otherwise);
}

// Every property as the panel and the port monitor show it now. Event-loop
// thread: the widgets are read directly, the monitor under the lock. A new
// property is one entry here and one line of INTROSPECTION: Get, GetAll and
// PropertiesChanged take every entry.
// What the motor does, in the words of the State property: the strip's run
// states, jogging in either direction as one (Direction says which). A timer
// on before any tick has shown what it does can only be homing: every
// process starts with the reference run.
const char *state_word(RunState state)
{
    switch (state) {
    case RunState::running:
        return run_state_word(RunState::homing);
    case RunState::jogging_home:
    case RunState::jogging_far:
        return "jogging";
    default:
        return run_state_word(state);
    }
}

QVariantMap read_properties(Engine &engine)
{
    int handle = 0;
    const Control *display = first_control(
        engine,
        [](const Control &c) { return c.id == POSITION_DISPLAY && c.cls->kind == Kind::display; },
        handle);
    ports::PortActivity io;
    if (engine.setup.monitor) {
        const HoldUnlessHeld hold(engine.lock);
        io = engine.setup.monitor->snapshot();
    }
    QVariantMap properties;
    properties[QStringLiteral("Position")] =
        display ? display->widget->property("value").toDouble() : 0.0;
    properties[QStringLiteral("Direction")] = chosen(engine, DIRECTION);
    properties[QStringLiteral("Port")] = chosen(engine, PORT);
    properties[QStringLiteral("Backend")] =
        engine.setup.rig ? QStringLiteral("sim") : QString::fromStdString(engine.setup.description);
    properties[QStringLiteral("Switch")] = QVariant::fromValue<uchar>(io.switch_value);
    properties[QStringLiteral("State")] = QLatin1String(state_word(run_state(engine).state));
    return properties;
}

// The object a script talks to. QtDBus hands it every message for its path
// on the event-loop thread; what it leaves (introspection, unknown methods)
// QtDBus answers itself.
class RigService final : public QDBusVirtualObject {
public:
    explicit RigService(Engine &engine) : engine_(engine) {}

    // Connects to the session bus, then asks for the name (see the top).
    void start();

    QString introspect(const QString &) const override { return QLatin1String(INTROSPECTION); }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

    bool started_by_script() const { return started_by_script_; }
    // Watches `panel` for what the operator changes, while serving.
    void watch(Panel &panel);

private:
    void connected(bool ok, const QString &error);
    void named(const QDBusPendingCall &call);
    void serve();
    void claim(bool by_script);
    void give_up(const std::string &why);
    void leave();
    void refresh();
    QDBusMessage rig_call(const QDBusMessage &message);
    QDBusMessage press(const QDBusMessage &message, std::string_view callback);
    QDBusMessage choose(const QDBusMessage &message, const Selector &selector);
    bool ending();
    QDBusMessage properties_call(const QDBusMessage &message);

    // --- state ----------------------------------------------------------------
    enum class Phase { connecting, asking, serving, gone };
    Engine &engine_;
    Phase phase_ = Phase::connecting;
    QVariantMap published_;              // the properties as a script last heard of them
    steady_clock::time_point signalled_; // when the last PropertiesChanged went
    QTimer held_;                        // fires when a change held back may go
    bool started_by_script_ = false;     // the last Start or Home came over the bus
};

// --- state --------------------------------------------------------------------
// The service, once serve_on_bus made it; it lives as long as the process,
// as the engine does.
RigService *service = nullptr;
// Its frame client while it serves, which note_bus_change marks. Written and
// read with the engine's lock held.
std::optional<FramePacer::Client> changes;

void RigService::start()
{
    // A bus that takes its time holds up this thread alone.
    RigService *self = this;
    try {
        std::thread([self] {
            ::pthread_setname_np(::pthread_self(), "stelmo-bus");
            // The D-Bus library waits for a bus that takes a connection and
            // never answers without a limit, and Qt's D-Bus thread with it,
            // up to the end of the process: a bus that does not answer
            // within the second is not connected to at all.
            const bus::Probe probe(bus::session_address(),
                                   bus::Clock::now() + std::chrono::milliseconds(ANSWER_MS));
            bool ok = probe.ok();
            QString error = ok ? QString()
                            : probe.silent()
                                ? translate("stelmo", "it did not answer within a second").qstring()
                                : QString::fromStdString(probe.why());
            if (ok) {
                const QDBusConnection bus =
                    QDBusConnection::connectToBus(QDBusConnection::SessionBus, CONNECTION);
                ok = bus.isConnected();
                error = ok ? QString() : bus.lastError().message();
            }
            QMetaObject::invokeMethod(
                self, [self, ok, error] { self->connected(ok, error); }, Qt::QueuedConnection);
        }).detach();
    } catch (const std::system_error &e) {
        give_up(e.what());
        return;
    }
    QTimer::singleShot(ANSWER_MS, this, [this] {
        if (phase_ == Phase::connecting)
            give_up(translate("stelmo", "it did not answer within a second")());
    });
}

void RigService::connected(bool ok, const QString &error)
{
    if (phase_ != Phase::connecting) { // given up meanwhile
        if (ok)
            QDBusConnection::disconnectFromBus(CONNECTION);
        return;
    }
    if (!ok) {
        give_up(error.isEmpty() ? translate("stelmo", "there is none")() : shown(error));
        return;
    }
    phase_ = Phase::asking;
    QDBusConnection bus(CONNECTION);
    if (!bus.registerVirtualObject(PATH, this)) {
        give_up(translate("stelmo", "the object %1 is taken")(shown(PATH)));
        return;
    }
    QDBusMessage request = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("RequestName"));
    request << QString(SERVICE) << NAME_DO_NOT_QUEUE;
    auto *call = new QDBusPendingCallWatcher(bus.asyncCall(request, ANSWER_MS), this);
    QObject::connect(call, &QDBusPendingCallWatcher::finished, this, [this, call] {
        named(*call);
        call->deleteLater();
    });
}

void RigService::named(const QDBusPendingCall &call)
{
    if (phase_ != Phase::asking)
        return;
    const QDBusPendingReply<uint> reply = call;
    if (reply.isError()) {
        give_up(shown(reply.error().message()));
    } else if (reply.value() != NAME_PRIMARY_OWNER) {
        report(translate("stelmo", "another stelmo has the name %1 on this session bus; this one "
                                   "runs without it, and scripts reach the other")(shown(SERVICE)));
        leave();
    } else {
        serve();
    }
}

// Owning the name: from now on changes are signalled, and every live panel
// is watched (panels loaded later, as they come: watch_for_bus).
void RigService::serve()
{
    phase_ = Phase::serving;
    published_ = read_properties(engine_);
    held_.setSingleShot(true);
    QObject::connect(&held_, &QTimer::timeout, this, [this] { refresh(); });
    {
        const HoldUnlessHeld hold(engine_.lock);
        changes = engine_.frames->add([this] { refresh(); });
    }
    for (auto &[handle, panel] : engine_.panels)
        watch(*panel);
}

// Besides ticks, the panel changes what a script reads by the operator's
// choices; and the panel's Start or Home, which start the motor, end a
// script's claim to the run.
void RigService::watch(Panel &panel)
{
    if (phase_ != Phase::serving)
        return; // serve() watches it once the name is owned
    for (auto &[id, control] : panel.controls) {
        QWidget *widget = control.widget.data();
        if (!widget)
            continue;
        if ((control.callback_name == START || control.callback_name == HOME) &&
            control.cls->on_commit)
            control.cls->on_commit(widget, [this] { claim(false); });
        if (control.cls->on_index && (id == PORT.id || id == DIRECTION.id))
            control.cls->on_index(widget, [this](int) { refresh(); });
    }
}

// Who started the motor last, for the strips: they say it while it runs.
void RigService::claim(bool by_script)
{
    if (started_by_script_ == by_script)
        return;
    started_by_script_ = by_script;
    engine_.frames->mark(engine_.strips);
}

void RigService::give_up(const std::string &why)
{
    report(
        translate("stelmo", "not on the session bus, so no script can reach this stelmo: %1")(why));
    leave();
}

void RigService::leave()
{
    const bool connected = phase_ == Phase::asking || phase_ == Phase::serving;
    phase_ = Phase::gone;
    if (!connected)
        return;
    QDBusConnection(CONNECTION).unregisterObject(PATH);
    QDBusConnection::disconnectFromBus(CONNECTION); // gives the name back, should it come late
}

void RigService::refresh()
{
    if (phase_ != Phase::serving)
        return;
    const QVariantMap now = read_properties(engine_);
    QVariantMap changed;
    for (auto it = now.begin(); it != now.end(); ++it)
        if (published_.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    if (changed.isEmpty())
        return;
    const steady_clock::time_point time = steady_clock::now();
    if (time - signalled_ < SIGNAL_SPACING) {
        if (!held_.isActive())
            held_.start(
                std::chrono::ceil<std::chrono::milliseconds>(signalled_ + SIGNAL_SPACING - time));
        return;
    }
    signalled_ = time;
    published_ = now;
    QDBusMessage signal =
        QDBusMessage::createSignal(PATH, PROPERTIES, QStringLiteral("PropertiesChanged"));
    signal << QString(INTERFACE) << changed << QStringList();
    QDBusConnection(CONNECTION).send(signal);
}

bool RigService::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    QDBusMessage reply;
    if (message.interface() == PROPERTIES)
        reply = properties_call(message);
    else if (message.interface() == INTERFACE || message.interface().isEmpty())
        reply = rig_call(message);
    if (reply.type() == QDBusMessage::InvalidMessage)
        return false; // not one of the rig's: QtDBus answers
    if (message.isReplyRequired())
        connection.send(reply);
    return true;
}

QDBusMessage RigService::rig_call(const QDBusMessage &message)
{
    const QString member = message.member();
    if (member == QLatin1String("Start"))
        return press(message, START);
    if (member == QLatin1String("Stop"))
        return press(message, STOP);
    if (member == QLatin1String("Step"))
        return press(message, STEP);
    if (member == QLatin1String("Home"))
        return press(message, HOME);
    if (member == QLatin1String("SetDirection"))
        return choose(message, DIRECTION);
    if (member == QLatin1String("SelectPort"))
        return choose(message, PORT);
    if (message.interface() == INTERFACE) // a method the rig does not offer
        return message.createErrorReply(
            QDBusError::UnknownMethod,
            QStringLiteral("%1 has no method %2").arg(INTERFACE, member));
    return {}; // Introspect without an interface, say
}

// Whether the program asked the loop to end: then no script starts anything.
bool RigService::ending()
{
    const HoldUnlessHeld hold(engine_.lock); // a tick may ask
    return engine_.quit_requested;
}

// The commit of the button that calls `callback`, as a click makes it.
QDBusMessage RigService::press(const QDBusMessage &message, std::string_view callback)
{
    if (!message.signature().isEmpty())
        return message.createErrorReply(
            INVALID_ARGUMENT, QStringLiteral("%1 takes no argument").arg(message.member()));
    if (ending())
        return message.createErrorReply(UNAVAILABLE, QStringLiteral("stelmo is ending"));
    int handle = 0;
    const Control *button = first_control(
        engine_,
        [&](const Control &c) {
            return c.cls->kind == Kind::button && c.callback_name == callback;
        },
        handle);
    if (!button)
        return message.createErrorReply(
            UNAVAILABLE, QStringLiteral("the panel has no button that calls %1")
                             .arg(QLatin1String(callback.data(), qsizetype(callback.size()))));
    if (callback == START || callback == HOME)
        claim(true);
    dispatch(handle, button->id, EVENT_COMMIT);
    return message.createReply();
}

// The operator's choice of the entry `message` names on `selector`.
QDBusMessage RigService::choose(const QDBusMessage &message, const Selector &selector)
{
    const QString name = message.arguments().value(0).toString();
    const auto &entries = selector.entries;
    const auto entry = std::find_if(entries.begin(), entries.end(),
                                    [&](const auto &e) { return name == QLatin1String(e.first); });
    const QString allowed =
        QStringLiteral("use \"%1\" or \"%2\"")
            .arg(QLatin1String(entries[0].first), QLatin1String(entries[1].first));
    if (message.signature() != QLatin1String("s"))
        return message.createErrorReply(
            INVALID_ARGUMENT,
            QStringLiteral("%1 takes one string: %2").arg(message.member(), allowed));
    if (entry == entries.end())
        return message.createErrorReply(INVALID_ARGUMENT,
                                        QStringLiteral("\"%1\" is not a %2: %3")
                                            .arg(name, QLatin1String(selector.what), allowed));
    if (ending())
        return message.createErrorReply(UNAVAILABLE, QStringLiteral("stelmo is ending"));
    Control *control = find_selector(engine_, selector);
    auto *box = control ? qobject_cast<QComboBox *>(control->widget.data()) : nullptr;
    if (!box || entry->second >= box->count())
        return message.createErrorReply(
            UNAVAILABLE, QStringLiteral("the panel has no %1 selector with an entry %2")
                             .arg(QLatin1String(selector.what))
                             .arg(entry->second));
    box->setCurrentIndex(entry->second);
    return message.createReply();
}

// Get, GetAll and Set of org.freedesktop.DBus.Properties: every property of
// the rig is read-only.
QDBusMessage RigService::properties_call(const QDBusMessage &message)
{
    const QVariantList arguments = message.arguments();
    const QString member = message.member();
    const QString signature = message.signature();
    const bool get = member == QLatin1String("Get") && signature == QLatin1String("ss");
    const bool get_all = member == QLatin1String("GetAll") && signature == QLatin1String("s");
    const bool set = member == QLatin1String("Set") && signature == QLatin1String("ssv");
    if (!get && !get_all && !set)
        return {};
    const QString interface = arguments.value(0).toString();
    if (interface != INTERFACE && !interface.isEmpty())
        return message.createErrorReply(
            QDBusError::UnknownInterface,
            QStringLiteral("%1 has no interface %2").arg(PATH, interface));
    const QVariantMap properties = read_properties(engine_);
    if (get_all)
        return message.createReply(QVariant::fromValue(properties));
    const QString name = arguments.value(1).toString();
    if (!properties.contains(name))
        return message.createErrorReply(
            QDBusError::UnknownProperty,
            QStringLiteral("%1 has no property %2").arg(INTERFACE, name));
    if (set)
        return message.createErrorReply(QDBusError::PropertyReadOnly,
                                        QStringLiteral("%1 is read-only").arg(name));
    return message.createReply(QVariant::fromValue(QDBusVariant(properties.value(name))));
}

// Whether the environment names a session bus, where libdbus looks for one:
// DBUS_SESSION_BUS_ADDRESS, else the user's bus socket in XDG_RUNTIME_DIR.
// Without one (sudo, a bare ssh login) there is no session to serve, and no
// bus is launched for stelmo's sake.
bool session_bus_named()
{
    return !bus::session_address().empty();
}

} // namespace

void serve_on_bus(Engine &engine)
{
    // The stelmo executable's start-up code handed over the settings; an
    // engine started without it (the tests) keeps off the bus of whoever
    // runs it.
    // `bus = off` keeps it off, saying nothing: the operator asked for that.
    if (service || !given_settings() || !engine.settings.bus || !session_bus_named())
        return;
    service = new RigService(engine);
    service->start();
}

void note_bus_change(Engine &engine)
{
    if (changes)
        engine.frames->mark(*changes);
}

void watch_for_bus(Panel &panel)
{
    if (service)
        service->watch(panel);
}

bool started_by_script(const Engine &)
{
    return service && service->started_by_script();
}

} // namespace stelmo::engine

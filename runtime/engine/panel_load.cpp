// LoadPanel: from a panel file to a registered panel with bound callbacks.
// The file is found, read and vetted; the form loader builds its widget
// tree; the tree is described and checked whole (panel_describe.cpp); only
// then is anything acquired for it (panel_activate.cpp). So a failed load
// leaves no widget, timer or handle behind.
#include "runtime/engine/panel_load.h"
#include "runtime/engine/state.h"
#include "runtime/engine/views.h"

#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/services.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QThread>
#include <QUiLoader>

#include <atomic>
#include <utility>
#include <vector>

namespace stelmo::engine {

namespace {

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
                report(printable(path) + ": " + shown(text.section(QLatin1Char('\n'), 0, 0)));
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

// The directory of the file at `path`, where the form loader resolves the
// file names in it.
std::string directory_of(const std::string &path)
{
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The widget tree the form loader builds from `data`, never shown.
Fault build_form(const std::string &path, QByteArray &data, const HeldMessages &messages,
                 std::unique_ptr<QWidget> &root)
{
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QUiLoader loader;
    loader.clearPluginPaths(); // a panel file never brings code of its own
    loader.setWorkingDirectory(
        QDir(QFile::decodeName(QByteArray::fromStdString(directory_of(path)))));
    root.reset(loader.load(&buffer));
    if (root)
        return {};
    QString why = loader.errorString();
    if (why.isEmpty())
        why = messages.first();
    if (why.isEmpty())
        why = translate("stelmo", "the form loader built nothing from it").qstring();
    return {ERR_NOT_A_PANEL, translate("stelmo", "not a panel: %1")(shown(why))};
}

// Loads panel `panel_id` from the file at `path`.
Fault load_from(Engine &engine, const std::string &path, int panel_id, int &handle)
{
    QByteArray data;
    if (Fault fault = read_panel_file(path, data))
        return fault;
    if (Fault fault = check_form_document(data, directory_of(path)))
        return {fault.code, translate("stelmo", "not a panel: %1")(fault.text)};

    HeldMessages messages;
    std::unique_ptr<QWidget> root;
    PanelDescription description;
    description.document = &data;
    Fault fault = build_form(path, data, messages, root);
    if (!fault)
        fault = describe_panel(std::move(root), panel_id, description);
    if (!fault)
        fault = activate_panel(engine, std::move(description), handle);
    if (!fault)
        messages.pass_on(path);
    return fault;
}

} // namespace

Fault load_panel(Engine &engine, const std::string &name, int panel_id, int &handle)
{
    std::string path;
    if (Fault fault = locate_panel_file(name, engine.settings.panel_dirs, path))
        return fault;
    Fault fault = load_from(engine, path, panel_id, handle);
    if (fault)
        fault.text = printable(path) + ": " + fault.text;
    else
        name_files(engine, handle, path);
    return fault;
}

} // namespace stelmo::engine

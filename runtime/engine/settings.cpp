// The command line, the environment and the configuration files, read into
// one Settings (see settings.h for the precedence).
#include "runtime/engine/settings.h"

#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/ports/ports.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <cstdlib>
#include <optional>
#include <pwd.h>
#include <unistd.h>

namespace stelmo::engine {

namespace {

// What the command line says besides the settings.
struct CommandLine {
    Startup action = Startup::run;
    SettingsLayer layer;
    std::optional<std::string> config; // --config FILE
};

std::string text_of(const QString &text)
{
    return text.toUtf8().toStdString();
}

std::optional<std::string> environment(const char *variable)
{
    const char *value = std::getenv(variable);
    if (!value || !*value)
        return std::nullopt;
    return value;
}

QString translated(const char *source)
{
    return translate("stelmo", source).qstring();
}

// The help: Qt's table of the options under stelmo's own lines. Qt's own
// words in it ("Usage:", "Options:") are put in the operator's language
// here: the parser runs before the application, so Qt cannot.
std::string help_text(const QCommandLineParser &parser)
{
    QStringList lines = parser.helpText().split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line == QLatin1String("Usage: <executable_name> [options]"))
            line = translated(QT_TRANSLATE_NOOP("stelmo", "Usage: stelmo [options]"));
        else if (line == QLatin1String("Options:"))
            line = translated(QT_TRANSLATE_NOOP("stelmo", "Options:"));
    }
    return text_of(lines.join(QLatin1Char('\n'))) + "\n" +
           translate("stelmo", "Options come before the environment (STELMO_IO, STELMO_TRACE, "
                               "STELMO_RIG_VIEW),\nthe environment before "
                               "~/.config/stelmo/stelmo.conf (or the --config file),\nthat "
                               "before /etc/stelmo/stelmo.conf. See stelmo(1).\n")();
}

// The parser's complaint about the command line, in the operator's
// language where stelmo knows what it means.
std::string usage_error(const QCommandLineParser &parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty())
        return translate("stelmo", "unknown option '%1'")(printable(text_of(unknown.front())));
    QString error = parser.errorText();
    if (error.endsWith(QLatin1Char('.')))
        error.chop(1);
    // "Missing value after '--trace'" and the like.
    static const QRegularExpression after(
        QStringLiteral("^(Missing|Unexpected) value after '(.*)'$"));
    if (const auto match = after.match(error); match.hasMatch()) {
        const std::string option = printable(text_of(match.captured(2)));
        return match.captured(1) == QLatin1String("Missing")
                   ? translate("stelmo", "missing value after '%1'")(option)
                   : translate("stelmo", "unexpected value after '%1'")(option);
    }
    if (!error.isEmpty())
        error[0] = error[0].toLower();
    return printable(text_of(error));
}

// The value of option `option`, given at most once and not empty; false
// with `text` saying what is wrong.
bool single_value(const QCommandLineParser &parser, const QString &option,
                  std::optional<std::string> &value, std::string &text)
{
    const QStringList values = parser.values(option);
    if (values.isEmpty())
        return true;
    const std::string name = "--" + text_of(option);
    if (values.size() > 1) {
        text = translate("stelmo", "%1 is given %2 times; give it once")(name, values.size());
        return false;
    }
    if (values.front().isEmpty()) {
        text = translate("stelmo", "%1 needs a value")(name);
        return false;
    }
    value = text_of(values.front());
    return true;
}

namespace {

// stelmo's options, each with its help text.
struct Options {
    QCommandLineOption help, version, io, trace, no_rig_view, config;
};

Options described_options()
{
    const QCommandLineOption help(
        {"h", "help"}, translated(QT_TRANSLATE_NOOP("stelmo", "Show this help and exit.")));
    const QCommandLineOption version(
        "version", translated(QT_TRANSLATE_NOOP("stelmo", "Show the version and exit.")));
    const QCommandLineOption io(
        "io",
        translated(QT_TRANSLATE_NOOP("stelmo", "The port backend: sim (the default), or "
                                               "port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] "
                                               "for real hardware.")),
        translated(QT_TRANSLATE_NOOP("stelmo", "BACKEND")));
    const QCommandLineOption trace(
        "trace", translated(QT_TRANSLATE_NOOP("stelmo", "Append every port access to FILE.")),
        translated(QT_TRANSLATE_NOOP("stelmo", "FILE")));
    const QCommandLineOption no_rig_view(
        "no-rig-view",
        translated(QT_TRANSLATE_NOOP("stelmo", "Leave the Simulated rig window closed.")));
    const QCommandLineOption config(
        "config",
        translated(QT_TRANSLATE_NOOP("stelmo", "Read FILE in place of the user's "
                                               "~/.config/stelmo/stelmo.conf.")),
        translated(QT_TRANSLATE_NOOP("stelmo", "FILE")));

    return {help, version, io, trace, no_rig_view, config};
}

} // namespace

bool parse_command_line(const QStringList &arguments, CommandLine &line, std::string &text)
{
    QCommandLineParser parser;
    // "-platform" is one unknown option, not -p -l -a ...
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(
        translated(QT_TRANSLATE_NOOP("stelmo", "Drives the camera-alignment stepper motor through "
                                               "the parallel port, from one\noperator panel. "
                                               "Without settings it drives a simulated rig.")));
    const auto [help, version, io, trace, no_rig_view, config] = described_options();
    parser.addOptions({help, version, io, trace, no_rig_view, config});

    if (!parser.parse(arguments)) {
        text = translate("stelmo", "%1; stelmo --help lists the options")(usage_error(parser));
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        text = translate("stelmo", "unexpected argument %1; stelmo takes options only (stelmo "
                                   "--help lists them)")(
            in_quotes(text_of(parser.positionalArguments().front())));
        return false;
    }
    if (parser.isSet(help)) {
        line.action = Startup::help;
        text = help_text(parser);
        return true;
    }
    if (parser.isSet(version)) {
        line.action = Startup::version;
        text = "stelmo " STELMO_VERSION "\n";
        return true;
    }
    if (!single_value(parser, io.names().front(), line.layer.io, text) ||
        !single_value(parser, trace.names().front(), line.layer.trace, text) ||
        !single_value(parser, config.names().front(), line.config, text))
        return false;
    if (line.layer.io && !ports::check_io(*line.layer.io, "--io ", text))
        return false;
    if (parser.isSet(no_rig_view))
        line.layer.rig_view = false;
    return true;
}

// Reads configuration file `path` into `layer`. A file that is not there is
// no fault unless it is `required`.
bool read_settings_file(const std::string &path, bool required, SettingsLayer &layer,
                        std::string &text)
{
    ConfFile conf;
    if (!read_conf(path, conf, text))
        return false;
    if (!conf.found && required) {
        text = translate("stelmo", "cannot read %1: No such file or directory")(printable(path));
        return false;
    }
    for (const ConfFile::Entry &entry : conf.entries) {
        const std::string where = printable(path) + ":" + std::to_string(entry.line) + ": ";
        const std::string value = printable(entry.value);
        std::string cause;
        const bool known = entry.key == "io" || entry.key == "trace" || entry.key == "rig-view";
        if (known && entry.value.empty()) // not set here
            continue;
        if (entry.key == "io") {
            if (ports::check_io(entry.value, "io=", cause))
                layer.io = entry.value;
        } else if (entry.key == "trace") {
            layer.trace = entry.value;
        } else if (entry.key == "rig-view") {
            if (entry.value == "0" || entry.value == "1")
                layer.rig_view = entry.value == "1";
            else
                cause = translate("stelmo", "rig-view=%1: use rig-view=1 (show the Simulated rig "
                                            "window) or rig-view=0")(value);
        } else {
            cause = translate("stelmo", "unknown key %1; the keys are io, trace and rig-view")(
                in_quotes(entry.key));
        }
        if (!cause.empty()) {
            text = where + cause;
            return false;
        }
    }
    return true;
}

SettingsLayer environment_layer()
{
    SettingsLayer layer;
    layer.io = environment("STELMO_IO");
    layer.trace = environment("STELMO_TRACE");
    if (const auto rig_view = environment("STELMO_RIG_VIEW"))
        layer.rig_view = *rig_view != "0";
    return layer;
}

// The first layer that sets each field, strongest first, else the default.
Settings merge(std::initializer_list<const SettingsLayer *> layers)
{
    Settings settings;
    bool io = false, trace = false, rig_view = false; // decided already
    for (const SettingsLayer *layer : layers) {
        if (!io && layer->io)
            settings.io = *layer->io, io = true;
        if (!trace && layer->trace)
            settings.trace = *layer->trace, trace = true;
        if (!rig_view && layer->rig_view)
            settings.rig_view = *layer->rig_view, rig_view = true;
    }
    return settings;
}

std::string directory_of(const std::string &file)
{
    const auto slash = file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

// The settings the start-up code handed over.
std::optional<Settings> &handed_over()
{
    static std::optional<Settings> settings; // set once, before main
    return settings;
}

} // namespace

Startup read_startup(const QStringList &arguments, const Places &places, Settings &settings,
                     std::string &text)
{
    CommandLine line;
    if (!parse_command_line(arguments, line, text))
        return Startup::bad_usage;
    if (line.action != Startup::run)
        return line.action;

    const SettingsLayer environment = environment_layer();
    SettingsLayer user;
    SettingsLayer system;
    const std::string user_dir = places.config_home.empty() ? "" : places.config_home + "/stelmo";
    if (line.config) {
        if (!read_settings_file(*line.config, true, user, text))
            return Startup::bad_config;
    } else if (!user_dir.empty() &&
               !read_settings_file(user_dir + "/stelmo.conf", false, user, text)) {
        return Startup::bad_config;
    }
    if (!read_settings_file(places.system_file, false, system, text))
        return Startup::bad_config;

    settings = merge({&line.layer, &environment, &user, &system});
    if (!user_dir.empty())
        settings.panel_dirs.push_back(user_dir);
    settings.panel_dirs.push_back(directory_of(places.system_file));
    return Startup::run;
}

Settings settings_from_environment()
{
    const SettingsLayer environment = environment_layer();
    return merge({&environment});
}

std::string config_home()
{
    const auto xdg = environment("XDG_CONFIG_HOME");
    if (xdg && xdg->front() == '/') // a relative one is to be ignored
        return *xdg;
    auto home = environment("HOME");
    if (!home) {
        const passwd *entry = ::getpwuid(::getuid());
        if (entry && entry->pw_dir && *entry->pw_dir)
            home = entry->pw_dir;
    }
    return home && home->front() == '/' ? *home + "/.config" : "";
}

void use_settings(Settings settings)
{
    handed_over() = std::move(settings);
}

const Settings *given_settings()
{
    const auto &settings = handed_over();
    return settings ? &*settings : nullptr;
}

} // namespace stelmo::engine

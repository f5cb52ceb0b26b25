// The command line, the environment and the configuration files, read into
// one Settings (see settings.h for the precedence).
#include "runtime/engine/settings.h"

#include "runtime/base/text.h"
#include "runtime/config/translation.h"
#include "runtime/engine/engine.h"
#include "runtime/engine/fault.h"
#include "runtime/ports/ports.h"
#include "runtime/ports/switch_mask.h"

#include <QCommandLineParser>
#include <QRegularExpression>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <pwd.h>
#include <unistd.h>

namespace stelmo::engine {

namespace {

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
                               "STELMO_RIG_VIEW,\nSTELMO_INTERVAL, STELMO_HOMING_LIMIT, "
                               "STELMO_SWITCH_MASK, STELMO_BUS), the\nenvironment before "
                               "~/.config/stelmo/stelmo.conf (or the\n--config file), that "
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

// --- the settings -----------------------------------------------------------

// What one source says of one setting.
struct Given {
    std::string value;
    Source from;
};

// What one source says, by key; what it leaves unset, the sources below it
// decide.
using Layer = std::map<std::string, Given, std::less<>>;

// One setting: how each source names it, how a value is checked and kept,
// and how the value in effect is shown. `take` checks `value` as `name`
// writes it ("--io ", "STELMO_IO=", "io=") and keeps it in `settings`; false
// with `cause` saying what is wrong and how to write it.
struct Rule {
    const char *key;        // in a configuration file: key = value
    const char *variable;   // in the environment
    const char *option;     // on the command line, --option VALUE; null: none
    const char *value_name; // VALUE in --help (translated)
    const char *flag;       // or a flag, --flag, which gives `flag_value`; null: none
    const char *flag_value;
    const char *help; // of the option or the flag (translated)
    bool (*take)(std::string_view value, std::string_view name, Settings &settings,
                 std::string &cause);
    std::string (*shown)(const Settings &settings); // for --show-config
};

bool take_io(std::string_view value, std::string_view name, Settings &settings, std::string &cause)
{
    if (!ports::check_io(value, name, cause))
        return false;
    settings.io = value;
    return true;
}

bool take_trace(std::string_view value, std::string_view, Settings &settings, std::string &)
{
    settings.trace = value;
    return true;
}

bool take_rig_view(std::string_view value, std::string_view name, Settings &settings,
                   std::string &cause)
{
    if (value != "0" && value != "1") {
        cause = translate("stelmo", "%1%2: use %3 (show the Simulated rig window) or %4")(
            name, printable(value), std::string(name) + "1", std::string(name) + "0");
        return false;
    }
    settings.rig_view = value == "1";
    return true;
}

bool take_bus(std::string_view value, std::string_view name, Settings &settings, std::string &cause)
{
    if (value != "on" && value != "off") {
        cause = translate("stelmo", "%1%2: use %3 (scripts reach the rig on the session bus) or "
                                    "%4")(name, printable(value), std::string(name) + "on",
                                          std::string(name) + "off");
        return false;
    }
    settings.bus = value == "on";
    return true;
}

// `value` as a whole number in `base`, at most `max`; false for anything
// else (a sign, blanks, other characters, nothing).
bool whole(std::string_view value, int base, unsigned long max, unsigned long &number)
{
    const char *end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, number, base);
    return !value.empty() && error == std::errc() && stop == end && number <= max;
}

bool take_interval(std::string_view value, std::string_view name, Settings &settings,
                   std::string &cause)
{
    double ms = 0;
    const char *end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, ms, std::chars_format::fixed);
    if (value.empty() || error != std::errc() || stop != end ||
        !(ms >= INTERVAL_MIN_MS && ms <= INTERVAL_MAX_MS)) {
        cause = translate("stelmo", "%1%2: give the tick interval in milliseconds, 0.1 to "
                                    "86400000 (%3 is 100 steps a second)")(
            name, printable(value), std::string(name) + "10");
        return false;
    }
    settings.interval_ms = ms;
    return true;
}

bool take_homing_limit(std::string_view value, std::string_view name, Settings &settings,
                       std::string &cause)
{
    unsigned long steps = 0;
    if (!whole(value, 10, 1000000000, steps)) {
        cause = translate("stelmo", "%1%2: give a number of steps, 0 (no limit) to 1000000000")(
            name, printable(value));
        return false;
    }
    settings.homing_limit = static_cast<long>(steps);
    return true;
}

// A byte in hex with 0x, or decimal, that keeps the switch codes' bits.
bool take_switch_mask(std::string_view value, std::string_view name, Settings &settings,
                      std::string &cause)
{
    const bool hex = value.substr(0, 2) == "0x" || value.substr(0, 2) == "0X";
    unsigned long mask = 0;
    if (!whole(hex ? value.substr(2) : value, hex ? 16 : 10, 0xff, mask)) {
        cause = translate("stelmo",
                          "%1%2: give a byte, 0x00 to 0xff (%3 keeps the switch "
                          "codes' bits alone)")(name, printable(value), std::string(name) + "0x0f");
        return false;
    }
    if ((mask & ports::SWITCH_CODE_BITS) != ports::SWITCH_CODE_BITS) {
        cause = translate("stelmo",
                          "%1%2: the mask clears bits of the switch codes 13 (0x0d) "
                          "and 14 (0x0e), so a switch could never be read; it must "
                          "keep 0x0f (%3)")(name, printable(value), std::string(name) + "0x0f");
        return false;
    }
    settings.switch_mask = static_cast<std::uint8_t>(mask);
    return true;
}

std::string hex_byte(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

// stelmo's settings. A new one is a field of Settings and a row here.
const Rule RULES[] = {
    {"io", "STELMO_IO", "io", QT_TRANSLATE_NOOP("stelmo", "BACKEND"), nullptr, nullptr,
     QT_TRANSLATE_NOOP("stelmo", "The port backend: sim (the default), or "
                                 "port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL] for real "
                                 "hardware."),
     &take_io, [](const Settings &s) { return s.io.empty() ? std::string("sim") : s.io; }},
    {"trace", "STELMO_TRACE", "trace", QT_TRANSLATE_NOOP("stelmo", "FILE"), nullptr, nullptr,
     QT_TRANSLATE_NOOP("stelmo", "Append every port access to FILE."), &take_trace,
     [](const Settings &s) { return s.trace; }},
    {"rig-view", "STELMO_RIG_VIEW", nullptr, nullptr, "no-rig-view", "0",
     QT_TRANSLATE_NOOP("stelmo", "Leave the Simulated rig window closed."), &take_rig_view,
     [](const Settings &s) { return std::string(s.rig_view ? "1" : "0"); }},
    {"interval", "STELMO_INTERVAL", "interval", QT_TRANSLATE_NOOP("stelmo", "MS"), nullptr, nullptr,
     QT_TRANSLATE_NOOP("stelmo", "Tick every MS milliseconds (0.1 to 86400000), one step a "
                                 "tick, in place of the panel file's interval."),
     &take_interval,
     [](const Settings &s) { return s.interval_ms > 0 ? number(s.interval_ms) : std::string(); }},
    {"homing-limit", "STELMO_HOMING_LIMIT", nullptr, nullptr, nullptr, nullptr, nullptr,
     &take_homing_limit, [](const Settings &s) { return std::to_string(s.homing_limit); }},
    {"switch-mask", "STELMO_SWITCH_MASK", nullptr, nullptr, nullptr, nullptr, nullptr,
     &take_switch_mask, [](const Settings &s) { return hex_byte(s.switch_mask); }},
    {"bus", "STELMO_BUS", nullptr, nullptr, "no-bus", "off",
     QT_TRANSLATE_NOOP("stelmo", "Stay off the session bus: no script can reach the rig."),
     &take_bus, [](const Settings &s) { return std::string(s.bus ? "on" : "off"); }},
};

const Rule *rule_for(std::string_view key)
{
    for (const Rule &rule : RULES)
        if (key == rule.key)
            return &rule;
    return nullptr;
}

// "io, trace and rig-view", from the table.
std::string keys_text()
{
    std::string keys;
    const std::size_t count = std::size(RULES);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0)
            keys += i + 1 == count ? translate("stelmo", " and ")() : ", ";
        keys += RULES[i].key;
    }
    return keys;
}

// --- the command line ---------------------------------------------------------

// What the command line says besides the settings.
struct CommandLine {
    Startup action = Startup::run;
    Layer layer;
    std::optional<std::string> config; // --config FILE
    bool no_config = false;            // --no-config
};

// The options that are not settings, each with its help text.
struct Options {
    QCommandLineOption help, version, config, no_config, show_config;
};

Options described_options()
{
    return {
        QCommandLineOption({"h", "help"},
                           translated(QT_TRANSLATE_NOOP("stelmo", "Show this help and exit."))),
        QCommandLineOption("version",
                           translated(QT_TRANSLATE_NOOP("stelmo", "Show the version and exit."))),
        QCommandLineOption(
            "config",
            translated(QT_TRANSLATE_NOOP("stelmo", "Read FILE in place of the user's "
                                                   "~/.config/stelmo/stelmo.conf.")),
            translated(QT_TRANSLATE_NOOP("stelmo", "FILE"))),
        QCommandLineOption("no-config",
                           translated(QT_TRANSLATE_NOOP(
                               "stelmo", "Read no configuration file and no site panel: only "
                                         "options, environment and defaults count."))),
        QCommandLineOption("show-config",
                           translated(QT_TRANSLATE_NOOP(
                               "stelmo", "Show each setting in effect, where it comes from, and "
                                         "the panel file, then exit."))),
    };
}

// The options of the settings' table, in its order.
void add_setting_options(QCommandLineParser &parser)
{
    for (const Rule &rule : RULES) {
        if (rule.option)
            parser.addOption(QCommandLineOption(QString::fromLatin1(rule.option),
                                                translated(rule.help),
                                                translated(rule.value_name)));
        if (rule.flag)
            parser.addOption(
                QCommandLineOption(QString::fromLatin1(rule.flag), translated(rule.help)));
    }
}

// What the settings' options say, each value checked.
bool read_setting_options(const QCommandLineParser &parser, Layer &layer, std::string &text)
{
    for (const Rule &rule : RULES) {
        std::optional<std::string> value;
        std::string name;
        if (rule.option) {
            if (!single_value(parser, QString::fromLatin1(rule.option), value, text))
                return false;
            name = std::string("--") + rule.option;
        }
        if (!value && rule.flag && parser.isSet(QString::fromLatin1(rule.flag))) {
            value = rule.flag_value;
            name = std::string("--") + rule.flag;
        }
        if (!value)
            continue;
        Settings scratch;
        if (!rule.take(*value, name + " ", scratch, text))
            return false;
        layer[rule.key] = {*value, {Source::Kind::command_line, name, 0}};
    }
    return true;
}

QCommandLineParser *new_parser(const Options &options)
{
    auto *parser = new QCommandLineParser;
    // "-platform" is one unknown option, not -p -l -a ...
    parser->setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser->setApplicationDescription(
        translated(QT_TRANSLATE_NOOP("stelmo", "Drives the camera-alignment stepper motor through "
                                               "the parallel port, from one\noperator panel. "
                                               "Without settings it drives a simulated rig.")));
    parser->addOptions({options.help, options.version});
    add_setting_options(*parser);
    parser->addOptions({options.config, options.no_config, options.show_config});
    return parser;
}

bool parse_command_line(const QStringList &arguments, CommandLine &line, std::string &text)
{
    const Options options = described_options();
    const std::unique_ptr<QCommandLineParser> parser(new_parser(options));
    if (!parser->parse(arguments)) {
        text = translate("stelmo", "%1; stelmo --help lists the options")(usage_error(*parser));
        return false;
    }
    if (!parser->positionalArguments().isEmpty()) {
        text = translate("stelmo", "unexpected argument %1; stelmo takes options only (stelmo "
                                   "--help lists them)")(
            in_quotes(text_of(parser->positionalArguments().front())));
        return false;
    }
    if (parser->isSet(options.help)) {
        line.action = Startup::help;
        text = help_text(*parser);
        return true;
    }
    if (parser->isSet(options.version)) {
        line.action = Startup::version;
        text = "stelmo " STELMO_VERSION "\n";
        return true;
    }
    if (!read_setting_options(*parser, line.layer, text) ||
        !single_value(*parser, options.config.names().front(), line.config, text))
        return false;
    line.no_config = parser->isSet(options.no_config);
    if (line.no_config && line.config) {
        text = translate("stelmo", "--config and --no-config cannot be given together")();
        return false;
    }
    if (parser->isSet(options.show_config))
        line.action = Startup::show_config;
    return true;
}

// --- the environment and the files ----------------------------------------------

bool environment_layer(Layer &layer, std::string &text)
{
    for (const Rule &rule : RULES) {
        const auto value = environment(rule.variable);
        if (!value)
            continue;
        Settings scratch;
        if (!rule.take(*value, std::string(rule.variable) + "=", scratch, text))
            return false;
        layer[rule.key] = {*value, {Source::Kind::environment, rule.variable, 0}};
    }
    return true;
}

// Reads configuration file `path` into `layer`. A file that is not there is
// no fault unless it is `required`.
bool read_settings_file(const std::string &path, bool required, Layer &layer,
                        std::vector<ConfigFile> &files, std::string &text)
{
    ConfFile conf;
    if (!read_conf(path, conf, text))
        return false;
    if (!conf.found && required) {
        text = translate("stelmo", "cannot read %1: No such file or directory")(printable(path));
        return false;
    }
    files.push_back({path, conf.found});
    for (const ConfFile::Entry &entry : conf.entries) {
        const std::string where = printable(path) + ":" + std::to_string(entry.line) + ": ";
        const Rule *rule = rule_for(entry.key);
        if (!rule) {
            text = where + translate("stelmo", "unknown key %1; the keys are %2")(
                               in_quotes(entry.key), keys_text());
            return false;
        }
        if (entry.value.empty()) // not set here
            continue;
        Settings scratch;
        std::string cause;
        if (!rule->take(entry.value, entry.key + "=", scratch, cause)) {
            text = where + cause;
            return false;
        }
        layer[entry.key] = {entry.value, {Source::Kind::file, path, entry.line}};
    }
    return true;
}

// The user's file (or the --config one), then the system's.
bool read_files(const CommandLine &line, const Places &places, Layer &user, Layer &system,
                std::vector<ConfigFile> &files, std::string &text)
{
    if (line.config) {
        if (!read_settings_file(*line.config, true, user, files, text))
            return false;
    } else if (!places.config_home.empty() &&
               !read_settings_file(places.config_home + "/stelmo/stelmo.conf", false, user, files,
                                   text)) {
        return false;
    }
    return read_settings_file(places.system_file, false, system, files, text);
}

// The first layer that sets each setting, strongest first, else the default.
Settings merge(std::initializer_list<const Layer *> layers)
{
    Settings settings;
    for (const Rule &rule : RULES) {
        for (const Layer *layer : layers) {
            const auto given = layer->find(rule.key);
            if (given == layer->end())
                continue;
            std::string unused; // every value was checked when it was read
            rule.take(given->second.value, "", settings, unused);
            settings.from[rule.key] = given->second.from;
            break;
        }
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

// --- --show-config ----------------------------------------------------------

// Where a value came from, in words, for --show-config.
std::string described(const Source &source)
{
    switch (source.kind) {
    case Source::Kind::command_line:
        return translate("stelmo", "command line: %1")(source.name);
    case Source::Kind::environment:
        return translate("stelmo", "environment: %1")(source.name);
    case Source::Kind::file:
        return translate("stelmo", "%1, line %2")(printable(source.name), source.line);
    case Source::Kind::fallback:
        break;
    }
    return translate("stelmo", "default")();
}

// The panel file LoadPanel would load for the program, or why none.
std::string panel_to_load(const Settings &settings)
{
    char exe[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    const std::string exe_dir =
        n > 0 ? directory_of(std::string(exe, static_cast<std::size_t>(n))) : "";
    char cwd[PATH_MAX];
    const std::string work_dir = ::getcwd(cwd, sizeof cwd) ? cwd : ".";
    const std::string found =
        find_panel_file(PROGRAM_PANEL, exe_dir, work_dir, settings.panel_dirs);
    if (!found.empty())
        return printable(found);
    std::string tried;
    for (const std::string &place :
         panel_file_candidates(PROGRAM_PANEL, exe_dir, work_dir, settings.panel_dirs))
        tried += (tried.empty() ? "" : ", ") + printable(place);
    return translate("stelmo", "none found (looked for %1)")(tried);
}

std::string show_config(const Settings &settings)
{
    std::vector<std::pair<std::string, std::string>> rows; // "key = value", where from
    std::size_t width = 0;
    for (const Rule &rule : RULES) {
        rows.emplace_back(std::string(rule.key) + " = " + printable(rule.shown(settings)),
                          described(settings.source(rule.key)));
        width = std::max(width, rows.back().first.size());
    }
    std::string text;
    for (const auto &[setting, from] : rows)
        text += setting + std::string(width - setting.size() + 2, ' ') + "(" + from + ")\n";
    text += translate("stelmo", "panel file: %1")(panel_to_load(settings)) + "\n";
    text += translate("stelmo", "configuration files: %1")(config_files_text(settings)) + "\n";
    return text;
}

// What the start-up code handed over.
struct HandedOver {
    std::optional<Settings> settings; // set once, before main
    std::string failure;              // ... or this fault, with its exit status
    int status = 0;
};

HandedOver &handed_over()
{
    static HandedOver given;
    return given;
}

} // namespace

std::string named(const Source &source)
{
    switch (source.kind) {
    case Source::Kind::command_line:
    case Source::Kind::environment:
        return source.name;
    case Source::Kind::file:
        return printable(source.name) + ":" + std::to_string(source.line);
    case Source::Kind::fallback:
        break;
    }
    return translate("stelmo", "default")();
}

const Source &Settings::source(std::string_view key) const
{
    static const Source fallback;
    const auto found = from.find(key);
    return found == from.end() ? fallback : found->second;
}

std::string config_files_text(const Settings &settings)
{
    if (settings.files_ignored)
        return translate("stelmo", "none (--no-config)")();
    std::string text;
    for (const ConfigFile &file : settings.files) {
        if (!text.empty())
            text += ", ";
        text += file.found ? printable(file.path)
                           : translate("stelmo", "%1 (not there)")(printable(file.path));
    }
    return text.empty() ? translate("stelmo", "none")() : text;
}

Startup read_startup(const QStringList &arguments, const Places &places, Settings &settings,
                     std::string &text)
{
    CommandLine line;
    if (!parse_command_line(arguments, line, text))
        return Startup::bad_usage;
    if (line.action == Startup::help || line.action == Startup::version)
        return line.action;

    Layer environment, user, system;
    std::vector<ConfigFile> files;
    if (!environment_layer(environment, text) ||
        (!line.no_config && !read_files(line, places, user, system, files, text)))
        return line.action == Startup::show_config ? Startup::bad_shown : Startup::bad_config;

    settings = merge({&line.layer, &environment, &user, &system});
    settings.files = std::move(files);
    settings.files_ignored = line.no_config;
    if (!line.no_config) {
        if (!places.config_home.empty())
            settings.panel_dirs.push_back(places.config_home + "/stelmo");
        settings.panel_dirs.push_back(directory_of(places.system_file));
    }
    if (line.action == Startup::show_config)
        text = show_config(settings);
    return line.action;
}

bool settings_from_environment(Settings &settings, std::string &error)
{
    Layer environment;
    if (!environment_layer(environment, error))
        return false;
    settings = merge({&environment});
    return true;
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
    handed_over().settings = std::move(settings);
}

void use_failure(std::string text, int status)
{
    handed_over().failure = std::move(text);
    handed_over().status = status;
}

const Settings *given_settings()
{
    const auto &settings = handed_over().settings;
    return settings ? &*settings : nullptr;
}

const std::string &given_failure(int &status)
{
    status = handed_over().status;
    return handed_over().failure;
}

} // namespace stelmo::engine

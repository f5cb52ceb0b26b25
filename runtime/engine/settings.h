// What the engine starts with, and where that comes from. The stelmo
// executable's start-up code (runtime/startup/) reads the command line, the
// environment and the configuration files before main and hands the result
// over with use_settings(); an engine started without it (the tests) reads
// the environment alone, as settings_from_environment() does.
//
// Precedence, strongest first: the command line, the environment
// (STELMO_IO, STELMO_TRACE, STELMO_RIG_VIEW), the user's configuration file
// (or the one --config names), the system's, the defaults. An empty value in
// the environment or a file counts as not set.
#pragma once

#include "runtime/config/conf_file.h"

#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace stelmo::engine {

// What start-up is told.
struct Settings {
    std::string io;       // port backend: empty or "sim" the simulated rig, "port..." a device
    std::string trace;    // port trace file; empty: no trace
    bool rig_view = true; // open the "Simulated rig" window beside the panel
    // Directories searched for the panel file before the places next to the
    // executable (the site's own panel: the user's, then the system's).
    std::vector<std::string> panel_dirs;
};

// What one source of settings says; what it leaves unset, the sources below
// it decide.
struct SettingsLayer {
    std::optional<std::string> io;
    std::optional<std::string> trace;
    std::optional<bool> rig_view;
};

// Where start-up looks besides the command line and the environment.
struct Places {
    std::string system_file = SYSTEM_CONFIG; // its directory holds the system's panel too
    std::string config_home;                 // the user's stelmo/ is below it; empty: none
};

// How start-up goes on.
enum class Startup {
    run,        // `settings` is what to start with
    help,       // `text` is the help, for stdout; exit status 0
    version,    // `text` is the version line, for stdout; exit status 0
    bad_usage,  // `text` says what is wrong with the command line; exit status 2
    bad_config, // `text` names the configuration file, line and fault; exit status 255
};

// Reads the command line `arguments` (the program's name first), the
// environment and the configuration files at `places` into `settings`. A
// line in `text` for help, version or a fault, without "stelmo: ".
Startup read_startup(const QStringList &arguments, const Places &places, Settings &settings,
                     std::string &text);

// The settings the environment alone gives.
Settings settings_from_environment();

// The user's configuration directory: $XDG_CONFIG_HOME when it is an
// absolute path, else ~/.config; empty when there is no home directory.
std::string config_home();

// Hands the start-up code's settings to start_engine, which takes them in
// place of settings_from_environment().
void use_settings(Settings settings);

// What use_settings() handed over; null when it was not called.
const Settings *given_settings();

} // namespace stelmo::engine

// What the engine starts with, and where that comes from. The stelmo
// executable's start-up code (runtime/startup/) reads the command line, the
// environment and the configuration files before main and hands the result
// over with use_settings(), or the fault it found with use_failure(); an
// engine started without it (the tests) reads the environment alone, as
// settings_from_environment() does.
//
// Precedence, strongest first: the command line, the environment
// (STELMO_IO, STELMO_TRACE, STELMO_RIG_VIEW, STELMO_BUS, ...), the user's configuration file
// (or the one --config names), the system's, the defaults. An empty value in
// the environment or a file counts as not set. --no-config leaves both files
// out, and the site's panel files with them.
//
// Each setting is one row of the table in settings.cpp (its key, variable,
// option, check and how it is shown) and one field of Settings; where its
// value came from is kept for every setting alike.
#pragma once

#include "runtime/config/conf_file.h"

#include <QStringList>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace stelmo::engine {

// The panel file the program loads (its LoadPanel names it so), for
// --show-config's answer to which file would be loaded.
constexpr const char *PROGRAM_PANEL = "stelmo.uir";

// The tick intervals a step timer may have (ms), in the panel file or the
// interval setting: from the tick thread's shortest period (0.1 ms, 10,000
// steps a second) to a day.
constexpr double INTERVAL_MIN_MS = 0.1;
constexpr double INTERVAL_MAX_MS = 24.0 * 60 * 60 * 1000;

// Where a setting's value came from.
struct Source {
    enum class Kind { fallback, command_line, environment, file };
    Kind kind = Kind::fallback; // fallback: the default
    std::string name;           // the option ("--trace"), the variable or the file's path
    int line = 0;               // in the file, from 1
};

// `source` as messages name it: "--trace", "STELMO_TRACE",
// "/etc/stelmo/stelmo.conf:3", or "default" in the operator's language.
std::string named(const Source &source);

// A configuration file that start-up looked at.
struct ConfigFile {
    std::string path;
    bool found = false; // it is there and was read
};

struct Settings;

// The configuration files `settings` looked at, for the operator:
// "/home/ann/.config/stelmo/stelmo.conf (not there), /etc/stelmo/stelmo.conf",
// or "none (--no-config)".
std::string config_files_text(const Settings &settings);

// What start-up is told.
struct Settings {
    std::string io;       // port backend: empty or "sim" the simulated rig, "port..." a device
    std::string trace;    // port trace file; empty: no trace
    bool rig_view = true; // open the "Simulated rig" window beside the panel
    bool bus = true;      // offer the rig to scripts on the session bus
    // The step timers' tick interval (ms, INTERVAL_MIN_MS to INTERVAL_MAX_MS)
    // in place of the panel file's; 0: the panel file's.
    double interval_ms = 0;
    // Steps the reference run makes without the home switch before the engine
    // stops it (0: no limit).
    long homing_limit = 1000;
    // ANDed with every byte read from a switch register before the program
    // gets it; keeps at least the switch codes' bits 0x0f.
    std::uint8_t switch_mask = 0xff;
    // Where each setting came from, by its key in a configuration file
    // ("io", "trace", "rig-view", "bus"); a setting not listed has its default.
    std::map<std::string, Source, std::less<>> from;
    // Directories searched for the panel file before the places next to the
    // executable (the site's own panel: the user's, then the system's).
    std::vector<std::string> panel_dirs;
    // The configuration files looked at, strongest first.
    std::vector<ConfigFile> files;
    bool files_ignored = false; // --no-config: no file was looked at

    // Where setting `key` came from (the default when not listed).
    const Source &source(std::string_view key) const;
};

// Where start-up looks besides the command line and the environment.
struct Places {
    std::string system_file = SYSTEM_CONFIG; // its directory holds the system's panel too
    std::string config_home;                 // the user's stelmo/ is below it; empty: none
};

// How start-up goes on.
enum class Startup {
    run,         // `settings` is what to start with
    help,        // `text` is the help, for stdout; exit status 0
    version,     // `text` is the version line, for stdout; exit status 0
    show_config, // `text` is every setting, its source and the panel file, for stdout; 0
    bad_usage,   // `text` says what is wrong with the command line; exit status 2
    bad_config,  // `text` names the file and line, or the variable, and the fault; 255
    bad_shown,   // that, met by --show-config (said in a terminal, not in a window); 255
};

// Reads the command line `arguments` (the program's name first), the
// environment and the configuration files at `places` into `settings`. A
// line in `text` for help, version or a fault, without "stelmo: ".
Startup read_startup(const QStringList &arguments, const Places &places, Settings &settings,
                     std::string &text);

// The settings the environment alone gives; false with `error` (one line)
// for a value that is not one the setting takes.
bool settings_from_environment(Settings &settings, std::string &error);

// The user's configuration directory: $XDG_CONFIG_HOME when it is an
// absolute path, else ~/.config; empty when there is no home directory.
std::string config_home();

// Hands the start-up code's settings to start_engine, which takes them in
// place of settings_from_environment().
void use_settings(Settings settings);

// Hands start_engine a fault the start-up code found instead: one line, and
// the exit status it ends in (2 for the command line, 255 for the rest).
void use_failure(std::string text, int status);

// What use_settings() handed over; null when it was not called.
const Settings *given_settings();

// What use_failure() handed over: the line, empty when it was not called,
// and the exit status.
const std::string &given_failure(int &status);

} // namespace stelmo::engine

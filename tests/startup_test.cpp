// What the start-up code makes of the command line, the environment and the
// configuration files: which source wins for each setting, and the exit a
// bad option or a bad file leads to. The functions the ELF constructor calls,
// called directly.
#include "runtime/engine/settings.h"

#include "support.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

using stelmo::engine::named;
using stelmo::engine::Places;
using stelmo::engine::Settings;
using stelmo::engine::Startup;

// Options and variables are separated by blanks; a null file is no file.
struct Case {
    const char *what;
    std::string options;   // after the program's name
    const char *variables; // NAME=value, set for this case only
    const char *user;      // the user's stelmo.conf
    const char *system;    // the stand-in for /etc/stelmo/stelmo.conf
    Startup outcome;
    std::string result; // run: settled() of the settings; else the start of `text`
};

// "io|trace|rig_view" as settled, then each later setting that is not at its
// default: "|interval=0.25", "|homing-limit=0", "|switch-mask=15".
std::string settled(const Settings &s)
{
    std::ostringstream text;
    text << s.io << "|" << s.trace << "|" << (s.rig_view ? "1" : "0");
    if (s.interval_ms != 0)
        text << "|interval=" << s.interval_ms;
    if (s.homing_limit != 1000)
        text << "|homing-limit=" << s.homing_limit;
    if (s.switch_mask != 0xff)
        text << "|switch-mask=" << unsigned{s.switch_mask};
    if (!s.bus)
        text << "|bus off";
    return text.str();
}

std::vector<std::string> words(const std::string &text)
{
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

TEST(StartupTest, CommandLineThenEnvironmentThenUserFileThenSystemFile)
{
    support::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const char *card = "io = port,0x378=0xd010\ntrace = /var/tmp/system.trace\nrig-view=0\n";
    const std::string from_card = "port,0x378=0xd010|/var/tmp/system.trace|0";
    const std::string other = dir.write("other.conf", "io=port:/dev/null\n");
    const std::string user_file = dir.file("home/stelmo/stelmo.conf");
    const std::string system_file = dir.file("etc/stelmo.conf");
    constexpr Startup run = Startup::run, bad_config = Startup::bad_config,
                      bad_usage = Startup::bad_usage;

    const Case cases[] = {
        {"defaults", "", "", nullptr, nullptr, run, "||1"},
        {"the system file alone", "", "", nullptr, card, run, from_card},
        {"the user file over the system's", "", "", "io=sim\ntrace=/u\n", card, run, "sim|/u|0"},
        {"the environment over the files", "", "STELMO_IO=port:/dev/null STELMO_RIG_VIEW=1",
         "io=sim\nrig-view=0\n", card, run, "port:/dev/null|/var/tmp/system.trace|1"},
        {"the command line over everything", "--io sim --trace=/c --no-rig-view",
         "STELMO_IO=port STELMO_TRACE=/e STELMO_RIG_VIEW=1", "io=port\ntrace=/u\n", card, run,
         "sim|/c|0"},
        {"empty values count as not set", "", "STELMO_IO= STELMO_TRACE= STELMO_RIG_VIEW=",
         "# nothing here\nio=\ntrace =\n", card, run, from_card},
        {"--config in place of the user file", "--config " + other, "", "io=bogus", card, run,
         "port:/dev/null|/var/tmp/system.trace|0"},
        {"--no-config: no file, not even a bad one", "--no-config", "STELMO_TRACE=/e", "io=bogus",
         card, run, "|/e|1"},
        {"--no-bus over everything", "--no-bus", "STELMO_BUS=on", "bus=on\n", nullptr, run,
         "||1|bus off"},
        // Faults in files: one line naming file and line, exit 255.
        {"--config that is not there", "--config /nonexistent/stelmo.conf", "", nullptr, nullptr,
         bad_config, "cannot read /nonexistent/stelmo.conf: No such file"},
        {"a bad line", "", "", nullptr, "# card\nio port\n", bad_config,
         system_file + ":2: expected key=value"},
        {"an unknown key", "", "", "\nspeed=\n", nullptr, bad_config,
         user_file + ":2: unknown key \"speed\"; the keys are io, trace, rig-view, interval, "},
        {"a bad io", "", "", "io=parport\n", nullptr, bad_config,
         user_file + ":1: io=parport: unknown port backend; use io=sim"},
        {"a bad mapping", "", "", nullptr, "io=port,0x378=0xfffe", bad_config,
         system_file + ":1: io=port,0x378=0xfffe: "},
        {"a bad rig-view", "", "", "rig-view=off\n", nullptr, bad_config,
         user_file + ":1: rig-view=off: use rig-view=1"},
        {"a file fault behind an option", "--io sim", "", "io=parport\n", nullptr, bad_config,
         user_file + ":1: io=parport"},
        // Faults in the environment: the variable named, exit 255.
        {"a bad STELMO_IO", "", "STELMO_IO=parport", nullptr, nullptr, bad_config,
         "STELMO_IO=parport: unknown port backend; use STELMO_IO=sim"},
        {"a bad STELMO_RIG_VIEW", "", "STELMO_RIG_VIEW=no", nullptr, nullptr, bad_config,
         "STELMO_RIG_VIEW=no: use STELMO_RIG_VIEW=1"},
        {"a bad STELMO_BUS", "", "STELMO_BUS=0", nullptr, nullptr, bad_config,
         "STELMO_BUS=0: use STELMO_BUS=on (scripts reach the rig on the session bus) or "
         "STELMO_BUS=off"},
        {"--show-config on a bad file", "--show-config", "", "rig-view=2", nullptr,
         Startup::bad_shown, user_file + ":1: rig-view=2: use rig-view=1"},
        // The step rate, the homing limit and the switch mask.
        {"an interval", "--interval 0.25", "STELMO_INTERVAL=5", "interval=20\n", nullptr, run,
         "||1|interval=0.25"},
        {"no homing limit, a mask", "", "STELMO_HOMING_LIMIT=0", "switch-mask = 0x0f\n", nullptr,
         run, "||1|homing-limit=0|switch-mask=15"},
        {"an interval below 0.1 ms", "--interval 0.05", "", nullptr, nullptr, bad_usage,
         "--interval 0.05: give the tick interval in milliseconds, 0.1 to 86400000"},
        {"an interval in other units", "", "", "interval = 10ms\n", nullptr, bad_config,
         user_file + ":1: interval=10ms: give the tick interval in milliseconds"},
        {"a negative homing limit", "", "STELMO_HOMING_LIMIT=-1", nullptr, nullptr, bad_config,
         "STELMO_HOMING_LIMIT=-1: give a number of steps, 0 (no limit) to 1000000000"},
        {"a mask beyond a byte", "", "", nullptr, "switch-mask=0x1ff\n", bad_config,
         system_file + ":1: switch-mask=0x1ff: give a byte, 0x00 to 0xff"},
        {"a mask that hides the home switch", "", "STELMO_SWITCH_MASK=0x0e", nullptr, nullptr,
         bad_config, "STELMO_SWITCH_MASK=0x0e: the mask clears bits of the switch codes"},
        // Faults on the command line: exit 2, before any file is read.
        {"an unknown option", "--speed 3", "", nullptr, nullptr, bad_usage,
         "unknown option 'speed'; stelmo --help lists the options"},
        {"a Qt option", "-platform xcb", "", nullptr, nullptr, bad_usage,
         "unknown option 'platform'"},
        {"a bad --io", "--io parport", "", nullptr, nullptr, bad_usage,
         "--io parport: unknown port backend; use --io sim"},
        {"an option without its value", "--trace", "", nullptr, nullptr, bad_usage,
         "missing value after '--trace'"},
        {"an empty value", "--trace=", "", nullptr, nullptr, bad_usage, "--trace needs a value"},
        {"an option twice", "--io sim --io=port", "", nullptr, nullptr, bad_usage,
         "--io is given 2 times"},
        {"--config with --no-config", "--no-config --config " + other, "", nullptr, nullptr,
         bad_usage, "--config and --no-config cannot be given together"},
        {"an argument", "stelmo.uir", "", nullptr, nullptr, bad_usage,
         "unexpected argument \"stelmo.uir\""},
        // Help and version win over any fault in a file.
        {"--help", "--io sim -h", "", "bad", nullptr, Startup::help, "Usage: stelmo [options]"},
        {"--version", "--version", "", "bad", nullptr, Startup::version,
         "stelmo " STELMO_VERSION "\n"},
    };

    const char *const variables[] = {"STELMO_IO",         "STELMO_TRACE",    "STELMO_RIG_VIEW",
                                     "STELMO_BUS",        "STELMO_INTERVAL", "STELMO_HOMING_LIMIT",
                                     "STELMO_SWITCH_MASK"};
    for (const Case &c : cases) {
        std::filesystem::remove_all(dir.file("home"));
        std::filesystem::remove_all(dir.file("etc"));
        if (c.user)
            dir.write("home/stelmo/stelmo.conf", c.user);
        if (c.system)
            dir.write("etc/stelmo.conf", c.system);
        for (const char *variable : variables)
            ::unsetenv(variable);
        for (const std::string &assignment : words(c.variables)) {
            const auto equals = assignment.find('=');
            ::setenv(assignment.substr(0, equals).c_str(), assignment.c_str() + equals + 1, 1);
        }
        QStringList arguments{"stelmo"};
        for (const std::string &option : words(c.options))
            arguments << QString::fromStdString(option);

        Settings settings;
        std::string text;
        const Places places{system_file, dir.file("home")};
        const Startup outcome = stelmo::engine::read_startup(arguments, places, settings, text);
        EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(c.outcome)) << c.what << ": " << text;
        if (outcome == Startup::run) {
            EXPECT_EQ(settled(settings), c.result) << c.what;
            const std::vector<std::string> site_panels{dir.file("home/stelmo"), dir.file("etc")};
            EXPECT_EQ(settings.panel_dirs,
                      c.options == "--no-config" ? std::vector<std::string>() : site_panels)
                << c.what;
        } else {
            EXPECT_EQ(text.substr(0, c.result.size()), c.result) << c.what;
            if (c.outcome == Startup::bad_usage || c.outcome == Startup::bad_config) {
                EXPECT_EQ(text.find('\n'), std::string::npos) << c.what << ": one line only";
            }
        }
    }
    for (const char *variable : variables)
        ::unsetenv(variable);
}

// Where each setting came from, as messages name it and --show-config says
// it, with the panel file that would be loaded.
TEST(StartupTest, EachSettingKnowsWhereItCameFrom)
{
    support::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string system_file = dir.write("etc/stelmo.conf", "# card\n\nio = port\n");
    dir.write("home/stelmo/stelmo.conf", "rig-view = 0\n");
    const std::string panel = dir.write("etc/stelmo.uir", "<ui/>");
    ::setenv("STELMO_TRACE", "/tmp/t", 1);
    ::unsetenv("STELMO_IO");
    ::unsetenv("STELMO_RIG_VIEW");
    ::unsetenv("STELMO_BUS");
    const Places places{system_file, dir.file("home")};
    std::string text;
    Settings settings;
    ASSERT_EQ(stelmo::engine::read_startup({"stelmo", "--io=sim"}, places, settings, text),
              Startup::run)
        << text;
    EXPECT_EQ(named(settings.source("io")), "--io");
    EXPECT_EQ(named(settings.source("trace")), "STELMO_TRACE");
    EXPECT_EQ(named(settings.source("rig-view")), dir.file("home/stelmo/stelmo.conf") + ":1");
    EXPECT_EQ(settings.files.size(), 2u);

    ::unsetenv("STELMO_TRACE");
    ASSERT_EQ(stelmo::engine::read_startup({"stelmo", "--show-config"}, places, settings, text),
              Startup::show_config);
    const std::string lines[] = {
        "io = port            (" + system_file + ", line 3)\n",
        "trace =              (default)\n",
        "rig-view = 0         (" + dir.file("home/stelmo/stelmo.conf") + ", line 1)\n",
        "interval =           (default)\n",
        "homing-limit = 1000  (default)\n",
        "switch-mask = 0xff   (default)\n",
        "bus = on             (default)\n",
        "panel file: " + panel + "\n",
        "configuration files: " + dir.file("home/stelmo/stelmo.conf") + ", " + system_file + "\n",
    };
    std::string all;
    for (const std::string &line : lines)
        all += line;
    EXPECT_EQ(text, all);
}

} // namespace

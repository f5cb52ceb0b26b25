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
#include <optional>
#include <string>
#include <vector>

namespace {

using stelmo::engine::Places;
using stelmo::engine::Settings;
using stelmo::engine::Startup;

struct Case {
    const char *what;
    std::vector<const char *> options;   // after the program's name
    std::vector<const char *> variables; // NAME=value, set for this case only
    std::optional<std::string> user;     // the user's stelmo.conf; none: no file
    std::optional<std::string> system;   // /etc/stelmo/stelmo.conf's stand-in
    Startup outcome;
    // Run: "io|trace|rig_view" as settled. Otherwise the start of `text`.
    std::string result;
};

TEST(StartupTest, CommandLineThenEnvironmentThenUserFileThenSystemFile)
{
    support::TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string card = "io = port,0x378=0xd010\ntrace = /var/tmp/system.trace\nrig-view=0\n";
    const std::string other = dir.write("other.conf", "io=port:/dev/null\n");
    const std::string user_file = dir.file("home/stelmo/stelmo.conf");
    const std::string system_file = dir.file("etc/stelmo.conf");

    const Case cases[] = {
        {"defaults", {}, {}, {}, {}, Startup::run, "||1"},
        {"the system file alone", {}, {}, {}, card, Startup::run,
         "port,0x378=0xd010|/var/tmp/system.trace|0"},
        {"the user file over the system's", {}, {}, "io=sim\ntrace=/u\n", card, Startup::run,
         "sim|/u|0"},
        {"the environment over the files",
         {},
         {"STELMO_IO=port:/dev/null", "STELMO_RIG_VIEW=1"},
         "io=sim\nrig-view=0\n",
         card,
         Startup::run,
         "port:/dev/null|/var/tmp/system.trace|1"},
        {"the command line over everything",
         {"--io", "sim", "--trace=/c", "--no-rig-view"},
         {"STELMO_IO=port", "STELMO_TRACE=/e", "STELMO_RIG_VIEW=1"},
         "io=port\ntrace=/u\n",
         card,
         Startup::run,
         "sim|/c|0"},
        {"empty values count as not set",
         {},
         {"STELMO_IO=", "STELMO_TRACE=", "STELMO_RIG_VIEW="},
         "# nothing here\nio=\ntrace =\n",
         card,
         Startup::run,
         "port,0x378=0xd010|/var/tmp/system.trace|0"},
        {"--config in place of the user file", {"--config", other.c_str()}, {}, "io=bogus",
         card, Startup::run, "port:/dev/null|/var/tmp/system.trace|0"},
        // Faults in files: one line naming file and line, exit 255.
        {"--config that is not there", {"--config", "/nonexistent/stelmo.conf"}, {}, {}, {},
         Startup::bad_config, "cannot read /nonexistent/stelmo.conf: No such file"},
        {"a bad line", {}, {}, {}, "# card\nio port\n", Startup::bad_config,
         system_file + ":2: expected key=value"},
        {"an unknown key", {}, {}, "\nspeed=3\n", {}, Startup::bad_config,
         user_file + ":2: unknown key \"speed\"; the keys are io, trace and rig-view"},
        {"a bad io", {}, {}, "io=parport\n", {}, Startup::bad_config,
         user_file + ":1: io=parport: unknown port backend; use io=sim"},
        {"a bad mapping", {}, {}, {}, "io=port,0x378=0xfffe", Startup::bad_config,
         system_file + ":1: io=port,0x378=0xfffe: "},
        {"a bad rig-view", {}, {}, "rig-view=off\n", {}, Startup::bad_config,
         user_file + ":1: rig-view=off: use rig-view=1"},
        {"a file fault hidden behind an option", {"--io", "sim"}, {}, "io=parport\n", {},
         Startup::bad_config, user_file + ":1: io=parport"},
        // Faults on the command line: exit 2, before any file is read.
        {"an unknown option", {"--speed", "3"}, {}, {}, {}, Startup::bad_usage,
         "unknown option 'speed'; stelmo --help lists the options"},
        {"a Qt option", {"-platform", "xcb"}, {}, {}, {}, Startup::bad_usage,
         "unknown option 'platform'"},
        {"a bad --io", {"--io", "parport"}, {}, {}, {}, Startup::bad_usage,
         "--io parport: unknown port backend; use --io sim"},
        {"an option without its value", {"--trace"}, {}, {}, {}, Startup::bad_usage,
         "missing value after '--trace'"},
        {"an empty value", {"--trace", ""}, {}, {}, {}, Startup::bad_usage,
         "--trace needs a value"},
        {"an option twice", {"--io", "sim", "--io=port"}, {}, {}, {}, Startup::bad_usage,
         "--io is given 2 times"},
        {"an argument", {"stelmo.uir"}, {}, {}, {}, Startup::bad_usage,
         "unexpected argument \"stelmo.uir\""},
        // Help and version win over any fault in a file.
        {"--help", {"--io", "sim", "-h"}, {}, "bad", {}, Startup::help, "Usage: stelmo [options]"},
        {"--version", {"--version"}, {}, "bad", {}, Startup::version,
         "stelmo " STELMO_VERSION "\n"},
    };

    const char *const variables[] = {"STELMO_IO", "STELMO_TRACE", "STELMO_RIG_VIEW"};
    for (const Case &c : cases) {
        std::filesystem::remove_all(dir.file("home"));
        std::filesystem::remove_all(dir.file("etc"));
        if (c.user)
            dir.write("home/stelmo/stelmo.conf", *c.user);
        if (c.system)
            dir.write("etc/stelmo.conf", *c.system);
        for (const char *variable : variables)
            ::unsetenv(variable);
        for (const std::string assignment : c.variables) {
            const auto equals = assignment.find('=');
            ::setenv(assignment.substr(0, equals).c_str(), assignment.c_str() + equals + 1, 1);
        }
        QStringList arguments{"stelmo"};
        for (const char *option : c.options)
            arguments << QString::fromUtf8(option);

        Settings settings;
        std::string text;
        const Startup outcome =
            stelmo::engine::read_startup(arguments, Places{system_file, dir.file("home")},
                                         settings, text);
        EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(c.outcome)) << c.what << ": " << text;
        if (outcome == Startup::run) {
            EXPECT_EQ(settings.io + "|" + settings.trace + "|" + (settings.rig_view ? "1" : "0"),
                      c.result)
                << c.what;
            EXPECT_EQ(settings.panel_dirs,
                      (std::vector<std::string>{dir.file("home/stelmo"), dir.file("etc")}))
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

} // namespace

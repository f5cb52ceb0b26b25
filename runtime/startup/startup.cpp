// The run-time's start-up code. glibc runs the executable's constructors
// before main, handing them argc, argv and envp; the shared libraries,
// QtCore among them, are initialised by then, the executable's own static
// objects not necessarily, so nothing here touches another file's statics
// (the settings are handed over through a function-local one).
//
// In order: descriptors 0 to 2 are made sure of, the real-time priority the
// tick thread asks for is kept as a resource limit, or else by the real-time
// launcher (a thread that gives up its own capabilities), every capability is
// given up while no other thread holds one, the translation catalogues for
// the user's locale are loaded, then the command line, the environment and
// the configuration files are read into the engine's settings. --help,
// --version and --show-config end the process here. A bad option or a bad
// configuration file is handed to the engine, which says it when
// InitRuntimeEx starts it, in a window too where nobody may read standard
// error, and ends with exit status 2 for an option, else 255 (main's -1).
// main never sees a difference: InitRuntimeEx still ignores its arguments.
#include "runtime/base/descriptors.h"
#include "runtime/base/realtime_policy.h"
#include "runtime/base/report.h"
#include "runtime/base/text.h"
#include "runtime/clock/launcher.h"
#include "runtime/config/translation.h"
#include "runtime/engine/settings.h"
#include "runtime/ports/privilege.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Without capabilities the tick thread may use SCHED_FIFO only up to
// RLIMIT_RTPRIO. Raises that limit to the tick thread's priority where the
// process may: root, whose CAP_SYS_NICE is about to go, gets what the package
// grants the group stelmo in limits.d. Every thread may then set SCHED_FIFO
// by itself, and so may the port helper, which inherits the limit. Where it
// may not, nothing changes.
void keep_realtime_priority()
{
    constexpr rlim_t priority = stelmo::realtime::PRIORITY;
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) != 0 || limit.rlim_cur >= priority)
        return;
    const rlimit raised{priority, std::max(limit.rlim_max, priority)};
    ::setrlimit(RLIMIT_RTPRIO, &raised);
}

// Where that limit stays below the tick thread's priority (raising the hard
// limit needs CAP_SYS_RESOURCE, which containers often drop) while the
// process may still use SCHED_FIFO by its CAP_SYS_NICE, the launcher keeps
// that for the tick threads once the capabilities are gone. Where it cannot
// be real-time it ends at once; the tick thread then says how it runs.
void keep_realtime_launcher()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) == 0 &&
        limit.rlim_cur >= static_cast<rlim_t>(stelmo::realtime::PRIORITY))
        return;
    std::string why;
    stelmo::launcher::start(why);
}

// Writes `text` to stdout and ends the process: 0, or 255 when stdout does
// not take it.
[[noreturn]] void print_and_exit(const std::string &text)
{
    if (const int err = stelmo::write_all(STDOUT_FILENO, text)) {
        stelmo::report(
            stelmo::translate("stelmo", "cannot write to standard output: %1")(std::strerror(err)));
        std::exit(255);
    }
    std::exit(0);
}

void start_up(int argc, char **argv)
{
    // Without /dev/null in place of a closed descriptor nothing can be said,
    // and nothing is safe to do.
    if (stelmo::open_standard_descriptors() != 0)
        ::_exit(255);
    keep_realtime_priority();
    keep_realtime_launcher();
    stelmo::ports::drop_capabilities();
    // The operator's language, for what is said from here on; the engine
    // installs the same catalogues into the application once it exists.
    stelmo::load_user_translations();

    QStringList arguments;
    for (int i = 0; i < argc && argv && argv[i]; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (arguments.isEmpty())
        arguments << QStringLiteral("stelmo");
    stelmo::engine::Places places;
    places.config_home = stelmo::engine::config_home();
    stelmo::engine::Settings settings;
    std::string text;
    switch (stelmo::engine::read_startup(arguments, places, settings, text)) {
    case stelmo::engine::Startup::run:
        stelmo::engine::use_settings(std::move(settings));
        return;
    case stelmo::engine::Startup::help:
    case stelmo::engine::Startup::version:
    case stelmo::engine::Startup::show_config:
        print_and_exit(text);
    case stelmo::engine::Startup::bad_usage:
        stelmo::engine::use_failure(text, 2);
        return;
    case stelmo::engine::Startup::bad_config:
        stelmo::engine::use_failure(text, 255);
        return;
    case stelmo::engine::Startup::bad_shown: // asked in a terminal: the line, no window
        stelmo::report(text);
        std::exit(255);
    }
}

} // namespace

// Run by glibc before main, with main's own arguments.
__attribute__((constructor)) static void stelmo_start_up(int argc, char **argv, char **)
{
    start_up(argc, argv);
}

// Fuzzes the panel loader. Each input is written to a panel file and loaded
// with LoadPanel as the program loads its panel. Whatever the bytes, the load
// must end in a handle or one of the load failure codes: never a crash, a
// leak, undefined behaviour or any other code.
#include "engine_support.h"

#include "runtime/engine/engine.h"
#include "runtime/services.h"

#include <QCoreApplication>
#include <QEvent>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

std::unique_ptr<support::TempDir> scratch; // holds the panel file; removed at exit
std::string panel_file;                    // rewritten for every input
int panel_fd = -1;

[[noreturn]] void give_up(const char *what)
{
    std::fprintf(stderr, "panel_fuzzer: %s\n", what);
    std::abort();
}

} // namespace

// The engine starts once, offscreen, on the simulated rig and without the rig
// window, as the program would start it.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    setenv("STELMO_RIG_VIEW", "0", 1);
    if (!support::start_engine())
        give_up("the engine did not start");

    scratch = std::make_unique<support::TempDir>();
    if (!scratch->ok())
        give_up("cannot make a scratch directory");
    panel_file = scratch->file("panel.uir");
    panel_fd = ::open(panel_file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (panel_fd < 0)
        give_up("cannot create the scratch panel file");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (::ftruncate(panel_fd, 0) != 0)
        give_up("cannot empty the scratch panel file");
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(panel_fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            give_up("cannot write the scratch panel file");
        done += static_cast<std::size_t>(n);
    }

    const int handle = LoadPanel(0, panel_file.c_str(), 1);
    if (handle < 0) {
        if (handle != ERR_PANEL_FILE && handle != ERR_NOT_A_PANEL && handle != ERR_NO_SUCH_PANEL &&
            handle != ERR_BAD_CONTROL)
            give_up("LoadPanel failed with a code it never gives for a file");
        return 0;
    }

    // A loaded panel is taken down again at once: its widgets, timer and
    // handle would otherwise pile up over millions of inputs.
    if (!stelmo::engine::discard_panel(handle))
        give_up("LoadPanel gave a handle the engine does not hold");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}

#include "engine_test_support.h"

#include "runtime/services.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace engine_test {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int open_descriptors()
{
    int count = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

std::vector<Event> events;
std::function<void(const Event &)> on_event;

std::string panels_dir()
{
    return ENGINE_PANELS;
}

void start_engine()
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("STELMO_IO", "sim", 1); // never real ports from a test
    unsetenv("STELMO_TRACE");
    ASSERT_EQ(InitRuntimeEx(0, nullptr, 0), 1);
}

int run_for(int ms)
{
    // A timer object, not a single shot: should something else end the loop
    // first, it must not fire into a later run.
    QTimer stop;
    stop.setSingleShot(true);
    QObject::connect(&stop, &QTimer::timeout, [] { QuitUserInterface(0); });
    stop.start(ms);
    return RunUserInterface();
}

Deadline::Deadline(int ms)
{
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [] { QuitUserInterface(DEADLINE_CODE); });
    timer_.start(ms);
}

StderrCapture::StderrCapture()
{
    std::fflush(stderr);
    char name[] = "/tmp/engine_stderr_XXXXXX";
    file_ = mkstemp(name);
    if (file_ < 0)
        return;
    unlink(name);
    saved_ = dup(STDERR_FILENO);
    dup2(file_, STDERR_FILENO);
}

StderrCapture::~StderrCapture()
{
    text();
}

std::string StderrCapture::text()
{
    if (saved_ < 0)
        return text_;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
    char buffer[4096];
    lseek(file_, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(file_, buffer, sizeof buffer)) > 0)
        text_.append(buffer, static_cast<std::size_t>(n));
    close(file_);
    return text_;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

TempDir::TempDir()
{
    char name[] = "/tmp/engine_test_XXXXXX";
    if (mkdtemp(name))
        path_ = name;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string &name, std::string_view content) const
{
    const std::filesystem::path full = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(full.parent_path());
    std::ofstream out(full, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return full.string();
}

std::string panel_document(const std::string &controls, int panel)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<ui version=\"4.0\">\n"
           " <class>Panel</class>\n"
           " <widget class=\"QWidget\" name=\"Panel\">\n"
           "  <property name=\"windowTitle\"><string>Test panel</string></property>\n"
           "  <property name=\"stelmoPanel\" stdset=\"0\"><number>" +
           std::to_string(panel) + "</number></property>\n" + controls +
           " </widget>\n"
           "</ui>\n";
}

std::string widget(const std::string &cls, const std::string &name, int ctrl,
                   const std::string &callback, int interval, const std::string &extra)
{
    std::string xml = "  <widget class=\"" + cls + "\" name=\"" + name + "\">\n";
    if (ctrl != 0)
        xml += "   <property name=\"stelmoCtrl\" stdset=\"0\"><number>" + std::to_string(ctrl) +
               "</number></property>\n";
    if (!callback.empty())
        xml += "   <property name=\"stelmoCallback\" stdset=\"0\"><string>" + callback +
               "</string></property>\n";
    if (interval != 0)
        xml += "   <property name=\"stelmoInterval\" stdset=\"0\"><number>" +
               std::to_string(interval) + "</number></property>\n";
    xml += extra;
    xml += "  </widget>\n";
    return xml;
}

} // namespace engine_test

namespace {

int record(int panel, int control, int event)
{
    const engine_test::Event e{panel, control, event};
    engine_test::events.push_back(e);
    if (engine_test::on_event)
        engine_test::on_event(e);
    return 0;
}

} // namespace

extern "C" int engine_test_click(int panel, int control, int event, void *, int, int)
{
    return record(panel, control, event);
}

extern "C" int engine_test_tick(int panel, int control, int event, void *, int, int)
{
    return record(panel, control, event);
}

extern "C" int engine_test_quit(int panel, int control, int event, void *, int, int)
{
    if (event == EVENT_COMMIT)
        QuitUserInterface(7);
    return record(panel, control, event); // the callback goes on after asking to quit
}

int engine_test_not_a_function = 0;

// The port trace: line format, failed accesses, the header of each run,
// appending, a line on disk per access once its writer has written it, lost
// lines and the gap they leave, and which destinations are taken.
#include "runtime/ports/trace.h"

#include "runtime/ports/sim_rig.h"
#include "runtime/services.h"
#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace stelmo::ports;

namespace {

// Answers reads with `answer` (failing when `read_fails`), refuses writes to
// `refused`, maps `mapped` to `to`.
struct Scripted : Backend {
    std::uint8_t answer = 0xC4;
    bool read_fails = false;
    std::uint16_t refused = 0x379;
    std::uint16_t mapped = 0, to = 0;
    bool read(std::uint16_t, std::uint8_t &value) override
    {
        value = read_fails ? PORT_NOTHING : answer;
        return !read_fails;
    }
    bool write(std::uint16_t port, std::uint8_t) override { return port != refused; }
    std::uint16_t physical(std::uint16_t port) const override { return port == mapped ? to : port; }
};

struct Line {
    double seconds;
    std::string direction;
    unsigned port, value;
    std::string physical; // "" when no mapping applied
    bool failed;
};

// The data lines of a trace; comment lines are left out, anything else fails.
std::vector<Line> lines_of(const std::string &text)
{
    static const std::regex format(
        R"(^(\d+\.\d{6}) (in|out) 0x([0-9a-f]{3,4}) 0x([0-9a-f]{2})( 0x[0-9a-f]{3,4})?( failed)?$)");
    std::vector<Line> lines;
    std::istringstream in(text);
    std::string text_line;
    while (std::getline(in, text_line)) {
        std::smatch m;
        if (text_line.rfind('#', 0) == 0)
            continue;
        if (!std::regex_match(text_line, m, format)) {
            ADD_FAILURE() << "badly formed trace line: " << text_line;
            continue;
        }
        lines.push_back({std::stod(m[1]), m[2],
                         static_cast<unsigned>(std::stoul(m[3], nullptr, 16)),
                         static_cast<unsigned>(std::stoul(m[4], nullptr, 16)),
                         m[5].matched ? m[5].str().substr(1) : "", m[6].matched});
    }
    return lines;
}

// Everything that can be read from `fd` now, without waiting.
std::string drain(int fd)
{
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Seconds since `start`, and the microsecond a trace line rounds up to.
double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() + 1e-6;
}

std::size_t count(const std::string &text, const std::string &word)
{
    std::size_t n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

class PortsTraceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    std::unique_ptr<TraceBackend> open(std::unique_ptr<Backend> inner)
    {
        std::string error;
        auto trace = TraceBackend::open(path, std::move(inner), error);
        EXPECT_TRUE(trace) << error;
        return trace;
    }
    support::TempDir dir;
    std::string path = dir.file("ports.trace");
};

TEST_F(PortsTraceTest, EveryAccessIsOnDiskInOrder)
{
    const auto opening = std::chrono::steady_clock::now();
    auto trace = open(std::make_unique<Scripted>());
    ASSERT_TRUE(trace);
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // times count from opening
    EXPECT_EQ(trace->read_byte(0x37A), 0xC4);
    ASSERT_TRUE(trace->settle());
    EXPECT_EQ(lines_of(support::read_file(path)).size(), 1u);
    EXPECT_TRUE(trace->write(0x378, 0x08));
    EXPECT_FALSE(trace->write(0x379, 0x0F)); // refused, still recorded
    ASSERT_TRUE(trace->settle());
    const auto lines = lines_of(support::read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_FALSE(lines[0].failed);
    EXPECT_FALSE(lines[1].failed);
    EXPECT_TRUE(lines[2].failed);
    EXPECT_EQ(lines[0].direction, "in");
    EXPECT_EQ(lines[0].port, 0x37Au);
    EXPECT_EQ(lines[0].value, 0xC4u);
    EXPECT_EQ(lines[1].direction, "out");
    EXPECT_EQ(lines[1].port, 0x378u);
    EXPECT_EQ(lines[1].value, 0x08u);
    EXPECT_EQ(lines[2].port, 0x379u);
    EXPECT_EQ(lines[2].value, 0x0Fu);
    EXPECT_GE(lines[0].seconds, 0.030);
    EXPECT_LE(lines[0].seconds, seconds_since(opening));
    EXPECT_LE(lines[0].seconds, lines[1].seconds);
    EXPECT_LE(lines[1].seconds, lines[2].seconds);
    for (const Line &l : lines)
        EXPECT_EQ(l.physical, "");
}

TEST_F(PortsTraceTest, CreatesReadableByAllThenAppendsEachRunAfterItsHeader)
{
    const mode_t umask = ::umask(0);
    auto first = open(std::make_unique<Scripted>());
    ::umask(umask);
    ASSERT_TRUE(first);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    first->set_run_info("simulated rig", "10 ms");
    EXPECT_EQ(st.st_size, 0); // the header waits for the first access
    first->write(0x378, 1);
    first->write(0x378, 2);
    first.reset();
    open(std::make_unique<Scripted>()).reset(); // a run without an access writes nothing
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // time 0 moves on
    const auto opening = std::chrono::steady_clock::now();
    auto third = open(std::make_unique<Scripted>());
    ASSERT_TRUE(third);
    third->write(0x378, 3);
    third->set_run_info("too late", "1 ms"); // the header is out
    third->write(0x378, 4);
    ASSERT_TRUE(third->settle());

    const std::string text = support::read_file(path);
    const auto all = support::lines_of(text);
    ASSERT_EQ(all.size(), 6u) << text;
    EXPECT_TRUE(std::regex_match(all[0], std::regex(R"(# stelmo \d+\.\d+\.\d+ \d{4}-\d\d-\d\d )"
                                                    R"(\d\d:\d\d:\d\d [+-]\d{4} · simulated rig · )"
                                                    R"(tick interval 10 ms)")))
        << all[0];
    EXPECT_EQ(all[3].rfind("# stelmo ", 0), 0u) << all[3]; // the next run's, before its lines
    EXPECT_EQ(all[3].find("·"), std::string::npos) << all[3];
    const auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 4u);
    for (unsigned i = 0; i < 4; ++i)
        EXPECT_EQ(lines[i].value, i + 1);
    EXPECT_LE(lines[2].seconds, seconds_since(opening)); // times restart with the run
}

TEST_F(PortsTraceTest, MappedPortsShowWhereTheyWent)
{
    auto inner = std::make_unique<Scripted>();
    inner->mapped = 0x37A;
    inner->to = 0xD012;
    auto trace = open(std::move(inner));
    ASSERT_TRUE(trace);
    trace->read_byte(0x37A);
    trace->read_byte(0x278);
    static_cast<Scripted &>(trace->inner()).read_fails = true;
    std::uint8_t value = 0;
    EXPECT_FALSE(trace->read(0x37A, value));
    EXPECT_EQ(value, 0xFF);
    ASSERT_TRUE(trace->settle());
    const std::string text = support::read_file(path);
    const auto lines = lines_of(text);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].port, 0x37Au); // the program's number first
    EXPECT_EQ(lines[0].physical, "0xd012");
    EXPECT_EQ(lines[1].physical, "");
    EXPECT_NE(text.find(" in 0x37a 0xff 0xd012 failed\n"), std::string::npos) << text;
}

TEST_F(PortsTraceTest, UnwritableFileFailsStartUp)
{
    for (const std::string &bad : {dir.file("missing/ports.trace"), dir.path()}) {
        stelmo::ports::Setup setup;
        std::string error;
        EXPECT_FALSE(open_backend("sim", bad.c_str(), setup, error));
        EXPECT_NE(error.find(bad), std::string::npos) << error;
        EXPECT_NE(error.find(bad == dir.path() ? "Is a directory" : "No such file"),
                  std::string::npos)
            << error;
        EXPECT_FALSE(setup.backend);
    }
}

TEST_F(PortsTraceTest, TracedRigThroughInpOutp)
{
    stelmo::ports::Setup setup;
    std::string error;
    ASSERT_TRUE(open_backend("sim", path.c_str(), setup, error)) << error;
    ASSERT_NE(setup.rig, nullptr);
    install(setup.backend.get());
    outp(0x378, 8);
    const std::uint8_t code = inp(0x37A);
    install(nullptr);
    ASSERT_TRUE(setup.trace->settle());
    EXPECT_EQ(setup.rig->state().position, RIG_START - 1);
    const auto lines = lines_of(support::read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].direction, "out");
    EXPECT_EQ(lines[0].value, 8u);
    EXPECT_EQ(lines[1].direction, "in");
    EXPECT_EQ(lines[1].value, code);
}

// A reader that falls behind costs lines, never a wait: once the pipe and
// the writer's queue are full, lines are counted, said once on stderr, and
// noted in the trace once it takes lines again.
TEST_F(PortsTraceTest, FullPipeLosesLinesThenNotesTheGap)
{
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
    // The pipe full before the trace opens, so its writer is held up from the
    // first line and only the queue takes lines.
    ::fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK);
    std::size_t filled = 0;
    for (ssize_t n; (n = ::write(pipe_ends[1], "\n", 1)) > 0;)
        filled += static_cast<std::size_t>(n);
    const std::string through = "/proc/self/fd/" + std::to_string(pipe_ends[1]);
    std::string error;
    auto trace = TraceBackend::open(through, std::make_unique<Scripted>(), error);
    ASSERT_TRUE(trace) << error;

    support::StderrCapture capture;
    int accesses = 0;
    for (; trace->lost_lines() == 0 && accesses < 1000000; ++accesses)
        trace->write(0x378, 0x08); // returns at once however full the pipe is
    for (int i = 0; i < 10; ++i)
        trace->write(0x378, 0x04);
    const long lost = trace->lost_lines();
    EXPECT_EQ(lost, 11);
    std::string text; // the reader catches up with what is queued
    while (!trace->settle(std::chrono::milliseconds(10)))
        text += drain(pipe_ends[0]);
    text += drain(pipe_ends[0]);
    ASSERT_GE(text.size(), filled);
    text.erase(0, filled);
    trace->write(0x378, 0x02);
    ASSERT_TRUE(trace->settle());
    text += drain(pipe_ends[0]);
    EXPECT_EQ(lines_of(text).size(), static_cast<std::size_t>(accesses + 11 - lost));
    EXPECT_TRUE(
        std::regex_search(text, std::regex(R"(\n# lost 11 lines\n[0-9.]+ out 0x378 0x02\n$)")))
        << text.substr(text.size() - std::min<std::size_t>(text.size(), 200));

    // The reader gone: lines are lost again, counted under the same fault.
    ::close(pipe_ends[0]);
    trace->write(0x378, 0x01);
    ASSERT_TRUE(trace->settle());
    EXPECT_EQ(trace->lost_lines(), lost + 1);
    const std::string said = capture.text();
    EXPECT_EQ(count(said, "stelmo: "), 1u) << said;
    EXPECT_NE(said.find("stelmo: trace file " + through + ": the reader does not keep up; "),
              std::string::npos)
        << said;
    ::close(pipe_ends[1]);
}

// A full disk (here a file size limit): the line that did not fit is cut off
// again, so the file never holds part of a line, and the gap is noted.
TEST_F(PortsTraceTest, FullDiskCutsThePartLineAndNotesTheGap)
{
    auto trace = open(std::make_unique<Scripted>());
    ASSERT_TRUE(trace);
    for (int i = 0; i < 100; ++i) // more than the stderr capture will hold
        trace->write(0x378, 0x08);
    ASSERT_TRUE(trace->settle());
    const std::string before = support::read_file(path);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = before.size() + 10; // room for part of a line
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
    support::StderrCapture capture;
    trace->write(0x378, 0x04);
    trace->write(0x378, 0x02);
    ASSERT_TRUE(trace->settle());
    const std::string said = capture.text();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(trace->lost_lines(), 2);
    EXPECT_TRUE(support::read_file(path) == before) << "part of a line stayed";
    EXPECT_NE(said.find("trace file " + path + ": File too large; "), std::string::npos) << said;
    trace->write(0x378, 0x01);
    ASSERT_TRUE(trace->settle());
    const std::string after = support::read_file(path);
    EXPECT_EQ(after.substr(before.size(), 16), "# lost 2 lines\n0");
    EXPECT_EQ(lines_of(after).size(), 101u);
}

// Only a regular file, a pipe or FIFO, or a terminal takes the trace; a device
// is refused before it is opened, and a FIFO without a reader at once.
TEST_F(PortsTraceTest, OnlyFilesPipesAndTerminalsAreTaken)
{
    struct stat null {};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    std::vector<std::string> devices = {"/dev/null"};
    // A node of our own for /dev/null, watched: nobody else opens it.
    const std::string node = dir.file("null");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (::mknod(node.c_str(), S_IFCHR | 0666, null.st_rdev) == 0 &&
        ::inotify_add_watch(watch, node.c_str(), IN_OPEN) >= 0)
        devices.push_back(node);
    for (const std::string &device : devices) {
        stelmo::ports::Setup setup;
        std::string error;
        EXPECT_FALSE(open_backend("sim", device.c_str(), setup, error));
        EXPECT_EQ(error, "trace file " + device +
                             " (STELMO_TRACE) is a character device other than a terminal; the "
                             "trace goes to a regular file, a pipe or FIFO, or a terminal");
    }
    char event[sizeof(inotify_event) + 256];
    EXPECT_LT(::read(watch, event, sizeof event), 0) << "the device was opened";
    ::close(watch);
    if (devices.size() < 2)
        std::cout << "no device node of our own here: the refusal was seen, not the open\n";

    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    stelmo::ports::Setup setup;
    std::string error;
    EXPECT_FALSE(open_backend("sim", fifo.c_str(), setup, error)); // would hang if it waited
    EXPECT_EQ(error, "cannot open trace file " + fifo +
                         " (STELMO_TRACE): no process is reading the FIFO; start its reader first");
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_EQ(::grantpt(terminal) | ::unlockpt(terminal), 0);
    for (const auto &[to, from] : {std::pair{fifo, reader}, {::ptsname(terminal), terminal}}) {
        auto traced = TraceBackend::open(to, std::make_unique<Scripted>(), error);
        ASSERT_TRUE(traced) << error;
        traced->read_byte(0x37A);
        ASSERT_TRUE(traced->settle());
        const std::string text = drain(from);
        EXPECT_NE(text.find(" in 0x37a 0xc4"), std::string::npos) << to << ": " << text;
    }
    ::close(reader);
    ::close(terminal);
}

} // namespace

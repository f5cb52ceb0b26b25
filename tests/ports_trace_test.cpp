// The port trace: line format, appending, a line on disk per access, and
// failure to open the file.
#include "runtime/ports/trace.h"

#include "runtime/ports/sim_rig.h"
#include "runtime/services.h"
#include "support.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace stelmo::ports;

namespace {

// Answers reads with `answer`, refuses writes to `refused`, maps `mapped` to `to`.
struct Scripted : Backend {
    std::uint8_t answer = 0xC4;
    std::uint16_t refused = 0x379;
    std::uint16_t mapped = 0, to = 0;
    bool read(std::uint16_t, std::uint8_t &value) override
    {
        value = answer;
        return true;
    }
    bool write(std::uint16_t port, std::uint8_t) override { return port != refused; }
    std::uint16_t physical(std::uint16_t port) const override { return port == mapped ? to : port; }
};

struct Line {
    double seconds;
    std::string direction;
    unsigned port, value;
    std::string physical; // "" when no mapping applied
};

std::vector<Line> lines_of(const std::string &text)
{
    static const std::regex format(
        R"(^(\d+\.\d{6}) (in|out) 0x([0-9a-f]{3,4}) 0x([0-9a-f]{2})( 0x[0-9a-f]{3,4})?$)");
    std::vector<Line> lines;
    std::istringstream in(text);
    std::string text_line;
    while (std::getline(in, text_line)) {
        std::smatch m;
        if (!std::regex_match(text_line, m, format)) {
            ADD_FAILURE() << "badly formed trace line: " << text_line;
            continue;
        }
        lines.push_back({std::stod(m[1]), m[2],
                         static_cast<unsigned>(std::stoul(m[3], nullptr, 16)),
                         static_cast<unsigned>(std::stoul(m[4], nullptr, 16)),
                         m[5].matched ? m[5].str().substr(1) : ""});
    }
    return lines;
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

TEST_F(PortsTraceTest, EveryAccessIsOnDiskAsItHappens)
{
    auto trace = open(std::make_unique<Scripted>());
    ASSERT_TRUE(trace);
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // times count from opening
    EXPECT_EQ(trace->read_byte(0x37A), 0xC4);
    EXPECT_EQ(lines_of(support::read_file(path)).size(), 1u);
    EXPECT_TRUE(trace->write(0x378, 0x08));
    EXPECT_FALSE(trace->write(0x379, 0x0F)); // refused, still recorded
    const auto lines = lines_of(support::read_file(path));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].direction, "in");
    EXPECT_EQ(lines[0].port, 0x37Au);
    EXPECT_EQ(lines[0].value, 0xC4u);
    EXPECT_EQ(lines[1].direction, "out");
    EXPECT_EQ(lines[1].port, 0x378u);
    EXPECT_EQ(lines[1].value, 0x08u);
    EXPECT_EQ(lines[2].port, 0x379u);
    EXPECT_EQ(lines[2].value, 0x0Fu);
    EXPECT_GE(lines[0].seconds, 0.030);
    EXPECT_LT(lines[0].seconds, 10.0);
    EXPECT_LE(lines[0].seconds, lines[1].seconds);
    EXPECT_LE(lines[1].seconds, lines[2].seconds);
    for (const Line &l : lines)
        EXPECT_EQ(l.physical, "");
}

TEST_F(PortsTraceTest, CreatesReadableByAllThenAppendsNeverTruncates)
{
    const mode_t umask = ::umask(0);
    auto first = open(std::make_unique<Scripted>());
    ::umask(umask);
    ASSERT_TRUE(first);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    first->write(0x378, 1);
    first.reset();
    auto second = open(std::make_unique<Scripted>());
    ASSERT_TRUE(second);
    second->write(0x378, 2);
    const auto lines = lines_of(support::read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].value, 1u);
    EXPECT_EQ(lines[1].value, 2u);
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
    const auto lines = lines_of(support::read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].port, 0x37Au); // the program's number first
    EXPECT_EQ(lines[0].physical, "0xd012");
    EXPECT_EQ(lines[1].physical, "");
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
    EXPECT_EQ(setup.rig->state().position, RIG_START - 1);
    const auto lines = lines_of(support::read_file(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].direction, "out");
    EXPECT_EQ(lines[0].value, 8u);
    EXPECT_EQ(lines[1].direction, "in");
    EXPECT_EQ(lines[1].value, code);
}

} // namespace

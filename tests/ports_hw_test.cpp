// The hardware backend against a plain file standing in for /dev/port: where
// accesses land, the allow-list, failure reports, open failures and the
// STELMO_IO syntax.
#include "runtime/port_helper/device_port.h"
#include "runtime/ports/port_device.h"

#include "runtime/services.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace stelmo::ports;
using namespace stelmo::ports::helper;

namespace {

constexpr std::size_t DEVICE_SIZE = 0x10000;

// Every offset holds a different-looking byte, so a read shows where it came from.
std::uint8_t seed(std::size_t offset)
{
    return static_cast<std::uint8_t>(offset * 7 + (offset >> 8) + 3);
}

std::size_t count(const std::string &text, const std::string &word)
{
    std::size_t n = 0;
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1))
        ++n;
    return n;
}

class PortsHwTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        original.resize(DEVICE_SIZE);
        for (std::size_t i = 0; i < DEVICE_SIZE; ++i)
            original[i] = static_cast<char>(seed(i));
        std::ofstream(device, std::ios::binary) << original;
    }
    // Opens the stand-in with the mappings after "port:<device>".
    std::unique_ptr<DevicePort> open(const std::string &mappings = "")
    {
        DeviceConfig config;
        std::string error;
        EXPECT_TRUE(parse_device_config("port:" + device + mappings, config, error)) << error;
        OpenFailure failure;
        auto port = DevicePort::open(config, failure);
        EXPECT_TRUE(port) << open_failure(config.device, failure.err);
        return port;
    }
    support::TempDir dir;
    std::string device = dir.file("port");
    std::string original;
};

TEST_F(PortsHwTest, AccessesLandAtThePortOffsets)
{
    auto port = open();
    ASSERT_TRUE(port);
    EXPECT_TRUE(port->write(0x378, 0x08));
    EXPECT_TRUE(port->write(0x278, 0x04));
    const std::uint16_t switches[] = {0x37A, 0x27A};
    for (std::uint16_t p : switches)
        EXPECT_EQ(port->read_byte(p), seed(p));
    EXPECT_EQ(port->read_byte(0x378), 0x08);
    std::string expected = original;
    expected[0x378] = 0x08;
    expected[0x278] = 0x04;
    EXPECT_TRUE(support::read_file(device) == expected);
    EXPECT_EQ(port->description(), device);
}

TEST_F(PortsHwTest, MappingMovesBaseAndSwitchRegister)
{
    auto port = open(",0x378=0xd010,0x278=53280"); // 53280 is 0xd020
    ASSERT_TRUE(port);
    EXPECT_TRUE(port->write(0x378, 0x02));
    EXPECT_TRUE(port->write(0x278, 0x01));
    EXPECT_EQ(port->read_byte(0x37A), seed(0xD012));
    EXPECT_EQ(port->read_byte(0x27A), seed(0xD022));
    EXPECT_EQ(port->physical(0x37A), 0xD012);
    EXPECT_EQ(port->physical(0x278), 0xD020);
    std::string expected = original;
    expected[0xD010] = 0x02;
    expected[0xD020] = 0x01;
    EXPECT_TRUE(support::read_file(device) == expected);
    EXPECT_EQ(port->description(), device + " (0x378\u2192"
                                            "0xd010, 0x278\u2192"
                                            "0xd020)");
}

TEST_F(PortsHwTest, EverythingElseIsRefusedUntouched)
{
    auto port = open(",0x378=0xd010");
    ASSERT_TRUE(port);
    const std::uint16_t others[] = {0x379, 0x37B, 0x377, 0x279, 0x27B, 0xD010, 0x0000, 0xFFFF};
    support::StderrCapture capture;
    for (int round = 0; round < 2; ++round) {
        for (std::uint16_t p : others) {
            EXPECT_EQ(port->read_byte(p), 0xFF);
            EXPECT_FALSE(port->write(p, 0x55));
        }
    }
    const std::string said = capture.text();
    EXPECT_TRUE(support::read_file(device) == original);
    EXPECT_EQ(port->faults().refused, 4 * static_cast<long>(std::size(others)));
    EXPECT_EQ(count(said, "stelmo: "), std::size(others)); // once per port
    EXPECT_EQ(count(said, "0x37b"), 1u);
    EXPECT_EQ(count(said, device), std::size(others));
}

TEST_F(PortsHwTest, ShortReadIsReportedOnceAndCounted)
{
    ASSERT_EQ(::truncate(device.c_str(), 0x300), 0); // ends before both ports
    auto port = open(",0x278=0x100");
    ASSERT_TRUE(port);
    support::StderrCapture capture;
    std::uint8_t value = 0;
    EXPECT_FALSE(port->read(0x37A, value));
    EXPECT_EQ(value, 0xFF);
    EXPECT_EQ(port->read_byte(0x37A), 0xFF);
    EXPECT_EQ(port->read_byte(0x378), 0xFF);
    EXPECT_TRUE(port->read(0x27A, value)); // mapped inside the file: still fine
    EXPECT_EQ(value, seed(0x102));
    const std::string said = capture.text();
    EXPECT_EQ(port->faults().failed_reads, 3);
    EXPECT_EQ(count(said, "stelmo: "), 2u) << said; // one per register
    EXPECT_NE(said.find(device + ": reading port 0x37a"), std::string::npos) << said;
}

TEST_F(PortsHwTest, FailedWriteIsReportedOnceAndCounted)
{
    DeviceConfig config;
    config.device = "/dev/full";
    OpenFailure failure;
    auto port = DevicePort::open(config, failure);
    if (!port)
        GTEST_SKIP() << "no writable /dev/full here: " << std::strerror(failure.err);
    support::StderrCapture capture;
    EXPECT_FALSE(port->write(0x378, 1));
    EXPECT_FALSE(port->write(0x378, 2));
    const std::string said = capture.text();
    EXPECT_EQ(port->faults().failed_writes, 2);
    EXPECT_EQ(count(said, "stelmo: "), 1u) << said;
    EXPECT_NE(said.find("/dev/full: writing port 0x378 failed: No space left on device"),
              std::string::npos)
        << said;
}

// Through the port helper a write is sent without waiting; when it fails,
// the trace says so with the next reply, before the line of that access.
TEST_F(PortsHwTest, WritesThatFailInTheHelperShowInTheTrace)
{
    if (::access("/dev/full", R_OK | W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/full here";
    const std::string trace = dir.file("trace");
    stelmo::ports::Setup setup;
    std::string error;
    support::StderrCapture capture; // the helper's own line for the failure
    ASSERT_TRUE(open_backend("port:/dev/full", trace.c_str(), setup, error)) << error;
    install(setup.backend.get());
    EXPECT_EQ(outp(0x378, 0x08), 0); // sent
    EXPECT_EQ(inp(0x37A), 0x00);     // its reply says the write failed
    install(nullptr);
    setup = {};
    const std::string text = support::read_file(trace);
    const auto out = text.find(" out 0x378 0x08\n");
    const auto note =
        text.find("\n# out 0x378 failed 1 time (1 in all): No space left on device\n");
    const auto in = text.find(" in 0x37a 0x00\n");
    EXPECT_TRUE(out < note && note < in && in != std::string::npos) << text;
}

TEST_F(PortsHwTest, MissingDeviceSaysSo)
{
    DeviceConfig config;
    config.device = dir.file("nothing");
    OpenFailure failure;
    EXPECT_FALSE(DevicePort::open(config, failure));
    const std::string error = open_failure(config.device, failure.err);
    EXPECT_NE(error.find(config.device + ": No such file or directory; the device does not exist"),
              std::string::npos)
        << error;
    EXPECT_NE(open_failure(PORT_DEVICE, ENOENT).find("CONFIG_DEVPORT"), std::string::npos);
}

TEST_F(PortsHwTest, LockdownIsReadFromTheBracketedMode)
{
    const std::string file = dir.file("lockdown");
    std::string mode;
    std::ofstream(file) << "none [integrity] confidentiality\n";
    EXPECT_TRUE(lockdown_active(file.c_str(), &mode));
    EXPECT_EQ(mode, "integrity");
    const std::string locked = open_failure(PORT_DEVICE, EPERM, file.c_str());
    EXPECT_NE(locked.find("lockdown (integrity"), std::string::npos) << locked;
    EXPECT_EQ(locked.find("setcap"), std::string::npos) << locked;

    std::ofstream(file) << "[none] integrity confidentiality\n";
    EXPECT_FALSE(lockdown_active(file.c_str()));
    EXPECT_FALSE(lockdown_active(dir.file("absent").c_str()));
    const std::string plain = open_failure(PORT_DEVICE, EPERM, file.c_str());
    EXPECT_NE(plain.find("setcap cap_sys_rawio+ep"), std::string::npos) << plain;
}

TEST_F(PortsHwTest, PermissionDeniedSaysWhatToDo)
{
    // Root opens a mode-000 file anyway: try it in a child that drops to nobody.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(device.c_str(), 0), 0);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        if (::open(device.c_str(), O_RDWR) >= 0)
            ::_exit(3); // privileged beyond file modes: nothing to check
        DeviceConfig config;
        config.device = device;
        OpenFailure failure;
        const bool opened = DevicePort::open(config, failure) != nullptr;
        const std::string error = open_failure(config.device, failure.err);
        ::_exit(opened || ::write(fds[1], error.data(), error.size()) < 0 ? 1 : 0);
    }
    ::close(fds[1]);
    std::string error(512, '\0');
    error.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fds[0], error.data(), 512))));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) >= 2)
        GTEST_SKIP() << "cannot test without privileges here (child exit " << WEXITSTATUS(status)
                     << ")";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the open did not fail";
    EXPECT_NE(error.find(device + ": Permission denied"), std::string::npos) << error;
    EXPECT_NE(error.find("run as root or give the binary cap_sys_rawio"), std::string::npos)
        << error;
}

TEST_F(PortsHwTest, ChosenThroughStelmoIo)
{
    const std::string io = "port:" + device + ",0x378=0xd010";
    stelmo::ports::Setup setup;
    std::string error;
    ASSERT_TRUE(open_backend(io.c_str(), nullptr, setup, error)) << error;
    EXPECT_EQ(setup.rig, nullptr);
    EXPECT_EQ(setup.description, device + " (0x378\u2192"
                                          "0xd010)");
    EXPECT_EQ(setup.device, device); // and apart, for the status strip
    EXPECT_EQ(setup.mapping, "0x378\u2192"
                             "0xd010");
    install(setup.backend.get());
    EXPECT_EQ(outp(0x378, 0x08), 0);
    EXPECT_LT(outp(0x379, 0x08), 0);
    EXPECT_EQ(inp(0x37A), seed(0xD012));
    install(nullptr);
    EXPECT_EQ(support::read_file(device)[0xD010], 0x08);
}

struct BadIo {
    const char *value;
    const char *cause;
};

class PortsHwSyntaxTest : public ::testing::TestWithParam<BadIo> {};

TEST_P(PortsHwSyntaxTest, MalformedValueGivesOneLineWithTheSyntax)
{
    const BadIo bad = GetParam();
    stelmo::ports::Setup setup;
    std::string error;
    EXPECT_FALSE(open_backend(bad.value, nullptr, setup, error));
    EXPECT_EQ(error.rfind(std::string("STELMO_IO=") + bad.value + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(bad.cause), std::string::npos) << error;
    EXPECT_NE(error.find("use STELMO_IO=sim (the default) or "
                         "STELMO_IO=port[:DEVICE][,0x378=PHYSICAL][,0x278=PHYSICAL]"),
              std::string::npos)
        << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_FALSE(setup.backend);
}

INSTANTIATE_TEST_SUITE_P(
    Values, PortsHwSyntaxTest,
    ::testing::Values(
        BadIo{"foo", "unknown port backend"}, BadIo{"SIM", "unknown port backend"},
        BadIo{"ports", "unknown port backend"}, BadIo{"port:", "empty device name"},
        BadIo{"port:,0x378=0xd010", "empty device name"}, BadIo{"port,0x378", "missing =PHYSICAL"},
        BadIo{"port,0x378=", "missing =PHYSICAL"},
        BadIo{"port,0x3f8=0xd010", "not a port base the program uses"},
        BadIo{"port,0x378=0xfffe", "above 0xfffd"}, BadIo{"port,0x378=65536", "above 0xfffd"},
        BadIo{"port,0x378=0xd01g", "not a port number"},
        BadIo{"port,0x378=-1", "not a port number"}, BadIo{"port,0x378=0x", "not a port number"},
        BadIo{"port,0x378= 5", "not a port number"},
        BadIo{"port,0x378=99999999999999999999999", "not a port number"},
        BadIo{"port,0x378=1,888=2", "mapped twice"}, BadIo{"port,0x378=0xd010,", "empty mapping"},
        BadIo{"port,0x378=0xd010,0x278=0xd012", "overlap"},
        BadIo{"port,0x378=0xd010,0x278=0xd010", "both reach the port at 0xd010"},
        BadIo{"port,0x378=0x278", "both reach the port at 0x278"}));

TEST_F(PortsHwTest, ControlCharactersInStelmoIoAreShownNotPrinted)
{
    stelmo::ports::Setup setup;
    std::string error;
    EXPECT_FALSE(open_backend("port\n,x", nullptr, setup, error));
    EXPECT_EQ(error.rfind("STELMO_IO=port\\x0a,x: ", 0), 0u) << error;

    // Readable UTF-8 stays; a backslash, a direction override, a stray byte
    // and an overlong form are shown as bytes; a long value is cut.
    EXPECT_FALSE(open_backend("port,\xc3\xa4\\\xe2\x80\xae\xff\xc0\xaf", nullptr, setup, error));
    EXPECT_EQ(error.rfind("STELMO_IO=port,\xc3\xa4\\x5c\\xe2\\x80\\xae\\xff\\xc0\\xaf: ", 0), 0u)
        << error;
    EXPECT_FALSE(open_backend(("port," + std::string(300, '7')).c_str(), nullptr, setup, error));
    EXPECT_EQ(error.rfind("STELMO_IO=port," + std::string(155, '7') + "...: ", 0), 0u) << error;
}

} // namespace

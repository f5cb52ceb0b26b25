// The hardware backend through the real stelmo-port executable (built next to
// this test), on a plain file standing in for /dev/port: where accesses land,
// what the helper keeps of its privileges, a helper that dies or hangs, and a
// helper with a file capability run by an ordinary user.
#include "runtime/ports/conf_file.h"
#include "runtime/ports/helper_port.h"
#include "runtime/ports/helper_protocol.h"

#include "ports_temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace stelmo::ports;

namespace {

std::uint8_t seed(std::size_t offset)
{
    return static_cast<std::uint8_t>(offset * 7 + (offset >> 8) + 3);
}

// The value of `field` (e.g. "CapEff") in /proc/<pid>/status.
std::string status_field(pid_t pid, const std::string &field)
{
    const std::string status = slurp("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + field + ":");
    if (at == std::string::npos)
        return "?";
    const std::size_t start = status.find_first_not_of(" \t", at + field.size() + 2);
    return status.substr(start, status.find('\n', start) - start);
}

class HelperPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        original.resize(0x10000);
        for (std::size_t i = 0; i < original.size(); ++i)
            original[i] = static_cast<char>(seed(i));
        std::ofstream(device, std::ios::binary) << original;
    }
    std::unique_ptr<HelperPort> open(const std::string &mappings = ",0x378=0xd010")
    {
        std::string error;
        auto port = open_helper_port("port:" + device + mappings, error);
        EXPECT_TRUE(port) << error;
        return port;
    }
    PortsTempDir dir;
    std::string device = dir.file("port");
    std::string original;
};

TEST_F(HelperPortTest, AccessesLandAtTheMappedOffsetsAndOnlyTheHelperHoldsTheDevice)
{
    auto port = open();
    ASSERT_TRUE(port);
    EXPECT_EQ(port->description(), device + " (0x378\u2192"
                                            "0xd010)");
    EXPECT_EQ(port->physical(0x37A), 0xD012);
    EXPECT_TRUE(port->write(0x378, 0x08));
    EXPECT_TRUE(port->write(0x278, 0x04));
    EXPECT_EQ(port->read(0x37A), seed(0xD012));
    EXPECT_EQ(port->read(0x378), 0x08);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(port->write(0x379, 0x55));
    EXPECT_EQ(port->read(0xD010), PORT_NOTHING);
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find(device + ": port 0x379 is not a register"),
        std::string::npos);
    ASSERT_TRUE(port->sync());
    EXPECT_EQ(port->faults().refused, 2);
    EXPECT_EQ(port->faults().failed_writes + port->faults().failed_reads, 0);

    std::string expected = original;
    expected[0xD010] = 0x08;
    expected[0x278] = 0x04;
    EXPECT_TRUE(slurp(device) == expected);

    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        EXPECT_NE(std::filesystem::read_symlink(entry.path(), ignored), device)
            << "this process holds " << entry.path();
    }
    const pid_t helper = port->helper_pid();
    EXPECT_EQ(status_field(helper, "CapEff"), "0000000000000000");
    EXPECT_EQ(status_field(helper, "CapPrm"), "0000000000000000");
    EXPECT_EQ(status_field(helper, "NoNewPrivs"), "1");
    port.reset();
    EXPECT_NE(::kill(helper, 0), 0) << "the helper outlived its backend";
}

TEST_F(HelperPortTest, OpenFailureIsOneLineFromTheHelper)
{
    std::string error;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(open_helper_port("port:" + dir.file("nothing"), error));
    EXPECT_EQ(error, "cannot open " + dir.file("nothing") +
                         ": No such file or directory; the device does not exist");
    EXPECT_FALSE(open_helper_port("port,0x378=0x3f8=1", error));
    EXPECT_NE(error.find("\"0x3f8=1\" is not a port number"), std::string::npos) << error;
    EXPECT_FALSE(HelperPort::start(dir.file("no-helper"), "port", error));
    EXPECT_EQ(error, "cannot start the port helper " + dir.file("no-helper") +
                         ": No such file or directory");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "stelmo reports the error, once";
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a helper was left behind";
}

TEST_F(HelperPortTest, DeadOrHungHelperGivesFailuresNotAHang)
{
    for (const int signal : {SIGKILL, SIGSTOP}) {
        auto port = open();
        ASSERT_TRUE(port);
        EXPECT_EQ(port->read(0x37A), seed(0xD012));
        ASSERT_EQ(::kill(port->helper_pid(), signal), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(port->read(0x37A), PORT_NOTHING); // SIGSTOP: after the reply timeout
        EXPECT_FALSE(port->write(0x378, 1));
        EXPECT_EQ(port->read(0x378), PORT_NOTHING);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(port->faults().failed_reads, 2);
        EXPECT_EQ(port->faults().failed_writes, 1);
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        const std::string cause = signal == SIGKILL ? " was killed by signal 9" : " did not answer";
        EXPECT_EQ(said.rfind("stelmo: port helper ", 0), 0u) << said;
        EXPECT_NE(said.find(cause), std::string::npos) << said;
        EXPECT_NE(said.find("; accesses to " + device + " (0x378"), std::string::npos) << said;
        EXPECT_EQ(port->helper_pid(), 0) << "reaped";
    }
}

// A copy of the helper with cap_sys_rawio in its file capabilities, run by
// nobody: it then has AT_SECURE and must take nothing from its caller.
TEST_F(HelperPortTest, PrivilegedHelperTakesTheMappingOnlyFromTheSystemFile)
{
    std::string why;
    const std::string copy = dir.file(helper::HELPER_NAME);
    struct statvfs fs {};
    std::filesystem::copy_file(find_helper(why), copy);
    const std::string setcap = "setcap cap_sys_rawio+ep " + copy + " 2>/dev/null";
    if (::geteuid() != 0 || ::statvfs(copy.c_str(), &fs) != 0 || (fs.f_flag & ST_NOSUID) ||
        std::system(setcap.c_str()) != 0)
        GTEST_SKIP() << "cannot give a file capability here (needs root, setcap from "
                        "libcap2-bin, a file system with extended attributes, no nosuid)";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);

    struct Run {
        std::vector<std::string> args;
        std::string answer; // the start of the failure the helper sends
    };
    std::vector<Run> runs = {
        {{"--io", "port:" + device},
         "stelmo-port runs with privileges, so the device and port "
         "mapping come only from /etc/stelmo/stelmo.conf"},
        {{"--config", dir.file("c")}, "stelmo-port runs with privileges and reads only"}};
    if (!std::filesystem::exists(SYSTEM_CONFIG))
        runs.push_back({{"--io", "port"}, "cannot open /dev/port: "});
    for (const Run &run : runs) {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
        std::vector<char *> argv = {const_cast<char *>(copy.c_str())};
        for (const std::string &arg : run.args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::dup2(ends[1], helper::HELPER_SOCKET) < 0 || ::setgroups(0, nullptr) != 0 ||
                ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(120);
            ::execv(copy.c_str(), argv.data());
            ::_exit(121);
        }
        ::close(ends[1]);
        char message[helper::HELLO_MAX];
        const ssize_t n = ::recv(ends[0], message, sizeof message, 0);
        ::close(ends[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_GE(n, static_cast<ssize_t>(sizeof(helper::Hello))) << "exit " << status;
        helper::Hello hello{};
        std::memcpy(&hello, message, sizeof hello);
        const std::string text(message + sizeof hello, n - sizeof hello);
        EXPECT_EQ(hello.opened, 0) << text;
        EXPECT_EQ(text.rfind(run.answer, 0), 0u) << text;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    }
    EXPECT_TRUE(slurp(device) == original);
}

} // namespace

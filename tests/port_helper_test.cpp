// The port helper against a plain file standing in for /dev/port: its serving
// loop in this process (what reaches the file, refusals, malformed requests),
// then the real stelmo-port executable built next to this test through the
// engine's backend (where accesses land, what the helper keeps of its
// privileges, a helper that dies or hangs, a copy with a file capability run
// by nobody), and the configuration file it believes.
#include "runtime/port_helper/device_port.h"
#include "runtime/port_helper/port_helper.h"
#include "runtime/ports/helper_port.h"
#include "runtime/ports/helper_protocol.h"
#include "runtime/ports/privilege.h"

#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace stelmo;
using namespace stelmo::ports;
using namespace stelmo::ports::helper;

namespace {

std::uint8_t seed(std::size_t offset)
{
    return static_cast<std::uint8_t>(offset * 7 + (offset >> 8) + 3);
}

// The value of `field` (e.g. "CapEff") in /proc/<pid>/status.
std::string status_field(pid_t pid, const std::string &field)
{
    const std::string status = support::read_file("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("\n" + field + ":");
    if (at == std::string::npos)
        return "?";
    const std::size_t start = status.find_first_not_of(" \t", at + field.size() + 2);
    return status.substr(start, status.find('\n', start) - start);
}

class PortHelperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.ok());
        original.resize(0x10000);
        for (std::size_t i = 0; i < original.size(); ++i)
            original[i] = static_cast<char>(seed(i));
        std::ofstream(device, std::ios::binary) << original;
    }
    // serve() on a fresh socketpair with the stand-in mapped 0x378 → 0xd010;
    // `engine` is the engine's end.
    std::future<int> start_serving(int &engine)
    {
        DeviceConfig config;
        std::string error;
        EXPECT_TRUE(parse_device_config("port:" + device + ",0x378=0xd010", config, error));
        OpenFailure failure;
        device_port = DevicePort::open(config, failure);
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        engine = ends[0];
        return std::async(std::launch::async, [this, helper = ends[1]] {
            const int status = serve(helper, *device_port, device);
            ::close(helper);
            return status;
        });
    }
    static void tell(int engine, const Request &request)
    {
        EXPECT_EQ(::send(engine, &request, sizeof request, 0), sizeof request);
    }
    static Reply ask(int engine, const Request &request)
    {
        Reply reply{};
        tell(engine, request);
        EXPECT_EQ(::recv(engine, &reply, sizeof reply, 0), sizeof reply);
        EXPECT_EQ(reply.seq, request.seq);
        return reply;
    }
    // The helper executable serving the stand-in with `mappings`.
    std::unique_ptr<HelperPort> open(const std::string &mappings = ",0x378=0xd010")
    {
        std::string error;
        auto helper = open_helper_port("port:" + device + mappings, error);
        EXPECT_TRUE(helper) << error;
        return helper;
    }
    support::TempDir dir;
    std::string device = dir.file("port");
    std::string original;
    std::unique_ptr<DevicePort> device_port; // served by start_serving()
};

TEST_F(PortHelperTest, ServesTheFourRegistersAndRefusesTheRest)
{
    int engine = -1;
    auto served = start_serving(engine);
    const std::uint16_t others[] = {0x379, 0x37B, 0x377, 0x279, 0x3F8, 0xD010, 0xD012, 0, 0xFFFF};
    testing::internal::CaptureStderr();
    std::uint32_t seq = 0;
    const std::uint16_t ports[] = {0x378, 0x278};
    for (const std::uint16_t p : ports)
        tell(engine, {OP_WRITE, 0x0A, p, ++seq});
    // Switch registers are only read, data registers only written.
    tell(engine, {OP_WRITE, 0x55, 0x37A, ++seq});
    const Reply data = ask(engine, {OP_READ, 0, 0x278, ++seq});
    EXPECT_EQ(data.status, REFUSED);
    EXPECT_EQ(data.failed_writes, 0u);
    EXPECT_EQ(data.refused_writes, 1u) << "the write to base + 2";
    for (const std::uint16_t p : others) {
        tell(engine, {OP_WRITE, 0x55, p, ++seq});
        const Reply read = ask(engine, {OP_READ, 0, p, ++seq});
        EXPECT_EQ(read.status, REFUSED) << p;
        EXPECT_EQ(read.value, PORT_NOTHING);
        EXPECT_EQ(read.refused_writes, 1u) << "the write just before was refused";
    }
    const Reply switches = ask(engine, {OP_READ, 0, 0x37A, ++seq});
    EXPECT_EQ(switches.status, DONE);
    EXPECT_EQ(switches.value, seed(0xD012));
    EXPECT_EQ(switches.failed_writes + switches.refused_writes, 0u);
    ::close(engine);
    EXPECT_EQ(served.get(), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    std::string expected = original;
    expected[0xD010] = expected[0x278] = 0x0A;
    EXPECT_TRUE(support::read_file(device) == expected)
        << "a byte outside the four registers changed";
    EXPECT_NE(said.find("stelmo: " + device + ": port 0xd012 is not a register"), std::string::npos)
        << said;
    EXPECT_NE(said.find(device + ": port 0x37a is a switch register, which the program only "
                                 "reads; write refused"),
              std::string::npos)
        << said;
}

TEST_F(PortHelperTest, MalformedRequestEndsTheHelperWithoutAnAccess)
{
    // Little-endian frames around a write of 0x55 to 0x378 (op 2).
    const std::string_view frames[] = {{"\x02\x55\x78", 3},                         // too short
                                       {"\x02\x55\x78\x03\x01\x00\x00\x00\x00", 9}, // too long
                                       {"\x07\x55\x78\x03\x01\x00\x00\x00", 8}};    // unknown op
    for (const std::string_view frame : frames) {
        int engine = -1;
        auto served = start_serving(engine);
        testing::internal::CaptureStderr();
        EXPECT_EQ(::send(engine, frame.data(), frame.size(), 0), frame.size());
        EXPECT_EQ(served.get(), 1) << frame.size();
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("stelmo: stelmo-port: malformed request"), std::string::npos) << said;
        ::close(engine);
        EXPECT_TRUE(support::read_file(device) == original) << frame.size();
    }
}

TEST_F(PortHelperTest, AccessesLandAtTheMappedOffsetsAndOnlyTheHelperHoldsTheDevice)
{
    const char full = static_cast<char>(0xFF);
    original[0x27A] = full; // a switch byte that reads as a failed read would
    std::ofstream(device, std::ios::binary) << original;
    auto port = open();
    ASSERT_TRUE(port);
    EXPECT_EQ(port->description(), device + " (0x378\u2192"
                                            "0xd010)");
    EXPECT_EQ(port->physical(0x37A), 0xD012);
    EXPECT_TRUE(port->write(0x378, 0x08));
    EXPECT_TRUE(port->write(0x278, 0xFF));
    EXPECT_EQ(port->read_byte(0x37A), seed(0xD012));
    EXPECT_EQ(port->read_byte(0x27A), 0xFF);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(port->write(0x379, 0x55));
    EXPECT_EQ(port->read_byte(0xD010), PORT_NOTHING);
    EXPECT_NE(
        testing::internal::GetCapturedStderr().find(device + ": port 0x379 is not a register"),
        std::string::npos);
    ASSERT_TRUE(port->sync());
    EXPECT_EQ(port->faults().refused, 2);
    EXPECT_EQ(port->faults().failed_writes + port->faults().failed_reads, 0) << "0xFF was real";
    std::string expected = original;
    expected[0xD010] = 0x08;
    expected[0x278] = full;
    EXPECT_TRUE(support::read_file(device) == expected);
    ASSERT_EQ(::truncate(device.c_str(), 0xD011), 0); // now ends before 0x37a's 0xd012
    EXPECT_EQ(port->read_byte(0x37A), PORT_NOTHING);
    EXPECT_EQ(port->faults().failed_reads, 1);

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

TEST_F(PortHelperTest, OpenFailureIsOneLineFromTheHelper)
{
    std::string error;
    testing::internal::CaptureStderr();
    for (const std::string name : {"nothing", "no\nthing"}) {
        EXPECT_FALSE(open_helper_port("port:" + dir.file(name), error));
        EXPECT_EQ(error, "cannot open " + printable(dir.file(name)) +
                             ": No such file or directory; the device does not exist");
    }
    EXPECT_FALSE(HelperPort::start(dir.file("no-helper"), "port", error));
    EXPECT_EQ(error, "cannot start the port helper " + dir.file("no-helper") +
                         ": No such file or directory");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "stelmo reports the error, once";
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a helper was left behind";
}

TEST_F(PortHelperTest, SecondStelmoOnTheSamePortsIsRefusedNamingTheFirst)
{
    auto first = open(); // 0x378 at 0xd010, 0x278 as it is
    ASSERT_TRUE(first);
    std::string error;
    EXPECT_FALSE(open_helper_port("port:" + device + ",0x378=0xd020", error));
    EXPECT_EQ(error, "cannot open " + device + ": the stelmo of process " +
                         std::to_string(::getpid()) +
                         " drives it already; one stelmo at a time drives a port");
    EXPECT_TRUE(open_helper_port("port:" + device + ",0x378=0xd020,0x278=0xd030", error))
        << "other ports of the same device: " << error;
    first.reset();
    EXPECT_TRUE(open()) << "free again once the first has ended";
}

// A backend of the helper's registry other than the device: it logs each
// access to the file its setting names ("stand:FILE") and reads 0x0d.
class StandIn : public Backend {
public:
    explicit StandIn(int fd) : fd_(fd) {}
    ~StandIn() override { ::close(fd_); }
    bool read(std::uint16_t port, std::uint8_t &value) override
    {
        value = 0x0D;
        return ::dprintf(fd_, "in 0x%03x\n", port) > 0;
    }
    bool write(std::uint16_t port, std::uint8_t value) override
    {
        return ::dprintf(fd_, "out 0x%03x 0x%02x\n", port, value) > 0;
    }

private:
    int fd_;
};

const ServedBackend STAND_IN[] = {
    {"stand",
     [](std::string_view value, DeviceConfig &config, std::string &) {
         config.device = value.substr(6);
         config.physical[0] = 0x478;
         return true;
     },
     [](const DeviceConfig &config, OpenFailure &) -> std::unique_ptr<Backend> {
         return std::make_unique<StandIn>(
             ::open(config.device.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
     }},
};

TEST_F(PortHelperTest, ServesAnyBackendOfItsRegistryBehindTheSameAllowList)
{
    const std::string log = dir.file("log");
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
    const pid_t child = ::fork();
    if (child == 0) {
        std::string name = HELPER_NAME, option = "--io", io = "stand:" + log;
        char *argv[] = {name.data(), option.data(), io.data(), nullptr};
        const int err = ::open("/dev/null", O_WRONLY); // the refusal's line
        if (::dup2(ends[1], HELPER_SOCKET) < 0 || ::dup2(err, STDERR_FILENO) < 0)
            ::_exit(120);
        ::_exit(run(3, argv, STAND_IN));
    }
    ::close(ends[1]);
    char message[HELLO_MAX];
    Hello hello{};
    const ssize_t n = ::recv(ends[0], message, sizeof message, 0);
    ASSERT_GE(n, static_cast<ssize_t>(sizeof hello));
    std::memcpy(&hello, message, sizeof hello);
    EXPECT_EQ(hello.opened, 1);
    EXPECT_EQ(hello.physical[0], 0x478);
    EXPECT_EQ(std::string(message + sizeof hello, static_cast<std::size_t>(n) - sizeof hello), log);
    tell(ends[0], {OP_WRITE, 0x08, 0x378, 1});
    tell(ends[0], {OP_WRITE, 0x55, 0x27A, 2});
    const Reply data = ask(ends[0], {OP_READ, 0, 0x278, 3});
    EXPECT_EQ(data.status, REFUSED);
    EXPECT_EQ(data.refused_writes, 1u);
    const Reply switches = ask(ends[0], {OP_READ, 0, 0x27A, 4});
    EXPECT_EQ(switches.status, DONE);
    EXPECT_EQ(switches.value, 0x0D);
    ::close(ends[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(support::read_file(log), "out 0x378 0x08\nin 0x27a\n");
}

TEST_F(PortHelperTest, DeadOrHungHelperGivesFailuresNotAHang)
{
    for (const int signal : {SIGKILL, SIGSTOP}) {
        auto port = open();
        ASSERT_TRUE(port);
        EXPECT_EQ(port->read_byte(0x37A), seed(0xD012));
        ASSERT_EQ(::kill(port->helper_pid(), signal), 0);
        testing::internal::CaptureStderr();
        EXPECT_EQ(port->read_byte(0x37A), PORT_NOTHING); // SIGSTOP: after the reply timeout
        EXPECT_FALSE(port->write(0x378, 1));
        EXPECT_EQ(port->read_byte(0x27A), PORT_NOTHING);
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

// stelmo as root without capabilities: the helper regains root's by exec and
// opens a device that stelmo itself cannot, and stelmo cannot reach the
// helper's descriptors.
TEST_F(PortHelperTest, WindowProcessWithoutCapabilitiesStillGetsThePort)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    ASSERT_EQ(::chown(device.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(device.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            drop_capabilities();
            std::string error;
            auto port = open_helper_port("port:" + device, error);
            const pid_t helper = port ? port->helper_pid() : 0;
            std::fprintf(stderr, "CapEff %s CapPrm %s, device %d, helper's fds %d, read %d %s",
                         status_field(::getpid(), "CapEff").c_str(),
                         status_field(::getpid(), "CapPrm").c_str(),
                         ::open(device.c_str(), O_RDWR) >= 0,
                         ::access(("/proc/" + std::to_string(helper) + "/fd/3").c_str(), F_OK) == 0,
                         port && port->read_byte(0x37A) == seed(0x37A), error.c_str());
            ::_exit(0); // without the summary of faults inherited from earlier tests
        },
        testing::ExitedWithCode(0),
        "CapEff 0000000000000000 CapPrm 0000000000000000, device 0, helper's fds 0, read 1 $");
}

// A copy of the helper with cap_sys_rawio in its file capabilities, run by
// nobody: it then has AT_SECURE and must take nothing from its caller.
TEST_F(PortHelperTest, PrivilegedHelperTakesTheMappingOnlyFromTheSystemFile)
{
    std::string why;
    const std::string copy = dir.file(HELPER_NAME);
    struct statvfs fs {};
    std::filesystem::copy_file(find_helper(why), copy);
    const std::string setcap = "setcap cap_sys_rawio+ep " + copy + " 2>/dev/null";
    if (::geteuid() != 0 || ::statvfs(copy.c_str(), &fs) != 0 || (fs.f_flag & ST_NOSUID) ||
        std::system(setcap.c_str()) != 0)
        GTEST_SKIP() << "cannot give a file capability here (needs root, setcap from "
                        "libcap2-bin, a file system with extended attributes, no nosuid)";
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);

    struct Run {
        std::string option, value;
        std::string answer; // the start of the failure the helper sends
    };
    std::vector<Run> runs = {
        {"--io", "port:" + device,
         "stelmo-port runs with privileges, so the device and port mapping come only from " +
             std::string(SYSTEM_CONFIG)},
        {"--config", dir.file("c"), "stelmo-port runs with privileges and reads only"}};
    if (!std::filesystem::exists(SYSTEM_CONFIG))
        runs.push_back({"--io", "port", "/dev/port"}); // the device it tried; stelmo says why
    for (const Run &run : runs) {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            if (::dup2(ends[1], HELPER_SOCKET) < 0 || ::setgroups(0, nullptr) != 0 ||
                ::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(120);
            ::execl(copy.c_str(), copy.c_str(), run.option.c_str(), run.value.c_str(), nullptr);
            ::_exit(121);
        }
        ::close(ends[1]);
        char message[HELLO_MAX];
        const ssize_t n = ::recv(ends[0], message, sizeof message, 0);
        ::close(ends[0]);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_GE(n, static_cast<ssize_t>(sizeof(Hello))) << "exit " << status;
        const std::string text(message + sizeof(Hello),
                               static_cast<std::size_t>(n) - sizeof(Hello));
        EXPECT_EQ(message[offsetof(Hello, opened)], 0) << text;
        EXPECT_EQ(text.rfind(run.answer, 0), 0u) << text;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    }
    EXPECT_TRUE(support::read_file(device) == original);
}

TEST(ConfFileTest, ReadsSettingsAndNamesTheBadLine)
{
    struct Case {
        const char *text;
        const char *result; // the settings as "key=value;" each, or the error
    };
    const Case cases[] = {
        {"", ""},
        {"# comment\n\n  io = port,0x378=0xd010 \r\ntrace=/tmp/t # kept\n",
         "io=port,0x378=0xd010;trace=/tmp/t # kept;"},
        {"rig-view=off\nempty=\n", "rig-view=off;empty=;"},
        {"io=port\nwrong line\n", "conf:2: expected key=value, got \"wrong line\""},
        {"  = port", "conf:1: no key before ="},
        {"i o=port", "conf:1: key \"i o\" may hold only"},
        {"io=port\n\nio=sim", "conf:3: key io is set twice"},
        {"io=po\x01rt", "conf:1: control character"},
    };
    for (const Case &c : cases) {
        ConfFile conf;
        std::string error;
        std::string settings;
        const bool parsed = parse_conf(c.text, "conf", conf, error);
        for (const ConfFile::Entry &entry : conf.entries)
            settings += entry.key + "=" + entry.value + ";";
        // A setting must match whole; an error by its start (the cause).
        EXPECT_EQ(parsed ? settings : error.substr(0, std::strlen(c.result)), c.result) << c.text;
    }
}

// Needs root (to hand files to another owner) and a scratch directory that
// only root can change, which /tmp is not: one next to the test executable.
class TrustedConfTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        const std::string exe = std::filesystem::read_symlink("/proc/self/exe");
        const std::string base = exe.substr(0, exe.rfind('/'));
        ConfFile none;
        if (::geteuid() != 0 || !read_trusted_conf(base + "/none", none, why))
            GTEST_SKIP() << "needs root and a directory only root can change: " << why;
        std::string pattern = base + "/conf-XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern.data()));
        dir = pattern;
        conf = dir + "/stelmo.conf";
    }
    void TearDown() override
    {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }
    std::string dir;
    std::string conf;
};

TEST_F(TrustedConfTest, OnlyAFileThatOnlyRootCanChangeIsBelieved)
{
    support::TempDir open_dir; // under the world-writable /tmp
    std::ofstream(open_dir.file("c")) << "io=port\n";
    const std::string operators = dir + "/operator"; // a directory the operator owns
    ASSERT_EQ(::mkdir(operators.c_str(), 0755) | ::chown(operators.c_str(), 65534, 65534), 0);
    std::string error;
    ConfFile read;
    EXPECT_TRUE(read_trusted_conf(conf, read, error)) << "missing, in a safe directory: " << error;
    std::ofstream(conf) << "io=port\n";
    ASSERT_EQ(::chmod(conf.c_str(), 0644), 0);
    EXPECT_TRUE(read_trusted_conf(conf, read, error)) << error;

    struct Case {
        std::function<int()> make;
        std::string path_named;
        const char *cause;
    };
    const Case cases[] = {
        {[&] { return ::chmod(conf.c_str(), 0664); }, conf,
         "writable by group or others (mode 0664)"},
        {[&] { return ::chmod(dir.c_str(), 0777); }, dir,
         "writable by group or others (mode 0777)"},
        {[&] { return ::chown(conf.c_str(), 65534, 0); }, conf, "owned by uid 65534, not root"},
        {[&] {
             return ::unlink(conf.c_str()) | ::symlink(open_dir.file("c").c_str(), conf.c_str());
         },
         std::filesystem::path(open_dir.path()).parent_path(), "writable by group or others"},
        {[&] { return ::lchown(conf.c_str(), 65534, 0); }, conf, "a symlink owned by uid 65534"},
        // Dangling: the operator could create the file it points to.
        {[&] { return ::unlink(conf.c_str()) | ::symlink("operator/stelmo.conf", conf.c_str()); },
         operators, "owned by uid 65534, not root"},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.make(), 0) << c.cause;
        EXPECT_FALSE(read_trusted_conf(conf, read, error)) << c.cause;
        EXPECT_EQ(error.rfind(c.path_named + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.cause), std::string::npos) << error;
        ::chmod(dir.c_str(), 0700);
        ::chmod(conf.c_str(), 0644);
        ASSERT_EQ(::lchown(conf.c_str(), 0, 0), 0);
    }
    // A symlink into directories only root can change is followed.
    std::ofstream(dir + "/real.conf") << "io=port:/dev/null\n";
    const std::string target = "../" + dir.substr(dir.rfind('/') + 1) + "/real.conf";
    ASSERT_EQ(::unlink(conf.c_str()) | ::symlink(target.c_str(), conf.c_str()), 0);
    ASSERT_TRUE(read_trusted_conf(conf, read, error)) << error;
    EXPECT_EQ(*read.find("io"), "port:/dev/null");
}

TEST_F(TrustedConfTest, WithPrivilegesTheMappingComesFromTheFileAlone)
{
    std::ofstream(conf) << "# the card\nio = port:/dev/null,0x378=0xd010\n";
    Options options;
    options.config = conf;
    DeviceConfig config;
    std::string error;
    for (const char *given : {"", "port", "port:/dev/null,0x378=53264"}) {
        options.io = given;
        ASSERT_TRUE(choose_device(options, true, config, error)) << given << ": " << error;
        EXPECT_EQ(describe(config), "/dev/null (0x378\u2192"
                                    "0xd010)");
    }
    options.io = "port,0x278=1";
    EXPECT_FALSE(choose_device(options, true, config, error));
    EXPECT_NE(
        error.find("mapping come only from " + conf + " (there: io=port:/dev/null,0x378=0xd010)"),
        std::string::npos)
        << error;
    EXPECT_NE(error.find("refusing \"port,0x278=1\""), std::string::npos) << error;
    options.io.clear();
    std::ofstream(conf) << "io =\n"; // not set: the device as it is
    ASSERT_TRUE(choose_device(options, true, config, error)) << error;
    EXPECT_EQ(describe(config), "/dev/port");
    ASSERT_EQ(::chmod(conf.c_str(), 0666), 0);
    EXPECT_FALSE(choose_device(options, false, config, error));
    EXPECT_EQ(error, "stelmo-port refuses its configuration: " + conf +
                         ": writable by group or others (mode 0666)");
}

} // namespace

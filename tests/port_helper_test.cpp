// The port helper's pieces in one process: what its serving loop lets through
// to a plain file standing in for /dev/port, the configuration reader, the
// check that only root can change the configuration, and where the device and
// mapping come from with and without privileges.
#include "runtime/port_helper/port_helper.h"
#include "runtime/ports/helper_protocol.h"

#include "ports_temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace stelmo::ports;
using namespace stelmo::ports::helper;

namespace {

std::uint8_t seed(std::size_t offset)
{
    return static_cast<std::uint8_t>(offset * 7 + (offset >> 8) + 3);
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
        port = DevicePort::open(config, error);
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        engine = ends[0];
        return std::async(std::launch::async, [this, helper = ends[1]] {
            const int status = serve(helper, *port);
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
    PortsTempDir dir;
    std::string device = dir.file("port");
    std::string original;
    std::unique_ptr<DevicePort> port;
};

TEST_F(PortHelperTest, ServesTheFourRegistersAndRefusesTheRest)
{
    int engine = -1;
    auto served = start_serving(engine);
    const std::uint16_t others[] = {0x379, 0x37B, 0x377, 0x279, 0x3F8, 0xD010, 0xD012, 0, 0xFFFF};
    testing::internal::CaptureStderr();
    std::uint32_t seq = 0;
    for (const std::uint16_t p : {0x378, 0x278})
        tell(engine, {OP_WRITE, 0x0A, p, ++seq});
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
    const Reply data = ask(engine, {OP_READ, 0, 0x278, ++seq});
    EXPECT_EQ(data.value, 0x0A);
    EXPECT_EQ(data.failed_writes + data.refused_writes, 0u);
    ::close(engine);
    EXPECT_EQ(served.get(), 0);
    const std::string said = testing::internal::GetCapturedStderr();
    std::string expected = original;
    expected[0xD010] = expected[0x278] = 0x0A;
    EXPECT_TRUE(slurp(device) == expected) << "a byte outside the four registers changed";
    EXPECT_NE(said.find("stelmo: " + device + ": port 0xd012 is not a register"), std::string::npos)
        << said;
}

TEST_F(PortHelperTest, FailedReadIsToldApartFromARealFF)
{
    ASSERT_EQ(::truncate(device.c_str(), 0x300), 0); // 0x278 inside, 0xd010 beyond the end
    int engine = -1;
    auto served = start_serving(engine);
    testing::internal::CaptureStderr();
    tell(engine, {OP_WRITE, 0xFF, 0x278, 1});
    tell(engine, {OP_WRITE, 0x01, 0x378, 2});
    const Reply real = ask(engine, {OP_READ, 0, 0x278, 3});
    EXPECT_EQ(real.status, DONE);
    EXPECT_EQ(real.value, 0xFF);
    EXPECT_EQ(real.failed_writes, 0u) << "a write past the end of a file grows it";
    const Reply failed = ask(engine, {OP_READ, 0, 0x37A, 4});
    EXPECT_EQ(failed.status, FAILED);
    ::close(engine);
    EXPECT_EQ(served.get(), 0);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("reading port 0x37a (physical 0xd012)"),
              std::string::npos);
}

TEST_F(PortHelperTest, MalformedRequestEndsTheHelperWithoutAnAccess)
{
    struct Frame {
        std::string bytes;
        const char *what;
    };
    const Request unknown{7, 0x55, 0x378, 1};
    std::string longer(sizeof(Request) + 1, '\0');
    const Request write{OP_WRITE, 0x55, 0x378, 1};
    std::memcpy(longer.data(), &write, sizeof write);
    const Frame frames[] = {
        {std::string("\x02\x55\x78", 3), "short frame"},
        {longer, "a write with a byte too many"},
        {std::string(reinterpret_cast<const char *>(&unknown), 8), "unknown op"}};
    for (const Frame &frame : frames) {
        int engine = -1;
        auto served = start_serving(engine);
        testing::internal::CaptureStderr();
        EXPECT_EQ(::send(engine, frame.bytes.data(), frame.bytes.size(), 0), frame.bytes.size());
        EXPECT_EQ(served.get(), 1) << frame.what;
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("stelmo: stelmo-port: malformed request"), std::string::npos) << said;
        ::close(engine);
        EXPECT_TRUE(slurp(device) == original) << frame.what;
    }
}

TEST(ConfFileTest, ReadsSettingsAndNamesTheBadLine)
{
    struct Case {
        const char *text;
        const char *result; // settings as "key=value;", or the error
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
        std::string result;
        if (parse_conf(c.text, "conf", conf, error))
            for (const auto &[key, value] : conf.entries)
                result += key + "=" + value + ";";
        else
            result = error;
        EXPECT_EQ(result.substr(0, std::strlen(c.result)), c.result) << c.text;
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
        if (::geteuid() != 0 || !only_root_can_change(base, why))
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
    PortsTempDir open_dir; // under the world-writable /tmp
    std::ofstream(open_dir.file("c")) << "io=port\n";
    std::string error;
    EXPECT_TRUE(only_root_can_change(conf, error)) << "missing, in a safe directory: " << error;
    std::ofstream(conf) << "io=port\n";
    ASSERT_EQ(::chmod(conf.c_str(), 0644), 0);
    EXPECT_TRUE(only_root_can_change(conf, error)) << error;

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
    };
    for (const Case &c : cases) {
        ASSERT_EQ(c.make(), 0) << c.cause;
        EXPECT_FALSE(only_root_can_change(conf, error)) << c.cause;
        EXPECT_EQ(error.rfind(c.path_named + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.cause), std::string::npos) << error;
        ::chmod(dir.c_str(), 0700);
        ::chmod(conf.c_str(), 0644);
        ::lchown(conf.c_str(), 0, 0);
    }
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
    for (const char *given : {"port:/dev/zero,0x378=0xd010", "port,0x378=0xd010", "port,0x278=1"}) {
        options.io = given;
        EXPECT_FALSE(choose_device(options, true, config, error)) << given;
        EXPECT_NE(error.find("the device and port mapping come only from " + conf),
                  std::string::npos);
        EXPECT_NE(error.find(std::string("refusing \"") + given + "\""), std::string::npos)
            << error;
    }
    options.io = "port:/dev/zero";
    EXPECT_TRUE(choose_device(options, false, config, error)) << "without privileges it is taken";
    EXPECT_EQ(config.device, "/dev/zero");

    options.io.clear();
    options.config_given = true;
    EXPECT_FALSE(choose_device(options, true, config, error));
    EXPECT_NE(error.find("refuses --config"), std::string::npos) << error;
    ASSERT_EQ(::chmod(conf.c_str(), 0666), 0);
    EXPECT_FALSE(choose_device(options, false, config, error));
    EXPECT_EQ(error, "stelmo-port refuses its configuration: " + conf +
                         ": writable by group or others (mode 0666)");
}

} // namespace

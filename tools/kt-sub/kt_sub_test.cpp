// kt-daqd and kt-sub end to end on the simulated instrument: the source filter over
// prefix-alike topics, the raw frame file, the hex dump, restarts of kt-daqd under a
// running kt-sub, and kt-daqd's refusals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <iterator>
#include <thread>

#include "frame_pattern.h"
#include "sim_fixture.h"
#include "tool_process.h"

namespace {

using namespace std::chrono_literals;
using kttool_test::ToolProcess;

bool accepts_connections(uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

class ToolsTest : public ktsim::SimDeviceTest {
  protected:
    // Starts kt-daqd and waits until its endpoints are bound.
    std::unique_ptr<ToolProcess> start_daqd(const std::vector<std::string> &extra) {
        std::vector<std::string> args{KT_DAQD_PATH, "--ring", "1048576"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(device_->path());
        auto daqd = std::make_unique<ToolProcess>(args, KT_SHIM_PATH);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!accepts_connections(22770)) {
            EXPECT_LT(std::chrono::steady_clock::now(), deadline) << daqd->output();
            if (std::chrono::steady_clock::now() > deadline) {
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        return daqd;
    }
    std::unique_ptr<ToolProcess> start_sub(std::vector<std::string> args) {
        args.insert(args.begin(), KT_SUB_PATH);
        auto sub = std::make_unique<ToolProcess>(args);
        std::this_thread::sleep_for(500ms);  // connected before the first frame is written
        return sub;
    }
};

TEST_F(ToolsTest, SubscriberTakesOnlyItsSourceAndWritesItsFramesRaw) {
    auto daqd = start_daqd({"--subscribe", "1:1"});
    const std::string file = testing::TempDir() + "kt_sub_frames.bin";
    auto sub = start_sub({"1:1", "--count", "300", "--verify", "--quiet", "--out", file});
    ktsim::EngineConfig config;
    config.sources = {{1, 1}, {1, 10}, {1, 11}};  // all three match the prefix frame://1:1
    config.payload_sizes = {0, 100, 2028};
    config.rate = 5000;
    start_engine(config);
    ASSERT_EQ(sub->wait(30000), 0) << sub->output() << daqd->output();
    const std::string summary = sub->output();
    EXPECT_NE(summary.find("300 frames in"), std::string::npos) << summary;
    EXPECT_NE(summary.find("300 acknowledged, 0 without reply, 0 malformed"), std::string::npos)
        << summary;
    EXPECT_NE(summary.find("lost 0, out of order 0 (duplicates 0), wrong topic 0, bad 0\n"),
              std::string::npos)
        << summary;
    EXPECT_EQ(summary.find("frame://1:10"), std::string::npos) << summary;

    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    size_t offset = 0;
    int frames = 0;
    uint16_t expected_msg_id = 0;
    while (offset + 20 <= bytes.size()) {
        const uint16_t payload_len =
            static_cast<uint16_t>(bytes[offset + 14] | bytes[offset + 15] << 8);
        const size_t length = payload_len + 20u;
        ASSERT_LE(offset + length, bytes.size());
        const auto check = ktsim::check_frame(bytes.data() + offset, length);
        ASSERT_TRUE(check.ok) << check.error;
        EXPECT_EQ(check.fields.module_id, 1);
        EXPECT_EQ(check.fields.channel_id, 1);
        EXPECT_EQ(check.fields.msg_id, expected_msg_id++);
        offset += length;
        ++frames;
    }
    EXPECT_EQ(offset, bytes.size());
    EXPECT_EQ(frames, 300);
    EXPECT_EQ(daqd->output().find("time out"), std::string::npos) << daqd->output();
    unlink(file.c_str());
}

TEST_F(ToolsTest, DumpShowsHeaderFieldsAndBytes) {
    auto daqd = start_daqd({});
    auto sub = start_sub({"--no-ack", "--count", "1", "--dump", "--quiet"});
    ktsim::EngineConfig config;
    config.sources = {{12, 7}};
    config.payload_sizes = {4};
    config.rate = 100;
    start_engine(config);
    ASSERT_EQ(sub->wait(10000), 0) << sub->output();
    const std::string out = sub->output();
    EXPECT_NE(out.find("frame://12:7  24 bytes  module 12 channel 7 msg_id 0 payload_len 4\n"
                       "  0000  0c 07 00 00 00 00 00 00 00 00 00 00 00 00 04 00"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\n  0010  "), std::string::npos) << out;
}

TEST_F(ToolsTest, SubscriberKeepsGoingWhenThePublisherIsRestarted) {
    auto daqd = start_daqd({"--subscribe", "all"});
    auto sub = start_sub({"--count", "1500", "--quiet"});
    ktsim::EngineConfig config;
    config.rate = 1000;
    start_engine(config);
    std::this_thread::sleep_for(500ms);
    for (int restart = 0; restart < 2; ++restart) {
        daqd->kill_now();
        std::this_thread::sleep_for(200ms);
        daqd = start_daqd({"--subscribe", "all"});
        std::this_thread::sleep_for(300ms);
    }
    ASSERT_EQ(sub->wait(30000), 0) << sub->output();
    EXPECT_NE(sub->output().find("1500 frames in"), std::string::npos) << sub->output();
}

TEST_F(ToolsTest, DaemonRefusesWhatItCannotServe) {
    ToolProcess no_device({KT_DAQD_PATH, "/nonexistent/axis0"}, KT_SHIM_PATH);
    EXPECT_EQ(no_device.wait(10000), 1);
    EXPECT_NE(no_device.output().find("init axis device /nonexistent/axis0 failed\n"),
              std::string::npos)
        << no_device.output();
    EXPECT_NE(no_device.output().find("kt-daqd: cannot open the stream device"), std::string::npos);

    ToolProcess bad_source({KT_DAQD_PATH, "--subscribe", "1:16", device_->path()});
    EXPECT_EQ(bad_source.wait(10000), 2);
    EXPECT_NE(bad_source.output().find("bad --subscribe 1:16"), std::string::npos);
    ToolProcess no_args({KT_DAQD_PATH});
    EXPECT_EQ(no_args.wait(10000), 2);
    EXPECT_NE(no_args.output().find("usage: kt-daqd"), std::string::npos);

    auto running = start_daqd({});
    ToolProcess second({KT_DAQD_PATH, device_->path()}, KT_SHIM_PATH);
    EXPECT_EQ(second.wait(10000), 1);
    EXPECT_NE(second.output().find("127.0.0.1:22720 is in use"), std::string::npos)
        << second.output();

    ToolProcess bad_sub({KT_SUB_PATH, "1:x"});
    EXPECT_EQ(bad_sub.wait(10000), 2);
    EXPECT_NE(bad_sub.output().find("bad source 1:x"), std::string::npos);
}

// Every client and configuration peer takes a descriptor: the daemon starts with the
// highest soft limit it may set.
TEST_F(ToolsTest, DaemonRaisesItsDescriptorLimit) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(256, saved.rlim_max);
    ASSERT_LT(low.rlim_cur, saved.rlim_max) << "the hard limit leaves nothing to raise";
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    auto daqd = start_daqd({});  // inherits the low limit
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

    std::ifstream limits("/proc/" + std::to_string(daqd->pid()) + "/limits");
    std::string line;
    while (std::getline(limits, line) && line.rfind("Max open files", 0) != 0) {
    }
    std::istringstream fields(line.substr(std::string("Max open files").size()));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft, hard) << line;
    EXPECT_EQ(soft, std::to_string(saved.rlim_max)) << line;
}

}  // namespace

// kt-daqd and kt-sub end to end on the simulated instrument: the source filter over
// prefix-alike topics, the raw frame file, the hex dump, restarts of kt-daqd under a
// running kt-sub, and kt-daqd's refusals.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <csignal>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <thread>

#include "frame_pattern.h"
#include "kt_daq.h"
#include "ports.h"
#include "process.h"
#include "recording.h"
#include "sim_fixture.h"
#include "temp_dir.h"
#include "unit_file.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using kttest::Process;

const uint16_t kPubPort = kttest::endpoint_port(KT_DAQ_PUB_ENDPOINT);
const uint16_t kAckPort = kttest::endpoint_port(KT_DAQ_ACK_ENDPOINT);

// Whether kt-sub is connected to the publisher: nothing else in the test's network
// namespace connects to it.
bool sub_connected() {
    return kttest::connections_to(kPubPort) > 0;
}

class ToolsTest : public ktsim::SimDeviceTest {
  protected:
    static kttest::ProcessOptions with_shim() {
        kttest::ProcessOptions options;
        options.preload = KT_SHIM_PATH;
        return options;
    }

    // Starts kt-daqd and waits until its endpoints are bound (the acknowledgement endpoint
    // is bound last).
    std::unique_ptr<Process> start_daqd(const std::vector<std::string> &extra) {
        kttest::Args args{"--ring", "1048576"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(device_->path());
        auto daqd = std::make_unique<Process>(kttest::program(KT_DAQD_PATH, args), with_shim());
        EXPECT_TRUE(kttest::wait_until([] { return kttest::listening(kAckPort); }, 10s))
            << daqd->output() << daqd->errors();
        return daqd;
    }
    // Starts kt-sub and waits until it has connected to kt-daqd, whose first frame it must
    // not miss.
    std::unique_ptr<Process> start_sub(const std::vector<std::string> &args) {
        auto sub = std::make_unique<Process>(kttest::program(KT_SUB_PATH, args));
        EXPECT_TRUE(kttest::wait_until(sub_connected, 10s)) << sub->errors();
        // The ZeroMQ handshake and then the subscription follow the TCP connection, and
        // nothing outside kt-daqd can see the subscription arrive: a settling time it is.
        std::this_thread::sleep_for(300ms);
        return sub;
    }
};

TEST_F(ToolsTest, SubscriberTakesOnlyItsSourceAndWritesItsFramesRaw) {
    auto daqd = start_daqd({"--subscribe", "1:1"});
    const kttest::TempDir dir("kt_sub_test");
    const std::string file = dir.file("frames.bin");
    auto sub = start_sub({"1:1", "--count", "300", "--verify", "--quiet", "--out", file,
                          "--sample-format", "i16le"});
    ktsim::EngineConfig config;
    config.sources = {{1, 1}, {1, 10}, {1, 11}};  // all three match the prefix frame://1:1
    config.payload_sizes = {0, 100, 2028};
    config.rate = 5000;
    start_engine(config);
    ASSERT_EQ(sub->wait(30s), 0) << sub->errors() << daqd->output() << daqd->errors();
    const std::string summary = sub->errors();
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
    while (offset + KT_FRAME_OVERHEAD <= bytes.size()) {
        uint16_t payload_len = 0;
        memcpy(&payload_len, bytes.data() + offset + offsetof(kt_frame, payload_len),
               sizeof payload_len);
        const size_t length = payload_len + KT_FRAME_OVERHEAD;
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

    // The index has a record per frame, at its offset and in receive order; the sidecar
    // counts the one source without gaps.
    std::ifstream index_in(file + ".index", std::ios::binary);
    const std::vector<uint8_t> index((std::istreambuf_iterator<char>(index_in)),
                                     std::istreambuf_iterator<char>());
    ASSERT_EQ(index.size(), kttool::kIndexHeaderSize + 300 * kttool::kIndexRecordSize);
    uint64_t expected_offset = 0, previous_ns = 0;
    for (size_t i = 0; i < 300; ++i) {
        const uint8_t *r = index.data() + kttool::kIndexHeaderSize + i * kttool::kIndexRecordSize;
        uint64_t at = 0, ns = 0;
        uint16_t msg_id = 0;
        uint32_t length = 0;
        memcpy(&at, r, 8);
        memcpy(&ns, r + 8, 8);
        memcpy(&msg_id, r + 18, 2);
        memcpy(&length, r + 20, 4);
        ASSERT_EQ(at, expected_offset) << i;
        EXPECT_GE(ns, previous_ns) << i;
        EXPECT_EQ(r[16], 1);
        EXPECT_EQ(r[17], 1);
        EXPECT_EQ(msg_id, i);
        expected_offset += length;
        previous_ns = ns;
    }
    const std::string meta = kttest::read_file(file + ".meta.json");
    for (const char *part :
         {"\"tool\": \"kt-sub\"", "\"origin\": \"tcp://127.0.0.1:22720\"",
          "\"sample_format\": \"i16le\"", "\"frames\": 300,",
          "{\"source\": \"1:1\", \"module\": 1, \"channel\": 1, \"frames\": 300, "}) {
        EXPECT_NE(meta.find(part), std::string::npos) << part << "\n" << meta;
    }
    EXPECT_NE(meta.find("\"msg_id_gaps\": 0, \"out_of_order\": 0, \"first_msg_id\": 0, "
                        "\"last_msg_id\": 299}"),
              std::string::npos)
        << meta;
}

TEST_F(ToolsTest, DumpShowsHeaderFieldsAndBytes) {
    auto daqd = start_daqd({});
    auto sub = start_sub({"--no-ack", "--count", "1", "--dump", "--quiet"});
    ktsim::EngineConfig config;
    config.sources = {{12, 7}};
    config.payload_sizes = {4};
    config.rate = 100;
    start_engine(config);
    ASSERT_EQ(sub->wait(10s), 0) << sub->errors();
    const std::string out = sub->output();
    EXPECT_NE(out.find("frame://12:7  24 bytes  module 12 channel 7 msg_id 0 payload_len 4\n"
                       "  0000  0c 07 00 00 00 00 00 00 00 00 00 00 00 00 04 00"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\n  0010  "), std::string::npos) << out;
}

TEST_F(ToolsTest, SubscriberKeepsGoingWhenThePublisherIsRestarted) {
    auto daqd = start_daqd({"--subscribe", "all"});
    // The dump shows how many frames have arrived so far.
    auto sub = start_sub({"--count", "1500", "--quiet", "--dump"});
    ktsim::EngineConfig config;
    config.rate = 1000;
    start_engine(config);
    const auto dumped = [&] { return sub->count_output("frame://"); };
    // kt-sub's standard output goes out a block of 4096 bytes at a time, and the dump of
    // a frame (a header line and six rows for 84 bytes) takes more than 300: the count
    // passes the one at the restart by more than a block only with frames of the new
    // kt-daqd.
    constexpr int kFramesPerBlock = 4096 / 300;
    constexpr int kNewFrames = kFramesPerBlock + 40;
    int before_restart = 0;
    for (int restart = 1; restart <= 2; ++restart) {
        ASSERT_TRUE(sub->wait_output("frame://", 10s, before_restart + kNewFrames))
            << sub->errors() << daqd->output() << daqd->errors();
        before_restart = dumped();
        daqd->kill();
        ASSERT_TRUE(kttest::wait_until([] { return !sub_connected(); }, 10s));
        daqd = start_daqd({"--subscribe", "all"});
        ASSERT_TRUE(kttest::wait_until(sub_connected, 10s)) << sub->errors();
    }
    ASSERT_EQ(sub->wait(30s), 0) << sub->errors();
    EXPECT_NE(sub->errors().find("1500 frames in"), std::string::npos) << sub->errors();
    EXPECT_EQ(dumped(), 1500);
}

TEST_F(ToolsTest, DaemonRefusesWhatItCannotServe) {
    const kttest::Result no_device =
        kttest::run(kttest::program(KT_DAQD_PATH, {"/nonexistent/axis0"}), 10s, with_shim());
    EXPECT_EQ(no_device.status, 1);
    EXPECT_NE(no_device.out.find("init axis device /nonexistent/axis0 failed\n"), std::string::npos)
        << no_device.out;
    EXPECT_NE(no_device.err.find("kt-daqd: cannot open the stream device"), std::string::npos)
        << no_device.err;

    const kttest::Result bad_source =
        kttest::run(kttest::program(KT_DAQD_PATH, {"--subscribe", "1:16", device_->path()}), 10s);
    EXPECT_EQ(bad_source.status, 2);
    EXPECT_NE(bad_source.err.find("bad --subscribe 1:16"), std::string::npos) << bad_source.err;
    const kttest::Result no_args = kttest::run(kttest::program(KT_DAQD_PATH), 10s);
    EXPECT_EQ(no_args.status, 2);
    EXPECT_NE(no_args.err.find("usage: kt-daqd"), std::string::npos) << no_args.err;

    auto running = start_daqd({});
    const kttest::Result second =
        kttest::run(kttest::program(KT_DAQD_PATH, {device_->path()}), 10s, with_shim());
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("127.0.0.1:22720 is in use"), std::string::npos) << second.err;

    const kttest::Result bad_sub = kttest::run(kttest::program(KT_SUB_PATH, {"1:x"}), 10s);
    EXPECT_EQ(bad_sub.status, 2);
    EXPECT_NE(bad_sub.err.find("bad source 1:x"), std::string::npos) << bad_sub.err;
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

namespace {

// The number after "<key>=" in kt-daqd's final statistics line; -1 when missing.
long long final_stat(const std::string &output, const std::string &key) {
    const size_t line = output.rfind("stats final ");
    const size_t at = line == std::string::npos ? line : output.find(" " + key + "=", line);
    return at == std::string::npos ? -1 : std::stoll(output.substr(at + key.size() + 2));
}

// A kt-daqd with an acknowledgement window: every frame the engine writes (as fast as the
// ring allows) reaches kt-sub, which acknowledges them all, each frame on its own or
// counted, and kt-daqd waits in vain for none.
class WindowTest : public ToolsTest {
  protected:
    void expect_every_frame_acknowledged(const std::vector<std::string> &sub_options) {
        constexpr int kFrames = 4003;  // not a multiple of the count: a rest at the end
        auto daqd = start_daqd(
            {"--subscribe", "1:1", "--queue-depth", "64", "--ack-window", "64", "--stats", "3600"});
        std::vector<std::string> args{"1:1", "--count", std::to_string(kFrames), "--verify",
                                      "--quiet"};
        args.insert(args.end(), sub_options.begin(), sub_options.end());
        auto sub = start_sub(args);
        ktsim::EngineConfig config;
        config.frames = kFrames;
        config.payload_sizes = {64, 2028, 500};
        start_engine(config);
        ASSERT_EQ(sub->wait(60s), 0) << sub->errors() << daqd->output() << daqd->errors();
        const std::string summary = sub->errors();
        EXPECT_NE(summary.find(std::to_string(kFrames) + " frames in"), std::string::npos)
            << summary;
        EXPECT_NE(summary.find(std::to_string(kFrames) + " acknowledged, 0 without reply"),
                  std::string::npos)
            << summary;
        EXPECT_NE(summary.find("lost 0, out of order 0 (duplicates 0), wrong topic 0, bad 0\n"),
                  std::string::npos)
            << summary;
        // kt-sub has ended with every reply: kt-daqd has taken every acknowledgement.
        ASSERT_EQ(daqd->stop(SIGTERM, 10s), 0) << daqd->errors();
        const std::string out = daqd->output();
        EXPECT_EQ(final_stat(out, "published"), kFrames) << out;
        EXPECT_EQ(final_stat(out, "acknowledged"), kFrames) << out;
        EXPECT_EQ(final_stat(out, "ack_timeouts"), 0) << out;
        EXPECT_EQ(final_stat(out, "dropped_for_lagging"), 0) << out;
        EXPECT_EQ(out.find("time out"), std::string::npos) << out;
    }
};

TEST_F(WindowTest, CountedAcknowledgementsTakeEveryFrameOfAWindow) {
    expect_every_frame_acknowledged({"--ack-every", "16"});
}

TEST_F(WindowTest, ASubscriberThatAcknowledgesEachFrameStillWorksWithAWindow) {
    expect_every_frame_acknowledged({});
}

}  // namespace

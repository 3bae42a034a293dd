// kt-channel: what it refuses before sending, the plug-in's filters it lists, and what it
// reports after configuring the filter loop on the simulated instrument.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "kt_records.h"
#include "ports.h"
#include "process.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using ktdaq_test::ChannelClient;

constexpr uint32_t kRing = 64 * KT_SLOT_SIZE;

kttest::Result channel(const kttest::Args &args) {
    return kttest::run(kttest::program(KT_CHANNEL_PATH, args));
}

// The plug-in's filters as its export list names them, sorted.
std::vector<std::string> exported_filters() {
    std::ifstream file(KT_FILTER_EXPORTS);
    std::vector<std::string> names;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty()) {
            names.push_back(line);
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

// `n` copies of `piece` joined by ",".
std::string repeated(const std::string &piece, int n) {
    std::string out = piece;
    for (int i = 1; i < n; ++i) {
        out += "," + piece;
    }
    return out;
}

TEST(KtChannelTest, RefusesWhatTheDeviceWouldTakeWronglyWithOneLineAndStatus2) {
    std::string known;
    for (const std::string &name : exported_filters()) {
        known += (known.empty() ? "" : ", ") + name;
    }
    const struct {
        kttest::Args args;
        std::string says;
    } cases[] = {
        {{"--name", "a", "--port", "70000"}, "bad port \"70000\""},
        {{"--name", "a", "--port", "0"}, "bad port \"0\""},
        {{"--name", "a", "--module", "300"}, "bad module \"300\""},
        {{"--name", "a", "--port", "9000", "--channels", "1,2,99"}, "bad channel \"99\""},
        {{"--name", "a", "--port", "9000", "--module", "2", "--channels", "255"},
         "bad channel \"255\""},
        {{"--name", "a", "--port", "9000", "--channels", repeated("1", 129)}, "129 channels given"},
        {{"--name", "a", "--filters", repeated("kt_output_filter", 17)}, "17 filters given"},
        {{"--name", "a", "--filters", "kt_output_filter,"}, "empty filter name"},
        {{"--name", "a", "--filters", "kt_ouput_filter"},
         "unknown filter \"kt_ouput_filter\"; the plug-in defines: " + known},
        // dlsym finds it through the plug-in's libraries; the device would not take it.
        {{"--name", "a", "--filters", "malloc"}, "unknown filter \"malloc\""},
        {{"--name", "a", "--param", std::string(1100, 'x')}, "message of 1106 bytes"},
        {{"--port", "9000"}, "no channel name"},
        {{"--name", "a;1=9000"}, "must not contain ';'"},
        {{"--name", "a", "--channels", "1"}, "channels given without a port"},
        {{"--raw", "0=a;1=9000;3=1;2=256"}, "bad module \"256\""},
        {{"--name", "a", "--timeout", "0"}, "bad --timeout 0"},
    };
    for (const auto &c : cases) {
        const kttest::Result r = channel(c.args);
        EXPECT_EQ(r.status, 2) << c.says;
        EXPECT_EQ(r.err.rfind("kt-channel: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "") << c.says;
    }
}

TEST(KtChannelTest, ListsTheFiltersThePluginDefines) {
    const kttest::Result r = channel({"--list-filters"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string want;
    for (const std::string &name : exported_filters()) {
        want += name + "\n";
    }
    EXPECT_FALSE(exported_filters().empty());
    EXPECT_EQ(r.out, want);
}

class KtChannelLoopTest : public ktdaq_test::FilterLoopTest {
  protected:
    void SetUp() override {
        FilterLoopTest::SetUp();
        start_loop(kRing);
        ASSERT_TRUE(
            kttest::wait_until([] { return kttest::listening(ktdaq_test::config_port()); }, 10s));
    }
};

TEST_F(KtChannelLoopTest, ReportsAChannelInServiceAndAPortTheDeviceCouldNotOpen) {
    // The largest message the device takes: 128 channels, 16 filters, 1024 bytes.
    kttest::Args args{"--host",     "localhost",
                      "--name",     "ch1",
                      "--port",     "9000",
                      "--module",   "2",
                      "--channels", repeated("3", 128),
                      "--filters",  repeated("kt_output_filter", 16)};
    const std::string message = "0=ch1;1=9000;2=2;3=" + args[9] + ";4=;5=" + args[11];
    args.insert(args.end(), {"--param", std::string(1024 - message.size(), 'p')});
    kttest::Result r = channel(args);
    EXPECT_EQ(r.status, 0) << r.err << loop_->output();
    EXPECT_NE(r.out.find("port 9000 listens"), std::string::npos) << r.out;
    ASSERT_TRUE(loop_->wait_output("create channel : ch1, port = 9000", 5000));
    // The device kept all 128 channels: its limit is still the one kt-channel checks.
    ASSERT_TRUE(loop_->wait_output(", 2:3", 5000, 127)) << loop_->output();

    // A raw message is read as the device reads it: any separator character, an item
    // with a blank before its key ignored, a final ";"; module and channel 255: every frame.
    r = channel({"--raw", "0xraw;1=9002;2=255;3=255; 2=300;5=kt_output_filter;"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(
        loop_->wait_output("create channel : raw, port = 9002, sub_filters : 255:255\n", 5000));

    ChannelClient client(9000);
    ASSERT_TRUE(loop_->wait_output("port : 9000, accept connect", 5000));
    // The same name on the same port: the new socket cannot bind while the old one listens.
    // The check must neither take that channel's client place nor count its socket.
    r = channel({"--name", "ch1", "--port", "9000", "--channels", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("did not open port 9000, which was already in use"), std::string::npos)
        << r.err;
    EXPECT_TRUE(
        kttest::wait_until([&] { return loop_->errors().find("bind") != std::string::npos; }, 5s));
    EXPECT_EQ(loop_->output().find("accept connect", loop_->output().find("accept connect") + 1),
              std::string::npos);
    EXPECT_EQ(loop_->output().find("connection close"), std::string::npos);

    // A port that another program holds.
    const int held = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(9001);
    ASSERT_EQ(bind(held, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(held, 1), 0);
    r = channel({"--name", "ch2", "--port", "9001", "--channels", "1"});
    close(held);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(loop_->wait_exit(0), -1);
}

TEST_F(KtChannelLoopTest, SaysTheDeviceEndedOnAnUncheckedUnknownFilter) {
    const kttest::Result r = channel(
        {"--name", "bad", "--filters", "kt_ouput_filter", "--no-check", "--timeout", "2000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no reply from tcp://127.0.0.1:"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the filter mode has ended after this message"), std::string::npos)
        << r.err;
    EXPECT_EQ(loop_->wait_exit(5000), 1);
}

}  // namespace

// kt-relay carrying the simulated instrument's endpoints over a veth pair to clients in
// another network namespace: frames and acknowledgements in the publish mode, a channel's
// configuration in the filter mode, each with CurveZMQ keys that let in only the listed
// clients.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "kt_daq.h"
#include "peer_namespace.h"
#include "ports.h"
#include "process.h"
#include "sim_fixture.h"
#include "temp_dir.h"
#include "unit_file.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using kttest::Args;
using kttest::Process;

constexpr char kRelayAddress[] = "10.77.0.1";
constexpr char kClientAddress[] = "10.77.0.2";
const uint16_t kPubPort = kttest::endpoint_port(KT_DAQ_PUB_ENDPOINT);
const uint16_t kAckPort = kttest::endpoint_port(KT_DAQ_ACK_ENDPOINT);

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class RelayTest : public ktsim::SimDeviceTest {
  protected:
    void SetUp() override {
        ktsim::SimDeviceTest::SetUp();
        ASSERT_TRUE(peer_.ok()) << peer_.error();
    }

    // Starts kt-daqd and waits until its endpoints are bound (the acknowledgement or
    // configuration endpoint is bound last).
    std::unique_ptr<Process> start_daqd(const Args &extra, uint16_t last_port) {
        Args args{"--ring", "1048576"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(device_->path());
        kttest::ProcessOptions options;
        options.preload = KT_SHIM_PATH;
        auto daqd = std::make_unique<Process>(kttest::program(KT_DAQD_PATH, args), options);
        EXPECT_TRUE(kttest::wait_until([&] { return kttest::listening(last_port); }, 10s))
            << daqd->output() << daqd->errors();
        return daqd;
    }

    // Starts kt-relay on the link with `extra` options; it prints its start line once its
    // endpoints are bound.
    std::unique_ptr<Process> start_relay(const Args &extra) {
        Args args{"--bind", kRelayAddress};
        args.insert(args.end(), extra.begin(), extra.end());
        auto relay = std::make_unique<Process>(kttest::program(KT_RELAY_PATH, args));
        EXPECT_TRUE(relay->wait_output("kt-relay: ", 10s)) << relay->errors();
        return relay;
    }

    // A tool of the build run in the client's namespace.
    Args client(const char *path, const Args &args) const {
        return peer_.in(kttest::program(path, args));
    }

    // Makes the key pairs relay, pc and stranger in `dir`.
    static void make_keys(const kttest::TempDir &dir) {
        for (const char *name : {"relay", "pc", "stranger"}) {
            const auto r =
                kttest::run(kttest::program(KT_RELAY_PATH, {"--keygen", dir.file(name)}));
            ASSERT_EQ(r.status, 0) << r.err;
        }
    }

    kttest::PeerNamespace peer_{kRelayAddress, kClientAddress};
};

TEST_F(RelayTest, FramesAndAcknowledgementsCrossTheLink) {
    auto daqd = start_daqd({"--subscribe", "1:1"}, kAckPort);
    auto relay = start_relay({});
    EXPECT_TRUE(contains(relay->output(), "open to every client")) << relay->output();
    Process sub(client(KT_SUB_PATH,
                       {"1:1", "--host", kRelayAddress, "--count", "400", "--verify", "--quiet"}));
    ASSERT_TRUE(kttest::wait_until([&] { return peer_.connections_to(kPubPort) == 1; }, 10s))
        << sub.errors();
    // The subscription travels on through the relay after the handshake; nothing outside
    // the programs can see it arrive.
    std::this_thread::sleep_for(300ms);
    ktsim::EngineConfig config;
    config.sources = {{1, 1}, {1, 10}};  // 1:10 shares the prefix of 1:1
    config.payload_sizes = {64, 2028};
    config.rate = 2000;
    start_engine(config);

    ASSERT_EQ(sub.wait(30s), 0) << sub.errors();
    EXPECT_TRUE(contains(sub.errors(), "400 frames")) << sub.errors();
    EXPECT_TRUE(contains(sub.errors(), "400 acknowledged, 0 without reply")) << sub.errors();
    EXPECT_TRUE(contains(sub.errors(), "wrong topic 0, bad 0")) << sub.errors();
    ASSERT_EQ(relay->stop(SIGTERM, 10s), 0);
    EXPECT_TRUE(contains(relay->output(), "requests 400 unsent 0 replies 400")) << relay->output();
}

TEST_F(RelayTest, KeysLetInOnlyTheListedClients) {
    const kttest::TempDir dir("kt_relay_test");
    make_keys(dir);
    auto daqd = start_daqd({"--subscribe", "1:1"}, kAckPort);
    auto relay = start_relay({"--server-key", dir.file("relay.key"), "--client-keys",
                              dir.file("pc.pub"), "--stats", "1"});
    EXPECT_TRUE(contains(relay->output(), "CurveZMQ clients with one of 1 key")) << relay->output();
    const std::string server = dir.file("relay.pub");
    Process listed(
        client(KT_SUB_PATH, {"1:1", "--host", kRelayAddress, "--server-key", server, "--client-key",
                             dir.file("pc.key"), "--count", "300", "--verify", "--quiet"}));
    ASSERT_TRUE(kttest::wait_until([&] { return peer_.connections_to(kPubPort) == 1; }, 10s))
        << listed.errors();
    Process stranger(
        client(KT_SUB_PATH, {"1:1", "--host", kRelayAddress, "--server-key", server, "--client-key",
                             dir.file("stranger.key"), "--no-ack", "--seconds", "4", "--quiet"}));
    Process keyless(client(
        KT_SUB_PATH, {"1:1", "--host", kRelayAddress, "--no-ack", "--seconds", "4", "--quiet"}));
    ASSERT_TRUE(relay->wait_output("refused a client at " + std::string(kClientAddress), 10s))
        << relay->output();
    std::this_thread::sleep_for(300ms);
    ktsim::EngineConfig config;
    config.sources = {{1, 1}};
    config.payload_sizes = {512};
    config.rate = 2000;
    start_engine(config);

    ASSERT_EQ(listed.wait(30s), 0) << listed.errors();
    EXPECT_TRUE(contains(listed.errors(), "300 acknowledged, 0 without reply")) << listed.errors();
    // Both others ran while frames flowed and got none.
    for (Process *refused : {&stranger, &keyless}) {
        EXPECT_EQ(refused->wait(30s), 0);
        EXPECT_TRUE(contains(refused->errors(), "kt-sub: 0 frames")) << refused->errors();
    }
    ASSERT_EQ(relay->stop(SIGTERM, 10s), 0);
    EXPECT_TRUE(contains(relay->output(), "clients allowed 2 refused")) << relay->output();
}

TEST_F(RelayTest, ChannelConfiguredAndTappedFromTheOtherSide) {
    const kttest::TempDir dir("kt_relay_test");
    make_keys(dir);
    const uint16_t config_port = kttest::endpoint_port(KT_DAQ_CONFIG_ENDPOINT);
    auto daqd = start_daqd({"--mode", "filter"}, config_port);
    auto relay = start_relay({"--mode", "filter", "--server-key", dir.file("relay.key"),
                              "--client-keys", dir.file("pc.pub")});
    const Args channel{"--host",    kRelayAddress,      "--name",    "ch1",        "--port",
                       "9000",      "--module",         "2",         "--channels", "1",
                       "--filters", "kt_output_filter", "--timeout", "2000"};

    Args keyless = channel;
    auto r = kttest::run(client(KT_CHANNEL_PATH, keyless));
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "no reply from tcp://10.77.0.1:")) << r.err;
    EXPECT_FALSE(kttest::listening(9000));

    Args keyed = channel;
    keyed.insert(keyed.end(),
                 {"--server-key", dir.file("relay.pub"), "--client-key", dir.file("pc.key")});
    r = kttest::run(client(KT_CHANNEL_PATH, keyed));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "reply received")) << r.out;
    ASSERT_TRUE(kttest::listening(9000));

    // The channel's own port listens on every interface: the client taps it directly.
    const std::string recording = dir.file("tap.bin");
    Process tap(client(KT_TAP_PATH, {"9000", "--host", kRelayAddress, "--frames", "200", "--out",
                                     recording, "--sample-format", "u8"}));
    ASSERT_TRUE(daqd->wait_output("accept connect " + std::string(kClientAddress), 10s))
        << daqd->output() << tap.errors();
    ktsim::EngineConfig config;
    config.sources = {{2, 1}, {2, 3}};
    config.payload_sizes = {64};
    config.rate = 2000;
    start_engine(config);
    ASSERT_EQ(tap.wait(30s), 0) << tap.errors();
    EXPECT_TRUE(contains(tap.output(), "kt-tap: 200 frames")) << tap.output();
    EXPECT_TRUE(contains(tap.output(), "kt-tap: sources 2:1=200\n")) << tap.output();
    const std::string meta = kttest::read_file(recording + ".meta.json");
    EXPECT_TRUE(contains(meta, "\"origin\": \"tcp://10.77.0.1:9000\"")) << meta;
    EXPECT_TRUE(contains(meta, "\"sample_format\": \"u8\"")) << meta;
    EXPECT_TRUE(contains(meta, "\"frames\": 200,\n  \"bytes\": 16800,")) << meta;
    EXPECT_TRUE(contains(meta,
                         "{\"source\": \"2:1\", \"module\": 2, \"channel\": 1, "
                         "\"frames\": 200, \"bytes\": 16800, \"msg_id_gaps\": 0, "
                         "\"out_of_order\": 0"))
        << meta;
}

}  // namespace

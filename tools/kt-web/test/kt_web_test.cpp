// kt-web on the simulated instrument: the status it serves (sources, counts, rates, the
// engine's state), the page, and a browser that stops reading, which must hold up neither
// the acquisition nor the other browsers nor grow kt-web's memory.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include <zmq.h>

#include "crafted_publisher.h"
#include "kt_daq.h"
#include "ports.h"
#include "process.h"
#include "sim_fixture.h"
#include "wait.h"
#include "web_client.h"

namespace {

using namespace std::chrono_literals;
using kttest::Process;

const uint16_t kAckPort = kttest::endpoint_port(KT_DAQ_ACK_ENDPOINT);
// ThreadSanitizer's allocator and shadow memory grow with every new heap address, whatever
// the program keeps, so resident memory tells nothing there.
#if defined(__SANITIZE_THREAD__)
constexpr bool kResidentMemoryTells = false;
#else
constexpr bool kResidentMemoryTells = true;
#endif
const uint16_t kConfigPort = kttest::endpoint_port(KT_DAQ_CONFIG_ENDPOINT);
constexpr uint16_t kWebPort = 8099;

// The number after "`key`": in `json`, after `from` (a position) when given.
double number_after(const std::string &json, const std::string &key, size_t from = 0) {
    const size_t at = json.find("\"" + key + "\":", from);
    return at == std::string::npos ? -1 : std::stod(json.substr(at + key.size() + 3));
}

double source_number(const std::string &json, const std::string &source, const std::string &key) {
    const size_t at = json.find("{\"source\":\"" + source + "\"");
    return at == std::string::npos ? -1 : number_after(json, key, at);
}

// Resident memory of process `pid` in KiB.
long resident_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

class WebTest : public ktsim::SimDeviceTest {
  protected:
    // With a subscriber for every frame registered: kt-web acknowledges each (--ack), so
    // none is dropped, however loaded the machine.
    void start_daqd(bool filter_mode = false) {
        kttest::ProcessOptions options;
        options.preload = KT_SHIM_PATH;
        const kttest::Args mode =
            filter_mode ? kttest::Args{"--mode", "filter"} : kttest::Args{"--subscribe", "all"};
        kttest::Args args{"--ring", "1048576"};
        args.insert(args.end(), mode.begin(), mode.end());
        args.push_back(device_->path());
        daqd_ = std::make_unique<Process>(kttest::program(KT_DAQD_PATH, args), options);
        const uint16_t last = filter_mode ? kConfigPort : kAckPort;
        ASSERT_TRUE(kttest::wait_until([&] { return kttest::listening(last); }, 10s))
            << daqd_->errors();
    }
    // kt-web acknowledging each frame (the publish mode) unless `extra` says otherwise.
    void start_web(const kttest::Args &extra, bool ack = true) {
        kttest::Args args{"--port", std::to_string(kWebPort), "--www", KT_WEB_PAGE};
        if (ack) {
            args.push_back("--ack");
        }
        args.insert(args.end(), extra.begin(), extra.end());
        // AddressSanitizer keeps freed memory back for a while, which would look like
        // growth to the memory check; nothing keeps it back here.
        kttest::ProcessOptions options;
        const char *asan = getenv("ASAN_OPTIONS");
        options.env = {std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                       ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0"};
        web_ = std::make_unique<Process>(kttest::program(KT_WEB_PATH, args), options);
        ASSERT_TRUE(web_->wait_output("kt-web: serving http://127.0.0.1:8099/", 10s))
            << web_->errors();
    }
    // Two sources at 100 frames/s each: few enough that the acknowledged path keeps up on
    // a loaded machine, so that the rates kt-web shows are the engine's.
    void start_frames() {
        ktsim::EngineConfig config;
        config.sources = {{1, 1}, {2, 3}};
        config.payload_sizes = {512, 2028};
        config.rate = 200;
        start_engine(config);
    }
    std::optional<std::string> get(const std::string &path) {
        return ktweb_test::http_get(kWebPort, path);
    }
    // Waits until /api/status holds `part`.
    bool status_shows(const std::string &part) {
        return kttest::wait_until(
            [&] { return get("/api/status").value_or("").find(part) != std::string::npos; }, 10s);
    }

    std::unique_ptr<Process> daqd_, web_;
};

TEST_F(WebTest, StatusShowsTheSourcesTheirRatesAndTheEngineState) {
    start_daqd();
    start_web({});
    const auto page = get("/");
    ASSERT_TRUE(page.has_value());
    EXPECT_NE(page->find("<title>Instrument live view</title>"), std::string::npos);
    ASSERT_TRUE(status_shows("\"state\":\"no_frames\""))
        << get("/api/status").value_or("no answer");

    start_frames();
    // Rates count whole seconds after a source's first: within 10 % once there are some.
    const auto near_rate = [](const std::string &json) {
        return std::abs(source_number(json, "1:1", "rate") - 100) <= 10 &&
               std::abs(source_number(json, "2:3", "rate") - 100) <= 10;
    };
    std::string first;
    EXPECT_TRUE(kttest::wait_until([&] { return near_rate(first = *get("/api/status")); }, 15s))
        << first;
    EXPECT_NE(first.find("\"state\":\"ok\",\"mode\":\"publish\""), std::string::npos) << first;
    EXPECT_EQ(daqd_->output().find("time out"), std::string::npos) << daqd_->output();
    for (const char *source : {"1:1", "2:3"}) {
        EXPECT_EQ(source_number(first, source, "gaps"), 0) << first;
    }
    std::this_thread::sleep_for(500ms);
    const std::string second = *get("/api/status");
    EXPECT_GT(source_number(second, "1:1", "frames"), source_number(first, "1:1", "frames"));

    // The engine ends: the subscriber loses its publisher.
    ASSERT_EQ(daqd_->stop(SIGTERM, 10s), 0);
    EXPECT_TRUE(status_shows("\"state\":\"no_engine\""));
    EXPECT_EQ(web_->stop(SIGTERM, 10s), 0);
}

TEST_F(WebTest, ABrowserThatStopsReadingHoldsUpNothing) {
    start_daqd();
    // Large, frequent messages fill a stalled browser's socket within a second.
    start_web({"--feed-hz", "20", "--points", "4096"});
    std::this_thread::sleep_for(300ms);  // the subscription, as above
    start_frames();
    ktweb_test::WebSocketClient stalled(kWebPort, 4096);
    ASSERT_TRUE(stalled.open());
    ktweb_test::WebSocketClient reader(kWebPort);
    ASSERT_TRUE(reader.open());

    std::this_thread::sleep_for(2s);
    const long memory_before = resident_kib(web_->pid());
    const double frames_before = number_after(*get("/api/status"), "frames");
    // Keep reading: the reader must see fresh numbers while the other one stalls.
    double reader_frames = 0;
    const auto until = std::chrono::steady_clock::now() + 5s;
    int messages = 0;
    while (std::chrono::steady_clock::now() < until) {
        const auto message = reader.receive(2000);
        ASSERT_TRUE(message.has_value()) << "the reading browser got no message";
        const double frames = number_after(*message, "frames");
        EXPECT_GE(frames, reader_frames);
        reader_frames = frames;
        ++messages;
    }
    const std::string after = *get("/api/status");
    const long memory_after = resident_kib(web_->pid());
    // 20 messages a second for 5 s, most of them; the acquisition, acknowledged by kt-web
    // frame by frame, went on without a late acknowledgement, and the reader saw it.
    EXPECT_GT(messages, 50);
    EXPECT_GT(number_after(after, "frames"), frames_before + 200) << after;
    EXPECT_GT(reader_frames, frames_before);
    EXPECT_EQ(daqd_->output().find("time out"), std::string::npos) << daqd_->output();
    // One pending message per browser at most: no growth with the messages not taken.
    if (kResidentMemoryTells) {
        EXPECT_LT(memory_after - memory_before, 2048)
            << memory_before << " KiB, then " << memory_after;
    }
    EXPECT_EQ(web_->stop(SIGTERM, 15s), 0);
}

// A filter-mode channel watched through its TCP port: only the channel's sources, and the
// lost connection when the engine ends.
TEST_F(WebTest, TapShowsTheChannelsFrames) {
    start_daqd(true);
    {
        void *context = zmq_ctx_new();
        void *req = zmq_socket(context, ZMQ_REQ);
        const int linger = 0, wait_ms = 5000;
        zmq_setsockopt(req, ZMQ_LINGER, &linger, sizeof linger);
        zmq_setsockopt(req, ZMQ_RCVTIMEO, &wait_ms, sizeof wait_ms);
        zmq_connect(req, KT_DAQ_CONFIG_ENDPOINT);
        const std::string message = "0=ch1;1=9000;2=2;3=1,3;5=kt_output_filter";
        char reply[8];
        ASSERT_EQ(zmq_send(req, message.data(), message.size(), 0),
                  static_cast<int>(message.size()));
        ASSERT_GE(zmq_recv(req, reply, sizeof reply, 0), 0) << daqd_->output();
        zmq_close(req);
        zmq_ctx_term(context);
    }
    ASSERT_TRUE(kttest::listening(9000)) << daqd_->output();
    start_web({"--tap", "9000"}, false);
    EXPECT_TRUE(status_shows(
        "\"state\":\"no_frames\",\"mode\":\"tap\",\"origin\":\"tcp://127.0.0.1:9000\""))
        << get("/api/status").value_or("no answer");
    start_frames();
    std::string status;
    EXPECT_TRUE(kttest::wait_until(
        [&] { return source_number(status = *get("/api/status"), "2:3", "frames") >= 100; }, 15s))
        << status;
    EXPECT_EQ(status.find("\"source\":\"1:1\""), std::string::npos) << status;
    EXPECT_EQ(source_number(status, "2:3", "gaps"), 0) << status;

    ASSERT_EQ(daqd_->stop(SIGTERM, 10s), 0);
    EXPECT_TRUE(status_shows("\"state\":\"no_engine\""));
    EXPECT_EQ(web_->stop(SIGTERM, 10s), 0);
}

// kt-web's counted acknowledgements against a publisher of the test's own: one request of
// the text of K per K frames while frames keep coming, the rest when it stops.
TEST(WebAcks, CountedAcknowledgementsCarryKFramesAndTheRestWhenItStops) {
    ktsubscriber_test::CraftedPublisher pub;
    ASSERT_TRUE(pub.bound()) << "endpoints in use";
    pub.hold_replies(true);
    Process web(kttest::program(KT_WEB_PATH, {"--port", std::to_string(kWebPort), "--www",
                                              KT_WEB_PAGE, "--ack-every", "4"}));
    ASSERT_TRUE(web.wait_output("acknowledging every 4)", 10s)) << web.errors();
    ASSERT_TRUE(pub.wait_subscribed());
    for (uint16_t i = 0; i < 10; ++i) {
        pub.send(ktsubscriber_test::frame("frame://1:1", 1, 1, i, i));
    }
    // All ten are taken while the first request's reply is held back.
    ASSERT_TRUE(kttest::wait_until(
        [] {
            const auto status = ktweb_test::http_get(kWebPort, "/api/status").value_or("");
            return source_number(status, "1:1", "frames") == 10;
        },
        10s))
        << ktweb_test::http_get(kWebPort, "/api/status").value_or("no answer") << web.errors();
    EXPECT_EQ(pub.requests(), std::vector<std::string>{"4"});
    pub.hold_replies(false);
    ASSERT_TRUE(kttest::wait_until([&] { return pub.requests().size() == 2; }, 10s));
    EXPECT_EQ(web.stop(SIGTERM, 10s), 0) << web.errors();
    EXPECT_EQ(pub.requests(), (std::vector<std::string>{"4", "4", "2"}));
    EXPECT_EQ(pub.acks(), 10);
}

TEST(WebAcks, ACountOutsideItsRangeOrWithATapIsAUsageError) {
    for (const char *bad : {"0", "1025", "x"}) {
        const kttest::Result r = kttest::run(kttest::program(KT_WEB_PATH, {"--ack-every", bad}));
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find(std::string("kt-web: bad --ack-every ") + bad +
                             ": give a whole number from 1 to 1024"),
                  std::string::npos)
            << r.err;
    }
    const kttest::Result tap =
        kttest::run(kttest::program(KT_WEB_PATH, {"--tap", "5000", "--ack-every", "8"}));
    EXPECT_EQ(tap.status, 2);
    EXPECT_NE(tap.err.find("not to --tap"), std::string::npos) << tap.err;
}

}  // namespace

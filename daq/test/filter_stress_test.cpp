// The filter mode under churn: channels replaced hundreds of times while the engine runs
// at full rate, clients come and go, one never reads, and a peer sends careless messages. Every
// client only ever gets whole, correct frames of its own channel's sources; afterwards descriptors
// and threads are back where they were. Meant for the sanitizer builds as much as for the plain
// one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "filter_harness.h"
#include "frame_pattern.h"
#include "kt_records.h"
#include "sim_fixture.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using ktdaq_test::ChannelClient;
using ktdaq_test::configure;
using ktdaq_test::FilterProcess;

struct ChannelPlan {
    std::string name;
    uint16_t base_port;
    int module;  // 255 with channels {255}: every frame
    std::vector<int> channels;
    std::atomic<uint16_t> port{0};
    std::atomic<uint64_t> frames{0};
    std::string message(uint16_t port) const {
        std::string m =
            "0=" + name + ";1=" + std::to_string(port) + ";2=" + std::to_string(module) + ";3=";
        for (size_t i = 0; i < channels.size(); ++i) {
            m += i ? "," : "";
            m += std::to_string(channels[i]);
        }
        return m + ";4=0;5=kt_output_filter";
    }
    bool takes(const ktsim::FrameFields &f) const {
        if (module == 255 && channels[0] == 255) {
            return true;
        }
        for (int c : channels) {
            if (f.module_id == module && f.channel_id == c) {
                return true;
            }
        }
        return false;
    }
};

// The sequence number of the frame after `seq` that the plan's channel sends: one it
// takes, with a payload.
uint64_t next_sent(const ChannelPlan &plan, const ktsim::EngineConfig &config, uint64_t seq) {
    for (;;) {
        const ktsim::FrameFields f = ktsim::engine_frame(config, ++seq);
        if (plan.takes(f) && f.payload_len != 0) {
            return seq;
        }
    }
}

// Connects, reads for a little while, disconnects, again and again; checks every frame,
// and that a connection gets its channel's frames without a gap: from its first frame on,
// each one the channel sends, in ring order, until the connection ends.
void client_loop(ChannelPlan &plan, const ktsim::EngineConfig &config,
                 const std::atomic<bool> &stop, std::string *error, unsigned seed) {
    std::mt19937 rng(seed);
    while (!stop && error->empty()) {
        const uint16_t port = plan.port.load();
        ChannelClient client(port, 200);
        if (!client.connected()) {
            continue;  // the channel moved to another port meanwhile
        }
        const auto until = Clock::now() + std::chrono::milliseconds(rng() % 60);
        std::vector<uint8_t> frame;
        bool first = true;
        uint64_t seq = 0;
        while (Clock::now() < until && client.next_frame(&frame, 100)) {
            const ktsim::FrameCheck check = ktsim::check_frame(frame.data(), frame.size());
            if (!check.ok || frame.size() != check.fields.payload_len + 20u ||
                !plan.takes(check.fields) || check.fields.payload_len == 0) {
                *error = plan.name + ": bad frame: " + check.error + " module " +
                         std::to_string(check.fields.module_id) + " channel " +
                         std::to_string(check.fields.channel_id);
                return;
            }
            if (!first && check.fields.seq != next_sent(plan, config, seq)) {
                *error = plan.name + ": frame " + std::to_string(check.fields.seq) + " after " +
                         std::to_string(seq) + ", where " +
                         std::to_string(next_sent(plan, config, seq)) + " was due";
                return;
            }
            first = false;
            seq = check.fields.seq;
            ++plan.frames;
        }
    }
}

// Connects to the channel with a tiny receive buffer and never reads, which stalls the
// loop, until the device disconnects it (the channel was replaced) or a while has passed.
void stuck_client_loop(ChannelPlan &plan, const std::atomic<bool> &stop, unsigned seed) {
    std::mt19937 rng(seed);
    while (!stop) {
        ChannelClient client(plan.port.load(), 200, 4096);
        if (client.connected()) {
            client.closed_by_peer(static_cast<int>(rng() % 300));
        }
    }
}

// Messages a careless or hostile peer sends: odd items, names and ports of no plan,
// sources beyond any frame, texts too long. None names a filter, so none ends the
// process; each gets its reply except those beyond the size the server accepts at all.
void hostile_loop(const std::atomic<bool> &stop, std::string *error, int *sent) {
    std::mt19937 rng(99);
    const std::string alphabet = "0123467;=,:x -\xff";
    while (!stop && error->empty()) {
        std::string m;
        bool answered = true;
        switch (rng() % 5) {
            case 0:  // random items; no key 3 (sockets are counted below) and no key 5
                for (int i = rng() % 40; i > 0; --i) {
                    char c = alphabet[rng() % alphabet.size()];
                    m += c;
                }
                for (size_t at = 0; at < m.size(); ++at) {
                    if ((at == 0 || m[at - 1] == ';') && (m[at] == '3' || m[at] == '5')) {
                        m[at] = '6';
                    }
                }
                break;
            case 1:  // a channel of no plan, on a port of no plan, replaced over and over
                m = "0=h" + std::to_string(rng() % 3) + ";1=" + std::to_string(22000 + rng() % 4) +
                    ";2=" + std::to_string(rng() % 300) + ";3=" + std::to_string(rng() % 20);
                break;
            case 2:  // longer than 1024 bytes: refused with a line
                m = std::string(1025 + rng() % 2000, 'x');
                break;
            case 3:  // longer than the server accepts: the peer is disconnected
                m = std::string(5000 + rng() % 100000, '1');
                answered = false;
                break;
            default:  // a port that a plan holds now and then: the bind fails or not
                m = "0=h9;1=" + std::to_string(21101 + rng() % 4) + ";2=9;3=1";
                break;
        }
        if (configure(m, answered ? 20000 : 300) != answered && answered) {
            *error = "no reply to a hostile message: " + m.substr(0, 80);
        }
        ++*sent;
    }
}

using FilterStressTest = ktsim::SimDeviceTest;

TEST_F(FilterStressTest, ChannelsReplacedUnderFullLoadStaySound) {
    ktsim::EngineConfig config;
    config.sources = {{1, 1}, {1, 2}, {2, 1}, {3, 7}};
    config.payload_sizes = {64, 512, 2028, 0, 100};
    config.rate = 0;  // as fast as the ring allows
    start_engine(config);
    FilterProcess loop(device_->path(), 256 * KT_SLOT_SIZE);

    ChannelPlan plans[3];
    plans[0].name = "a";
    plans[0].base_port = 21000;
    plans[0].module = 1;
    plans[0].channels = {1, 2};
    plans[1].name = "b";
    plans[1].base_port = 21100;
    plans[1].module = 2;
    plans[1].channels = {1};
    plans[2].name = "all";
    plans[2].base_port = 21200;
    plans[2].module = 255;
    plans[2].channels = {255};
    for (ChannelPlan &p : plans) {
        p.port = p.base_port;
        ASSERT_TRUE(configure(p.message(p.base_port))) << loop.errors();
    }
    ASSERT_TRUE(loop.wait_output("create channel : all", 10000));
    const int fds = loop.settled_descriptors();
    const int threads = loop.threads();

    std::atomic<bool> stop{false};
    std::string errors[6];
    std::vector<std::thread> clients;
    for (int i = 0; i < 6; ++i) {
        clients.emplace_back(client_loop, std::ref(plans[i % 3]), std::cref(config),
                             std::cref(stop), &errors[i], 1234u + i);
    }
    clients.emplace_back(stuck_client_loop, std::ref(plans[1]), std::cref(stop), 77u);
    std::string hostile_error;
    int hostile = 0;
    clients.emplace_back(hostile_loop, std::cref(stop), &hostile_error, &hostile);
    // Replace the channels, same names on new ports, for a bounded time.
    const auto end = Clock::now() + 8s;
    int replacements = 0;
    while (Clock::now() < end) {
        ChannelPlan &p = plans[replacements % 3];
        const uint16_t port = static_cast<uint16_t>(p.base_port + 1 + (replacements / 3) % 4);
        if (!configure(p.message(port), 20000)) {
            ADD_FAILURE() << "no reply to a configuration message: " << loop.errors();
            break;
        }
        p.port = port;
        ++replacements;
    }
    stop = true;
    for (std::thread &t : clients) {
        t.join();
    }
    for (const std::string &e : errors) {
        EXPECT_EQ(e, "");
    }
    EXPECT_EQ(hostile_error, "");
    EXPECT_GE(replacements, 100);
    for (const ChannelPlan &p : plans) {
        EXPECT_GT(p.frames.load(), 0u) << p.name << " never got a frame";
    }
    EXPECT_EQ(loop.wait_exit(0), -1) << "the loop ended: " << loop.errors();
    // The hostile peer's channels stay, each with a socket, epoll and wake-up descriptor
    // and an acceptor, if it ever got them through.
    const std::string out = loop.output();
    int extra = 0;
    for (const char *name : {"h0", "h1", "h2", "h9"}) {
        extra += out.find("create channel : " + std::string(name) + ",") != std::string::npos;
    }
    EXPECT_EQ(loop.settled_descriptors(), fds + 3 * extra);
    EXPECT_EQ(loop.threads(), threads + extra);
    const std::string reports = loop.errors();
    EXPECT_EQ(reports.find("Sanitizer"), std::string::npos) << reports;
    printf("%d replacements, %d hostile messages; frames a %llu, b %llu, all %llu\n", replacements,
           hostile, static_cast<unsigned long long>(plans[0].frames.load()),
           static_cast<unsigned long long>(plans[1].frames.load()),
           static_cast<unsigned long long>(plans[2].frames.load()));
}

}  // namespace

// kt-daqd's statistics on the simulated instrument: periodic JSON lines, a line on
// SIGUSR1, and a final line with exit status 0 on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "json_check.h"
#include "kt_daq.h"
#include "ports.h"
#include "process.h"
#include "sim_fixture.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using ktdaqd_test::JsonLine;
using ktdaqd_test::parse_json_line;
using kttest::Process;

// The whole lines of `text`; a last one still being written is left out.
std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text.substr(0, text.rfind('\n') + 1));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class DaqdStatsTest : public ktsim::SimDeviceTest {
  protected:
    // Starts kt-daqd and waits until `port` is bound (the one it binds last).
    std::unique_ptr<Process> start_daqd(const std::vector<std::string> &extra, const char *bound) {
        kttest::Args args{"--ring", "1048576"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(device_->path());
        kttest::ProcessOptions options;
        options.preload = KT_SHIM_PATH;
        auto daqd = std::make_unique<Process>(kttest::program(KT_DAQD_PATH, args), options);
        const uint16_t port = kttest::endpoint_port(bound);
        EXPECT_TRUE(kttest::wait_until([port] { return kttest::listening(port); }, 10s))
            << daqd->output() << daqd->errors();
        return daqd;
    }
};

TEST_F(DaqdStatsTest, JsonLinesEverySecondAndAFinalOneOnTerm) {
    auto daqd = start_daqd({"--stats", "1", "--json"}, KT_DAQ_ACK_ENDPOINT);
    constexpr uint64_t kFrames = 50;
    ktsim::EngineConfig config;
    config.frames = kFrames;  // no subscriber: every frame is published at once
    start_engine(config);

    // Periodic lines until one has seen every frame; each a whole JSON object.
    std::vector<JsonLine> parsed;
    ASSERT_TRUE(kttest::wait_until(
        [&] {
            parsed.clear();
            for (const std::string &line : lines_of(daqd->output())) {
                const auto json = parse_json_line(line);
                if (!json) {
                    ADD_FAILURE() << "not a JSON object: " << line;
                    return true;
                }
                parsed.push_back(*json);
            }
            return !parsed.empty() && parsed.back().numbers["frames_taken"] == kFrames;
        },
        10s))
        << daqd->output();
    ASSERT_FALSE(HasFailure());
    for (JsonLine &line : parsed) {
        EXPECT_EQ(line.strings["stats"], "interval");
    }
    JsonLine &last = parsed.back();
    EXPECT_EQ(last.numbers["published"], kFrames);
    EXPECT_EQ(last.numbers["acknowledged"], 0u);
    EXPECT_EQ(last.numbers["skipped"], 0u);

    ASSERT_EQ(daqd->stop(SIGTERM, 10s), 0) << daqd->errors();
    const auto lines = lines_of(daqd->output());
    ASSERT_FALSE(lines.empty());
    const auto final_line = parse_json_line(lines.back());
    ASSERT_TRUE(final_line) << lines.back();
    JsonLine final_json = *final_line;
    EXPECT_EQ(final_json.strings["stats"], "final");
    EXPECT_EQ(final_json.numbers["frames_taken"], kFrames);
    EXPECT_EQ(final_json.numbers["published"], kFrames);
    EXPECT_EQ(daqd->errors().find("Sanitizer"), std::string::npos) << daqd->errors();
}

TEST_F(DaqdStatsTest, FilterModeLineOnRequestAndFinalOneOnInterrupt) {
    // Without --stats: no line until one is asked for.
    auto daqd = start_daqd({"--mode", "filter"}, KT_DAQ_CONFIG_ENDPOINT);
    ktsim::EngineConfig config;
    config.frames = 30;
    start_engine(config);
    ASSERT_TRUE(kttest::wait_until(
        [&] {
            kill(daqd->pid(), SIGUSR1);
            return daqd->wait_output("frames_dispatched=30 ", 200ms);
        },
        10s))
        << daqd->output() << daqd->errors();
    const auto lines = lines_of(daqd->output());
    for (const std::string &line : lines) {
        EXPECT_EQ(line.rfind("stats request frames_taken=", 0), 0u) << line;
    }
    EXPECT_NE(lines.back().find(" frames_taken=30 "), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find(" published=0 "), std::string::npos) << lines.back();

    ASSERT_EQ(daqd->stop(SIGINT, 10s), 0) << daqd->errors();
    const std::string last = lines_of(daqd->output()).back();
    EXPECT_EQ(last.rfind("stats final frames_taken=30 ", 0), 0u) << last;
    EXPECT_NE(last.find(" frames_dispatched=30 "), std::string::npos) << last;
    EXPECT_EQ(daqd->errors().find("Sanitizer"), std::string::npos) << daqd->errors();
}

}  // namespace

// kt-daqd as a system service: the unit file as the service manager checks it, the
// command it runs with the shipped settings, and the readiness notification of both main
// loops on the simulated instrument, sent only once their endpoints listen.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kt_daq.h"
#include "notify_socket.h"
#include "ports.h"
#include "process.h"
#include "sim_fixture.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using ktdaqd_test::NotifySocket;

const uint16_t kPubPort = kttest::endpoint_port(KT_DAQ_PUB_ENDPOINT);
const uint16_t kAckPort = kttest::endpoint_port(KT_DAQ_ACK_ENDPOINT);

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The variables of an environment file: NAME=value lines, values optionally in double
// quotes; comments and blank lines skipped.
std::map<std::string, std::string> read_environment(const std::string &path) {
    std::map<std::string, std::string> vars;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string::npos) {
            continue;
        }
        std::string value = line.substr(eq + 1);
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
            value = value.substr(1, value.size() - 2);
        }
        vars[line.substr(0, eq)] = value;
    }
    return vars;
}

std::vector<std::string> words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

// The value of `name`; a variable the unit uses and the settings do not define fails the
// test.
std::string lookup(const std::map<std::string, std::string> &vars, const std::string &name) {
    const auto value = vars.find(name);
    if (value == vars.end()) {
        ADD_FAILURE() << "the unit uses " << name << ", which the settings do not define";
        return "";
    }
    return value->second;
}

// The unit's ExecStart= command with `vars` put in as the service manager does: a word
// "$NAME" becomes the value's words, "${NAME}" inside a word the whole value.
kttest::Args exec_start(const std::string &unit, const std::map<std::string, std::string> &vars) {
    std::istringstream in(unit);
    std::string line;
    while (std::getline(in, line) && line.rfind("ExecStart=", 0) != 0) {
    }
    kttest::Args args;
    for (std::string word : words(line.substr(std::strlen("ExecStart=")))) {
        if (word.size() > 1 && word[0] == '$' && word[1] != '{') {
            for (const std::string &w : words(lookup(vars, word.substr(1)))) {
                args.push_back(w);
            }
            continue;
        }
        for (size_t at; (at = word.find("${")) != std::string::npos;) {
            const size_t end = word.find('}', at);
            word.replace(at, end - at + 1, lookup(vars, word.substr(at + 2, end - at - 2)));
        }
        args.push_back(word);
    }
    return args;
}

class ServiceTest : public ktsim::SimDeviceTest {
  protected:
    // Starts `command` (kt-daqd) with the simulator's shim and NOTIFY_SOCKET, waits for the
    // first notification and checks that every one of `ports` listens by then.
    void expect_ready(const kttest::Args &command, std::initializer_list<uint16_t> ports,
                      const std::string &status) {
        kttest::ProcessOptions options;
        options.preload = KT_SHIM_PATH;
        options.env = {manager_.env()};
        kttest::Process daqd(command, options);
        const auto message = manager_.receive(20s);
        ASSERT_TRUE(message.has_value()) << daqd.output() << daqd.errors();
        for (const uint16_t port : ports) {
            EXPECT_TRUE(kttest::listening(port)) << port;
        }
        EXPECT_EQ(*message, "READY=1\nSTATUS=" + status);
        EXPECT_TRUE(daqd.running()) << daqd.errors();
    }

    kttest::TempDir dir_{"kt_daqd_service"};
    NotifySocket manager_{dir_.file("notify")};
};

TEST_F(ServiceTest, PublishModeIsReadyOnceBothEndpointsListen) {
    expect_ready(kttest::program(KT_DAQD_PATH, {"--subscribe", "1:1", device_->path()}),
                 {kPubPort, kAckPort},
                 "publishing the frames of " + device_->path() +
                     " on 127.0.0.1:22720, acknowledgements on 127.0.0.1:22770");
}

TEST_F(ServiceTest, FilterModeIsReadyOnceTheConfigurationEndpointListens) {
    expect_ready(
        kttest::program(KT_DAQD_PATH, {"--mode", "filter", device_->path()}), {kPubPort},
        "filter mode on " + device_->path() + ", channel configurations on 127.0.0.1:22720");
}

// The shipped settings make a command that kt-daqd takes, with only the device changed
// to the simulated one, as on a device where the link has another name.
TEST_F(ServiceTest, UnitCommandWithTheShippedSettingsStarts) {
    auto vars = read_environment(KT_DAQD_DEFAULT);
    ASSERT_EQ(vars.count("KT_DAQD_DEVICE"), 1u);
    vars["KT_DAQD_DEVICE"] = device_->path();
    const kttest::Args command = exec_start(read_file(KT_DAQD_TEST_UNIT), vars);
    ASSERT_FALSE(command.empty());
    EXPECT_EQ(command.front(), KT_DAQD_PATH);
    expect_ready(kttest::program(command.front(), {command.begin() + 1, command.end()}),
                 {kPubPort, kAckPort},
                 "publishing the frames of " + device_->path() +
                     " on 127.0.0.1:22720, acknowledgements on 127.0.0.1:22770");
}

}  // namespace

// The unit as the service manager's own checker reads it, with the program of the build in
// ExecStart (the checker requires it to exist): no complaint at all.
TEST(ServiceUnit, VerifiesCleanly) {
    const kttest::Result r =
        kttest::run({"systemd-analyze", "verify", "--man=no", KT_DAQD_TEST_UNIT}, 60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

// The unit installed with the package names the installed program and the settings file.
TEST(ServiceUnit, InstalledUnitRunsTheInstalledProgram) {
    const std::string unit = read_file(KT_DAQD_UNIT);
    EXPECT_NE(unit.find("\nExecStart=" KT_PREFIX "/bin/kt-daqd "), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nEnvironmentFile=/etc/default/kt-daqd\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
}

// kt-daqd as a system service: the unit file as the service manager checks it, the
// command it runs with the shipped settings, and the readiness notification of both main
// loops on the simulated instrument, sent only once their endpoints listen.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kt_daq.h"
#include "notify_socket.h"
#include "ports.h"
#include "process.h"
#include "sim_fixture.h"
#include "temp_dir.h"
#include "unit_file.h"

namespace {

using namespace std::chrono_literals;
using ktdaqd_test::NotifySocket;

const uint16_t kPubPort = kttest::endpoint_port(KT_DAQ_PUB_ENDPOINT);
const uint16_t kAckPort = kttest::endpoint_port(KT_DAQ_ACK_ENDPOINT);

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
    auto vars = kttest::read_environment(KT_DAQD_DEFAULT);
    ASSERT_EQ(vars.count("KT_DAQD_DEVICE"), 1u);
    vars["KT_DAQD_DEVICE"] = device_->path();
    std::string missing;
    const kttest::Args command =
        kttest::exec_start(kttest::read_file(KT_DAQD_TEST_UNIT), vars, &missing);
    ASSERT_EQ(missing, "") << "the unit uses it, the settings do not define it";
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
    const std::string unit = kttest::read_file(KT_DAQD_UNIT);
    EXPECT_NE(unit.find("\nExecStart=" KT_PREFIX "/bin/kt-daqd "), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nEnvironmentFile=/etc/default/kt-daqd\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos) << unit;
}

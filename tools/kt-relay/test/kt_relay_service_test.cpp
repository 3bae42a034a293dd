// kt-relay as a system service: the unit file as the service manager checks it, and the
// command it runs with the shipped settings, which wait for an address to be set.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "process.h"
#include "unit_file.h"

namespace {

using namespace std::chrono_literals;

kttest::Args shipped_command(const kttest::Environment &vars) {
    std::string missing;
    const kttest::Args command =
        kttest::exec_start(kttest::read_file(KT_RELAY_TEST_UNIT), vars, &missing);
    EXPECT_EQ(missing, "") << "the unit uses it, the settings do not define it";
    EXPECT_FALSE(command.empty());
    EXPECT_EQ(command.front(), KT_RELAY_PATH);
    return kttest::program(command.front(), {command.begin() + 1, command.end()});
}

// Without an address the command is a usage error, after which the unit does not restart;
// with one it listens there.
TEST(RelayService, ShippedSettingsWaitForAnAddress) {
    auto vars = kttest::read_environment(KT_RELAY_DEFAULT);
    ASSERT_EQ(vars.count("KT_RELAY_BIND"), 1u);
    const kttest::Result r = kttest::run(shipped_command(vars));
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find("give the address to listen on with --bind"), std::string::npos);

    vars["KT_RELAY_BIND"] = "127.0.0.2";
    kttest::Process relay(shipped_command(vars));
    ASSERT_TRUE(
        relay.wait_output("kt-relay: frames of tcp://127.0.0.1:22720 on "
                          "tcp://127.0.0.2:22720",
                          10s))
        << relay.output() << relay.errors();
    EXPECT_EQ(relay.stop(SIGTERM, 10s), 0);
}

// The checker requires the program in ExecStart to exist: the unit of the build names it.
TEST(RelayService, UnitVerifiesCleanly) {
    const kttest::Result r =
        kttest::run({"systemd-analyze", "verify", "--man=no", KT_RELAY_TEST_UNIT}, 60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

TEST(RelayService, InstalledUnitRunsTheInstalledProgram) {
    const std::string unit = kttest::read_file(KT_RELAY_UNIT);
    EXPECT_NE(unit.find("\nExecStart=" KT_PREFIX "/bin/kt-relay "), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nEnvironmentFile=/etc/default/kt-relay\n"), std::string::npos) << unit;
}

}  // namespace

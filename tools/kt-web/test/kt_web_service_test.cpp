// kt-web as a system service: the unit file as the service manager checks it, and the
// command it runs with the shipped settings, which serves the page on this machine only.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "process.h"
#include "unit_file.h"
#include "web_client.h"

namespace {

using namespace std::chrono_literals;

TEST(WebService, ShippedSettingsServeThePageOnTheLoopback) {
    const auto vars = kttest::read_environment(KT_WEB_DEFAULT);
    std::string missing;
    kttest::Args command = kttest::exec_start(kttest::read_file(KT_WEB_TEST_UNIT), vars, &missing);
    ASSERT_EQ(missing, "") << "the unit uses it, the settings do not define it";
    ASSERT_FALSE(command.empty());
    EXPECT_EQ(command.front(), KT_WEB_PATH);
    // The page of the source tree, since the installed one is not there.
    command.insert(command.end(), {"--www", KT_WEB_PAGE});
    kttest::Process web(kttest::program(command.front(), {command.begin() + 1, command.end()}));
    ASSERT_TRUE(web.wait_output("kt-web: serving http://127.0.0.1:8080/", 10s)) << web.errors();
    const auto status = ktweb_test::http_get(8080, "/api/status");
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(status->find("\"state\":\"no_engine\""), std::string::npos) << *status;
    EXPECT_EQ(web.stop(SIGTERM, 10s), 0);
}

TEST(WebService, UnitVerifiesCleanly) {
    const kttest::Result r =
        kttest::run({"systemd-analyze", "verify", "--man=no", KT_WEB_TEST_UNIT}, 60s);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

}  // namespace

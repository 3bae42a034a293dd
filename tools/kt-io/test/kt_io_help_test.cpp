// kt-io's manners: help per command, exit status, and the bash completion it installs.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "process.h"

using Strings = std::vector<std::string>;
using namespace std::chrono_literals;

namespace {

kttest::Result run(const Strings &args) {
    return kttest::run(kttest::program(KT_IO_PROGRAM, args), 30s);
}

// What the completion offers for the words typed so far, the last one being completed.
std::string complete(const std::string &line) {
    const std::string script = "source '" KT_IO_COMPLETION
                               "'; read -ra COMP_WORDS <<< \"$1\"; "
                               "[[ $1 == *' ' ]] && COMP_WORDS+=(''); "
                               "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kt_io; "
                               "echo \"${COMPREPLY[*]}\"";
    const auto r = kttest::run({"bash", "-c", script, "bash", line}, 30s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

}  // namespace

TEST(KtIoManners, EachCommandHasItsHelpWithExamples) {
    for (const std::string cmd : {"reg", "uart", "i2c"}) {
        for (const std::string flag : {"--help", "-h"}) {
            const auto r = run({cmd, flag});
            EXPECT_EQ(r.status, 0) << cmd;
            EXPECT_NE(r.out.find("kt-io " + cmd + " "), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("Examples:"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("Exit status: 0 done, 1"), std::string::npos) << r.out;
            for (const std::string other : {"reg", "uart", "i2c"}) {
                if (other != cmd) {
                    EXPECT_EQ(r.out.find("kt-io " + other + " "), std::string::npos) << cmd;
                }
            }
        }
    }
    // The whole help, which the manual page is made from, holds every command.
    const auto all = run({"--help"});
    EXPECT_EQ(all.status, 0);
    for (const std::string line :
         {"kt-io reg toggle", "--term", "kt-io i2c BUS scan", "--version"}) {
        EXPECT_NE(all.out.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(run({}).status, 2);
}

TEST(KtIoManners, BashCompletionOffersCommandsOperationsAndOptionValues) {
    EXPECT_EQ(complete("kt-io "), "reg uart i2c --help --version\n");
    EXPECT_EQ(complete("kt-io reg t"), "toggle\n");
    EXPECT_EQ(complete("kt-io reg dump /dev/uio0 0 -w "), "8 16 32\n");
    EXPECT_EQ(complete("kt-io uart /dev/ttyS1 --speed 92"), "921600\n");
    EXPECT_EQ(complete("kt-io uart /dev/ttyS1 --flow x"), "xonxoff\n");
    EXPECT_EQ(complete("kt-io uart /dev/ttyS1 --te"), "--term\n");
    EXPECT_EQ(complete("kt-io i2c 1 s"), "scan set\n");
    EXPECT_EQ(complete("kt-io i2c 1 scan --w"), "--write-probe\n");
}

// End-to-end tests of the example command server over loopback TCP.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cmdd_testing.h"
#include "kt_cmd.h"
#include "process.h"
#include "server.h"
#include "test_socket.h"

namespace {

using ktcmd_test::connect_loopback;
using ktcmd_test::write_all;
using ktcmdd_test::Lines;
using ktcmdd_test::read_lines;
using namespace std::chrono_literals;

class CommandServer : public ktcmdd_test::ServerTest {
  protected:
    void SetUp() override { start_server(); }

    // Sends `script` on a new connection and reads `count` reply lines.
    std::vector<std::string> talk(const std::string &script, size_t count, bool *eof = nullptr) {
        const ktcmd_test::Fd fd = connect_loopback(server_.port());
        EXPECT_TRUE(write_all(fd.get(), script));
        return read_lines(fd.get(), count, eof);
    }
};

TEST_F(CommandServer, EveryReplyForm) {
    const std::string script =
        "[1]help()\r\n[2]ping()\r\n[3]echo( a , , b )\r\n[4]sum(1, 2, 39)\r\n[5]sum(1,x)\r\n"
        "[6]fail()\r\n[7]fail(-10)\r\n[8]busy()\r\n[9]reset()\r\n[10]reset(yes)\r\n"
        "[11]check()\r\n[12]version()\r\n[13]nosuch()\r\n[14]ping\r\nping()\r\n"
        "[15]fail(0)\r\n[16]t\xe9st()\r\n[17]time()\r\n";
    const Lines got = talk(script, 17);
    ASSERT_EQ(got.size(), 17u);
    const Lines want = {
        "[1]ACK(DONEhelp ping echo(text,...) time sum(n,...) fail(code) busy reset(yes) check "
        "version quit;…)\r\n",
        "[2]ACK(pong;DONE;…)\r\n",
        "[3]echo_ACK(a,b;DONE;…)\r\n",
        "[4]sum_ACK(42;DONE;…)#crc\r\n",
        "[5]sum_ACK(ERR_-224: not a number: x;ERROR;…)#crc\r\n",
        "[6]ACK(ERR_-224: message execute failed;ERROR;…)\r\n",
        "[7]ACK(ERR_-10: test time out;ERROR;…)\r\n",
        "[8]ACK(ERR_-9: acquisition still running;ERROR;…)\r\n",
        "[9]ACK(CONFIRMconfirm some request;…)\r\n",
        "[10]ACK(reset done;DONE;…)\r\n",
        "[11]ACK(ERR_-13,selftest:stage2;ERROR;…)\r\n",
        "ACK(kt-cmdd 1.0)\r\n",
        "[13]ACK(ERR_-190: not have this command;ERROR;…)\r\n",
        "[14]ACK(ERR_-5: message format is error;ERROR;…)\r\n",
        "[(null)]ACK(ERR_-5: message format is error;ERROR;…)\r\n",
        // fail(0) is a success code: no reply at all.
        "[16]ACK(ERR_-14: command only support asiic;ERROR;…)\r\n",
    };
    EXPECT_EQ(Lines(got.begin(), got.begin() + 16), want);
    char time_text[32];
    EXPECT_EQ(std::sscanf(got[16].c_str(), "[17]ACK(%31[0-9.];DONE;…)#crc\r\n", time_text), 1)
        << got[16];
}

// The total is 64-bit on every target; one that would leave that range is an error.
TEST_F(CommandServer, SumAtTheLimitsOfItsRange) {
    const std::string script =
        "[1]sum(9223372036854775807)\r\n[2]sum(9223372036854775806,1)\r\n"
        "[3]sum(9223372036854775807,1)\r\n[4]sum(-9223372036854775808)\r\n"
        "[5]sum(-9223372036854775807,-1)\r\n[6]sum(-9223372036854775808,-1)\r\n"
        "[7]sum(4294967295,1)\r\n[8]sum(9223372036854775807,1,-2)\r\n";
    EXPECT_EQ(talk(script, 8), (Lines{
                                   "[1]sum_ACK(9223372036854775807;DONE;…)#crc\r\n",
                                   "[2]sum_ACK(9223372036854775807;DONE;…)#crc\r\n",
                                   "[3]sum_ACK(ERR_-224: sum out of range;ERROR;…)#crc\r\n",
                                   "[4]sum_ACK(-9223372036854775808;DONE;…)#crc\r\n",
                                   "[5]sum_ACK(-9223372036854775808;DONE;…)#crc\r\n",
                                   "[6]sum_ACK(ERR_-224: sum out of range;ERROR;…)#crc\r\n",
                                   "[7]sum_ACK(4294967296;DONE;…)#crc\r\n",
                                   "[8]sum_ACK(ERR_-224: sum out of range;ERROR;…)#crc\r\n",
                               }));
}

TEST_F(CommandServer, OverlongLineIsRejectedAndTheNextLineServed) {
    const std::string script = std::string(3000, 'x') + "\r\n[1]ping()\r\n";
    EXPECT_EQ(talk(script, 2), (Lines{"[(null)]ACK(ERR_-5: message format is error;ERROR;…)\r\n",
                                      "[1]ACK(pong;DONE;…)\r\n"}));
}

TEST_F(CommandServer, QuitClosesAfterItsReply) {
    bool eof = false;
    EXPECT_EQ(talk("[1]quit()\r\n[2]ping()\r\n", 2, &eof), Lines{"[1]ACK(bye;DONE;…)\r\n"});
    EXPECT_TRUE(eof);
}

TEST_F(CommandServer, RepliesStillArriveAfterTheClientStopsSending) {
    const ktcmd_test::Fd fd = connect_loopback(server_.port());
    ASSERT_TRUE(write_all(fd.get(), "[1]ping()\r\n[2]echo(z)\r\n"));
    shutdown(fd.get(), SHUT_WR);
    bool eof = false;
    EXPECT_EQ(read_lines(fd.get(), 2, &eof),
              (Lines{"[1]ACK(pong;DONE;…)\r\n", "[2]echo_ACK(z;DONE;…)\r\n"}));
    EXPECT_TRUE(eof);
}

// Several clients at once, each sending its lines pipelined and cut at random places:
// each gets exactly one correct reply per line, in order.
TEST_F(CommandServer, ConcurrentPipelinedFragmentedClients) {
    static constexpr int kClients = 8;
    static constexpr int kLines = 300;
    std::vector<std::thread> clients;
    std::vector<Lines> got(kClients), want(kClients);
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            std::mt19937 rng(1234u + static_cast<unsigned>(c));
            std::string script;
            for (int i = 0; i < kLines; ++i) {
                std::string id = "c";
                id += std::to_string(c) + "n" + std::to_string(i);
                switch (rng() % 5) {
                    case 0:
                        script += "[" + id + "]ping()\r\n";
                        want[c].push_back("[" + id + "]ACK(pong;DONE;…)\r\n");
                        break;
                    case 1:
                        script += "  [" + id + "] echo ( " + id + " , x )\r\n";
                        want[c].push_back("[" + id + "]echo_ACK(" + id + ",x;DONE;…)\r\n");
                        break;
                    case 2:
                        script += "[" + id + "]sum(" + std::to_string(i) + "," + std::to_string(c) +
                                  ")\r\n";
                        want[c].push_back("[" + id + "]sum_ACK(" + std::to_string(i + c) +
                                          ";DONE;…)#crc\r\n");
                        break;
                    case 3:
                        script += "[" + id + "]nosuch()\r\n";
                        want[c].push_back("[" + id +
                                          "]ACK(ERR_-190: not have this command;ERROR;…)\r\n");
                        break;
                    default:
                        script += "\r\n[" + id + "]fail(-6)\r\n\r\n";
                        want[c].push_back("[" + id + "]ACK(ERR_-6: unsupport command;ERROR;…)\r\n");
                        break;
                }
            }
            const ktcmd_test::Fd fd = connect_loopback(server_.port());
            std::thread reader([&got, c, &fd] { got[c] = read_lines(fd.get(), kLines); });
            size_t sent = 0;
            while (sent < script.size()) {
                const size_t n = std::min<size_t>(1 + rng() % 200, script.size() - sent);
                if (!write_all(fd.get(), script.substr(sent, n))) {
                    break;
                }
                sent += n;
                if (rng() % 8 == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
                }
            }
            reader.join();
        });
    }
    for (auto &t : clients) {
        t.join();
    }
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(got[c].size(), want[c].size()) << "client " << c;
        EXPECT_EQ(got[c], want[c]) << "client " << c;
    }
}

// The program itself: starts, prints its port, answers, stops on SIGTERM.
TEST(CommandServerProgram, AnswersAndStopsOnSignal) {
    kttest::Process program(kttest::program(KT_CMDD_PATH, {"-p", "0"}));
    const unsigned port = ktcmdd_test::listening_port(program);
    ASSERT_NE(port, 0u) << program.output() << program.errors();

    {
        const ktcmd_test::Fd fd = connect_loopback(static_cast<uint16_t>(port));
        ASSERT_TRUE(write_all(fd.get(), "[1]ping()\r\n"));
        EXPECT_EQ(read_lines(fd.get(), 1), Lines{"[1]ACK(pong;DONE;…)\r\n"});
    }

    EXPECT_EQ(program.stop(SIGTERM, 10s), 0) << program.errors();
    const std::string out = program.output();
    EXPECT_NE(out.find("connection from 127.0.0.1:"), std::string::npos) << out;
    EXPECT_NE(out.find("kt-cmdd: stopped"), std::string::npos) << out;
}

}  // namespace

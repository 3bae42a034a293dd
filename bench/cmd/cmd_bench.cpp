// Throughput of the command protocol, and the cost of the outside calls a reply makes
// (time stamps, checksum, allocation), for comparing their share of a reply.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kt_cmd.h"

namespace {

const std::vector<std::string> kLines = {
    "[7]read temp(1, 2)",
    "[7]  read   temp  ( 1 , , 2 )",
    "[7]set(,a,,b,)",
    "[7]status()",
    "[7](1)",
    "[]ping()",
    "[1234567890123456]ping()",
    "[7]ping()trailing text",
    "read temp(1)",
    "[7][8]ping()",
    "[7]set(a[0])",
    "[12345678901234567]ping()",
    "[7 ping()",
    "[7]ping",
    "[7]ping(1",
};

// Decoding every line of the decoder's result table in turn.
void BM_DecodeTableLines(benchmark::State &state) {
    std::vector<std::vector<char>> lines;
    for (const std::string &l : kLines) {
        lines.emplace_back(l.begin(), l.end());
        lines.back().push_back('\0');
    }
    std::vector<char> work(64);
    size_t i = 0;
    for (auto _ : state) {
        const std::vector<char> &line = lines[i];
        std::memcpy(work.data(), line.data(), line.size());  // the decoder writes into it
        kt_cmd cmd = kt_cmd_decode(work.data());
        benchmark::DoNotOptimize(cmd.code);
        i = i + 1 == lines.size() ? 0 : i + 1;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeTableLines);

// One reply for a decoded line, built and released, with the flags given.
void BM_Reply(benchmark::State &state) {
    std::string line = "[7]read temp(1, 2)";
    kt_cmd decoded = kt_cmd_decode(line.data());
    decoded.flags = static_cast<uint32_t>(state.range(0));
    const char *result = state.range(1) == 0 ? "Done25.3" : "Error-9 busy";
    const int len = static_cast<int>(std::strlen(result));
    for (auto _ : state) {
        kt_cmd cmd = decoded;
        kt_cmd_call_result(&cmd, result, len);
        benchmark::DoNotOptimize(cmd.reply_len);
        kt_cmd_destroy_result(&cmd);
    }
    state.SetItemsProcessed(state.iterations());
}
// flags: 2 ID only; 18 ID+state; 19 +time (the decoder's default); 26 ID+state+checksum;
// 27 default+checksum; 31 every piece. Second argument: 0 success, 1 error with text.
BENCHMARK(BM_Reply)
    ->ArgNames({"flags", "error"})
    ->Args({2, 0})
    ->Args({18, 0})
    ->Args({19, 0})
    ->Args({26, 0})
    ->Args({27, 0})
    ->Args({31, 0})
    ->Args({19, 1})
    ->Args({27, 1});

// A receive buffer filled with as many copies of one pipelined line as it holds.
struct PipelinedLines {
    std::string full;
    int per_buffer = 0;
    kt_netword nw;

    PipelinedLines() {
        const std::string one = "[42]read temp(1, 2)\r\n";
        while (full.size() + one.size() <= KT_NETWORD_SIZE) {
            full += one;
            ++per_buffer;
        }
        kt_netword_init(&nw);
    }
    // The buffer as it was when the lines arrived.
    void refill() {
        std::memcpy(nw.data, full.data(), full.size());
        nw.fill = static_cast<int32_t>(full.size());
        nw.consumed = 0;
    }
};

// Per iteration, refills the buffer and runs `each` on every line cut from it.
template <typename Each>
void cut_all(benchmark::State &state, Each each) {
    PipelinedLines lines;
    for (auto _ : state) {
        lines.refill();
        while (kt_get_complete_cmd(&lines.nw) == 0) {
            each(lines.nw);
        }
    }
    state.SetItemsProcessed(state.iterations() * lines.per_buffer);
    state.counters["lines_per_buffer"] = lines.per_buffer;
}

// A full receive buffer of pipelined lines, cut until none is left.
void BM_CutPipelinedLines(benchmark::State &state) {
    cut_all(state, [](kt_netword &nw) { benchmark::DoNotOptimize(nw.data[0]); });
}
BENCHMARK(BM_CutPipelinedLines);

// The whole path of one pipelined line without the socket: cut, decode, reply, release.
void BM_LineToReply(benchmark::State &state) {
    cut_all(state, [](kt_netword &nw) {
        kt_cmd cmd = kt_cmd_decode(nw.data);
        kt_cmd_call_result(&cmd, "Done25.3", 8);
        benchmark::DoNotOptimize(cmd.reply_len);
        kt_cmd_destroy_result(&cmd);
    });
}
BENCHMARK(BM_LineToReply);

// The outside calls, at the sizes one reply uses them.
void BM_GetTimeTamp(benchmark::State &state) {
    for (auto _ : state) {
        kt_timestamp ts;
        get_time_tamp(&ts);
        benchmark::DoNotOptimize(ts);
    }
}
BENCHMARK(BM_GetTimeTamp);

void BM_CrcOfReply(benchmark::State &state) {
    // What the checksum covers in a default reply with checksum: about 50 bytes.
    const std::string text = "[7]ACK(25.3;DONE;1700000000,120,1700000000,450,330)";
    for (auto _ : state) {
        benchmark::DoNotOptimize(kt_crc(text.data(), static_cast<uint16_t>(text.size())));
    }
}
BENCHMARK(BM_CrcOfReply);

void BM_ReplyAllocations(benchmark::State &state) {
    // The reply buffer (result + 256 bytes) and the working copy of the result.
    for (auto _ : state) {
        void *reply = std::malloc(8 + 256);
        void *copy = std::malloc(5);
        benchmark::DoNotOptimize(reply);
        benchmark::DoNotOptimize(copy);
        std::free(copy);
        std::free(reply);
    }
}
BENCHMARK(BM_ReplyAllocations);

}  // namespace

BENCHMARK_MAIN();

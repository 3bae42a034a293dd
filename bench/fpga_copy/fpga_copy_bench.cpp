// Throughput of register-window copies on a shared file mapping, against a plain memcpy
// between the same memory, for block and port (array) transfers.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "kt_fpga.h"

namespace {

constexpr uint32_t kWindow = 1 << 16;

// A window on a file in shared memory, mapped as the library maps a device.
struct Window {
    Window() {
        char path[] = "/dev/shm/kt_fpga_bench_XXXXXX";
        const int fd = mkstemp(path);
        if (fd < 0 || ftruncate(fd, kWindow) != 0 || kt_fpga_open(path, kWindow, &base) != 0) {
            std::abort();
        }
        close(fd);
        unlink(path);
    }
    ~Window() { kt_fpga_close(base, kWindow); }
    void *base = nullptr;
};

void BM_FpgaRead(benchmark::State &state) {
    Window w;
    std::vector<unsigned char> buf(state.range(0));
    for (auto _ : state) {
        kt_fpga_read(w.base, buf.data(), static_cast<int>(buf.size()));
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_FpgaWrite(benchmark::State &state) {
    Window w;
    std::vector<unsigned char> buf(state.range(0), 0x5a);
    for (auto _ : state) {
        kt_fpga_write(w.base, buf.data(), static_cast<int>(buf.size()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_FpgaReadArray32(benchmark::State &state) {
    Window w;
    std::vector<unsigned char> buf(state.range(0));
    for (auto _ : state) {
        kt_fpga_read_array(w.base, buf.data(), static_cast<int>(buf.size()), 32);
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_MemcpyBaseline(benchmark::State &state) {
    Window w;
    std::vector<unsigned char> buf(state.range(0));
    for (auto _ : state) {
        std::memcpy(buf.data(), w.base, buf.size());
        benchmark::DoNotOptimize(buf.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_FpgaRead)->Arg(64)->Arg(2048)->Arg(65536);
BENCHMARK(BM_FpgaWrite)->Arg(64)->Arg(2048)->Arg(65536);
BENCHMARK(BM_FpgaReadArray32)->Arg(2048);
BENCHMARK(BM_MemcpyBaseline)->Arg(2048)->Arg(65536);

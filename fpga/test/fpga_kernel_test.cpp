// The register library on the emulated ARM board, through real ARM page tables: a UIO map
// (a physical page, mapped uncached as device memory) and the BAR of a PCI device that
// takes 32-bit accesses only, so that a load or store of another width than the library
// promises changes what the device does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kt_fpga.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The device file named by `var`; fails the test when the board did not provide it.
std::string board_file(const char *var) {
    const char *guest = getenv("KT_GUEST");
    const char *path = getenv(var);
    if (guest == nullptr || std::strcmp(guest, "1") != 0 || path == nullptr) {
        ADD_FAILURE() << "runs on the emulated board only (scripts/test-kernel): KT_GUEST=1 and "
                      << var << " must be set";
        return {};
    }
    return path;
}

// A window mapped with kt_fpga_open, and a second, independent mapping of the same
// device pages through which the test sees and sets what the library did.
class Window {
  public:
    Window(const std::string &path, uint32_t size) : size_(size) {
        if (path.empty()) {
            return;
        }
        EXPECT_EQ(kt_fpga_open(path.c_str(), size, &base_), 0) << path;
        const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        EXPECT_GE(fd, 0) << path;
        void *v = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        close(fd);
        view_ = v == MAP_FAILED ? nullptr : static_cast<volatile unsigned char *>(v);
        EXPECT_NE(view_, nullptr);
    }
    ~Window() {
        if (view_ != nullptr) {
            munmap(const_cast<unsigned char *>(view_), size_);
        }
        if (base_ != nullptr) {
            kt_fpga_close(base_, size_);
        }
    }
    bool ok() const { return base_ != nullptr && view_ != nullptr; }
    unsigned char *at(size_t offset) const { return static_cast<unsigned char *>(base_) + offset; }
    // Byte accesses only: the page is plain memory, every width reaches it unchanged.
    Bytes get(size_t offset, size_t n) const {
        Bytes out(n);
        for (size_t i = 0; i < n; ++i) {
            out[i] = view_[offset + i];
        }
        return out;
    }
    void fill(unsigned char value) const {
        for (uint32_t i = 0; i < size_; ++i) {
            view_[i] = value;
        }
    }

  private:
    uint32_t size_;
    void *base_ = nullptr;
    volatile unsigned char *view_ = nullptr;
};

TEST(FpgaOnUioMap, CopiesMoveExactlyTheirBytesThroughDeviceMemory) {
    const Window w(board_file("KT_SIM_UIO"), 4096);
    ASSERT_TRUE(w.ok());
    for (int len = -1; len <= 13; ++len) {
        w.fill(0xee);
        unsigned char src[20];
        for (int i = 0; i < 20; ++i) {
            src[i] = static_cast<unsigned char>(0x40 + i);
        }
        ASSERT_EQ(kt_fpga_write(w.at(8), src + 3, len), 0);  // unaligned source
        Bytes want(32, 0xee);
        for (int i = 0; i < len; ++i) {
            want[8 + i] = src[3 + i];
        }
        if (len > 0 && len % 4 == 3) {
            want[8 + len] = 0;  // the three-byte tail is one word store
        }
        EXPECT_EQ(w.get(0, 32), want) << "write len " << len;

        Bytes buf(20, 0xaa);
        ASSERT_EQ(kt_fpga_read(w.at(8), buf.data() + 1, len), 0);
        Bytes back(20, 0xaa);
        for (int i = 0; i < len; ++i) {
            back[1 + i] = want[8 + i];
        }
        EXPECT_EQ(buf, back) << "read len " << len;
    }
    // A port: every element goes to the same address, the last one stays.
    w.fill(0xee);
    const unsigned char elems[8] = {0x11, 0x12, 0x21, 0x22, 0x31, 0x32, 0x41, 0x42};
    EXPECT_EQ(kt_fpga_write_array(w.at(6), elems, 7, 16), 7);
    EXPECT_EQ(w.get(4, 4), (Bytes{0xee, 0xee, 0x31, 0x32}));
    Bytes port(6, 0xaa);
    EXPECT_EQ(kt_fpga_read_array(w.at(6), port.data(), 5, 16), 5);
    EXPECT_EQ(port, (Bytes{0x31, 0x32, 0x31, 0x32, 0xaa, 0xaa}));
}

TEST(FpgaOnUioMap, CloseUnmapsTheWindow) {
    const std::string path = board_file("KT_SIM_UIO");
    ASSERT_FALSE(path.empty());
    void *base = nullptr;
    ASSERT_EQ(kt_fpga_open(path.c_str(), 4096, &base), 0);
    ASSERT_EQ(kt_fpga_close(base, 4096), 0);
    unsigned char vec;
    EXPECT_EQ(mincore(base, 4096, &vec), -1) << "still mapped after close";
}

// The PCI device's registers: 0x00 identification (low byte 0xed), 0x04 returns the
// complement of what was written, 0x08 factorial of what was written once 0x20 bit 0
// clears. Only 32-bit accesses reach them.
constexpr size_t kIdent = 0x00, kLiveness = 0x04, kFactorial = 0x08, kStatus = 0x20;

uint32_t le32(const Bytes &b) {
    return b[0] | b[1] << 8 | b[2] << 16 | uint32_t{b[3]} << 24;
}

Bytes read_reg(const Window &w, size_t offset, int len) {
    Bytes buf(static_cast<size_t>(len) + 1, 0xaa);
    EXPECT_EQ(kt_fpga_read(w.at(offset), buf.data(), len), 0);
    return buf;
}

class FpgaOnWidthCheckingDevice : public testing::Test {
  protected:
    Window w_{board_file("KT_FPGA_PCI_BAR"), 4096};
};

TEST_F(FpgaOnWidthCheckingDevice, WordsAndTheThreeByteTailAreSingleWordAccesses) {
    ASSERT_TRUE(w_.ok());
    EXPECT_EQ(read_reg(w_, kIdent, 4)[0], 0xed);

    const unsigned char word[4] = {0x01, 0x02, 0x03, 0x04};
    kt_fpga_write(w_.at(kLiveness), word, 4);
    EXPECT_EQ(le32(read_reg(w_, kLiveness, 4)), ~0x04030201u);

    // Three bytes: one word store with a zero top byte, one word load.
    const unsigned char three[3] = {0x11, 0x22, 0x33};
    kt_fpga_write(w_.at(kLiveness), three, 3);
    EXPECT_EQ(le32(read_reg(w_, kLiveness, 4)), ~0x00332211u);
    const Bytes seven = read_reg(w_, kIdent, 7);
    EXPECT_EQ(seven[0], 0xed);
    EXPECT_EQ(Bytes(seven.begin() + 4, seven.end()), (Bytes{0xee, 0xdd, 0xcc, 0xaa}));

    // 32-bit array elements through the liveness port: the last one stays.
    const unsigned char elems[8] = {1, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(kt_fpga_write_array(w_.at(kLiveness), elems, 8, 32), 8);
    Bytes two(8, 0xaa);
    EXPECT_EQ(kt_fpga_read_array(w_.at(kLiveness), two.data(), 8, 32), 8);
    EXPECT_EQ(two, (Bytes{0xfd, 0xff, 0xff, 0xff, 0xfd, 0xff, 0xff, 0xff}));

    // The device works on what it was given: 5! once it is done.
    const unsigned char five[4] = {5, 0, 0, 0};
    kt_fpga_write(w_.at(kFactorial), five, 4);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((read_reg(w_, kStatus, 4)[0] & 1) != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(le32(read_reg(w_, kFactorial, 4)), 120u);
}

// What a child saw: the bytes of one access, or the signal that ended it.
struct Outcome {
    int signal = 0;
    Bytes bytes;
};

template <class Access>
Outcome in_child(Access access, size_t n) {
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return {};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Bytes b = access();
        _exit(write(fds[1], b.data(), b.size()) == static_cast<ssize_t>(b.size()) ? 0 : 1);
    }
    close(fds[1]);
    Outcome out;
    out.bytes.resize(n);
    const ssize_t got = read(fds[0], out.bytes.data(), n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) {
        out.signal = WTERMSIG(status);
        out.bytes.clear();
    } else {
        out.bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    return out;
}

TEST_F(FpgaOnWidthCheckingDevice, OneAndTwoByteTailsAreNarrowAccesses) {
    ASSERT_TRUE(w_.ok());
    // The device refuses a narrow access; a word access would have been served. Either
    // way the bus reports it, the identification's own bytes must not come back.
    for (int len : {1, 2}) {
        const Outcome o = in_child([&] { return read_reg(w_, kIdent, len); }, len + 1);
        std::printf("read of %d byte(s): %s\n", len,
                    o.signal != 0 ? strsignal(o.signal) : "served, not as a word");
        if (o.signal != 0) {
            EXPECT_EQ(o.signal, SIGBUS) << "read len " << len;
        } else {
            ASSERT_EQ(o.bytes.size(), static_cast<size_t>(len + 1));
            EXPECT_NE(o.bytes[0], 0xed) << "read len " << len << " was a word load";
        }
    }
    const unsigned char zero[4] = {0, 0, 0, 0};
    for (int len : {1, 2}) {
        kt_fpga_write(w_.at(kLiveness), zero, 4);
        const Outcome o = in_child(
            [&] {
                const unsigned char two[2] = {0xaa, 0xbb};
                kt_fpga_write(w_.at(kLiveness), two, len);
                return Bytes{1};
            },
            1);
        EXPECT_TRUE(o.signal == 0 || o.signal == SIGBUS) << "write len " << len;
        EXPECT_EQ(le32(read_reg(w_, kLiveness, 4)), 0xffffffffu)
            << "write len " << len << " reached the register as a word store";
    }
}

}  // namespace

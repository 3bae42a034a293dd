// kt-io reg on a register file mapped as the window: hex dumps in each width, bit changes
// as read-modify-write, UIO map and physical address selection, and refusals.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "helper.h"
#include "process.h"
#include "temp_dir.h"

using Strings = std::vector<std::string>;
using Bytes = std::vector<unsigned char>;
using namespace std::chrono_literals;

// Runs the tool given in its arguments without the privileges of root.
KT_TEST_HELPER(unprivileged) {
    if (geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
        return 126;
    }
    execvp(argv[0], argv);
    return 127;
}

namespace {

kttest::Result run(const Strings &args) {
    return kttest::run(kttest::program(KT_IO_PROGRAM, args), 30s);
}

const long kPage = sysconf(_SC_PAGESIZE);

// A register file of three pages: byte i of page p holds (i + 0x40 * p) & 0xff.
class RegFile : public testing::Test {
  protected:
    void SetUp() override {
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        ASSERT_GE(fd_, 0);
        Bytes b(3 * kPage);
        for (std::size_t i = 0; i < b.size(); ++i) {
            b[i] = static_cast<unsigned char>((i % kPage) + 0x40 * (i / kPage));
        }
        ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    void TearDown() override { close(fd_); }
    Bytes get(off_t at, std::size_t n) const {
        Bytes out(n);
        EXPECT_EQ(pread(fd_, out.data(), n, at), static_cast<ssize_t>(n));
        return out;
    }
    std::string out(const Strings &args) const {
        const auto r = run(args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }
    kttest::TempDir dir_{"kt_io_reg"};
    std::string path_ = dir_.file("regs");
    int fd_ = -1;
};

}  // namespace

TEST_F(RegFile, DumpShowsSixteenBytesALineAsRegistersOfTheWidthWithAscii) {
    const std::string &p = path_;
    EXPECT_EQ(out({"reg", "dump", p, "0x38", "20", "-w", "8"}),
              "00000038: 38 39 3a 3b 3c 3d 3e 3f 40 41 42 43 44 45 46 47  |89:;<=>?@ABCDEFG|\n"
              "00000048: 48 49 4a 4b                                      |HIJK|\n");
    EXPECT_EQ(out({"reg", "dump", p, "0x7c", "--count", "5", "-w", "16"}),
              "0000007c: 7d7c 7f7e 8180 8382 8584                 ||}~.......|\n");
    EXPECT_EQ(out({"reg", "dump", p, "0x60", "--width", "32", "--count", "8"}),
              "00000060: 63626160 67666564 6b6a6968 6f6e6d6c  |`abcdefghijklmno|\n"
              "00000070: 73727170 77767574 7b7a7978 7f7e7d7c  |pqrstuvwxyz{|}~.|\n");
    // The default is 256 bytes: 16 lines.
    const std::string all = out({"reg", "dump", p, "0"});
    EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 16);
    EXPECT_EQ(all.substr(all.rfind('\n', all.size() - 2) + 1, 10), "000000f0: ");
}

TEST_F(RegFile, BitChangesReadModifyWriteOnlyTheirRegisters) {
    const std::string &p = path_;
    EXPECT_EQ(out({"reg", "set", p, "0x10", "0x80000001"}),
              "0x00000010: 0x13121110 -> 0x93121111\n");
    EXPECT_EQ(out({"reg", "clear", p, "0x22", "0x0202", "-w", "16", "--count", "2"}),
              "0x00000022: 0x2322 -> 0x2120\n0x00000024: 0x2524 -> 0x2524\n");
    EXPECT_EQ(out({"reg", "toggle", p, "0x31", "0xff", "-w", "8", "--count", "3"}),
              "0x00000031: 0x31 -> 0xce\n0x00000032: 0x32 -> 0xcd\n0x00000033: 0x33 -> 0xcc\n");
    EXPECT_EQ(get(0x0f, 6), (Bytes{0x0f, 0x11, 0x11, 0x12, 0x93, 0x14}));
    EXPECT_EQ(get(0x21, 6), (Bytes{0x21, 0x20, 0x21, 0x24, 0x25, 0x26}));
    EXPECT_EQ(get(0x30, 5), (Bytes{0x30, 0xce, 0xcd, 0xcc, 0x34}));

    EXPECT_EQ(out({"reg", "write", p, "0x40", "0xa5a5", "-w", "16", "--count", "3"}),
              "0x00000040 <- 0xa5a5\n0x00000042 <- 0xa5a5\n0x00000044 <- 0xa5a5\n");
    EXPECT_EQ(get(0x40, 8), (Bytes{0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0xa5, 0x46, 0x47}));
    EXPECT_EQ(out({"reg", "read", p, "0x40", "--count", "2"}),
              "0x00000040: 0xa5a5a5a5\n0x00000044: 0x4746a5a5\n");

    for (const Strings &bad : {Strings{"reg", "set", p, "0x10", "0x100", "-w", "8"},
                               {"reg", "toggle", p, "0x11", "1", "-w", "16"},
                               {"reg", "clear", p, "0x10"},
                               {"reg", "set", p, "0x10", "1", "--count", "0"},
                               {"reg", "read", p, "0", "--width", "64"}}) {
        EXPECT_EQ(run(bad).status, 2) << bad[1] << " " << bad.back();
    }
    EXPECT_EQ(get(0x10, 2), (Bytes{0x11, 0x11})) << "refused commands change nothing";
}

TEST_F(RegFile, MapAndPhysicalAddressSelectThePartOfTheFile) {
    const std::string &p = path_;
    const std::string page = std::to_string(kPage);
    EXPECT_EQ(out({"reg", "read", p, "0x10", "--map", "2"}), "0x00000010: 0x93929190\n");
    EXPECT_EQ(out({"reg", "write", p, "4", "0x5a", "-w", "8", "--map", "1"}),
              "0x00000004 <- 0x5a\n");
    EXPECT_EQ(get(kPage + 3, 3), (Bytes{0x43, 0x5a, 0x45}));
    EXPECT_EQ(get(4, 1), Bytes{0x04});

    // A physical address inside a page, read across the page boundary: the shown
    // addresses are physical ones.
    const std::string phys = std::to_string(kPage - 8);
    char want[128];
    std::snprintf(want, sizeof want,
                  "%08lx: f8 f9 fa fb fc fd fe ff 40 41 42 43              |........@ABC|\n",
                  kPage - 8);
    EXPECT_EQ(out({"reg", "dump", p, "0", "12", "-w", "8", "--phys", phys}), want);
    std::snprintf(want, sizeof want, "0x%08lx: 0x4140 -> 0x4040\n", kPage);
    EXPECT_EQ(out({"reg", "clear", "--phys", phys, p, "8", "0x100", "-w", "16"}), want);
    EXPECT_EQ(get(kPage, 3), (Bytes{0x40, 0x40, 0x42}));

    EXPECT_EQ(run({"reg", "read", p, "0", "--phys", "2", "-w", "32"}).status, 2) << "misaligned";
    EXPECT_EQ(run({"reg", "read", p, "0", "--phys", "0", "--map", "1"}).status, 2);
    const auto past = run(
        {"reg", "read", p, std::to_string(kPage - 2), "--map", "2", "-w", "16", "--count", "2"});
    EXPECT_EQ(past.status, 1);
    EXPECT_NE(past.err.find("holds " + std::to_string(3 * kPage) + " bytes"), std::string::npos)
        << past.err;
}

TEST_F(RegFile, PhysicalAccessWithoutPermissionIsRefusedClearly) {
    ASSERT_EQ(fchmod(fd_, 0), 0);
    for (const Strings &args : {Strings{"reg", "read", "--phys", "0x1000", path_, "0"},
                                Strings{"reg", "read", "--phys", "0", path_, "4"}}) {
        const auto r =
            kttest::run(kttest::helper("unprivileged", kttest::program(KT_IO_PROGRAM, args)), 30s);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("cannot open " + path_ +
                             ": Permission denied (physical addresses "
                             "need root"),
                  std::string::npos)
            << r.err;
    }
}

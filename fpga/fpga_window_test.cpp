// Mapping register windows from files: shared mapping, refusals and their codes.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "mapped_file.h"

namespace {

int open_descriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d != nullptr && readdir(d) != nullptr) {
        ++n;
    }
    if (d != nullptr) {
        closedir(d);
    }
    return n;
}

void *const kSentinel = reinterpret_cast<void *>(0x1234);

}  // namespace

TEST(FpgaWindow, MapsTheFileSharedBothWays) {
    MappedFile file(8192);
    ASSERT_NE(file.at(0), nullptr);
    file.put_file_bytes(4100, {0x11, 0x22});
    EXPECT_EQ(file.at(4100)[0], 0x11);
    EXPECT_EQ(file.at(4101)[0], 0x22);
    file.at(8191)[0] = 0x5a;
    EXPECT_EQ(file.file_bytes(8191, 1)[0], 0x5a);
}

TEST(FpgaWindow, OpenLeavesNoDescriptorBehind) {
    MappedFile file(4096);
    const int before = open_descriptors();
    void *base = nullptr;
    ASSERT_EQ(kt_fpga_open(file.path().c_str(), 4096, &base), 0);
    EXPECT_EQ(open_descriptors(), before);
    // A window of size 0 cannot be mapped; the file is still closed.
    void *other = kSentinel;
    EXPECT_EQ(kt_fpga_open(file.path().c_str(), 0, &other), -2);
    EXPECT_EQ(other, kSentinel);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(kt_fpga_close(base, 4096), 0);
}

TEST(FpgaWindow, RefusalsKeepTheCallersPointer) {
    void *base = kSentinel;
    EXPECT_EQ(kt_fpga_open("/nonexistent/kt_fpga_device", 4096, &base), -1);
    EXPECT_EQ(kt_fpga_open(nullptr, 4096, &base), -1);
    EXPECT_EQ(base, kSentinel);

    // A file that opens read-write but offers no mapping: a named pipe.
    char dir[] = "/tmp/kt_fpga_dir_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(kt_fpga_open(fifo.c_str(), 4096, &base), -2);
    EXPECT_EQ(base, kSentinel);
    // /dev/null cannot be mapped either.
    EXPECT_EQ(kt_fpga_open("/dev/null", 4096, &base), -2);
    EXPECT_EQ(base, kSentinel);
    unlink(fifo.c_str());
    rmdir(dir);

    MappedFile file(4096);
    EXPECT_EQ(kt_fpga_open(file.path().c_str(), 4096, nullptr), -1);
}

TEST(FpgaWindow, CloseUnmapsAndReportsFailure) {
    MappedFile file(4096);
    void *base = nullptr;
    ASSERT_EQ(kt_fpga_open(file.path().c_str(), 4096, &base), 0);
    EXPECT_EQ(kt_fpga_close(base, 4096), 0);
    // The pages are gone: the kernel reports no mapping there any more.
    unsigned char vec = 0;
    EXPECT_EQ(mincore(base, 4096, &vec), -1);
    EXPECT_EQ(errno, ENOMEM);

    EXPECT_EQ(kt_fpga_close(nullptr, 4096), -1);
    EXPECT_EQ(kt_fpga_close(file.at(1), 4096), -1);  // not page aligned
    EXPECT_EQ(kt_fpga_close(file.at(0), 0), -1);     // empty length
}

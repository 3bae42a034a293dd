// Mapping register windows from files: shared mapping, refusals and their codes.
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include "mapped_file.h"
#include "temp_dir.h"

static int open_descriptors() {
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr) {
        ++n;
    }
    closedir(d);
    return n;
}

TEST(FpgaWindow, MapsTheFileSharedAndKeepsNoDescriptor) {
    MappedFile file(8192);
    file.put(4100, {0x11});
    EXPECT_EQ(*file.at(4100), 0x11);
    *file.at(8191) = 0x5a;
    EXPECT_EQ(file.get(8191, 1)[0], 0x5a);

    const int before = open_descriptors();
    void *base = nullptr;
    ASSERT_EQ(kt_fpga_open(file.path(), 4096, &base), 0);
    EXPECT_EQ(open_descriptors(), before);
    EXPECT_EQ(kt_fpga_close(base, 4096), 0);
    unsigned char vec;
    EXPECT_EQ(mincore(base, 4096, &vec), -1) << "still mapped after close";
}

TEST(FpgaWindow, RefusalsKeepTheCallersPointerAndCloseTheFile) {
    const kttest::TempDir dir("kt-fpga");
    const std::string fifo = dir.file("fifo");  // opens read-write, cannot map
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    MappedFile file;
    const int before = open_descriptors();
    void *const old = reinterpret_cast<void *>(0x1234);
    const struct {
        const char *path;
        uint32_t size;
        int result;
    } cases[] = {{"/nonexistent/uio9", 4096, -1},
                 {nullptr, 4096, -1},
                 {fifo.c_str(), 4096, -2},
                 {"/dev/null", 4096, -2},
                 {file.path(), 0, -2}};
    for (const auto &c : cases) {
        void *base = old;
        EXPECT_EQ(kt_fpga_open(c.path, c.size, &base), c.result) << (c.path ? c.path : "null");
        EXPECT_EQ(base, old);
        EXPECT_EQ(open_descriptors(), before);
    }
    EXPECT_EQ(kt_fpga_open(file.path(), 4096, nullptr), -1);

    EXPECT_EQ(kt_fpga_close(nullptr, 4096), -1);
    EXPECT_EQ(kt_fpga_close(file.at(1), 4096), -1);  // not page aligned
    EXPECT_EQ(kt_fpga_close(file.at(0), 0), -1);
}

// Test helper: a temporary regular file mapped as a register window through kt_fpga_open,
// so that every access goes through a real shared file mapping.
#ifndef KT_FPGA_MAPPED_FILE_H
#define KT_FPGA_MAPPED_FILE_H

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kt_fpga.h"

class MappedFile {
  public:
    explicit MappedFile(uint32_t size, unsigned char fill = 0xee) : size_(size) {
        char tmpl[] = "/tmp/kt_fpga_XXXXXX";
        fd_ = mkstemp(tmpl);
        path_ = tmpl;
        std::vector<unsigned char> bytes(size, fill);
        if (fd_ < 0 || pwrite(fd_, bytes.data(), size, 0) != static_cast<ssize_t>(size)) {
            ADD_FAILURE() << "cannot prepare " << path_;
            return;
        }
        if (kt_fpga_open(path_.c_str(), size, &base_) != 0) {
            ADD_FAILURE() << "kt_fpga_open failed on " << path_;
            base_ = nullptr;
        }
    }
    ~MappedFile() {
        if (base_ != nullptr) {
            kt_fpga_close(base_, size_);
        }
        if (fd_ >= 0) {
            close(fd_);
        }
        unlink(path_.c_str());
    }
    MappedFile(const MappedFile &) = delete;
    MappedFile &operator=(const MappedFile &) = delete;

    unsigned char *at(size_t offset) const { return static_cast<unsigned char *>(base_) + offset; }
    const std::string &path() const { return path_; }

    // The file's bytes as the kernel holds them, read past the mapping.
    std::vector<unsigned char> file_bytes(size_t offset, size_t n) const {
        std::vector<unsigned char> out(n);
        EXPECT_EQ(pread(fd_, out.data(), n, offset), static_cast<ssize_t>(n));
        return out;
    }
    void put_file_bytes(size_t offset, const std::vector<unsigned char> &bytes) const {
        EXPECT_EQ(pwrite(fd_, bytes.data(), bytes.size(), offset),
                  static_cast<ssize_t>(bytes.size()));
    }

  private:
    uint32_t size_;
    int fd_ = -1;
    std::string path_;
    void *base_ = nullptr;
};

#endif  // KT_FPGA_MAPPED_FILE_H

// Test helper: a temporary file of 0xee bytes mapped as a register window with
// kt_fpga_open, so that every access goes through a real shared file mapping.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kt_fpga.h"
#include "temp_dir.h"

using Bytes = std::vector<unsigned char>;

class MappedFile {
  public:
    explicit MappedFile(uint32_t size = 4096) : size_(size), path_(dir_.file("regs")) {
        fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_GE(fd_, 0) << path_;
        put(0, Bytes(size, 0xee));
        EXPECT_EQ(kt_fpga_open(path_.c_str(), size, &base_), 0);
    }
    ~MappedFile() {
        kt_fpga_close(base_, size_);
        close(fd_);
    }
    unsigned char *at(size_t offset) const { return static_cast<unsigned char *>(base_) + offset; }
    const char *path() const { return path_.c_str(); }
    // The file's bytes as the kernel holds them, read and written past the mapping.
    Bytes get(off_t offset, size_t n) const {
        Bytes out(n);
        EXPECT_EQ(pread(fd_, out.data(), n, offset), static_cast<ssize_t>(n));
        return out;
    }
    void put(off_t offset, const Bytes &b) const {
        EXPECT_EQ(pwrite(fd_, b.data(), b.size(), offset), static_cast<ssize_t>(b.size()));
    }

  private:
    kttest::TempDir dir_{"kt-fpga"};
    uint32_t size_;
    std::string path_;
    int fd_ = -1;
    void *base_ = nullptr;
};

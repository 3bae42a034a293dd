#include "reg_window.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kt_fpga.h"

namespace ktio {

RegWindow::~RegWindow() {
    if (base_ != nullptr) {
        kt_fpga_close(base_, static_cast<std::uint32_t>(mapped_));
    }
}

bool RegWindow::open(const std::string &device, std::uint64_t offset, std::uint64_t length,
                     bool physical, std::string &error) {
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t first = offset / page * page;
    const std::uint64_t total = offset - first + length;
    if (total > 0xffffffffu) {
        error = "the window would exceed 4 GiB";
        return false;
    }
    // A plain file shorter than the window would fault on access past its end.
    struct stat st {};
    if (stat(device.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        static_cast<std::uint64_t>(st.st_size) < offset + length) {
        error = device + " holds " + std::to_string(st.st_size) + " bytes, less than the " +
                std::to_string(offset + length) + " needed";
        return false;
    }
    const std::string hint =
        physical ? " (physical addresses need root, or CAP_SYS_RAWIO, and a kernel that lets "
                   "/dev/mem reach them)"
                 : "";
    if (offset == 0) {
        const int rc = kt_fpga_open(device.c_str(), static_cast<std::uint32_t>(total), &base_);
        const int err = errno;
        if (rc != 0) {
            base_ = nullptr;
            error = (rc == -1 ? "cannot open " + device
                              : "cannot map " + std::to_string(total) + " bytes of " + device) +
                    ": " + std::strerror(err) + ((err == EACCES || err == EPERM) ? hint : "");
            return false;
        }
    } else {
        // The library maps from the start of the file only; other windows are mapped
        // here, from a page boundary as mmap requires.
        const int fd = ::open(device.c_str(), O_RDWR | O_SYNC | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            error = "cannot open " + device + ": " + std::strerror(err) +
                    ((err == EACCES || err == EPERM) ? hint : "");
            return false;
        }
        // 64-bit file offsets, so that physical addresses past 2 GiB map on 32-bit systems too.
        void *p = mmap64(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                         static_cast<off64_t>(first));
        const int err = errno;
        ::close(fd);
        if (p == MAP_FAILED) {
            char where[32];
            std::snprintf(where, sizeof where, "0x%llx", static_cast<unsigned long long>(offset));
            error = "cannot map " + std::to_string(length) + " bytes at " + where + " of " +
                    device + ": " + std::strerror(err) +
                    ((err == EACCES || err == EPERM) ? hint : "");
            return false;
        }
        base_ = p;
    }
    mapped_ = total;
    start_ = static_cast<unsigned char *>(base_) + (offset - first);
    return true;
}

}  // namespace ktio

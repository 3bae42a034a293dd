#include "sim_device.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "sim_block.h"

namespace ktsim {
namespace {

constexpr char kClassDir[] = "/sys/class";
constexpr char kDeviceDir[] = "/sys/class/ktsim";

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error("simulated device: " + what + ": " + std::strerror(errno));
}

void make_dir(const std::string &path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        fail("mkdir " + path);
    }
}

void write_text(const std::string &path, const char *format, uint32_t value) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        fail("create " + path);
    }
    fprintf(f, format, value);
    fclose(f);
}

uint32_t read_hex(const std::string &path) {
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        fail("open " + path);
    }
    unsigned value = 0;
    const int n = fscanf(f, "%x", &value);
    fclose(f);
    if (n != 1) {
        errno = EINVAL;
        fail("read " + path);
    }
    return value;
}

std::string own_mount_ns() {
    char buf[64] = {};
    const ssize_t n = readlink("/proc/self/ns/mnt", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

}  // namespace

std::string namespace_problem() {
    const char *marked = getenv("KT_SIM_NAMESPACE");
    const char *outer = getenv("KT_SIM_OUTER_MNTNS");
    if (marked == nullptr || std::strcmp(marked, "1") != 0 || outer == nullptr) {
        return "not inside a private namespace: run the program through sim/ns-run "
               "(unshare from util-linux), which gives it its own mount and network namespaces";
    }
    if (own_mount_ns() == outer) {
        return "the mount namespace is the machine's own; refusing to mount over /sys/class";
    }
    return {};
}

Device::Device(const DeviceConfig &config) : config_(config) {
    try {
        setup();
    } catch (...) {
        cleanup();
        throw;
    }
}

Device::~Device() {
    cleanup();
}

void Device::setup() {
    const char *uio = getenv("KT_SIM_UIO");
    if (uio != nullptr && *uio != '\0') {
        setup_kernel_device(uio);
        return;
    }
    const DeviceConfig &config = config_;
    const std::string problem = namespace_problem();
    if (!problem.empty()) {
        throw std::runtime_error("simulated device: " + problem);
    }
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // The region is 16 MiB longer than the largest ring, rounded to whole pages.
    const uint64_t mem = (uint64_t{config.ring_capacity} + 0x1000000u + page_ - 1) / page_ * page_;
    if (mem > 0xffffffffu - config.mem_phys) {
        errno = EINVAL;
        fail("ring capacity too large");
    }
    mem_size_ = static_cast<uint32_t>(mem);

    if (mount("ktsim", kClassDir, "tmpfs", 0, "mode=0755") != 0) {
        fail("mount tmpfs over /sys/class");
    }
    mounted_ = true;

    const std::string name = "uio" + std::to_string(config.uio_index);
    make_dir(std::string(kClassDir) + "/uio");
    sysfs_ = std::string(kClassDir) + "/uio/" + name;
    make_dir(sysfs_);
    make_dir(sysfs_ + "/maps");
    for (int map = 0; map < 2; ++map) {
        const std::string dir = sysfs_ + "/maps/map" + std::to_string(map);
        make_dir(dir);
        const uint32_t addr = map == 0 ? 0x43c00000u : config.mem_phys;
        const uint32_t size = map == 0 ? config.regs_size : mem_size_;
        write_text(dir + "/addr", "0x%08x\n", addr);
        write_text(dir + "/size", "0x%08x\n", size);
        write_text(dir + "/offset", "0x%x\n", 0);
    }

    make_dir(kDeviceDir);
    node_ = std::string(kDeviceDir) + "/" + name;
    link_ = std::string(kDeviceDir) + "/axis" + std::to_string(config.uio_index);
    const int fd = open(node_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        fail("create " + node_);
    }
    if (ftruncate(fd, static_cast<off_t>(page_ + mem_size_)) != 0) {
        close(fd);
        fail("size " + node_);
    }
    map_both(fd, page_);
    at(block_of(regs_)->magic).store(kMagic);
    // The reader finds the device through a relative link beside the node.
    if (symlink(name.c_str(), link_.c_str()) != 0) {
        fail("link " + link_);
    }
}

// Maps the register window (`regs_len` bytes at offset 0) and the CMA region (one page
// on, as UIO selects map 1) of the open device file, and closes it.
void Device::map_both(int fd, size_t regs_len) {
    void *r = mmap(nullptr, regs_len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    void *m =
        mmap(nullptr, mem_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(page_));
    close(fd);
    regs_ = r == MAP_FAILED ? nullptr : r;
    regs_len_ = regs_len;
    mem_ = m == MAP_FAILED ? nullptr : static_cast<uint8_t *>(m);
    if (regs_ == nullptr || mem_ == nullptr) {
        fail("map " + node_);
    }
}

// A UIO device of a real kernel (the test module on the emulated board): the sysfs files
// are the kernel's own and the maps are its physical pages. The sizes and the CMA
// address come from the kernel; the register page and the region start zeroed, as a
// fresh simulated device does.
void Device::setup_kernel_device(const std::string &link) {
    char target[128] = {};
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        fail("readlink " + link);
    }
    link_ = link;
    const size_t slash = link.rfind('/');
    node_ = (slash == std::string::npos ? std::string() : link.substr(0, slash + 1)) + target;
    sysfs_ = std::string(kClassDir) + "/uio/" + target;
    config_.regs_size = read_hex(sysfs_ + "/maps/map0/size");
    config_.mem_phys = read_hex(sysfs_ + "/maps/map1/addr");
    mem_size_ = read_hex(sysfs_ + "/maps/map1/size");
    if (mem_size_ <= 0x1000000u || mem_size_ - 0x1000000u < config_.ring_capacity) {
        errno = ENOSPC;
        fail(sysfs_ + " has no room for a ring of " + std::to_string(config_.ring_capacity));
    }
    config_.ring_capacity = mem_size_ - 0x1000000u;
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const int fd = open(node_.c_str(), O_RDWR);
    if (fd < 0) {
        fail("open " + node_);
    }
    map_both(fd, config_.regs_size);
    // Uncached device memory: plain stores, never a library memset, whose wide or
    // unaligned accesses such memory need not take.
    for (uint32_t i = 0; i < config_.regs_size / 4; ++i) {
        ktsim::reg32(regs_, i * 4).store(0, std::memory_order_relaxed);
    }
    auto *words = reinterpret_cast<volatile uint32_t *>(mem_);
    for (uint32_t i = 0; i < mem_size_ / 4; ++i) {
        words[i] = 0;
    }
    // A device page cannot carry a futex: the engine and the hand-over shim wake each
    // other through a word of a shared file instead, named in the block. The file is
    // made once and kept, so every process maps the same word.
    const std::string wake = "/dev/shm/ktsim-wake-" + std::string(target);
    Block *b = block_of(regs_);
    if (wake.size() >= sizeof b->wake_file) {
        errno = ENAMETOOLONG;
        fail(wake);
    }
    const int wfd = open(wake.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (wfd < 0 || ftruncate(wfd, static_cast<off_t>(page_)) != 0) {
        if (wfd >= 0) {
            close(wfd);
        }
        fail("create " + wake);
    }
    close(wfd);
    for (size_t i = 0; i < wake.size(); ++i) {
        std::atomic_ref<char>(b->wake_file[i]).store(wake[i], std::memory_order_relaxed);
    }
    at(b->magic).store(kMagic);
}

void Device::cleanup() {
    if (regs_ != nullptr) {
        munmap(regs_, regs_len_);
        regs_ = nullptr;
    }
    if (mem_ != nullptr) {
        munmap(mem_, mem_size_);
        mem_ = nullptr;
    }
    if (mounted_) {
        umount2(kClassDir, MNT_DETACH);
        mounted_ = false;
    }
}

uint32_t Device::reg32(unsigned offset) const {
    return ktsim::reg32(regs_, offset).load(std::memory_order_acquire);
}

uint8_t Device::reg8(unsigned offset) const {
    return std::atomic_ref<uint8_t>(static_cast<uint8_t *>(regs_)[offset]).load();
}

}  // namespace ktsim

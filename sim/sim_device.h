// The simulated UIO stream device: what the reader library finds under /sys/class/uio/
// and behind the device file, made for real inside a private mount namespace.
#pragma once

#include <cstdint>
#include <string>

namespace ktsim {

struct DeviceConfig {
    int uio_index = 0;
    uint32_t ring_capacity = 4u << 20;  // largest ring a reader may program
    uint32_t mem_phys = 0x38000000u;    // physical address reported for the CMA region
    uint32_t regs_size = 0x1000;        // register window (map 0)
};

// Why the simulated device cannot be made in this process, or empty when it can: it needs
// the private namespaces that sim/ns-run (or kt-sim) provides.
std::string namespace_problem();

// Mounts a tmpfs over /sys/class with uio<N>/maps/map{0,1}/{size,addr} in the kernel's
// formats, and creates the device file (register page, then the CMA region at an offset
// of one page) with a relative symbolic link beside it that names the device. Throws
// std::runtime_error with the reason when that is not possible. Unmounts on destruction.
//
// When KT_SIM_UIO names the link to a real UIO device (on the emulated board), uses that
// device instead: the kernel's sysfs files and maps, its sizes and CMA address in place of
// the configured ones; the configured ring capacity must fit.
class Device {
  public:
    explicit Device(const DeviceConfig &config = {});
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // The path to give kt_axis_init: the symbolic link to the device file.
    const std::string &path() const { return link_; }
    const std::string &node() const { return node_; }
    // The device's sysfs folder, /sys/class/uio/uio<N>.
    const std::string &sysfs_dir() const { return sysfs_; }
    uint32_t mem_size() const { return mem_size_; }
    uint32_t mem_phys() const { return config_.mem_phys; }
    uint32_t regs_size() const { return config_.regs_size; }
    // The largest ring kt_axis_init accepts on this device.
    uint32_t max_ring() const { return mem_size_ - 0x1000000u; }

    // This process's own view of the register page and the CMA region.
    void *regs() const { return regs_; }
    uint8_t *mem() const { return mem_; }
    uint32_t reg32(unsigned offset) const;
    uint8_t reg8(unsigned offset) const;

  private:
    void setup();
    void setup_kernel_device(const std::string &link);
    void map_both(int fd, size_t regs_len);
    void cleanup();

    DeviceConfig config_;
    std::string node_, link_, sysfs_;
    uint32_t mem_size_ = 0;
    size_t page_ = 0;
    void *regs_ = nullptr;
    uint8_t *mem_ = nullptr;
    size_t regs_len_ = 0;
    bool mounted_ = false;
};

}  // namespace ktsim

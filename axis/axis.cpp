// Stream DMA ring reader.
#include "kt_axis.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kUioRoot[] = "/sys/class/uio/";
constexpr uint32_t kSlotSize = KT_AXIS_SLOT_SIZE;
constexpr size_t kPathSize = 1024;
constexpr size_t kLinkSize = 128;

// Physical address of the next slot to hand out; one per process.
uint32_t g_read_ptr;

volatile uint8_t *reg8(const kt_axis *axis, unsigned offset) {
    return static_cast<volatile uint8_t *>(axis->regs) + offset;
}

volatile uint32_t *reg32(const kt_axis *axis, unsigned offset) {
    return reinterpret_cast<volatile uint32_t *>(static_cast<volatile uint8_t *>(axis->regs) +
                                                 offset);
}

// Reads one sysfs attribute of a UIO map into `value`, leaving its path in `path`.
bool read_map_attr(const char *target, const char *map, const char *attr, const char *format,
                   uint32_t *value, char *path) {
    snprintf(path, kPathSize, "%s%s%s%s", kUioRoot, target, map, attr);
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        return false;
    }
    unsigned int scanned = 0;
    const int n = fscanf(file, format, &scanned);
    fclose(file);
    if (n != 1) {
        return false;
    }
    *value = scanned;
    return true;
}

void unmap_regions(kt_axis *axis) {
    if (axis->regs != nullptr && munmap(axis->regs, axis->regs_size) != 0) {
        printf("unmmap the axis config, %s\n", strerror(errno));
    }
    if (axis->mem != nullptr && munmap(axis->mem, axis->mem_size) != 0) {
        printf("unmmap the axis memory, %s\n", strerror(errno));
    }
}

// Undoes a partly done kt_axis_init: nothing stays mapped, open or allocated.
kt_axis *fail(kt_axis *axis, int fd) {
    unmap_regions(axis);
    if (fd >= 0) {
        close(fd);
    }
    free(axis);
    return nullptr;
}

void program_engine(kt_axis *axis) {
    *reg32(axis, KT_AXIS_RING_BASE) = axis->mem_phys;
    *reg32(axis, KT_AXIS_RING_END) = axis->mem_phys + axis->up_mem_size - 1;
    *reg32(axis, KT_AXIS_RD_PTR) = axis->mem_phys;
    const uint8_t ctrl = *reg8(axis, KT_AXIS_CTRL);
    *reg8(axis, KT_AXIS_CTRL) = static_cast<uint8_t>(ctrl & ~1u);
    *reg8(axis, KT_AXIS_CTRL) = static_cast<uint8_t>(ctrl | 1u);
}

}  // namespace

kt_axis *kt_axis_init(const char *path, uint32_t up_mem_size) noexcept {
    if (path == nullptr) {
        return nullptr;
    }
    int fd = open(path, O_RDWR);
    if (fd < 0) {
        printf("open device %s failed", path);
        return nullptr;
    }

    char target[kLinkSize];
    const ssize_t len = readlink(path, target, sizeof target - 1);
    if (len < 0) {
        printf("cannot resolve %s driver filename", path);
        close(fd);
        return nullptr;
    }
    target[len] = '\0';

    auto *axis = static_cast<kt_axis *>(calloc(1, sizeof(kt_axis)));
    if (axis == nullptr) {
        printf("alloc the axis device %s failed", path);
        close(fd);
        return nullptr;
    }

    char sysfs[kPathSize];
    if (!read_map_attr(target, "/maps/map0", "/size", "0x%08x", &axis->regs_size, sysfs)) {
        printf(
            "look up the size of the axis device:%s configuration register space failed,"
            "the path is %s",
            path, sysfs);
        return fail(axis, fd);
    }
    void *regs = mmap(nullptr, axis->regs_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (regs == MAP_FAILED) {
        printf("mmap the device:%s's configuration register space failed", path);
        return fail(axis, fd);
    }
    axis->regs = regs;

    if (!read_map_attr(target, "/maps/map1", "/size", "0x%08x", &axis->mem_size, sysfs)) {
        printf("look up the size of the axis device:%s cma memory space failed, the path is %s",
               path, sysfs);
        return fail(axis, fd);
    }
    // The UIO interface selects map N by an offset of N pages.
    void *mem = mmap(nullptr, axis->mem_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                     sysconf(_SC_PAGESIZE));
    if (mem == MAP_FAILED) {
        printf("mmap the device:%s's cma memory space failed", path);
        return fail(axis, fd);
    }
    axis->mem = mem;
    close(fd);
    fd = -1;

    // Without the region's physical address the ring cannot be programmed.
    if (!read_map_attr(target, "/maps/map1", "/addr", "%x", &axis->mem_phys, sysfs)) {
        printf("look up the address of the axis device:%s cma memory space failed, the path is %s",
               path, sysfs);
        return fail(axis, fd);
    }

    // A region of 16 MiB or less leaves no room for any ring.
    const uint32_t max_ring =
        axis->mem_size > KT_AXIS_RESERVED ? axis->mem_size - KT_AXIS_RESERVED : 0;
    if (axis->mem_size <= KT_AXIS_RESERVED || up_mem_size > max_ring) {
        printf("configure up_mem_size 0x%x failed, the max value of up_mem_size is 0x%x",
               up_mem_size, max_ring);
        return fail(axis, fd);
    }

    axis->up_mem_size = up_mem_size;
    program_engine(axis);
    g_read_ptr = axis->mem_phys;
    return axis;
}

uint32_t kt_get_data_cnt(kt_axis *axis) noexcept {
    if (axis == nullptr) {
        return 0;
    }
    return *reg32(axis, KT_AXIS_DATA_CNT);
}

void *kt_axis_read_frame(kt_axis *axis, void *dst, uint32_t count) noexcept {
    if (axis == nullptr || count == 0) {
        return nullptr;
    }
    auto *slot = static_cast<uint8_t *>(axis->mem) + (g_read_ptr - axis->mem_phys);
    if (dst != nullptr) {
        memcpy(dst, slot, kSlotSize);
    }
    // Compared in 64 bits: a ring that ends at the top of the 32-bit address space must
    // still wrap.
    g_read_ptr += kSlotSize;
    if (uint64_t{g_read_ptr} >= uint64_t{axis->mem_phys} + axis->up_mem_size ||
        g_read_ptr < axis->mem_phys) {
        g_read_ptr = axis->mem_phys;
    }
    return slot;
}

int kt_axis_read_done(kt_axis *axis) noexcept {
    if (axis == nullptr) {
        return -1;
    }
    *reg32(axis, KT_AXIS_RD_PTR) = g_read_ptr;
    return 0;
}

void kt_axis_exit(kt_axis *axis) noexcept {
    if (axis == nullptr) {
        return;
    }
    unmap_regions(axis);
    free(axis);
}

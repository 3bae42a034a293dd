// The acquisition handle: opening and closing the stream device.
#include <cstdio>
#include <cstdlib>

#include "kt_daq.h"
#include "internal.h"

kt_daq *kt_daq_create(const char *path, uint32_t up_mem_size) noexcept {
    auto *daq = static_cast<kt_daq *>(malloc(sizeof(kt_daq)));
    if (daq == nullptr) {
        return nullptr;
    }
    daq->axis = kt_axis_init(path, up_mem_size);
    kt_daq *result = daq;
    if (daq->axis == nullptr) {
        printf("init axis device %s failed\n", path);
        kt_daq_delete(daq);
        result = nullptr;
    }
    pthread_mutex_init(&mutex, nullptr);
    return result;
}

void kt_daq_delete(kt_daq *daq) noexcept {
    if (daq == nullptr) {
        return;
    }
    if (daq->axis != nullptr) {
        kt_axis_exit(daq->axis);  // unmaps and frees the device record
        daq->axis = nullptr;
    }
    ktdaq::release_table();
    pthread_mutex_destroy(&mutex);
    // The table outlives handles and may be changed before the next handle exists; a
    // destroyed mutex would leave those changes unguarded.
    pthread_mutex_init(&mutex, nullptr);
    free(daq);
}

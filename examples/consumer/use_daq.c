/* Registers subscribers with libktdaq and reads its exported table under its lock. */
#include <pthread.h>
#include <stddef.h>

#include <kt_daq.h>

#include "check.h"

int main(void) {
    CHECK(kt_daq_create("/nonexistent/axis0", 1u << 20) == NULL);

    CHECK(add_channel(2, 3) == 0);
    CHECK(add_channel(2, 3) == 0);
    CHECK(add_channel(256, 0) == -1);
    pthread_mutex_lock(&mutex);
    int found = 0;
    for (unsigned i = 0; i < g_channel_info.used; i++) {
        uint32_t e = g_channel_info.entries[i];
        if ((e & 0xffffu) == kt_source_key(2, 3)) {
            CHECK(e >> 16 == 2);
            found = 1;
        }
    }
    pthread_mutex_unlock(&mutex);
    CHECK(found);
    CHECK(delete_channel(2, 3) == 0);
    CHECK(g_channel[0] == NULL);
    puts("\nuse-daq: subscribers registered");
    return 0;
}

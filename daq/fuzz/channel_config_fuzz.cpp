// Fuzz target: one configuration message per input, handled as the configuration server
// handles it, up to the point where an unknown filter would end the process; then every
// entered channel is freed, so each input starts from an empty table.
#include <dlfcn.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "kt_daq.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_handle = dlopen(KT_FILTERS_PATH, RTLD_LAZY);
    if (g_handle == nullptr) {
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // What the server keeps of a message: at most its first bytes, with a NUL behind.
    char text[ktdaq::kMaxMessage + 1];
    const size_t kept = size < ktdaq::kMaxMessage ? size : ktdaq::kMaxMessage;
    memcpy(text, data, kept);
    text[kept] = '\0';

    kt_channel *ch = ktdaq::channel_new();
    if (ch == nullptr) {
        return 0;
    }
    char error[ktdaq::kMaxMessage + 256];
    if (ktdaq::channel_build(ch, text, kept, error, sizeof error) == ktdaq::BuildResult::kBuilt) {
        ktdaq::channel_enter(ch);
    } else {
        ktdaq::channel_free(ch);
    }
    for (int i = 0; i < KT_MAX_CHANNELS; ++i) {
        kt_channel *entered = ktdaq::slot_load(i);
        if (entered == nullptr) {
            break;
        }
        ktdaq::slot_store(i, nullptr);
        ktdaq::channel_free(entered);
    }
    return 0;
}

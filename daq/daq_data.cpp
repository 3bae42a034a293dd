// Data objects that the acquisition engine exports to the application and the filter
// plug-in.
#include "kt_daq.h"

kt_channel *g_channel[KT_MAX_CHANNELS];
kt_channel_info g_channel_info;
void *g_handle;
// Statically initialised, so that subscribers registered before the first handle is
// created are guarded as well.
pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;

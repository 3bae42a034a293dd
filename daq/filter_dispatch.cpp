// Filter mode: frames from the ring in batches, through the filter chains of the channels.
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "kt_daq.h"
#include "kt_util.h"

namespace {

constexpr uint32_t kBatchLimit = 204799;  // bytes; a batch takes at most 100 slots

// Whether a channel has a client; the filters see the same socket.
bool has_client(kt_channel *ch) {
    return ktdaq::conn_of(ch).load(std::memory_order_seq_cst) > 0;
}

// Corking. A batch of several frames sends one frame after the other to the same
// clients; each send on its own would push a segment through the stack to the client.
// So while a batch of more than one frame runs, the client socket of every channel that
// gets a frame of it is corked, from just before its first frame, and uncorked when the
// batch ends, which pushes what is left at once: a client receives the same bytes in the
// same order, in fewer segments, none later than the end of the batch that sent it.
//
// Descriptors: a socket is corked or uncorked only under a visit of its record, with
// conn_fd read after the visit was announced, just as a filter sends; its number cannot
// be given out again meanwhile (see internal.h). A client that is replaced or gone
// mid-batch was shut down, which sends what its socket still holds; its successor was
// never corked, and uncorking it does nothing.
class Corks {
  public:
    // Before a batch of `frames` frames.
    void begin(uint32_t frames) {
        active_ = frames > 1;
        count_ = 0;
    }

    // Corks the client socket of the channel in slot `index`, visited now, unless it was
    // corked in this batch already.
    void cork(int index, kt_channel *ch) {
        if (!active_ || corked_[index]) {
            return;
        }
        corked_[index] = true;
        slots_[count_++] = static_cast<uint8_t>(index);
        set(ch, 1);
    }

    // After the batch: uncorks what was corked, each through a visit of its slot's record.
    void end() {
        for (int k = 0; k < count_; ++k) {
            const int index = slots_[k];
            corked_[index] = false;
            if (kt_channel *ch = ktdaq::visit(index)) {
                set(ch, 0);
            }
        }
        ktdaq::scan_done();
        count_ = 0;
    }

  private:
    static void set(kt_channel *ch, int on) {
        const int fd = ktdaq::conn_of(ch).load(std::memory_order_seq_cst);
        if (fd > 0) {
            // A failure leaves the socket as it was; the filter's send reports what matters.
            setsockopt(fd, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
        }
    }

    static_assert(KT_MAX_CHANNELS <= 256, "slot indices are kept in bytes");
    bool active_ = false;
    int count_ = 0;
    bool corked_[KT_MAX_CHANNELS] = {};
    uint8_t slots_[KT_MAX_CHANNELS] = {};
};

Corks g_corks;  // the dispatch thread's

// Runs the channel's chain on `buffer`, reading the slot again after each filter, as a
// filter may take time and the channel may be replaced meanwhile.
void run_chain(int index, kt_channel *ch, uint8_t *buffer) {
    for (int k = 0; k < KT_MAX_FILTERS && ch != nullptr; ++k) {
        const kt_filter_fn filter = ch->filters[k];
        if (filter == nullptr) {
            return;
        }
        filter(ch, reinterpret_cast<kt_frame *>(buffer));
        ch = ktdaq::visit(index);
    }
}

// Hands one frame to every channel that takes it.
void scan(uint8_t *frame_copy, uint8_t *scratch) {
    const auto *frame = reinterpret_cast<const kt_frame *>(frame_copy);
    for (int i = 0; i < KT_MAX_CHANNELS; ++i) {
        kt_channel *ch = ktdaq::visit(i);
        if (ch == nullptr) {
            return;
        }
        const bool every_frame =
            ch->module_id == 255 && ch->sub_filter_count >= 1 && ch->sub_filters[0] == 255;
        if (every_frame && has_client(ch)) {
            // The first filter works on the frame copy itself: later channels see its work.
            ktdaq::bump(ktdaq::filter_counters.channel_frames[i]);
            if (ch->filters[0] != nullptr) {
                g_corks.cork(i, ch);
                ch->filters[0](ch, reinterpret_cast<kt_frame *>(frame_copy));
            }
            continue;
        }
        if (ch->module_id != frame->module_id) {
            continue;
        }
        for (uint32_t j = 0; j < ch->sub_filter_count; ++j) {
            if (ch->sub_filters[j] == frame->channel_id && has_client(ch)) {
                if (ch->filters[0] != nullptr) {
                    g_corks.cork(i, ch);
                }
                memcpy(scratch, frame_copy, KT_SLOT_SIZE);
                ktdaq::bump(ktdaq::filter_counters.channel_frames[i]);
                run_chain(i, ch, scratch);
                ch = ktdaq::visit(i);
                if (ch == nullptr) {
                    break;
                }
            }
        }
    }
}

}  // namespace

int kt_daqex_run(kt_daq *daq) noexcept {
    if (daq == nullptr) {
        puts("kt_daq_high_speed_run parameters invalid");
        return -1;
    }
    g_handle = dlopen("libktfilters.so", RTLD_LAZY);
    if (g_handle == nullptr) {
        fprintf(stderr, "%s\n", dlerror());
        exit(1);
    }
    dlerror();
    for (int i = 0; i < KT_MAX_CHANNELS; ++i) {
        ktdaq::slot_store(i, nullptr);
    }
    pthread_t server{};
    if (pthread_create(&server, nullptr, pthread_config_channel, nullptr) == 0) {
        pthread_detach(server);
    }

    alignas(8) static uint8_t frame_copy[KT_SLOT_SIZE];
    alignas(8) static uint8_t scratch[KT_SLOT_SIZE];
    kt_axis *axis = daq->axis;
    ktdaq::FilterCounters &counters = ktdaq::filter_counters;
    for (;;) {
        uint32_t count = 0;
        while ((count = kt_get_data_cnt(axis)) == 0) {
            kt_sleep_ms(10);
        }
        g_corks.begin(count / KT_SLOT_SIZE);
        uint32_t taken = 0;
        do {
            memcpy(frame_copy, kt_axis_read_frame(axis, nullptr, count), KT_SLOT_SIZE);
            ktdaq::bump(counters.taken);
            // A frame that claims more than its slot holds is dropped: no filter may read
            // or send past the 2048-byte buffer on its account.
            if (kt_frame_fits_slot(reinterpret_cast<const kt_frame *>(frame_copy))) {
                scan(frame_copy, scratch);
                ktdaq::scan_done();
                ktdaq::bump(counters.dispatched);
            }
            taken += KT_SLOT_SIZE;
        } while (taken <= kBatchLimit && taken < count);
        kt_axis_read_done(axis);
        g_corks.end();
        ktdaq::bump(counters.batches);
    }
}

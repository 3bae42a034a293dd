#include "internal.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kt_daq.h"
#include "kt_util.h"

namespace ktdaq {
namespace {

constexpr int kMaxSubFilters = 128;

// A value of an item: not NUL-terminated, ends at `end`.
struct Span {
    const char *begin;
    const char *end;
    size_t size() const { return static_cast<size_t>(end - begin); }
};

char *copy_text(Span value) {
    char *s = static_cast<char *>(malloc(value.size() + 1));
    if (s != nullptr) {
        memcpy(s, value.begin, value.size());
        s[value.size()] = '\0';
    }
    return s;
}

// A decimal number as strtol reads it, held to the 32-bit range.
int32_t read_number(Span value) {
    char buf[kMaxMessage + 1];
    const size_t n = value.size() < sizeof buf - 1 ? value.size() : sizeof buf - 1;
    memcpy(buf, value.begin, n);
    buf[n] = '\0';
    const long v = strtol(buf, nullptr, 10);
    if (v > INT32_MAX) {
        return INT32_MAX;
    }
    if (v < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(v);
}

// Calls fn(piece) for each piece of `value` cut at ",", empty pieces included; stops
// after `limit` pieces. Returns the number of pieces visited.
template <class Fn>
int for_each_piece(Span value, int limit, Fn fn) {
    int count = 0;
    const char *start = value.begin;
    while (count < limit) {
        const char *comma = static_cast<const char *>(memchr(start, ',', value.end - start));
        const char *stop = comma != nullptr ? comma : value.end;
        fn(Span{start, stop});
        ++count;
        if (comma == nullptr) {
            break;
        }
        start = comma + 1;
    }
    return count;
}

// Opens the channel's listening socket on the port the record holds now and starts its
// acceptor. Releases what an earlier key 3 item of the same message had set up.
bool set_sources(kt_channel *ch, Span value) {
    int32_t scratch[kMaxSubFilters] = {};
    const int count = for_each_piece(value, kMaxSubFilters, [&, i = 0](Span piece) mutable {
        scratch[i++] = read_number(piece);
    });
    channel_close(ch);
    free(ch->sub_filters);
    ch->sub_filters = static_cast<int32_t *>(malloc(sizeof(int32_t) * count));
    if (ch->sub_filters == nullptr) {
        ch->sub_filter_count = 0;
        puts("kt_create_channel malloc failed");
        return false;
    }
    memcpy(ch->sub_filters, scratch, sizeof(int32_t) * count);
    ch->sub_filter_count = static_cast<uint32_t>(count);

    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        return false;
    }
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        perror("setsockopt");
        close(fd);
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(ch->port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("bind");
        close(fd);
        return false;
    }
    if (listen(fd, 5) != 0) {
        perror("listen");
        close(fd);
        return false;
    }
    ch->listen_fd = fd;
    if (!channel_start_acceptor(ch)) {  // says why
        close(fd);
        ch->listen_fd = -1;
        return false;
    }
    return true;
}

// Looks the filter names up; false, with the loader's text in `error`, at the first name
// the plug-in does not define.
bool set_filters(kt_channel *ch, Span value, char *error, size_t error_size) {
    for (kt_filter_fn &f : ch->filters) {
        f = nullptr;
    }
    bool found = true;
    for_each_piece(value, KT_MAX_FILTERS, [&, i = 0](Span name) mutable {
        if (!found) {
            return;
        }
        char buf[kMaxMessage + 1];
        memcpy(buf, name.begin, name.size());
        buf[name.size()] = '\0';
        ch->filters[i] = find_filter(g_handle, buf, error, error_size);
        found = ch->filters[i++] != nullptr;
    });
    return found;
}

// Handles one item; anything but kBuilt ends the handling of the message.
BuildResult handle_item(kt_channel *ch, Span item, char *error, size_t error_size) {
    if (item.size() == 0 || item.begin[0] < '0' || item.begin[0] > '5') {
        return BuildResult::kBuilt;  // not an item: ignored
    }
    // The key, a separator that is never looked at, then the value; an item of one
    // character has an empty value.
    const Span value{item.size() >= 2 ? item.begin + 2 : item.end, item.end};
    switch (item.begin[0]) {
        case '0':
            free(ch->name);
            ch->name = copy_text(value);
            break;
        case '1':
            std::atomic_ref<uint16_t>(ch->port).store(static_cast<uint16_t>(read_number(value)),
                                                      std::memory_order_relaxed);
            break;
        case '2':
            ch->module_id = static_cast<uint8_t>(read_number(value));
            break;
        case '3':
            return set_sources(ch, value) ? BuildResult::kBuilt : BuildResult::kDropped;
        case '4':
            free(ch->param);
            ch->param = copy_text(value);
            break;
        case '5':
            if (!set_filters(ch, value, error, error_size)) {
                return BuildResult::kUnknownFilter;
            }
            break;
    }
    return BuildResult::kBuilt;
}

void print_summary(const kt_channel *ch) {
    char line[2048] = {};
    if (ch->sub_filter_count != 0) {
        snprintf(line, sizeof line, "create channel : %s, port = %d, sub_filters : %d:%ld",
                 ch->name, ch->port, ch->module_id, static_cast<long>(ch->sub_filters[0]));
        for (uint32_t j = 1; j < ch->sub_filter_count; ++j) {
            char entry[32] = {};
            snprintf(entry, sizeof entry, ", %d:%ld", ch->module_id,
                     static_cast<long>(ch->sub_filters[j]));
            strncat(line, entry, sizeof line - strlen(line) - 1);
        }
    }
    puts(line);
}

// The slot a record of this name takes: its namesake's, else the first empty one; -1
// when all slots hold other channels.
int find_slot(const char *name) {
    for (int i = 0; i < KT_MAX_CHANNELS; ++i) {
        const kt_channel *ch = slot_load(i);
        if (ch == nullptr || strcmp(ch->name, name) == 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace

BuildResult channel_build(kt_channel *ch, const char *text, size_t length, char *error,
                          size_t error_size) noexcept {
    const char *end = static_cast<const char *>(memchr(text, '\0', length));
    end = end != nullptr ? end : text + length;
    for (const char *start = text; start <= end;) {
        const char *semi = static_cast<const char *>(memchr(start, ';', end - start));
        const char *stop = semi != nullptr ? semi : end;
        const BuildResult result = handle_item(ch, Span{start, stop}, error, error_size);
        if (result != BuildResult::kBuilt) {
            return result;  // the rest is not handled
        }
        start = stop + 1;
    }
    return BuildResult::kBuilt;
}

void channel_enter(kt_channel *ch) noexcept {
    if (ch->name == nullptr) {
        puts("kt_create_channel no channel name");
        bump(filter_counters.config_refused);
        channel_free(ch);
        return;
    }
    const int index = find_slot(ch->name);
    if (index < 0) {
        puts("kt_create_channel no free channel slot");
        bump(filter_counters.config_refused);
        channel_free(ch);
        return;
    }
    kt_channel *old = slot_load(index);
    // The new record takes the slot first; the old one is released once neither the
    // dispatch thread nor its acceptor can reach it, without waiting for either.
    slot_store(index, ch);
    filter_counters.channel_port[index].store(ch->port, std::memory_order_relaxed);
    bump(filter_counters.config_accepted);
    if (old != nullptr) {
        channel_retire(old);
        kt_sleep_ms(33);
    }
    print_summary(ch);
}

void kt_create_channel(const char *text, size_t length) noexcept {
    if (length > kMaxMessage) {
        puts("kt_create_channel message too long");
        bump(filter_counters.config_refused);
        return;
    }
    kt_channel *ch = channel_new();
    if (ch == nullptr) {
        puts("kt_create_channel malloc failed");
        bump(filter_counters.config_refused);
        return;
    }
    char error[kMaxMessage + 256];
    switch (channel_build(ch, text, length, error, sizeof error)) {
        case BuildResult::kBuilt:
            channel_enter(ch);
            break;
        case BuildResult::kDropped:
            bump(filter_counters.config_refused);
            channel_free(ch);  // nothing entered
            break;
        case BuildResult::kUnknownFilter:
            fprintf(stderr, "%s\n", error);
            exit(1);
    }
}

}  // namespace ktdaq

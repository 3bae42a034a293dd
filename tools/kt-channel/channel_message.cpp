#include "channel_message.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include "kt_daq.h"
#include "kt_records.h"
#include "tool_options.h"

namespace ktchannel {
namespace {

// The device's ranges, from the records that hold the values.
constexpr uint64_t kMaxPort = std::numeric_limits<decltype(kt_channel::port)>::max();
constexpr uint64_t kMaxModule = std::numeric_limits<decltype(kt_frame::module_id)>::max();
// The frame's channel field is a bit field: its largest value is the one before it wraps.
constexpr uint64_t kMaxChannel = [] {
    kt_frame frame{};
    uint64_t top = 0;
    do {
        top = frame.channel_id;
        frame.channel_id = static_cast<uint8_t>(top + 1);
    } while (frame.channel_id != 0);
    return top;
}();
static_assert(kMaxChannel > 0);

// Prints "kt-channel: <text>" as one line on standard error; false.
__attribute__((format(printf, 1, 2))) bool refuse(const char *format, ...) {
    va_list args;
    va_start(args, format);
    fputs("kt-channel: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
    return false;
}

std::vector<std::string> pieces(const std::string &value) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t comma = value.find(',', start);
        out.push_back(value.substr(start, comma - start));
        if (comma == std::string::npos) {
            return out;
        }
        start = comma + 1;
    }
}

std::string range(uint64_t low, uint64_t high) {
    return "give a whole number from " + std::to_string(low) + " to " + std::to_string(high);
}

bool check_sources(const std::string &value, uint64_t module) {
    const auto list = pieces(value);
    if (list.size() > kMaxSources) {
        return refuse("%zu channels given; the device takes at most %zu in one channel",
                      list.size(), kMaxSources);
    }
    for (size_t i = 0; i < list.size(); ++i) {
        // KT_DAQ_ALL_FRAMES as module and first channel takes every frame.
        const bool all =
            i == 0 && module == KT_DAQ_ALL_FRAMES && list[i] == std::to_string(KT_DAQ_ALL_FRAMES);
        if (!all && !kttool::parse_in_range(list[i].c_str(), 0, kMaxChannel)) {
            return refuse("bad channel \"%s\": %s (or %d first with module %d: every frame)",
                          list[i].c_str(), range(0, kMaxChannel).c_str(), KT_DAQ_ALL_FRAMES,
                          KT_DAQ_ALL_FRAMES);
        }
    }
    return true;
}

bool check_filters(const std::string &value, const FilterCheck &is_filter,
                   const std::vector<std::string> &known) {
    const auto list = pieces(value);
    if (list.size() > KT_MAX_FILTERS) {
        return refuse("%zu filters given; a channel chains at most %d", list.size(),
                      KT_MAX_FILTERS);
    }
    for (const std::string &name : list) {
        if (name.empty()) {
            return refuse("empty filter name in \"%s\"", value.c_str());
        }
        if (is_filter && !is_filter(name)) {
            std::string names;
            for (const std::string &k : known) {
                names += (names.empty() ? "" : ", ") + k;
            }
            return refuse("unknown filter \"%s\"; the plug-in defines: %s", name.c_str(),
                          names.empty() ? "none" : names.c_str());
        }
    }
    return true;
}

}  // namespace

std::vector<Item> parse_message(const std::string &text) {
    const std::string body = text.substr(0, text.find('\0'));
    std::vector<Item> items;
    size_t start = 0;
    for (;;) {
        const size_t semi = body.find(';', start);
        const std::string item = body.substr(start, semi - start);
        if (!item.empty() && item[0] >= '0' && item[0] < '0' + kKeys) {
            items.push_back({item[0] - '0', item.size() >= 2 ? item.substr(2) : ""});
        }
        if (semi == std::string::npos) {
            return items;
        }
        start = semi + 1;
    }
}

std::string join_message(const std::vector<Item> &items) {
    std::string message;
    for (const Item &item : items) {
        message += (message.empty() ? "" : ";") + std::to_string(item.key) + "=" + item.value;
    }
    return message;
}

bool check_message(const std::string &message, const std::vector<Item> &items,
                   const FilterCheck &is_filter, const std::vector<std::string> &filters_known) {
    if (message.size() > kMaxMessage) {
        return refuse("message of %zu bytes; the device takes at most %zu", message.size(),
                      kMaxMessage);
    }
    bool named = false, port_known = false;
    uint64_t module = 0;
    for (const Item &item : items) {
        const char *value = item.value.c_str();
        switch (item.key) {
            case kName:
                named = !item.value.empty();
                break;
            case kPort:
                if (!kttool::parse_in_range(value, 1, kMaxPort)) {
                    return refuse("bad port \"%s\": %s", value, range(1, kMaxPort).c_str());
                }
                port_known = true;
                break;
            case kModule:
                if (const auto m = kttool::parse_in_range(value, 0, kMaxModule)) {
                    module = *m;
                } else {
                    return refuse("bad module \"%s\": %s", value, range(0, kMaxModule).c_str());
                }
                break;
            case kSources:
                if (!port_known) {
                    return refuse(
                        "channels given without a port before them: the channel "
                        "listens on it");
                }
                if (!check_sources(item.value, module)) {
                    return false;
                }
                break;
            case kFilters:
                if (!check_filters(item.value, is_filter, filters_known)) {
                    return false;
                }
                break;
        }
    }
    if (!named) {
        return refuse("no channel name: the device enters no channel without one");
    }
    return true;
}

uint16_t listen_port(const std::vector<Item> &items) {
    uint16_t port = 0, listening = 0;
    for (const Item &item : items) {
        if (item.key == kPort) {
            port = static_cast<uint16_t>(std::stoul(item.value));
        } else if (item.key == kSources) {
            listening = port;
        }
    }
    return listening;
}

}  // namespace ktchannel

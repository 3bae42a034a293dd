// The configuration message of one channel as kt-channel builds it, and the checks it
// passes before it is sent: the ranges and sizes the device takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ktchannel {

// Keys of the items of a configuration message.
enum Key { kName = 0, kPort, kModule, kSources, kParam, kFilters, kKeys };

// Longest message the device handles, in bytes; it refuses a longer one.
constexpr size_t kMaxMessage = 1024;
// Channel numbers in one key 3 item that the device keeps; it drops the rest.
constexpr size_t kMaxSources = 128;

struct Item {
    int key;
    std::string value;
};

// The items of a message as the device reads them: cut at ";" (a NUL ends the text), an
// item whose first character is not a key is ignored, the value starts behind the key and
// one separator character.
std::vector<Item> parse_message(const std::string &text);

// The message of `items` in their order: "K=VALUE" joined by ";".
std::string join_message(const std::vector<Item> &items);

// Whether `name` is a filter the device will find (the plug-in's own function).
using FilterCheck = std::function<bool(const std::string &name)>;

// Checks `message` (whose items are `items`): a name, each number within the device's
// range, at most kMaxSources channels, at most KT_MAX_FILTERS filter names that
// `is_filter` accepts (none checked when it is empty), at most kMaxMessage bytes. Prints
// the first refusal as one line on standard error; false then. `filters_known` is what
// the refusal of an unknown filter lists.
bool check_message(const std::string &message, const std::vector<Item> &items,
                   const FilterCheck &is_filter, const std::vector<std::string> &filters_known);

// The TCP port that the channel's listening socket takes: the last key 1 value before the
// last key 3 item; 0 when the message has no key 3 item. Valid after check_message.
uint16_t listen_port(const std::vector<Item> &items);

}  // namespace ktchannel

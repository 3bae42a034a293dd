// A strict reader of the JSON that kt-daqd prints: objects, arrays, strings without
// escapes and unsigned whole numbers, which is all its lines hold.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace ktdaqd_test {

// One parsed line: the top-level object's whole-number members, its string members, and
// the number members of the objects in its arrays as "array[index].member".
struct JsonLine {
    std::map<std::string, uint64_t> numbers;
    std::map<std::string, std::string> strings;
};

// The line parsed, or nothing when it is not one complete JSON object.
std::optional<JsonLine> parse_json_line(const std::string &line);

}  // namespace ktdaqd_test

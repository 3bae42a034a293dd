#include "cli.h"

#include <algorithm>
#include <cstdio>

#include "tool_options.h"

namespace ktio {

std::optional<std::string> Args::option(const std::string &name, const std::string &alias) const {
    std::optional<std::string> value;
    for (const auto &[key, val] : options) {
        if (key == name || (!alias.empty() && key == alias)) {
            value = val;
        }
    }
    return value;
}

bool Args::flag(const std::string &name) const {
    return std::find(flags.begin(), flags.end(), name) != flags.end();
}

bool split_args(int argc, char **argv, const std::vector<std::string> &valued, Args &out) {
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        const bool is_option = word.size() > 1 && word[0] == '-' && !parse_number(word.substr(1));
        if (!is_option) {
            out.words.push_back(word);
        } else if (std::find(valued.begin(), valued.end(), word) != valued.end()) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "kt-io: option %s needs a value\n", word.c_str());
                return false;
            }
            out.options.emplace_back(word, argv[++i]);
        } else {
            out.flags.push_back(word);
        }
    }
    return true;
}

std::optional<std::uint64_t> parse_number(const std::string &text) {
    return kttool::parse_unsigned(text.c_str(), 0);
}

int usage_error(const std::string &message) {
    std::fprintf(stderr, "kt-io: %s (try kt-io --help)\n", message.c_str());
    return kUsage;
}

int failure(const std::string &message) {
    std::fprintf(stderr, "kt-io: %s\n", message.c_str());
    return kFailed;
}

std::string hex_bytes(const std::uint8_t *data, std::size_t n) {
    std::string out;
    char item[8];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(item, sizeof item, i ? " 0x%02x" : "0x%02x", data[i]);
        out += item;
    }
    return out;
}

}  // namespace ktio

#include "tool_options.h"

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace kttool {

void print_version(const char *name) {
    printf("%s %s\n", name, KT_VERSION);
}

int usage_error(const Tool &tool) {
    tool.usage(stderr);
    return kUsageStatus;
}

namespace {

// getopt_long's value for --version, outside the range of short options.
constexpr int kVersionKey = 0x100;

// The exit status for a getopt_long result that is none of the tool's own options.
int finish_option(const Tool &tool, int opt) {
    if (opt == 'h') {
        tool.usage(stdout);
        return 0;
    }
    if (opt == kVersionKey) {
        print_version(tool.name);
        return 0;
    }
    return usage_error(tool);
}

}  // namespace

std::optional<int> parse_options(const Tool &tool, int argc, char **argv, const char *short_options,
                                 std::initializer_list<Option> options,
                                 const std::function<bool(int key, const char *value)> &take) {
    std::vector<option> table;
    for (const Option &o : options) {
        table.push_back({o.name, o.has_value ? required_argument : no_argument, nullptr, o.key});
    }
    table.push_back({"help", no_argument, nullptr, 'h'});
    table.push_back({"version", no_argument, nullptr, kVersionKey});
    table.push_back({nullptr, 0, nullptr, 0});
    int opt = 0;
    while ((opt = getopt_long(argc, argv, short_options, table.data(), nullptr)) != -1) {
        if (opt == 'h' || opt == kVersionKey || opt == '?' || opt == ':') {
            return finish_option(tool, opt);
        }
        if (!take(opt, optarg)) {
            return kUsageStatus;
        }
    }
    return std::nullopt;
}

std::optional<uint64_t> parse_unsigned(const char *text, int base) {
    // strtoull itself takes leading blanks and a sign, and wraps a negative number.
    if (!isdigit(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, base);
    if (errno != 0 || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

std::optional<uint64_t> parse_in_range(const char *text, uint64_t low, uint64_t high, int base) {
    const auto value = parse_unsigned(text, base);
    if (!value || *value < low || *value > high) {
        return std::nullopt;
    }
    return value;
}

bool parse_source(const char *text, int *module_id, int *channel_id) {
    if (strcmp(text, "all") == 0) {
        *module_id = *channel_id = kAllSources;
        return true;
    }
    const char *colon = strchr(text, ':');
    if (colon == nullptr || colon - text > 3 || strlen(colon + 1) > 3) {
        return false;
    }
    const std::string module(text, colon);
    const auto m = parse_in_range(module.c_str(), 0, 255);
    const auto c = parse_in_range(colon + 1, 0, 15);
    if (!m || !c) {
        return false;
    }
    *module_id = static_cast<int>(*m);
    *channel_id = static_cast<int>(*c);
    return true;
}

bool option_number(const char *tool, const char *option, const char *text, uint64_t low,
                   uint64_t high, uint64_t *out) {
    const auto value = parse_in_range(text, low, high);
    if (!value) {
        fprintf(stderr, "%s: bad --%s %s: give a whole number from %llu to %llu\n", tool, option,
                text, static_cast<unsigned long long>(low), static_cast<unsigned long long>(high));
        return false;
    }
    *out = *value;
    return true;
}

}  // namespace kttool

#include "tool_options.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace kttool {

void print_version(const char *name) {
    printf("%s %s\n", name, KT_VERSION);
}

int usage_error(const Tool &tool) {
    tool.usage(stderr);
    return kUsageStatus;
}

int finish_option(const Tool &tool, int opt) {
    if (opt == 'h') {
        tool.usage(stdout);
        return 0;
    }
    if (opt == kVersionValue) {
        print_version(tool.name);
        return 0;
    }
    return usage_error(tool);
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

std::optional<uint64_t> option_number(const char *tool, const char *option, const char *text,
                                      uint64_t low, uint64_t high) {
    const auto value = parse_in_range(text, low, high);
    if (!value) {
        fprintf(stderr, "%s: bad --%s %s: give a whole number from %llu to %llu\n", tool, option,
                text, static_cast<unsigned long long>(low), static_cast<unsigned long long>(high));
    }
    return value;
}

}  // namespace kttool

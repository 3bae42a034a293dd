#include "spread.h"

#include <algorithm>
#include <cstdio>

namespace ktbench {

Spread spread_of(std::vector<double> values) {
    Spread s;
    if (values.empty()) {
        return s;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    s.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    s.min = values.front();
    s.max = values.back();
    s.empty = false;
    return s;
}

std::string format_spread(const Spread &s, int decimals) {
    if (s.empty) {
        return "-";
    }
    char text[96];
    snprintf(text, sizeof text, "%.*f [%.*f-%.*f]", decimals, s.median, decimals, s.min, decimals,
             s.max);
    return text;
}

}  // namespace ktbench

// Median and range of a figure over the repetitions of a run.
#pragma once

#include <string>
#include <vector>

namespace ktbench {

struct Spread {
    double median = 0;
    double min = 0;
    double max = 0;
    bool empty = true;
};

// The median (the mean of the middle two for an even count), smallest and largest value.
Spread spread_of(std::vector<double> values);

// "median [min-max]" with `decimals` places, or "-" for no values.
std::string format_spread(const Spread &s, int decimals);

}  // namespace ktbench

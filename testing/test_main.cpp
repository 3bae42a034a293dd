// The main() of every test program: a helper role when asked for one, else the tests.
#include <gtest/gtest.h>

#include "helper.h"

int main(int argc, char **argv) {
    int status = 0;
    if (kttest::run_helper(argc, argv, &status)) {
        return status;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Test support: helper roles. A test program started as "PROGRAM --kt-helper ROLE ARGS..."
// runs the function of that role instead of its tests; helper() in process.h makes that
// command. A fresh image of the program is what a child needs that runs a loop of the
// product: one merely forked from a test with threads may find a lock held for ever.
#pragma once

namespace kttest {

using HelperMain = int (*)(int argc, char **argv);

// Registers `main` under `role`; made by KT_TEST_HELPER before main() runs.
class HelperRole {
  public:
    HelperRole(const char *role, HelperMain main);
};

// When the command line names a helper role, runs it with the arguments after the role
// and returns true with its exit status in `*status`; false otherwise.
bool run_helper(int argc, char **argv, int *status);

}  // namespace kttest

// Defines the helper role `role` (an identifier); the body sees `argc` and `argv`, the
// arguments after the role, and returns the exit status.
#define KT_TEST_HELPER(role)                                                                    \
    static int kt_test_helper_##role([[maybe_unused]] int argc, [[maybe_unused]] char **argv);  \
    static const ::kttest::HelperRole kt_test_helper_role_##role(#role, kt_test_helper_##role); \
    static int kt_test_helper_##role([[maybe_unused]] int argc, [[maybe_unused]] char **argv)

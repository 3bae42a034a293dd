#include "helper.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace kttest {
namespace {

std::map<std::string, HelperMain> &roles() {
    static std::map<std::string, HelperMain> roles;
    return roles;
}

}  // namespace

HelperRole::HelperRole(const char *role, HelperMain main) {
    roles()[role] = main;
}

bool run_helper(int argc, char **argv, int *status) {
    if (argc < 3 || strcmp(argv[1], "--kt-helper") != 0) {
        return false;
    }
    const auto role = roles().find(argv[2]);
    if (role == roles().end()) {
        fprintf(stderr, "%s: no helper role %s\n", argv[0], argv[2]);
        *status = 127;
        return true;
    }
    // Output goes to pipes: line by line, so the test sees each line when it is printed.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    *status = role->second(argc - 3, argv + 3);
    fflush(stdout);
    return true;
}

}  // namespace kttest

// kt-io: bench bring-up tool for FPGA registers, serial ports and I2C devices.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "commands.h"
#include "help.h"
#include "tool_options.h"

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(ktio::full_help().c_str(), stderr);
        return ktio::kUsage;
    }
    const char *cmd = argv[1];
    if (std::strcmp(cmd, "-h") == 0 || std::strcmp(cmd, "--help") == 0 ||
        std::strcmp(cmd, "help") == 0) {
        std::fputs(ktio::full_help().c_str(), stdout);
        return ktio::kOk;
    }
    if (std::strcmp(cmd, "--version") == 0) {
        kttool::print_version("kt-io");
        return ktio::kOk;
    }
    if (std::strcmp(cmd, "reg") == 0) {
        return ktio::reg_command(argc - 2, argv + 2);
    }
    if (std::strcmp(cmd, "uart") == 0) {
        return ktio::uart_command(argc - 2, argv + 2);
    }
    if (std::strcmp(cmd, "i2c") == 0) {
        return ktio::i2c_command(argc - 2, argv + 2);
    }
    return ktio::usage_error(std::string("unknown command '") + cmd + "'");
}

// kt-io: bench bring-up tool for FPGA registers, serial ports and I2C devices.
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "commands.h"
#include "tool_options.h"

namespace {

const char kUsageText[] =
    "usage:\n"
    "  kt-io reg read  DEVICE OFFSET [-w 8|16|32]\n"
    "  kt-io reg write DEVICE OFFSET VALUE [-w 8|16|32]\n"
    "  kt-io reg dump  DEVICE OFFSET COUNT [-w 8|16|32]\n"
    "      Maps DEVICE from offset 0 and reads or writes registers at byte OFFSET with\n"
    "      single accesses of the given width (default 32). OFFSET must be aligned to it.\n"
    "  kt-io uart DEVICE [--speed BPS] [--parity N|E|O|S] [--databits 5-8]\n"
    "                    [--stopbits 1|2] [--flow none|rtscts|xonxoff]\n"
    "                    [--send TEXT | --send-hex \"HEX BYTES\"]\n"
    "                    [--recv COUNT] [--timeout MS] [--hex]\n"
    "      Configures the port (default 115200 8N1, no flow control), then sends and/or\n"
    "      receives. Received bytes go to standard output, as hex with --hex. Speeds:\n"
    "      115200 57600 38400 19200 9600 4800 2400 1200 300.\n"
    "  kt-io i2c BUS ADDR write BYTE...\n"
    "  kt-io i2c BUS ADDR read COUNT\n"
    "  kt-io i2c BUS ADDR rdwr COUNT BYTE...\n"
    "      Transfers with the 7-bit slave ADDR on the adapter device BUS; rdwr writes\n"
    "      the BYTEs and reads COUNT bytes in one combined transfer.\n"
    "Numbers are decimal, 0x hexadecimal or 0 octal. Exit status: 0 done, 1 failed,\n"
    "2 wrong command line.\n";

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsageText, stderr);
        return ktio::kUsage;
    }
    const char *cmd = argv[1];
    if (std::strcmp(cmd, "-h") == 0 || std::strcmp(cmd, "--help") == 0 ||
        std::strcmp(cmd, "help") == 0) {
        std::fputs(kUsageText, stdout);
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

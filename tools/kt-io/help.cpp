#include "help.h"

#include <cstdio>

#include "cli.h"

namespace ktio {
namespace {

const char kRegHelp[] =
    "  kt-io reg read   DEVICE OFFSET [--count N]\n"
    "  kt-io reg write  DEVICE OFFSET VALUE [--count N]\n"
    "  kt-io reg set    DEVICE OFFSET MASK [--count N]\n"
    "  kt-io reg clear  DEVICE OFFSET MASK [--count N]\n"
    "  kt-io reg toggle DEVICE OFFSET MASK [--count N]\n"
    "  kt-io reg dump   DEVICE OFFSET [COUNT]\n"
    "      Maps the register window of DEVICE (a UIO device or any mappable file) and\n"
    "      accesses COUNT (--count, default 1; 256 bytes for dump) registers from byte\n"
    "      OFFSET with single accesses of the chosen width. write stores VALUE in each;\n"
    "      set, clear and toggle read each register, apply MASK and write it back,\n"
    "      printing the value before and after; dump prints a hex dump with an ASCII\n"
    "      column, 16 bytes a line (8 or 4 registers for widths 16 and 32).\n"
    "    -w, --width 8|16|32  register width in bits (default 32); OFFSET must be\n"
    "                         aligned to it\n"
    "    --map N              UIO map N of DEVICE (mapped at offset N pages)\n"
    "    --phys ADDR          physical address ADDR through DEVICE, /dev/mem when DEVICE\n"
    "                         is left out (needs root); offsets count from ADDR\n"
    "    Examples:\n"
    "      kt-io reg read /dev/uio0 0x10\n"
    "      kt-io reg set /dev/uio0 0x04 0x1 --map 1\n"
    "      kt-io reg dump --phys 0x43c00000 0 64 -w 8\n";

const char kUartHelp[] =
    "  kt-io uart DEVICE [--speed BPS] [--parity N|E|O|S] [--databits 5-8]\n"
    "                    [--stopbits 1|2] [--flow none|rtscts|xonxoff]\n"
    "                    [--send TEXT | --send-hex \"HEX BYTES\"]\n"
    "                    [--recv COUNT [--timeout MS] | --term [--echo]] [--hex]\n"
    "      Configures the port (default 115200 8N1, no flow control), then sends and/or\n"
    "      receives. Received bytes go to standard output, as hex with --hex.\n"
    "      Speeds: 300 1200 2400 4800 9600 19200 38400 57600 115200 230400 460800 500000\n"
    "      576000 921600 1000000 1152000 1500000 2000000 2500000 3000000 3500000 4000000.\n"
    "    --send TEXT          sends TEXT; the escapes \\r \\n \\t \\\\ and \\xNN stand for\n"
    "                         CR, LF, tab, a backslash and the byte NN\n"
    "    --send-hex BYTES     sends hex bytes, e.g. \"0d 0a\"\n"
    "    --recv COUNT         waits up to --timeout MS (default 1000) for COUNT bytes\n"
    "    --term               interactive terminal: keys go to the port raw and the\n"
    "                         port's bytes to the screen, until Ctrl-] is typed or\n"
    "                         standard input ends; --echo also shows the typed bytes\n"
    "    Examples:\n"
    "      kt-io uart /dev/ttyS1 --speed 921600 --send 'ID?\\r\\n' --recv 16\n"
    "      kt-io uart /dev/ttyUSB0 --term --hex\n";

const char kI2cHelp[] =
    "  kt-io i2c BUS scan [--write-probe]\n"
    "  kt-io i2c BUS dump ADDR [--reg16]\n"
    "  kt-io i2c BUS get  ADDR REG [--count N] [--reg16]\n"
    "  kt-io i2c BUS set  ADDR REG BYTE... [--reg16]\n"
    "  kt-io i2c BUS write ADDR BYTE...\n"
    "  kt-io i2c BUS read  ADDR COUNT\n"
    "  kt-io i2c BUS rdwr  ADDR COUNT BYTE...\n"
    "      Transfers with the 7-bit slave ADDR on the adapter BUS: a device path, or a\n"
    "      number N for /dev/i2c-N. scan probes 0x08 to 0x77 with a one-byte read and\n"
    "      prints the address table (-- for no answer); dump prints registers 0x00 to\n"
    "      0xff; get reads COUNT (default 1) registers from REG; set writes the BYTEs from\n"
    "      REG on; rdwr writes the BYTEs and reads COUNT bytes in one combined transfer.\n"
    "      The older order BUS ADDR write|read|rdwr ... is accepted too.\n"
    "    --write-probe        probe with an empty write instead of a read, for devices\n"
    "                         that do not answer reads. WARNING: some devices take an\n"
    "                         empty write as a command (a write-protect latch, say)\n"
    "    --reg16              register addresses of two bytes, high byte first\n"
    "    Examples:\n"
    "      kt-io i2c 1 scan\n"
    "      kt-io i2c 1 dump 0x50\n"
    "      kt-io i2c /dev/i2c-0 set 0x50 0x0010 0xab --reg16\n";

const char kCommon[] =
    "Numbers are decimal, 0x hexadecimal or 0 octal. Every command takes --help.\n"
    "Exit status: 0 done, 1 the device or transfer failed, 2 wrong command line.\n";

}  // namespace

std::string full_help() {
    return std::string("usage:\n") + kRegHelp + kUartHelp + kI2cHelp + kCommon +
           "  kt-io --version  prints the version\n";
}

int print_help(const std::string &command) {
    const char *text = command == "reg" ? kRegHelp : command == "uart" ? kUartHelp : kI2cHelp;
    std::printf("usage:\n%s%s", text, kCommon);
    return kOk;
}

}  // namespace ktio

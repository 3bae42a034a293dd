// The kt-io commands; each takes the words after its own name.
#ifndef KT_IO_COMMANDS_H
#define KT_IO_COMMANDS_H

namespace ktio {

int reg_command(int argc, char **argv);
int uart_command(int argc, char **argv);
int i2c_command(int argc, char **argv);

}  // namespace ktio

#endif  // KT_IO_COMMANDS_H

// Interactive terminal on an open serial port.
#ifndef KT_IO_UART_TERM_H
#define KT_IO_UART_TERM_H

namespace ktio {

// The key that ends the terminal: Ctrl-] (group separator).
constexpr unsigned char kTermExitKey = 0x1d;

struct TermOptions {
    bool echo = false;  // show the typed bytes on the screen too
    bool hex = false;   // show the port's bytes as hex, 16 a line
};

// Passes standard input to the port and the port to standard output until the exit key
// is typed, standard input ends or SIGTERM/SIGHUP arrives. A terminal on standard input
// is put in raw mode and restored before returning. Returns kOk, or kFailed when the port
// or standard output fails.
int run_terminal(int port, const TermOptions &options);

}  // namespace ktio

#endif  // KT_IO_UART_TERM_H

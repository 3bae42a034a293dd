// The stop request of a tool: SIGINT or SIGTERM sets a flag its main loop looks at.
#pragma once

namespace kttool {

// Installs the handlers of SIGINT and SIGTERM. `on_stop`, when given, is called from the
// handler as well (it must be safe in a signal handler), to wake a loop that blocks.
void install_stop_handler(void (*on_stop)() = nullptr);

// Whether SIGINT or SIGTERM has arrived.
bool stop_requested();

}  // namespace kttool

#include "tool_stop.h"

#include <csignal>

namespace kttool {
namespace {

volatile sig_atomic_t g_stop = 0;
void (*g_on_stop)() = nullptr;

void on_signal(int) {
    g_stop = 1;
    if (g_on_stop != nullptr) {
        g_on_stop();
    }
}

}  // namespace

void install_stop_handler(void (*on_stop)()) {
    g_on_stop = on_stop;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;  // as signal() does: blocking writes of the tools go on
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() {
    return g_stop != 0;
}

}  // namespace kttool

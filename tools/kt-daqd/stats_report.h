// kt-daqd's statistics lines and the signals that end it. The main thread belongs to the
// engine's loop for good, so a thread of its own waits for the signals and prints.
#pragma once

#include <string>

#include "kt_daq.h"

namespace ktdaqd {

// Why a line is printed.
enum class Reason { kInterval, kRequest, kFinal };

// One statistics line, without its line end: "key=value" words, or a JSON object.
std::string stats_line(const kt_daq_stats &stats, Reason reason, bool json);

// Blocks SIGINT, SIGTERM and SIGUSR1 in the calling thread. Call it in main before any
// thread is started, so that every thread inherits the mask and only the reporter takes
// these signals.
void block_report_signals();

// Starts the reporter thread: a line on standard output every `interval_s` seconds (none
// for 0) and at once on SIGUSR1; on SIGINT or SIGTERM a final line, then the process ends
// with status 0. False when the thread cannot be started.
bool start_reporter(unsigned interval_s, bool json);

}  // namespace ktdaqd

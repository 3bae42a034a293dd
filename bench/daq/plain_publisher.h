// The baseline: the publish loop's job done with plain ZeroMQ calls, under the loop's
// constraints. Frames come from the same simulated ring through the same reader calls;
// each goes out with zmq_send (ZeroMQ copies it) as topic and frame on a PUB with a
// one-message queue per subscriber, one frame in flight. A send that finds a queue full
// waits for room without spinning; the slot goes back once the frame is sent. With
// acknowledgements, one request is received and answered per frame on a REP socket.
#pragma once

#include <cstdint>

namespace ktbench {

[[noreturn]] void run_plain_publisher(const char *path, uint32_t ring_bytes, bool ack);

}  // namespace ktbench

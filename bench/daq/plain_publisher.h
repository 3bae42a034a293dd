// The baselines: the publish loop's job done with plain calls. Frames come from the same
// simulated ring through the same reader calls.
//
// run_plain_publisher works under the loop's constraints: each frame goes out with
// zmq_send (ZeroMQ copies it) as topic and frame on a PUB with a one-message queue per
// subscriber, one frame in flight. A send that finds a queue full waits for room without
// spinning; the slot goes back once the frame is sent. With acknowledgements, one request
// is received and answered per frame on a REP socket.
//
// run_deep_publisher is plain ZeroMQ with a deep queue: topic and frame copied by
// zmq_send on a PUB whose queue holds `queue_depth` messages per subscriber, dropping what
// finds it full as a PUB does.
//
// run_stream_floor is the floor under any publisher: one thread copies each frame out of
// its slot and writes it with one send() to the one TCP client of 127.0.0.1:`port`.
#pragma once

#include <cstdint>

namespace ktbench {

// The port of the stream floor's listener, a port of the benchmark's own.
constexpr uint16_t kStreamFloorPort = 22790;

[[noreturn]] void run_plain_publisher(const char *path, uint32_t ring_bytes, bool ack);
[[noreturn]] void run_deep_publisher(const char *path, uint32_t ring_bytes, int queue_depth);
[[noreturn]] void run_stream_floor(const char *path, uint32_t ring_bytes, uint16_t port);

}  // namespace ktbench

"""Subscriber of the publish mode: frames of chosen sources, each acknowledged."""

import collections
import dataclasses
import math
import time

import zmq

from .frame import Frame, FrameError, parse_source
from .gaps import GapCounter
from .keys import apply_curve

PUB_PORT = 22720
ACK_PORT = 22770
TOPIC_PREFIX = b"frame://"
# The publisher answers an acknowledgement as soon as it takes it; one that stays
# unanswered this long went to a publisher that is gone or awaits none.
REPLY_TIMEOUT_MS = 2500
# Back quickly when the publisher is restarted, so that few frames go out unseen.
RECONNECT_MS = 20
# The most frames one counted acknowledgement may carry: the publisher's largest window.
ACK_EVERY_MAX = 1024


def endpoint(host, port):
    return f"tcp://[{host}]:{port}" if ":" in host else f"tcp://{host}:{port}"


def topic_of(module, channel):
    return b"frame://%d:%d" % (module, channel)


@dataclasses.dataclass
class SubscriberStats:
    frames: int = 0
    per_source: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    # msg_ids skipped, and frames late or duplicated, per source (GapCounter).
    order: GapCounter = dataclasses.field(default_factory=GapCounter)
    acked: int = 0         # frames whose acknowledgement was answered
    ack_failures: int = 0  # frames whose acknowledgement was not
    ack_requests: int = 0  # acknowledgements sent
    other_topics: int = 0  # of sources not asked for that share a topic's prefix
    wrong_topic: int = 0   # whose header names another source than their topic
    malformed: int = 0

    @property
    def gaps(self):
        return self.order.gaps

    @property
    def out_of_order(self):
        return self.order.out_of_order

    @property
    def lost(self):
        return sum(self.gaps.values())


class Subscriber:
    """Iterator over the frames of ``sources`` ("all", or a list of "M:C" or pairs).

    With ``ack`` each frame is acknowledged once, when the next one is asked for or the
    subscriber is closed, so the publisher waits while the caller works on a frame. The
    iteration ends when no frame came for ``timeout`` seconds (None: waits for ever); it
    may be taken up again afterwards. Survives a restart of the publisher.

    ``ack_every`` K > 1 (1..1024, for a kt-daqd with an --ack-window of K or more) sends
    counted acknowledgements instead of one empty request per frame: one request of the
    decimal text of K per K frames, sent while frames keep coming (at most one awaits its
    reply; the frames that come meanwhile go into the next), and what remains on close().
    """

    def __init__(self, sources="all", ack=True, host="127.0.0.1", timeout=None, *,
                 pub_port=PUB_PORT, ack_port=ACK_PORT, reply_timeout_ms=REPLY_TIMEOUT_MS,
                 server_key=None, client_key=None, context=None, ack_every=1):
        if isinstance(sources, str) and sources != "all":
            sources = [sources]
        self.sources = None if sources == "all" else {parse_source(s) for s in sources}
        if self.sources is not None and not self.sources:
            raise ValueError("no sources given")
        if (isinstance(ack_every, bool) or not isinstance(ack_every, int)
                or not 1 <= ack_every <= ACK_EVERY_MAX):
            raise ValueError(f"ack_every {ack_every!r}: give a whole number from 1 to "
                             f"{ACK_EVERY_MAX}")
        self.ack = ack
        self.ack_every = ack_every
        self.timeout = timeout
        self.stats = SubscriberStats()
        self._reply_timeout_ms = reply_timeout_ms
        self._ack_endpoint = endpoint(host, ack_port)
        self._keys = (server_key, client_key)
        self._own_context = context is None
        self._context = zmq.Context() if context is None else context
        self._pending_ack = False
        self._unsent = 0      # counted frames not yet in a request
        self._in_flight = 0   # frames of the counted request awaiting its reply
        self._reply_deadline = 0.0
        self._topics = {}     # the topic of each source seen
        self._req = None
        self._sub = self._context.socket(zmq.SUB)
        try:
            self._sub.linger = 0
            self._sub.setsockopt(zmq.RECONNECT_IVL, RECONNECT_MS)
            apply_curve(self._sub, server_key, client_key)
            # A subscription matches by prefix: frame://1:1 also receives frame://1:10 to
            # 1:15, so every topic is checked whole as well.
            topics = ([TOPIC_PREFIX] if self.sources is None
                      else [topic_of(m, c) for m, c in sorted(self.sources)])
            for topic in topics:
                self._sub.setsockopt(zmq.SUBSCRIBE, topic)
            self._wanted = None if self.sources is None else set(topics)
            self._sub.connect(endpoint(host, pub_port))
            if ack:
                self._open_req()
        except Exception:
            self.close()
            raise

    def __iter__(self):
        return self

    def __next__(self):
        frame = self.receive(self.timeout)
        if frame is None:
            raise StopIteration
        return frame

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def receive(self, timeout=None):
        """The next frame of the sources, or None when none came within ``timeout``
        seconds (None: waits for ever)."""
        if self._sub is None:
            raise ValueError("subscriber is closed")
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            self._acknowledge()
            if self._in_flight:
                self._service()
            # A frame already queued is taken without a poll, which costs more than the
            # frame's own handling.
            try:
                parts = self._sub.recv_multipart(zmq.NOBLOCK, copy=False)
            except zmq.Again:
                parts = None
            if parts is not None:
                frame = self._take(parts, time.time_ns())
                if frame is not None:
                    return frame
                continue
            wait_ms = (None if deadline is None
                       else max(0, int((deadline - time.monotonic()) * 1000)))
            if self._in_flight:
                # The counted request's reply is polled for while frames keep coming.
                reply_ms = max(0, math.ceil((self._reply_deadline - time.monotonic()) * 1000))
                ready = dict(self._poller.poll(reply_ms if wait_ms is None
                                               else min(wait_ms, reply_ms)))
                self._service()
                if self._sub not in ready:
                    if deadline is not None and time.monotonic() >= deadline:
                        return None
                    continue
            elif self._sub.poll(wait_ms) == 0:
                if deadline is None:
                    continue
                return None
            parts = self._sub.recv_multipart(copy=False)
            received_ns = time.time_ns()
            frame = self._take(parts, received_ns)
            if frame is not None:
                return frame

    def close(self):
        """Acknowledges the frame in hand and closes the sockets."""
        if self._sub is None:
            return
        if self._pending_ack and self._req is not None:
            self._acknowledge()
        if self._req is not None:
            self._finish_counted()
        for sock in (self._sub, self._req):
            if sock is not None:
                sock.close(linger=0)
        self._sub = self._req = None
        if self._own_context:
            self._context.term()

    def _take(self, parts, received_ns):
        """The frame of a published message if it is one of ours; counts it. Every
        message under one of our topics is acknowledged, a malformed one too: the
        publisher awaits it all the same."""
        topic = parts[0].bytes
        if self._wanted is not None and topic not in self._wanted:
            self.stats.other_topics += 1
            return None
        self._pending_ack = self.ack
        try:
            if len(parts) != 2:
                raise FrameError(f"{len(parts)} message parts")
            frame = Frame(parts[1].buffer, received_ns)
        except FrameError:
            self.stats.malformed += 1
            return None
        source = frame.source
        expected = self._topics.get(source)
        if expected is None:
            expected = self._topics[source] = topic_of(*source)
        if topic != expected:
            self.stats.wrong_topic += 1
            return None
        self._count(source, frame.msg_id)
        return frame

    def _count(self, source, msg_id):
        self.stats.frames += 1
        self.stats.per_source[source] += 1
        self.stats.order.take(source, msg_id)

    def _open_req(self):
        self._req = self._context.socket(zmq.REQ)
        self._req.linger = 0
        self._req.sndtimeo = self._reply_timeout_ms
        apply_curve(self._req, *self._keys)
        self._req.connect(self._ack_endpoint)
        self._poller = zmq.Poller()
        self._poller.register(self._sub, zmq.POLLIN)
        self._poller.register(self._req, zmq.POLLIN)

    def _reopen_req(self):
        self._req.close(linger=0)
        self._open_req()

    def _acknowledge(self):
        """One request and its reply for the frame in hand. A REQ socket cannot send again
        before it has its reply, and the publisher may have been restarted: a reply that
        does not come costs the socket, which is made anew."""
        if not self._pending_ack:
            return
        self._pending_ack = False
        if self.ack_every > 1:
            self._unsent += 1
            self._send_due()
            return
        self.stats.ack_requests += 1
        try:
            self._req.send(b"")
            if self._req.poll(self._reply_timeout_ms) != 0:
                self._req.recv()
                self.stats.acked += 1
                return
        except zmq.Again:
            pass
        self.stats.ack_failures += 1
        self._reopen_req()

    def _send_due(self):
        if not self._in_flight and self._unsent >= self.ack_every:
            self._send_count(self.ack_every)

    def _send_count(self, count):
        """Sends a counted request for ``count`` frames; a connected REQ socket queues it
        at once."""
        self._unsent -= count
        self.stats.ack_requests += 1
        try:
            self._req.send(b"%d" % count, zmq.NOBLOCK)
        except zmq.ZMQError:
            self.stats.ack_failures += count
            self._reopen_req()
            return
        self._in_flight = count
        self._reply_deadline = time.monotonic() + self._reply_timeout_ms / 1000

    def _service(self):
        """Takes the counted request's reply if it came, gives it up when overdue, and
        sends the next request when one is due."""
        if self._in_flight:
            try:
                self._req.recv(zmq.NOBLOCK)
                self.stats.acked += self._in_flight
                self._in_flight = 0
            except zmq.Again:
                if time.monotonic() >= self._reply_deadline:
                    self.stats.ack_failures += self._in_flight
                    self._in_flight = 0
                    self._reopen_req()
        self._send_due()

    def _wait_counted_reply(self, timeout_ms):
        if self._req.poll(max(0, timeout_ms)) != 0:
            self._req.recv()
            self.stats.acked += self._in_flight
            self._in_flight = 0
            return True
        self.stats.ack_failures += self._in_flight
        self._in_flight = 0
        self._reopen_req()
        return False

    def _finish_counted(self):
        """Waits for the counted request in flight and sends the frames not yet in one,
        ack_every at most a request; stops at the first reply that does not come."""
        answered = True
        if self._in_flight:
            answered = self._wait_counted_reply(
                math.ceil((self._reply_deadline - time.monotonic()) * 1000))
        while answered and self._unsent:
            self._send_count(min(self._unsent, self.ack_every))
            answered = bool(self._in_flight) and self._wait_counted_reply(self._reply_timeout_ms)
        self.stats.ack_failures += self._unsent
        self._unsent = 0

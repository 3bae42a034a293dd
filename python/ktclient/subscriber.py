"""Subscriber of the publish mode: frames of chosen sources, each acknowledged."""

import collections
import dataclasses
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
    acked: int = 0
    ack_failures: int = 0
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
    """

    def __init__(self, sources="all", ack=True, host="127.0.0.1", timeout=None, *,
                 pub_port=PUB_PORT, ack_port=ACK_PORT, reply_timeout_ms=REPLY_TIMEOUT_MS,
                 server_key=None, client_key=None, context=None):
        if isinstance(sources, str) and sources != "all":
            sources = [sources]
        self.sources = None if sources == "all" else {parse_source(s) for s in sources}
        if self.sources is not None and not self.sources:
            raise ValueError("no sources given")
        self.ack = ack
        self.timeout = timeout
        self.stats = SubscriberStats()
        self._reply_timeout_ms = reply_timeout_ms
        self._ack_endpoint = endpoint(host, ack_port)
        self._keys = (server_key, client_key)
        self._own_context = context is None
        self._context = zmq.Context() if context is None else context
        self._pending_ack = False
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
            wait_ms = (None if deadline is None
                       else max(0, int((deadline - time.monotonic()) * 1000)))
            if self._sub.poll(wait_ms) == 0:
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
        if topic != topic_of(*source):
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

    def _acknowledge(self):
        """One request and its reply for the frame in hand. A REQ socket cannot send again
        before it has its reply, and the publisher may have been restarted: a reply that
        does not come costs the socket, which is made anew."""
        if not self._pending_ack:
            return
        self._pending_ack = False
        try:
            self._req.send(b"")
            if self._req.poll(self._reply_timeout_ms) != 0:
                self._req.recv()
                self.stats.acked += 1
                return
        except zmq.Again:
            pass
        self.stats.ack_failures += 1
        self._req.close(linger=0)
        self._open_req()

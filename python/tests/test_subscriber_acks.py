"""The subscriber's acknowledgements against a publisher of the test's own (an XPUB and a
REP socket on ports of their own): what each request says and when it goes out."""

import struct
import threading

import pytest
import zmq

import ktclient
from instrument import wait_until

WAIT_S = 10


class Publisher:
    """The publish mode's two endpoints; every request is recorded and answered, unless
    replies are held back."""

    def __init__(self):
        self.context = zmq.Context()
        self.pub = self.context.socket(zmq.XPUB)
        self.rep = self.context.socket(zmq.REP)
        for sock in (self.pub, self.rep):
            sock.linger = 0
        self.pub_port = self.pub.bind_to_random_port("tcp://127.0.0.1")
        self.ack_port = self.rep.bind_to_random_port("tcp://127.0.0.1")
        self.requests = []
        self.released = threading.Event()
        self.released.set()
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._answer, daemon=True)
        self._thread.start()

    def _answer(self):
        while not self._stop.is_set():
            if self.rep.poll(50) == 0:
                continue
            parts = self.rep.recv_multipart()
            with self._lock:
                self.requests.append(b"|".join(parts))
            while not self.released.wait(0.05):
                if self._stop.is_set():
                    return
            self.rep.send(b"")

    def recorded(self):
        with self._lock:
            return list(self.requests)

    def wait_recorded(self, n):
        """The requests once ``n`` have come (a request goes out before the subscriber's
        next frame, and arrives in its own time)."""
        wait_until(lambda: len(self.recorded()) >= n, WAIT_S)
        return self.recorded()

    def wait_subscribed(self):
        assert self.pub.poll(WAIT_S * 1000), "no subscription"
        assert self.pub.recv()[0] == 1

    def send(self, msg_id, source=(1, 1)):
        header = struct.pack("<BBH10sH", source[0], source[1], msg_id, bytes(10), 4)
        self.pub.send_multipart([b"frame://%d:%d" % source, header + bytes(4) + bytes(4)])

    def close(self):
        self.released.set()
        self._stop.set()
        self._thread.join()
        self.pub.close()
        self.rep.close()
        self.context.term()


@pytest.fixture
def publisher():
    pub = Publisher()
    yield pub
    pub.close()


def subscriber(pub, **kwargs):
    return ktclient.Subscriber("all", ack=True, pub_port=pub.pub_port, ack_port=pub.ack_port,
                               **kwargs)


def take(sub, count):
    for i in range(count):
        assert sub.receive(WAIT_S) is not None, f"frame {i} did not come"


def test_by_default_each_frame_gets_an_empty_request(publisher):
    with subscriber(publisher) as sub:
        publisher.wait_subscribed()
        for i in range(5):
            publisher.send(i)
        take(sub, 5)
        assert publisher.recorded() == [b""] * 4  # the last frame still in hand
    assert publisher.recorded() == [b""] * 5
    assert sub.stats.acked == 5 and sub.stats.ack_requests == 5


def test_counted_requests_carry_k_frames_while_frames_keep_coming(publisher):
    publisher.released.clear()
    with subscriber(publisher, ack_every=4) as sub:
        publisher.wait_subscribed()
        for i in range(10):
            publisher.send(i)
        # Every frame comes while the first request's reply is held back.
        take(sub, 10)
        assert publisher.wait_recorded(1) == [b"4"]
        assert sub.stats.acked == 0
        publisher.released.set()
    # On close: the reply in flight, then the five frames counted since and the one in
    # hand, K at most a request.
    assert publisher.recorded() == [b"4", b"4", b"2"]
    assert sub.stats.acked == 10 and sub.stats.ack_failures == 0
    assert sub.stats.ack_requests == 3


def test_a_reply_that_never_comes_costs_its_frames_and_the_next_request_is_heard(publisher):
    publisher.released.clear()
    with subscriber(publisher, ack_every=2, reply_timeout_ms=200) as sub:
        publisher.wait_subscribed()
        for i in range(3):
            publisher.send(i)
        take(sub, 3)
        assert publisher.wait_recorded(1) == [b"2"]
        # No frame comes: the reply is given up while waiting for one.
        assert sub.receive(0.5) is None
        assert sub.stats.ack_failures == 2
        publisher.released.set()  # the late reply goes to the closed socket
        for i in range(3, 5):
            publisher.send(i)
        take(sub, 2)
    assert publisher.recorded() == [b"2", b"2", b"1"]
    assert sub.stats.acked == 3 and sub.stats.ack_failures == 2


@pytest.mark.parametrize("bad", [0, 1025, -1, 2.0, "4", True])
def test_a_count_outside_its_range_is_refused(bad):
    with pytest.raises(ValueError, match="ack_every"):
        ktclient.Subscriber("all", ack=True, ack_every=bad)

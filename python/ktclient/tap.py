"""Client of a channel's TCP port: the stream cut into whole frames."""

import socket
import time

from .frame import FRAME_OVERHEAD, HEADER_SIZE, SLOT_SIZE, Frame, FrameError, frame_length

RECV_SIZE = 65536


class Tap:
    """Iterator over the frames a channel sends to its one client.

    A frame that lies whole in one received block is a view of that block; one cut by a
    block boundary is put together in a buffer of its own. The iteration ends when the
    device closes the connection or, with ``timeout``, when nothing came for that many
    seconds. A frame that the closed stream leaves incomplete raises FrameError."""

    def __init__(self, port, host="127.0.0.1", timeout=None, connect_timeout=10):
        self.timeout = timeout
        self.frames = 0
        self._sock = socket.create_connection((host, port), timeout=connect_timeout)
        self._sock.settimeout(timeout)
        self._block = b""  # the newest received block
        self._at = 0  # where in it the next frame starts
        self._joined = None  # a frame put together across two blocks, next to hand out
        self._received_ns = 0

    def __iter__(self):
        return self

    def __next__(self):
        while True:
            frame = self._cut()
            if frame is not None:
                self.frames += 1
                return frame
            if not self._fill():
                raise StopIteration

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def _cut(self):
        """The next whole frame in the bytes at hand, or None."""
        if self._joined is not None:
            frame, self._joined = self._joined, None
            return frame
        left = len(self._block) - self._at
        if left < HEADER_SIZE:
            return None
        length = frame_length(self._block, self._at)
        if length > SLOT_SIZE:
            raise FrameError(f"payload_len {length - FRAME_OVERHEAD} in the stream: lost step")
        if left < length:
            return None
        view = memoryview(self._block)[self._at:self._at + length]
        self._at += length
        return Frame(view, self._received_ns)

    def _fill(self):
        """Receives the next block; False when the stream has ended."""
        if self._sock is None:
            return False
        try:
            block = self._sock.recv(RECV_SIZE)
        except socket.timeout:
            return False
        if not block:
            if self._at < len(self._block):
                left = len(self._block) - self._at
                raise FrameError(f"stream ended inside a frame ({left} bytes)")
            return False
        self._received_ns = time.time_ns()
        rest = self._block[self._at:]
        self._block, self._at = block, 0
        if rest:
            # The frame begun in the last block: only its bytes are copied.
            head = rest + block[:max(0, HEADER_SIZE - len(rest))]
            length = frame_length(head) if len(head) >= HEADER_SIZE else None
            if length is not None and length > SLOT_SIZE:
                raise FrameError(f"payload_len {length - FRAME_OVERHEAD} in the stream: lost step")
            if length is None or length - len(rest) > len(block):
                self._block = rest + block  # still short of a whole frame: a few bytes
            else:
                self._at = length - len(rest)
                self._joined = Frame(rest + block[:self._at], self._received_ns)
        return True
